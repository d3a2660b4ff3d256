#include "lib/commonlib.h"

#include <cxxabi.h>

#include <filesystem>
#include <iostream>
#include <mutex>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace quenfold_testlibs::lib {

namespace {
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S,%e - %l - %v";
std::mutex g_mu;
std::shared_ptr<spdlog::logger> g_logger;

std::shared_ptr<spdlog::logger> make_logger(std::shared_ptr<spdlog::sinks::sink> console) {
  if (!console) console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  console->set_pattern(kPattern);
  auto l = std::make_shared<spdlog::logger>(kLoggerName, console);
  l->set_level(spdlog::level::info);
  l->flush_on(spdlog::level::info);
  return l;
}

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

std::shared_ptr<spdlog::logger> logger() {
  std::lock_guard lk(g_mu);
  if (!g_logger) g_logger = make_logger(nullptr);
  return g_logger;
}

std::string Common::logFilePath(const std::string& backup_folder) {
  return backup_folder + "/log/quenfold_testlibs.log";
}

void Common::initLogLocation(const std::string& backup_folder) {
  auto path = std::filesystem::path(logFilePath(backup_folder));
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  auto l = logger();
  std::lock_guard lk(g_mu);
  try {
    auto file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path.string(), false);
    file->set_pattern(kPattern);
    auto& sinks = l->sinks();
    if (sinks.size() > 1) sinks.resize(1);  // a second call replaces the earlier file
    sinks.push_back(file);
  } catch (const spdlog::spdlog_ex& e) {
    // Without a log file the run still logs to the console; say so once.
    l->error("  **Error** cannot write the log file " + path.string() + ": " + e.what());
  }
}

void Common::logCommandOptions(const std::string& command_line) { logger()->info(command_line); }

void Common::resetForTests(std::shared_ptr<spdlog::sinks::sink> sink) {
  std::lock_guard lk(g_mu);
  g_logger = make_logger(std::move(sink));
}

void reportError(const std::exception& e, std::source_location where) {
  // One line per error, so the report stays next to the log line it explains; through the logger,
  // so that it reaches the log file (and its copy in S3) as well as standard error.
  logger()->error("Error report: " + demangle(typeid(e).name()) + ": " + e.what() + " (caught in " +
                  shortFunctionName(where.function_name()) + ", " +
                  std::filesystem::path(where.file_name()).filename().string() + ":" + std::to_string(where.line()) +
                  ")");
}

void reportError(const std::exception_ptr& ep, std::source_location where) {
  try {
    std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    reportError(e, where);
  } catch (...) {
    logger()->error("Error report: unknown error (caught in " + shortFunctionName(where.function_name()) + ")");
  }
}

}  // namespace quenfold_testlibs::lib
