#include "core/entry_outcomes.h"

#include <deque>
#include <mutex>

namespace quenfold_testlibs::core {

namespace {
std::mutex g_mu;
std::deque<EntryOutcome> g_entries;  // a deque: indices stay valid as entries are added
std::string g_run_failure;
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

void EntryOutcomes::noteError(const std::string& line) {
  if (t_current < 0) return;
  std::lock_guard lk(g_mu);
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

std::string EntryOutcomes::summary() {
  std::size_t done = 0, failed = 0, unreached = 0;
  std::string failures;
  for (const auto& e : all()) {
    if (e.status == EntryOutcome::Status::Done) ++done;
    if (e.status == EntryOutcome::Status::NotReached) ++unreached;
    if (e.status != EntryOutcome::Status::Failed) continue;
    ++failed;
    failures += (failures.empty() ? ": " : ", ") + e.label + " (" + e.first_error + ")";
  }
  std::string text = std::to_string(done) + (done == 1 ? " entry" : " entries") + " done, " + std::to_string(failed) +
                     " failed" + failures;
  if (unreached > 0) text += "; " + std::to_string(unreached) + " not reached";
  const std::string run = runFailure();
  if (!run.empty()) text += "; the run failed: " + run;
  return text;
}

void EntryOutcomes::reset() {
  std::lock_guard lk(g_mu);
  g_entries.clear();
  g_run_failure.clear();
}

EntryScope::EntryScope(std::size_t index) : previous_(t_current) { t_current = static_cast<long>(index); }

EntryScope::~EntryScope() { t_current = previous_; }

}  // namespace quenfold_testlibs::core
