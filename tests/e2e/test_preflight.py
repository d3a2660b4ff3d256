"""The real binary against accounts that refuse part of a deploy: a vCPU quota, an organisation
policy, a zone without the instance type, a full subnet, blocked public access, a VPC without an
internet gateway. The deploy finds each before it makes anything, says why in one line per
problem and exits 1; a dry run says the same and writes nothing to the account."""
import json
import re
import unittest

from e2e_support import ToolTest, start_sandbox, stop_sandbox

SANDBOX = None


def setUpModule():
    global SANDBOX
    SANDBOX = start_sandbox()


tearDownModule = stop_sandbox

# Calls that change the account; a dry run (DryRun=true) of them is no change.
WRITES = ("RunInstances", "CreateSecurityGroup", "CreateKeyPair", "CreateNetworkInterface", "AllocateAddress",
          "AssociateAddress", "CreateTags", "AuthorizeSecurityGroupIngress", "CreatePolicy", "CreateRole",
          "CreateInstanceProfile", "AttachRolePolicy", "AddRoleToInstanceProfile")


class Preflight(ToolTest):
    def setUp(self):
        super().setUp()
        self.sandbox.configure(vcpu_quota=100000, deny_actions=[], unoffered_zones={}, subnet_free_addresses={},
                               block_public_access="off", insufficient_capacity=None, pending_verification=False)

    def entries(self):
        with open(self.config, encoding="utf-8") as f:
            return json.load(f)

    def writes(self):
        return [op for op in self.served() if op.split(":")[-1] in WRITES]

    def errors(self, out):
        return [line.split("**Error** ", 1)[1] for line in out.stderr.splitlines() if "**Error** " in line]

    def test_run_walls_stop_the_deploy_before_anything_is_made_and_a_dry_run_predicts_them(self):
        # Three entries need 6 vCPUs; 4 are left. An organisation policy refuses the second interface.
        self.sandbox.configure(vcpu_quota=4, deny_actions=["ec2:CreateNetworkInterface"])
        out = self.deploy("--ec2_role", "default", "--dry_run")
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertIn("- Plan: 3 instances to launch (6 vCPUs, 4 left of 4 under L-1216C47A)", out.stderr)
        self.assertIn("to create: group quenfold-test-ec2-sg", out.stderr)
        self.assertIn("role quenfold-test-ec2-role", out.stderr)
        self.assertNothingLeft()
        self.assertEqual(self.writes(), [])

        out = self.deploy("--ec2_role", "default")
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        errors = self.errors(out)
        self.assertTrue(any(re.match(r"6 vCPUs are needed \(3 t3\.micro\) and \S+ has 4 left of the quota "
                                     r'"Running On-Demand Standard', e) for e in errors), errors)
        denied = [e for e in errors if e.startswith("ec2:CreateNetworkInterface is not allowed")]
        self.assertEqual(len(denied), 1, errors)
        self.assertIn("decoded: action ec2:CreateNetworkInterface", denied[0])
        self.assertIn("explicit deny", denied[0])
        self.assertNotRegex(out.stderr, r"[A-Za-z0-9_-]{200}", "an encoded message is never logged whole")
        self.assertNothingLeft()
        self.assertEqual(self.writes(), [])

    def test_entry_walls_fail_their_entries_alone(self):
        entries = self.entries()
        zones = {s["id"]: s["zone"] for s in self.state()["subnets"]} if "subnets" in self.state() else {}
        ec2 = self.sandbox.client("ec2")
        if not zones:
            zones = {s["SubnetId"]: s["AvailabilityZone"] for s in ec2.describe_subnets()["Subnets"]}
        # Entry 0's zone lacks the type, entry 1's private subnet is full; entry 2 deploys.
        self.sandbox.configure(unoffered_zones={"t3.micro": [zones[entries[0]["gw_subnet_id"]]]},
                               subnet_free_addresses={entries[1]["private_subnet_id"]: 0})
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        errors = self.errors(out)
        self.assertIn(f"{entries[0]['gw_subnet_id']}: instance type t3.micro is not offered in "
                      f"{zones[entries[0]['gw_subnet_id']]}; zones that offer it: ", "\n".join(errors))
        self.assertIn(f"{entries[1]['private_subnet_id']} has 0 free addresses and the entries using it need 1", errors)
        self.assertEqual(len(self.live_instances()), 1)
        result = json.loads(self.read("out.json"))
        self.assertIn("ec2_ip", result[2])
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_a_revert_refused_one_delete_deletes_nothing(self):
        self.assertEqual(self.deploy().returncode, 0)
        self.sandbox.configure(deny_actions=["ec2:DeleteSecurityGroup"])
        for extra in (("--dry_run",), ()):
            self.sandbox.control("reset-counts", {})
            out = self.revert(*extra)
            self.assertEqual(out.returncode, 1, out.stderr[-3000:])
            errors = self.errors(out)
            self.assertEqual(len(errors), 1, errors)
            self.assertTrue(errors[0].startswith("ec2:DeleteSecurityGroup is not allowed: "), errors)
            self.assertEqual([op for op in self.served() if ":Delete" in op or ":Terminate" in op
                              or ":Detach" in op or ":Release" in op], [])
        self.assertEqual(len(self.live_instances()), 3)
        self.sandbox.configure(deny_actions=[])
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_unreachable_addresses_fail_instead_of_succeeding(self):
        self.sandbox.configure(block_public_access="block-bidirectional")
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertEqual(sum("VPC Block Public Access is block-bidirectional" in e for e in self.errors(out)), 3)
        self.assertEqual(self.live_instances(), [])
        # Without an internet gateway no public address in the VPC is reachable: the run ends.
        self.sandbox.configure(block_public_access="off")
        ec2 = self.sandbox.client("ec2")
        vpc = self.sandbox.info["topology"]["vpc_id"] if "vpc_id" in self.sandbox.info.get("topology", {}) else \
            ec2.describe_subnets(SubnetIds=[self.entries()[0]["gw_subnet_id"]])["Subnets"][0]["VpcId"]
        igw = ec2.describe_internet_gateways(Filters=[{"Name": "attachment.vpc-id", "Values": [vpc]}])
        igw_id = igw["InternetGateways"][0]["InternetGatewayId"]
        ec2.detach_internet_gateway(InternetGatewayId=igw_id, VpcId=vpc)
        try:
            out = self.deploy()
        finally:
            ec2.attach_internet_gateway(InternetGatewayId=igw_id, VpcId=vpc)
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertIn(f"{vpc} has no internet gateway attached: no public address in it can be reached",
                      self.errors(out))
        self.assertNothingLeft()

    def test_refusals_no_dry_run_sees_are_met_once_where_they_apply(self):
        ec2 = self.sandbox.client("ec2")
        gw = self.entries()[0]["gw_subnet_id"]
        zone = ec2.describe_subnets(SubnetIds=[gw])["Subnets"][0]["AvailabilityZone"]
        # No capacity in one zone: its entry fails after the zone's minute of retries, the others complete.
        self.sandbox.configure(insufficient_capacity={"zones": [zone], "share": 1.0})
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        errors = [e for e in self.errors(out) if "InsufficientInstanceCapacity" in e]
        self.assertEqual(len(errors), 1, out.stderr[-3000:])
        self.assertEqual(len(self.live_instances()), 2)
        # The access layer sends each try once: the dry run, the two launches, the zone's five tries.
        self.assertLessEqual(self.counts().get("ec2:RunInstances", 0), 1 + 2 + 5)
        self.sandbox.configure(insufficient_capacity=None)
        self.assertEqual(self.revert().returncode, 0)

        # A policy refusing a call no dry run covers: AWS's reason is decoded once, never logged whole.
        self.sandbox.configure(deny_actions=["ec2:AttachNetworkInterface"])
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        reasons = [line for line in out.stderr.splitlines() if "AWS's reason for the refusal above: " in line]
        self.assertEqual(len(reasons), 1, out.stderr[-3000:])
        self.assertIn("action ec2:AttachNetworkInterface", reasons[0])
        self.assertIn("explicit deny", reasons[0])
        self.assertNotRegex(out.stderr, r"[A-Za-z0-9_-]{200}", "an encoded message is never logged whole")
        self.sandbox.configure(deny_actions=[])
        self.assertEqual(self.revert().returncode, 0)

        # A region still being verified refuses the launches: nothing is left running.
        self.sandbox.configure(pending_verification=True)
        out = self.deploy()
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        launches = [e for e in self.errors(out) if "has no ec2_ip" not in e]
        self.assertTrue(launches and all("PendingVerification" in e for e in launches), launches)
        self.assertEqual(self.live_instances(), [])
        self.sandbox.configure(pending_verification=False)
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
