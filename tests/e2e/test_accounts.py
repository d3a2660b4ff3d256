"""The real binary against what real accounts do and a fresh sandbox does not: an Elastic IP quota,
launches that die, subnets that give public addresses, instances piled up, stopped or in another
zone, renamed instance profiles and a reused group without its rule. Each run either succeeds with
a usable test bed or fails early, in one line, with AWS's reason."""
import json
import os
import re
import unittest

from e2e_support import ToolTest, SandboxProcess, start_sandbox, stop_sandbox

SANDBOX = None


def setUpModule():
    global SANDBOX
    SANDBOX = start_sandbox()


tearDownModule = stop_sandbox


class RealAccounts(ToolTest):
    def setUp(self):
        super().setUp()
        self.sandbox.configure(eip_quota=5, launch_failure=None, impaired=None, iam_lag_s=0, eni_release_lag_s=5)
        self.ec2 = self.sandbox.client("ec2")

    def tearDown(self):
        self.sandbox.configure(require_imdsv2=False, require_tags=[], require_permissions_boundary=None)
        super().tearDown()

    def calls_of(self, op):
        return self.counts().get(f"ec2:{op}", 0)

    def summary(self, out):
        lines = [line for line in out.stderr.splitlines() if " - Summary: " in line]
        self.assertEqual(len(lines), 1, out.stderr[-3000:])
        return lines[0].split(" - Summary: ", 1)[1]

    def test_addresses_beyond_the_quota_stop_the_deploy_before_anything_is_made(self):
        self.sandbox.configure(eip_quota=2)
        out = self.deploy("--eip")
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertRegex(out.stderr, r"\*\*Error\*\* 3 Elastic IPs are needed and \S+ has 2 left \(quota 2, 0 in use\)")
        self.assertNothingLeft()

    def test_a_launch_that_dies_fails_its_entry_at_once_and_a_rerun_repairs_it(self):
        self.sandbox.configure(launch_failure={"count": 1})
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertRegex(out.stderr, r"\*\*Error\*\* Instance i-\w+ in subnet-\w+ is not usable: it is terminated: "
                                     r"Client.InternalError: Client error on launch")
        self.assertEqual(self.summary(out), "2 entries done, 1 failed")
        self.assertRegex(out.stderr, r" - Summary: .*\n.* - info -   1 failed with: Instance i-\.\.\. in subnet-\.\.\. "
                                     r"is not usable: .* \(spoke\d\)\n")
        # The status waits of three instances, one of which died: no poll runs on for the dead one.
        self.assertLessEqual(self.calls_of("DescribeInstanceStatus"), 3 * 3)
        self.sandbox.configure(launch_failure=None)
        self.assertEqual(self.deploy().returncode, 0)
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_a_second_instance_in_a_gateway_subnet_is_named_and_nothing_more_is_launched(self):
        self.assertEqual(self.deploy().returncode, 0)
        with open(self.config, encoding="utf-8") as f:
            gw = json.load(f)[0]["gw_subnet_id"]
        first = next(i["id"] for i in self.live_instances() if i["subnet_id"] == gw)
        extra = self.ec2.run_instances(
            ImageId=self.ec2.describe_images(Owners=["amazon"])["Images"][0]["ImageId"], MinCount=1, MaxCount=1, SubnetId=gw,
            TagSpecifications=[{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": "quenfold-test-ec2"}]}],
        )["Instances"][0]["InstanceId"]
        self.sandbox.control("reset-counts", {})
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertRegex(out.stderr, rf"More than one ec2 with tag Name:quenfold-test-ec2 found in {gw}: "
                                     rf"({first}, {extra}|{extra}, {first})")
        self.assertEqual(self.calls_of("RunInstances"), 0)
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_a_stopped_instance_is_started_again_and_a_lost_ssh_rule_put_back(self):
        self.assertEqual(self.deploy().returncode, 0)
        stopped = self.live_instances()[0]["id"]
        self.ec2.stop_instances(InstanceIds=[stopped])
        group = next(g for g in self.state()["security_groups"] if g["name"] == "quenfold-test-ec2-sg")
        self.ec2.revoke_security_group_ingress(GroupId=group["id"], IpPermissions=[{
            "IpProtocol": "tcp", "FromPort": 22, "ToPort": 22, "IpRanges": [{"CidrIp": "203.0.113.7/32"}]}])
        out = self.deploy()
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertIn(f"Start stopped instance {stopped}", out.stderr)
        self.assertEqual({i["state"] for i in self.live_instances()}, {"running"})
        group = next(g for g in self.state()["security_groups"] if g["name"] == "quenfold-test-ec2-sg")
        self.assertIn("203.0.113.7/32", json.dumps(group["ingress"]))
        self.assertIn("3 entries done, 0 failed", self.summary(out))
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_a_private_subnet_in_another_zone_fails_its_entry_alone_before_anything_is_made_for_it(self):
        config = os.path.join(self.sandbox.dir, "test_config_cross_zone.json")
        out = self.deploy(config=config)
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertRegex(out.stderr, r"private subnet subnet-\w+ is in [a-z0-9-]+ and gateway subnet subnet-\w+ in "
                                     r"[a-z0-9-]+; an instance can only attach an interface in its own zone")
        self.assertEqual(self.calls_of("AttachNetworkInterface"), len(self.live_instances()))
        self.assertEqual(self.revert(config=config).returncode, 0)
        self.assertNothingLeft()

    def test_an_organisation_that_requires_imdsv2_tags_and_a_permissions_boundary(self):
        boundary = "arn:aws:iam::123456789012:policy/lab-boundary"
        self.sandbox.configure(require_imdsv2=True, require_tags=["Team"], require_permissions_boundary=boundary)
        out = self.deploy("--ec2_role", "default", "--tag_resource", "Team,net", "--permissions_boundary", boundary)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual(self.revert("--ec2_role", "default").returncode, 0)
        self.assertNothingLeft()

    def test_a_role_whose_instance_profile_has_another_name(self):
        iam = self.sandbox.client("iam")
        iam.create_role(RoleName="lab-role", AssumeRolePolicyDocument=json.dumps({
            "Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": "ec2.amazonaws.com"},
                                                    "Action": "sts:AssumeRole"}]}))
        iam.create_instance_profile(InstanceProfileName="lab-role-profile-1A2B")
        iam.add_role_to_instance_profile(InstanceProfileName="lab-role-profile-1A2B", RoleName="lab-role")
        out = self.deploy("--ec2_role", "lab-role")
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNotIn("is not ready", out.stderr)
        self.assertEqual(self.revert().returncode, 0)
        iam.remove_role_from_instance_profile(InstanceProfileName="lab-role-profile-1A2B", RoleName="lab-role")
        iam.delete_instance_profile(InstanceProfileName="lab-role-profile-1A2B")
        iam.delete_role(RoleName="lab-role")
        self.assertNothingLeft()


class PropagationAndSessions(ToolTest):
    def setUp(self):
        super().setUp()
        self.sandbox.configure(iam_lag_s=0, sts_duration_s=3600, latency_ms=0, eni_release_lag_s=5)

    def tearDown(self):
        self.sandbox.configure(iam_lag_s=0, sts_duration_s=3600, latency_ms=0, eni_release_lag_s=5)
        super().tearDown()

    def test_iam_objects_unknown_for_a_while_and_groups_freed_late_do_not_stop_deploy_or_revert(self):
        # AWS's IAM takes seconds to know a new object; a terminated instance's interfaces hold its
        # group for a minute here (the revert retries for two).
        self.sandbox.configure(iam_lag_s=10, eni_release_lag_s=60)
        out = self.deploy("--ec2_role", "default")
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        out = self.revert("--ec2_role", "default")
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertIn("(DependencyViolation); retry in", out.stderr)
        self.assertNothingLeft()

    def test_a_workflow_session_shorter_than_the_run_is_assumed_again(self):
        # 100 ms a call makes the run outlive its credentials many times over.
        self.sandbox.configure(sts_duration_s=60, latency_ms=100)
        role = self.sandbox.vars["QUENFOLD_SANDBOX_WORKFLOW_ROLE"]
        bucket = self.sandbox.vars["QUENFOLD_SANDBOX_BUCKET"]
        out = self.deploy("--workflow_account_role", f"{role},123456789012,us-east-1", "--s3_bucket", bucket)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertGreater(self.counts().get("sts:AssumeRole", 0), 1)
        self.assertNotIn("ExpiredToken", out.stderr)
        self.assertIn("backup/log/quenfold_testlibs.log", [o["key"] for o in self.state()["s3"][bucket]])
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()


class SubnetsThatGivePublicAddresses(ToolTest):
    """Default VPCs and most template-made public subnets give every instance a public address."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = SandboxProcess("--map-public-ip")

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.stop()

    def test_with_eip_every_instance_gets_an_elastic_ip_whatever_the_subnet_gives(self):
        out = self.deploy("--eip")
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        addresses = {a["PublicIp"] for a in self.state()["addresses"]}
        written = [e["ec2_ip"] for e in json.loads(self.read("out.json")) if e.get("private_subnet_id")]
        self.assertEqual(len(addresses), 3)
        self.assertEqual(set(written), addresses)
        self.assertEqual(self.revert("--eip").returncode, 0)
        self.assertNothingLeft()


class ChinaRegionAndAnOptInBucketRegion(ToolTest):
    """The aws-cn partition refuses ARNs of another; a bucket in a region opened since 2019 answers a
    request for another region with IllegalLocationConstraintException, naming no region."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = SandboxProcess("--region", "cn-north-1", "--bucket-region", "ap-east-1")

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.stop()

    def test_deploy_and_revert_with_the_default_role_and_a_log_upload(self):
        bucket = self.sandbox.vars["QUENFOLD_SANDBOX_BUCKET"]
        out = self.deploy("--ec2_role", "default", "--s3_bucket", bucket)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual([p["arn"].split(":")[1] for p in self.state()["iam"]["policies"]], ["aws-cn"])
        self.assertIn("backup/log/quenfold_testlibs.log", [o["key"] for o in self.state()["s3"][bucket]])
        # The key and the log: the first request, sent to the run's region, was refused and followed.
        self.assertEqual(len(self.state()["s3"][bucket]), 2)
        self.assertEqual(self.counts()["s3:PutObject"], 3)
        self.assertEqual(self.revert("--ec2_role", "default").returncode, 0)
        self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
