// Error reporting: the failure report of a caught exception, and the error lines a failed step
// ends with, recorded for the run's exit status and its summary.
#include "lib/commonlib.h"

#include "core/app_exit_status.h"
#include "core/entry_outcomes.h"
#include "core/exit_request.h"
#include "core/raised.h"

#include <cxxabi.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

namespace quenfold_testlibs::lib {

namespace {
// "void ns::{anonymous}::f(const T&, ...)" -> "ns::{anonymous}::f": the report names the function,
// its full signature would only bury it.
std::string shortFunctionName(const char* signature) {
  std::string s(signature);
  if (auto paren = s.find('('); paren != std::string::npos) s.resize(paren);
  if (auto space = s.rfind(' '); space != std::string::npos) s.erase(0, space + 1);
  return s;
}

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> p(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  return status == 0 && p ? std::string(p.get()) : std::string(name);
}
}  // namespace

void reportError(const std::exception& e, core::SourceLocation where) { reportError(e, std::string(), where); }

void reportError(const std::exception& e, const std::string& subject, core::SourceLocation where) {
  // One line per error, so the report stays next to the log line it explains; through the logger,
  // so that it reaches the log file (and its copy in S3) as well as standard error.
  const std::string raised = core::takeRaisedIn();
  logger()->error(
      "Error report: " + (subject.empty() ? "" : subject + ": ") + demangle(typeid(e).name()) + ": " + e.what() + " (" +
      (raised.empty() ? "" : "raised in " + raised + "; ") + "caught in " + shortFunctionName(where.function_name()) +
      ", " + std::filesystem::path(where.file_name()).filename().string() + ":" + std::to_string(where.line()) + ")");
  explainFirstDenial(e.what());
}

void reportError(const std::exception_ptr& ep, core::SourceLocation where) { reportError(ep, std::string(), where); }

void reportError(const std::exception_ptr& ep, const std::string& subject, core::SourceLocation where) {
  try {
    std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    reportError(e, subject, where);
  } catch (...) {
    logger()->error("Error report: " + (subject.empty() ? "" : subject + ": ") + "unknown error (caught in " +
                    shortFunctionName(where.function_name()) + ")");
  }
}

void logError(const std::string& line, const std::exception* cause, core::SourceLocation where) {
  logger()->error("  **Error** " + line);
  if (cause) reportError(*cause, where);
  explainFirstDenial(line);
}

namespace {
std::mutex g_explainer_mu;
std::function<void(const std::string&)> g_explainer;  // guarded by g_explainer_mu
bool g_explained = false;                             // guarded by g_explainer_mu
}  // namespace

void setDenialExplainer(std::function<void(const std::string& blob)> explainer) {
  std::lock_guard lk(g_explainer_mu);
  g_explainer = std::move(explainer);
  g_explained = false;
}

void explainFirstDenial(std::string_view message) {
  const std::string blob = encodedBlobOf(message);
  // A blob already cut for a log line ends with "..." and decodes to nothing.
  if (blob.empty() || blob.size() < 20 || blob.substr(blob.size() - 3) == "...") return;
  std::function<void(const std::string&)> explainer;
  {
    std::lock_guard lk(g_explainer_mu);
    if (g_explained || !g_explainer) return;
    g_explained = true;
    explainer = g_explainer;
  }
  // Outside the lock: the explainer makes a call, and that call may log.
  explainer(blob);
}

void recordError(const std::string& line, const std::string& failure, const std::exception* cause,
                 core::SourceLocation where) {
  logError(line, cause, where);
  core::AppExitStatus::recordFailure(failure);
}

void failRun(const std::string& line, const std::exception* cause, core::SourceLocation where) {
  logError(line, cause, where);
  // The run's summary names what ended it.
  core::EntryOutcomes::noteFailure(line);
  throw core::ExitRequest{1};
}

}  // namespace quenfold_testlibs::lib
