"""Nothing left behind. A deploy killed after any of its AWS calls is still removed entirely by a
revert with the same flags; SIGINT stops a deploy with a valid output, a second signal ends it at
once; two reverts at once, new ids that AWS does not know yet, lists that come one item a page, and
lookups or deletions that keep failing give an honest exit status."""
import json
import os
import signal
import subprocess
import time
import unittest

from e2e_support import TOOL, ToolTest, start_sandbox, stop_sandbox

PAIRS = 3
FLAGS = ("--eip", "--ec2_role", "default")
AWS = ("ec2:", "iam:", "sts:", "s3:", "ssm:")


def setUpModule():
    start_sandbox("--pairs", str(PAIRS))


tearDownModule = stop_sandbox


class RevertTest(ToolTest):
    def tearDown(self):
        self.sandbox.configure(kill_after_calls=None, consistency_lag_s=0, latency_ms=0, inject=[],
                               describe_page_size=0)
        super().tearDown()

    def aws_calls(self):
        return [c for c in self.sandbox.control("calls")["calls"] if c["op"].startswith(AWS)]

    def made(self):
        """What of the tool's is in the sandbox now, as counts per kind."""
        return {kind: len(items) for kind, items in self.tool_leftovers().items() if items}

    def assertReverted(self, *flags):
        out = self.revert(*flags)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNothingLeft()


class CrashConsistency(RevertTest):
    def test_a_deploy_killed_after_any_call_is_removed_by_a_revert(self):
        out = self.deploy(*FLAGS)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        total = len(self.aws_calls())
        self.assertReverted(*FLAGS)
        points = sorted({1 + round(i * (total - 1) / 19) for i in range(20)})
        self.assertGreaterEqual(len(points), 15)
        rows = []
        for k in points:
            with self.subTest(kill_after=k):
                self.sandbox.control("reset", {})
                proc = self.start_tool(*self.deploy_args(*FLAGS))
                self.sandbox.configure(kill_after_calls={"pid": proc.pid, "calls": k})
                self.resume(proc)
                proc.communicate(timeout=300)
                # The number of calls varies a little (the launch retries while a new instance
                # profile is not usable yet): a deploy may end before its k-th call.
                killed = next((c["op"] for c in self.aws_calls() if c.get("fault") == "kill"), "(ended before)")
                self.assertEqual(proc.returncode, -signal.SIGKILL if killed != "(ended before)" else 0)
                made = self.made()
                out = self.revert(*FLAGS)
                rows.append(f"{k:>4}  {killed:<38} {json.dumps(made)}  -> revert exit {out.returncode}, "
                            f"left {json.dumps(self.made())}")
                self.assertEqual(out.returncode, 0, out.stderr[-3000:])
                self.assertNothingLeft()
        print(f"\nkill after call k of {total} (--eip --ec2_role default), what the deploy had made, the revert:")
        print("\n".join(rows))

    def test_an_eip_deploy_reverted_without_eip_leaves_no_address(self):
        out = self.deploy(*FLAGS)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual(len(self.state()["addresses"]), PAIRS)
        self.assertReverted("--ec2_role", "default")


class Interruption(RevertTest):
    def deploy_until(self, op, latency_ms):
        """Starts a deploy with every AWS call slowed down; returns once `op` has been answered."""
        self.sandbox.configure(latency_ms=latency_ms)
        proc = subprocess.Popen(["sh", "-c", 'exec "$@"', "sh", TOOL, *self.deploy_args()], cwd=self.work,
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not self.counts().get(op) and time.monotonic() < deadline:
            time.sleep(0.01)
        return proc

    def test_sigint_mid_deploy_writes_what_is_known_and_exits_130(self):
        proc = self.deploy_until("ec2:RunInstances", 2000)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        self.assertEqual(proc.returncode, 130, err[-3000:])
        self.assertEqual(err.count("Interrupted by SIGINT"), 1, err[-3000:])
        self.assertEqual(len(json.loads(self.read("out.json"))), PAIRS)
        self.sandbox.configure(latency_ms=0)
        self.assertReverted()

    def test_sigint_while_the_shared_resources_are_made_still_writes_the_output(self):
        proc = self.deploy_until("ec2:CreateSecurityGroup", 20000)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        self.assertEqual(proc.returncode, 130, err[-3000:])
        self.assertNotIn("ec2:RunInstances", self.served(), "interrupted too late")
        self.assertEqual(len(json.loads(self.read("out.json"))), PAIRS)

    def test_a_second_signal_ends_the_run_at_once_writing_nothing(self):
        proc = self.deploy_until("ec2:CreateSecurityGroup", 20000)
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=120)
        self.assertEqual(proc.returncode, 143, err[-3000:])
        self.assertNotIn("ec2:RunInstances", self.served(), "interrupted too late")
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.json")), err[-3000:])


class HonestTeardown(RevertTest):
    def deployed(self, *flags):
        out = self.deploy(*flags)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])

    def test_two_reverts_at_once_both_succeed(self):
        self.deployed()
        procs = [subprocess.Popen([TOOL, *self.revert_args()], cwd=self.work, env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(2)]
        for proc in procs:
            _, err = proc.communicate(timeout=300)
            self.assertEqual(proc.returncode, 0, err[-3000:])
        self.assertNothingLeft()

    def test_new_ids_unknown_for_a_while_and_lists_in_pages_of_one_do_not_stop_a_deploy_or_a_revert(self):
        self.sandbox.configure(consistency_lag_s=5, describe_page_size=1)
        self.deployed()
        self.assertEqual(len(self.live_instances()), PAIRS)
        self.assertGreater(self.faults_seen().get("consistency", 0), 0)
        # Every list comes one item a page (the VPC's subnets, the cross-zone pair's included, a
        # call each): a second deploy still finds each instance, whatever its page, and launches
        # none; the revert finds them all.
        self.sandbox.control("reset-counts", {})
        self.deployed()
        counts = self.counts()
        self.assertNotIn("ec2:RunInstances", counts)
        self.assertGreater(counts["ec2:DescribeSubnets"], 2 * (PAIRS + 1))
        self.assertReverted()

    def test_a_group_lookup_that_keeps_failing_is_a_failure(self):
        self.deployed()
        self.sandbox.configure(inject=[{"op": "ec2:DescribeSecurityGroups", "status": 403,
                                        "code": "UnauthorizedOperation", "message": "not now", "count": 100}])
        out = self.revert()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertNotIn("  not found", out.stderr)
        for group in ("quenfold-test-ec2-sg", "quenfold-test-ec2-private-interface-sg"):
            self.assertRegex(out.stderr, rf"\*\*Error\*\* SG {group} in vpc-\S+ could not be looked up")

    def test_deletions_that_keep_failing_are_failures_naming_what_stays(self):
        self.deployed("--eip")
        # Refusals that are no permission (a dry run of each delete is allowed): the revert goes on.
        self.sandbox.configure(inject=[{"op": f"ec2:{op}", "status": 400, "code": "OperationNotPermitted",
                                        "message": "not now", "count": 100}
                                       for op in ("DeleteNetworkInterface", "DeleteSecurityGroup", "ReleaseAddress")])
        out = self.revert("--eip")
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        for what in (r"Failed to delete natwork interface eni-", r"Failed to delete SG sg-",
                     r"Failed to release EIP \S+ eipalloc-"):
            self.assertRegex(out.stderr, r"\*\*Error\*\* " + what)


class RealAccountAnswers(RevertTest):
    def test_eip_revert_of_a_plain_deploy_with_groups_freed_late_leaves_nothing(self):
        out = self.deploy()
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertTrue(any(i.get("public_ip") for i in self.live_instances()), "instances have public addresses")
        # AWS answers InvalidAddress.NotFound for a public address that is no Elastic IP, and
        # DependencyViolation while a terminated instance's interfaces are not yet released.
        self.sandbox.configure(inject=[
            {"op": "ec2:DescribeAddresses", "status": 400, "code": "InvalidAddress.NotFound",
             "message": "Address 'x' not found.", "count": PAIRS},
            {"op": "ec2:DeleteSecurityGroup", "status": 400, "code": "DependencyViolation",
             "message": "resource sg has a dependent object", "count": 2}])
        out = self.revert("--eip")
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual(out.stderr.count("is no EIP: nothing to release"), PAIRS)
        self.assertEqual(out.stderr.count("is still in use (DependencyViolation)"), 2)
        self.assertNothingLeft()

    def test_iam_refusal_is_named_at_its_cause(self):
        self.sandbox.configure(inject=[{"op": "iam:CreateRole", "status": 403, "code": "AccessDenied",
                                        "message": "blocked by a permissions boundary", "count": 1}])
        out = self.deploy("--ec2_role", "default")
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertIn("**Error** An error occurred (AccessDenied) when calling the CreateRole operation: "
                      "blocked by a permissions boundary", out.stderr)
        self.assertNotIn("iam:AttachRolePolicy", self.counts())
        self.assertNotIn("ec2:RunInstances", self.served())


if __name__ == "__main__":
    unittest.main()
