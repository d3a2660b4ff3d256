"""IAM Identity Center profiles end to end: a deploy and a revert signed with the credentials the
portal issued for the token `ctl.py sso-login` cached, an expired session stopped before any AWS
call, and a profile without a session never running as the instance role instead."""
import os
import subprocess
import sys
import unittest

from e2e_support import HERE, ToolTest, start_sandbox, stop_sandbox

CTL = os.path.join(HERE, "..", "..", "sandbox", "ctl.py")
AWS = ("ec2:", "iam:", "sts:", "s3:", "ssm:", "sso:", "sso-oidc:")


def setUpModule():
    start_sandbox("--pairs", "1")


tearDownModule = stop_sandbox


class SsoTest(ToolTest):
    def setUp(self):
        super().setUp()
        # No keys in the environment: only the profile may give credentials. The metadata service
        # stays reachable, with its instance role, as on an EC2 host.
        self.sso_env = {k: v for k, v in self.env.items()
                        if k not in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE")}
        self.sso_env["HOME"] = os.path.join(self.work, "home")
        os.makedirs(self.sso_env["HOME"])

    def login(self, *args):
        out = subprocess.run([sys.executable, CTL, "sso-login", *args], env=self.sso_env, capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)

    def calls(self):
        return self.sandbox.control("calls")["calls"]

    def assertStoppedBeforeAnyAwsCall(self, out, message):
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        # One error line (the failure's trace report follows it, as for every failure).
        errors = [line for line in (out.stdout + out.stderr).splitlines() if "**Error**" in line]
        self.assertEqual(len(errors), 1, out.stdout + out.stderr)
        self.assertIn(message, errors[0])
        self.assertEqual([c["op"] for c in self.calls() if c["op"].startswith(AWS)], [])
        self.assertEqual(self.live_instances(), [])

    def test_deploy_and_revert_are_signed_with_the_portal_credentials(self):
        self.login()  # the sso_session form (profile sandbox-sso)
        self.login("--start-url", "https://quenfold-sandbox.awsapps.com/start")  # the legacy form
        out = self.run_tool(*self.deploy_args("--profile", "sandbox-sso"), env=self.sso_env)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual(len(self.live_instances()), 1)
        out = self.run_tool(*self.revert_args("--profile", "sandbox-sso-legacy"), env=self.sso_env)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNothingLeft()
        calls = self.calls()
        issued = {c["issued"] for c in calls if c["op"] == "sso:GetRoleCredentials" and c.get("issued")}
        signers = {c["key"] for c in calls if c["op"].startswith("ec2:")}
        self.assertGreaterEqual(len(issued), 2)  # one per run at least
        self.assertTrue(signers)
        self.assertLessEqual(signers, issued)

    def test_an_expired_session_without_a_refresh_token_stops_before_any_call(self):
        self.login("--expires-in", "-60", "--no-refresh")
        out = self.run_tool(*self.deploy_args("--profile", "sandbox-sso"), env=self.sso_env)
        self.assertStoppedBeforeAnyAwsCall(out, "aws sso login --profile sandbox-sso")
        self.assertIn("has expired", out.stdout + out.stderr)

    def test_a_profile_without_a_session_does_not_use_the_instance_role(self):
        out = self.run_tool(*self.deploy_args("--profile", "sandbox-sso"), env=self.sso_env)
        self.assertStoppedBeforeAnyAwsCall(out, "No SSO session found for profile \"sandbox-sso\"")
        self.assertFalse([c for c in self.calls() if c["op"].startswith("imds:") and "security-credentials" in c["op"]])


if __name__ == "__main__":
    unittest.main()
