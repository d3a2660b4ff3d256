#include "core/entry_outcomes.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <regex>
#include <utility>

namespace quenfold_testlibs::core {

namespace {
std::mutex g_mu;
std::deque<EntryOutcome> g_entries;  // a deque: indices stay valid as entries are added
std::string g_run_failure;
std::string g_last_run_error;  // the last error line logged outside any entry
thread_local long t_current = -1;

// Error lines read better without their indent and marker in the summary.
std::string trimmed(const std::string& line) {
  std::string out = line;
  const auto start = out.find_first_not_of(' ');
  out.erase(0, start == std::string::npos ? out.size() : start);
  const std::string marker = "**Error** ";
  if (out.rfind(marker, 0) == 0) out.erase(0, marker.size());
  return out;
}

void failLocked(EntryOutcome& e, const std::string& error) {
  e.status = EntryOutcome::Status::Failed;
  if (e.first_error.empty()) e.first_error = trimmed(error);
}
}  // namespace

std::size_t EntryOutcomes::add(std::string label) {
  std::lock_guard lk(g_mu);
  g_entries.push_back(EntryOutcome{std::move(label), EntryOutcome::Status::NotReached, {}});
  return g_entries.size() - 1;
}

void EntryOutcomes::fail(std::size_t index, const std::string& error) {
  std::lock_guard lk(g_mu);
  if (index < g_entries.size()) failLocked(g_entries[index], error);
}

void EntryOutcomes::finish(std::size_t index) {
  std::lock_guard lk(g_mu);
  if (index < g_entries.size() && g_entries[index].status == EntryOutcome::Status::NotReached)
    g_entries[index].status = EntryOutcome::Status::Done;
}

bool EntryOutcomes::failed(std::size_t index) {
  std::lock_guard lk(g_mu);
  return index < g_entries.size() && g_entries[index].status == EntryOutcome::Status::Failed;
}

void EntryOutcomes::noteError(const std::string& line) {
  std::lock_guard lk(g_mu);
  if (t_current < 0) {
    g_last_run_error = trimmed(line);
    return;
  }
  auto& e = g_entries[static_cast<std::size_t>(t_current)];
  if (e.first_error.empty()) e.first_error = trimmed(line);
}

void EntryOutcomes::noteFailure(const std::string& what) {
  std::lock_guard lk(g_mu);
  if (t_current < 0) {
    if (g_run_failure.empty()) g_run_failure = what;
    return;
  }
  failLocked(g_entries[static_cast<std::size_t>(t_current)], what);
}

std::vector<EntryOutcome> EntryOutcomes::all() {
  std::lock_guard lk(g_mu);
  return {g_entries.begin(), g_entries.end()};
}

std::string EntryOutcomes::runFailure() {
  std::lock_guard lk(g_mu);
  return g_run_failure;
}

void EntryOutcomes::noteRunEnded() {
  std::lock_guard lk(g_mu);
  if (g_run_failure.empty()) g_run_failure = g_last_run_error;
}

namespace {
constexpr std::size_t kErrorChars = 240;  // of an error in the summary
constexpr std::size_t kNamesPerError = 10;
constexpr std::size_t kErrorKinds = 10;

std::string cut(const std::string& text, std::size_t most) {
  if (text.size() <= most) return text;
  return text.substr(0, most) + "...";
}

// The error with AWS's resource ids left out ("subnet-0a1" -> "subnet-..."), so that the same
// refusal of many entries reads as one.
std::string withoutIds(const std::string& error) {
  static const std::regex id(R"(\b(i|subnet|eni|sg|vpc|eipalloc|eni-attach|igw|rtb|ami)-[0-9a-f]{6,}\b)");
  return std::regex_replace(error, id, "$1-...");
}
}  // namespace

std::vector<std::string> EntryOutcomes::summaryLines() {
  std::size_t done = 0, failed = 0, unreached = 0;
  // Failed entries by their first error, in the order the errors first appear.
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;
  for (const auto& e : all()) {
    if (e.status == EntryOutcome::Status::Done) ++done;
    if (e.status == EntryOutcome::Status::NotReached) ++unreached;
    if (e.status != EntryOutcome::Status::Failed) continue;
    ++failed;
    const std::string key = withoutIds(cut(e.first_error, kErrorChars));
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == key; });
    if (it == groups.end()) it = groups.insert(groups.end(), {key, {}});
    it->second.push_back(e.label);
  }
  std::string head =
      std::to_string(done) + (done == 1 ? " entry" : " entries") + " done, " + std::to_string(failed) + " failed";
  if (unreached > 0) head += "; " + std::to_string(unreached) + " not reached";
  const std::string run = runFailure();
  if (!run.empty()) head += "; the run failed: " + cut(run, kErrorChars);
  std::vector<std::string> lines{head};
  for (std::size_t g = 0; g < groups.size() && g < kErrorKinds; ++g) {
    const auto& [error, names] = groups[g];
    std::string line = std::to_string(names.size()) + " failed with: " + error + " (";
    for (std::size_t n = 0; n < names.size() && n < kNamesPerError; ++n) line += (n ? ", " : "") + names[n];
    if (names.size() > kNamesPerError) line += " and " + std::to_string(names.size() - kNamesPerError) + " more";
    lines.push_back(line + ")");
  }
  if (groups.size() > kErrorKinds)
    lines.push_back("and " + std::to_string(groups.size() - kErrorKinds) + " more kinds of error (see above)");
  return lines;
}

std::string EntryOutcomes::summary() {
  const std::vector<std::string> lines = summaryLines();
  std::string text = lines.front();
  for (std::size_t i = 1; i < lines.size(); ++i) text += (i == 1 ? ": " : "; ") + lines[i];
  return text;
}

void EntryOutcomes::reset() {
  std::lock_guard lk(g_mu);
  g_entries.clear();
  g_run_failure.clear();
  g_last_run_error.clear();
}

EntryScope::EntryScope(std::size_t index) : previous_(t_current) { t_current = static_cast<long>(index); }

EntryScope::~EntryScope() { t_current = previous_; }

}  // namespace quenfold_testlibs::core
