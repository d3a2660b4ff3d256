// The run's summary: grouped by first error, bounded whatever the number of entries; the progress
// lines while the entries' workers run.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/entry_outcomes.h"
#include "deploy_test_ec2/common/progress.h"

namespace quenfold_testlibs::core {
namespace {

TEST(EntryOutcomes, TheSummaryGroupsFailuresByErrorAndStaysSmall) {
  EntryOutcomes::reset();
  const std::string blob(3000, 'Q');
  for (int i = 0; i < 250; ++i) {
    const std::size_t e = EntryOutcomes::add("spoke" + std::to_string(i));
    if (i == 249) {
      EntryOutcomes::finish(e);
      continue;
    }
    char subnet[32];
    std::snprintf(subnet, sizeof subnet, "subnet-%08x", 0xa0000 + i);
    EntryOutcomes::fail(e, std::string("  **Error** An error occurred (UnauthorizedOperation) when calling the "
                                       "RunInstances operation in ") +
                               subnet + ": " + blob);
    // A worker ending after its failure does not make it done.
    EntryOutcomes::finish(e);
  }
  // The run ended on a step outside any entry: its last error line names it.
  EntryOutcomes::noteError("  **Error** cannot create the security group");
  EntryOutcomes::noteRunEnded();

  const auto lines = EntryOutcomes::summaryLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "1 entry done, 249 failed; the run failed: cannot create the security group");
  EXPECT_EQ(lines[1].rfind("249 failed with: An error occurred (UnauthorizedOperation) when calling the RunInstances "
                           "operation in subnet-...: QQQ",
                           0),
            0u)
      << lines[1];
  EXPECT_NE(
      lines[1].find("(spoke0, spoke1, spoke2, spoke3, spoke4, spoke5, spoke6, spoke7, spoke8, spoke9 and 239 more)"),
      std::string::npos);
  EXPECT_LT(EntryOutcomes::summary().size(), 1024u);

  // A worker's error line, then its failure recorded through the exit status, then more lines,
  // as a revert's worker records them: the end of its work leaves it failed, named by the line.
  const std::size_t w = EntryOutcomes::add("spoke-w");
  {
    EntryScope scope(w);
    EntryOutcomes::noteError("  **Error** Failed to delete network interface eni-1");
    EntryOutcomes::noteFailure("network interface eni-1 could not be deleted");
    EntryOutcomes::noteError("  **Error** worker for subnet-g failed");
    EntryOutcomes::finish(w);
  }
  EXPECT_EQ(EntryOutcomes::all().back().status, EntryOutcome::Status::Failed);
  EXPECT_EQ(EntryOutcomes::all().back().first_error, "Failed to delete network interface eni-1");
  EntryOutcomes::reset();
}

// One line per interval at most, whatever happens in between; none before the first interval or
// after the last task; the oldest wait is that of the launched entries not usable yet.
TEST(Progress, OneLineAnIntervalWithTheCounts) {
  using std::chrono::seconds;
  RecordingClock clock;
  Progress p(Progress::Kind::Launches, 4, clock.monotonic());
  clock.advance(seconds(5));
  p.launched(0, clock.monotonic());
  p.launched(1, clock.monotonic());
  clock.advance(seconds(5));
  p.launched(2, clock.monotonic());
  p.ready(0);
  p.finished(3, true);
  clock.advance(seconds(19));
  EXPECT_EQ(p.lineAt(clock.monotonic()), std::nullopt) << "29 s";
  clock.advance(seconds(1));
  EXPECT_EQ(p.lineAt(clock.monotonic()), "- Progress: 3 of 4 entries launched, 1 ready, 1 failed; oldest wait 25 s");
  p.ready(1);
  p.ready(2);
  p.finished(0, false);
  clock.advance(seconds(29));
  EXPECT_EQ(p.lineAt(clock.monotonic()), std::nullopt) << "29 s after the last line";
  clock.advance(seconds(1));
  EXPECT_EQ(p.lineAt(clock.monotonic()), "- Progress: 3 of 4 entries launched, 3 ready, 1 failed");
  p.finished(1, false);
  p.finished(2, false);
  clock.advance(seconds(60));
  EXPECT_EQ(p.lineAt(clock.monotonic()), std::nullopt) << "every task ended";

  // A revert's entries, and a run that ends within the interval logs nothing.
  Progress revert(Progress::Kind::Entries, 2, clock.monotonic());
  revert.finished(0, true);
  clock.advance(seconds(31));
  EXPECT_EQ(revert.lineAt(clock.monotonic()), "- Progress: 0 of 2 entries done, 1 failed");
  Progress quick(Progress::Kind::Entries, 1, clock.monotonic());
  clock.advance(seconds(29));
  quick.finished(0, false);
  EXPECT_EQ(quick.lineAt(clock.monotonic() + seconds(60)), std::nullopt);
}

}  // namespace
}  // namespace quenfold_testlibs::core
