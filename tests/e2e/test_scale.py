"""At scale against EC2's own request rates: a sandbox that applies EC2's documented per-action
token buckets in real time (time scale 1). A 40-entry deploy outruns RunInstances' bucket
(5 calls, then 2 a second) many times over; every entry must still get its instance, and the
revert must still remove everything."""
import unittest

from e2e_support import ToolTest, start_sandbox, stop_sandbox

PAIRS = 40


def setUpModule():
    start_sandbox("--pairs", str(PAIRS), "--time-scale", "1", "--ec2-rate-limits", "documented")


tearDownModule = stop_sandbox


class DocumentedRateLimits(ToolTest):
    def test_deploy_and_revert_of_40_entries_lose_nothing(self):
        self.deploy_and_revert_everything(PAIRS)
        self.assertGreater(self.faults_seen().get("rate_limit", 0), 0, "EC2's buckets never ran dry")


if __name__ == "__main__":
    unittest.main()
