// The run's summary: grouped by first error, bounded whatever the number of entries.
#include <gtest/gtest.h>

#include "core/entry_outcomes.h"

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
  EntryOutcomes::reset();
}

}  // namespace
}  // namespace quenfold_testlibs::core
