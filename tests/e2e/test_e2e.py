"""The real deploy_test_ec2 binary against a private sandbox: deploy, revert, dry run, reuse,
the driver's checks and the workflow account, each checked through the sandbox's own state."""
import json
import os
import re
import stat
import unittest

from e2e_support import RESULTS_TOOL, ToolTest, start_sandbox, stop_sandbox

SANDBOX = None


def setUpModule():
    global SANDBOX
    SANDBOX = start_sandbox()


tearDownModule = stop_sandbox


class DeployAndRevert(ToolTest):
    def test_plain_deploy_writes_the_enriched_configuration_and_revert_removes_everything(self):
        config = os.path.join(SANDBOX.dir, "test_config_skip.json")
        with open(config, encoding="utf-8") as f:
            entries = json.load(f)
        out = self.deploy(config=config)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("**Error** Skip", out.stderr)

        written = self.read("out.json")
        result = json.loads(written)
        self.assertEqual(written, json.dumps(result, indent=2, ensure_ascii=True) + "\n", "output form")
        for before, after in zip(entries, result):
            self.assertEqual(list(after)[:len(before)], list(before), "input keys keep their order")
            if before["private_subnet_id"]:
                self.assertEqual(list(after)[len(before):], ["ec2_ip", "ec2_2nd_private_ip"])
                self.assertTrue(after["ec2_2nd_private_ip"].startswith(before["private_subnet_cidr"][:7]))
            else:
                self.assertEqual(after, before)

        s = self.state()
        instances = self.live_instances()
        self.assertEqual(len(instances), 3)
        for inst in instances:
            self.assertEqual(inst["tags"]["Name"], "quenfold-test-ec2")
            self.assertEqual(sorted(n["device_index"] for n in inst["network_interfaces"]), [0, 1])
        group = next(g for g in s["security_groups"] if g["name"] == "quenfold-test-ec2-sg")
        self.assertEqual(json.dumps(group["ingress"]).count("/32"), 1)
        self.assertIn("203.0.113.7/32", json.dumps(group["ingress"]))
        private = next(g for g in s["security_groups"] if g["name"] == "quenfold-test-ec2-private-interface-sg")
        self.assertEqual(private["ingress"], [])
        key = f"quenfold-test-ec2-key-pair-{s['vpc_id']}"
        pem = os.path.join(self.work, "backup", key + ".pem")
        self.assertEqual(stat.S_IMODE(os.stat(pem).st_mode), 0o600)
        pem_text = self.read(os.path.join("backup", key + ".pem"))
        self.assertIn("PRIVATE KEY-----", pem_text)
        self.assertTrue(pem_text.endswith("\n"))
        self.assertTrue(os.path.exists(os.path.join(self.work, "backup", "log", "quenfold_testlibs.log")))

        out = self.revert()
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNothingLeft()
        again = self.revert()
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("Key not found", again.stderr)

    def test_eip_and_default_role(self):
        SANDBOX.configure(profile_delay_s=40)
        out = self.deploy("--eip", "--ec2_role", "default", "--account", "123456789012", "--tag_resource", "Owner,qa")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("is not ready, retry in 10 sec", out.stderr)
        result = json.loads(self.read("out.json"))
        s = self.state()
        eips = {a["PublicIp"] for a in s["addresses"]}
        self.assertEqual({e["ec2_ip"] for e in result}, eips)
        self.assertEqual(len(eips), 3)
        self.assertTrue(all(i["iam_instance_profile"] for i in self.live_instances()))
        self.assertEqual(sorted(self.tool_leftovers()["iam"]),
                         ["quenfold-test-ec2-instance-profile", "quenfold-test-ec2-policy", "quenfold-test-ec2-role"])
        out = self.revert("--eip", "--ec2_role", "default")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNothingLeft()

    def test_second_deploy_reuses_everything(self):
        first = self.deploy()
        self.assertEqual(first.returncode, 0, first.stderr)
        SANDBOX.control("reset-counts", {})
        second = self.deploy(output="out2.json")
        self.assertEqual(second.returncode, 0, second.stderr)
        counts = self.counts()
        for op in ("ec2:RunInstances", "ec2:CreateSecurityGroup", "ec2:CreateKeyPair", "ec2:CreateNetworkInterface"):
            self.assertNotIn(op, counts)
        self.assertEqual(self.read("out.json"), self.read("out2.json"))
        self.assertIn("Reuse existing SG", second.stderr)

    def test_dry_run_creates_nothing_and_still_writes_the_output(self):
        out = self.deploy("--dry_run")
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(self.config, encoding="utf-8") as f:
            self.assertEqual(json.loads(self.read("out.json")), json.load(f))
        created = [op for op in self.served() if any(w in op for w in (":Create", ":Run", ":Authorize", ":Attach"))]
        self.assertEqual(created, [])
        self.assertNothingLeft()

    def test_revert_keeps_shared_resources_while_an_instance_remains(self):
        self.assertEqual(self.deploy().returncode, 0)
        with open(self.config) as f:
            entries = json.load(f)
        entries[1]["private_subnet_id"] = ""
        partial = os.path.join(self.work, "partial.json")
        with open(partial, "w") as f:
            json.dump(entries, f)
        out = self.revert(config=partial)
        self.assertEqual(out.returncode, 1)
        self.assertIn("test instances remain", out.stderr)
        left = self.tool_leftovers()
        self.assertEqual(len(left["instances"]), 1)
        self.assertEqual(len(left["groups"]), 2)
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()


class DriverChecksAndWorkflowAccount(ToolTest):
    def test_usage_errors_and_checks(self):
        self.assertEqual(self.run_tool().returncode, 2)
        # --version: the program's name and the project's version (and commit), for both programs.
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt"), encoding="utf-8") as f:
            version = re.search(r"project\(quenfold_testlibs VERSION (\S+)", f.read()).group(1)
        for tool, name in ((None, "deploy_test_ec2"), (RESULTS_TOOL, "get_s3_test_results")):
            out = self.run_tool("--version", tool=tool)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertRegex(out.stdout, rf"^{name} {re.escape(version)}( \(commit [0-9a-f]+\))?\n$")
        out = self.run_tool("--test_config", self.config, "--backup_folder", "b")
        self.assertEqual(out.returncode, 2)
        self.assertIn("--output_test_config", out.stderr)
        for folder in ("/tmp/x", "./x", "../x", ".x"):
            out = self.run_tool("--revert", "--test_config", self.config, "--backup_folder", folder)
            self.assertEqual(out.returncode, 1, folder)
            self.assertIn('Please remove the beginning "/" or a "." from backup_folder ' + folder, out.stderr)
        out = self.revert("--tag_resource", "a,b,c")
        self.assertEqual(out.returncode, 1)
        self.assertIn("**Error** incomplete tag_resource pair", out.stderr)
        self.assertEqual(self.counts(), {}, "no AWS call before the checks pass")

    def test_workflow_role_downloads_the_key_and_uploads_the_log(self):
        key = SANDBOX.vars["QUENFOLD_SANDBOX_KEY_NAME"]
        bucket = SANDBOX.vars["QUENFOLD_SANDBOX_BUCKET"]
        role = SANDBOX.vars["QUENFOLD_SANDBOX_WORKFLOW_ROLE"]
        out = self.deploy("--workflow_account_role", role, "--key_name", key, "--s3_bucket", bucket)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(f"- Use role arn:aws:iam::123456789012:role/{role} for SSM access", out.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.work, key)).st_mode), 0o600)
        self.assertIn("BEGIN", self.read(key))
        self.assertIn("sts:AssumeRole", self.counts())
        self.assertTrue(all(i["key_name"] == key for i in self.live_instances()))
        objects = [o["key"] for o in self.state()["s3"][bucket]]
        self.assertIn("backup/log/quenfold_testlibs.log", objects)

        out = self.revert("--s3_bucket", bucket, "--workflow_account_role", role, "--key_name", key)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNotIn("Use role", out.stderr, "a revert makes no workflow session")
        self.assertNothingLeft()

    def test_workflow_role_fields_and_the_identity_document(self):
        role = SANDBOX.vars["QUENFOLD_SANDBOX_WORKFLOW_ROLE"]
        # Role, number and region given: no identity request.
        out = self.deploy("--workflow_account_role", f"{role},123456789012,us-east-1", "--dry_run")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertFalse([k for k in self.counts() if k.startswith("imds:") and "identity" in k])
        # Two fields: the number is ignored and both come from the identity document.
        SANDBOX.control("reset-counts", {})
        out = self.deploy("--workflow_account_role", f"{role},999999999999", "--dry_run")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(f"- Use role arn:aws:iam::123456789012:role/{role} for SSM access", out.stderr)
        self.assertTrue([k for k in self.counts() if k.startswith("imds:") and "identity" in k])
        # The document cannot be read: the run ends with its line and status 1.
        SANDBOX.configure(imds_identity_status=404)
        try:
            out = self.deploy("--workflow_account_role", role)
        finally:
            SANDBOX.configure(imds_identity_status=200)
        self.assertEqual(out.returncode, 1)
        self.assertIn("  **Error** failed to deduce workflow account number from meta data", out.stderr)
        self.assertNotIn("ec2:RunInstances", self.served())

    def test_refused_role_stops_the_run(self):
        out = self.revert("--assume_role", "arn:aws:iam::123456789012:role/no-such-role")
        self.assertEqual(out.returncode, 1)
        self.assertIn("AccessDenied", out.stderr)
        self.assertFalse([k for k in self.counts() if k.startswith("ec2:")])


class CommandLineAndConfiguration(ToolTest):
    def error_lines(self, out):
        return [line for line in out.stderr.splitlines() if "**Error**" in line or ": error:" in line]

    def test_options_are_never_values_and_empty_values_are_checked(self):
        for args, status, text in (
                (("--key_name", "--dry_run"), 2, "error: argument --key_name: expected one argument"),
                (("--tag_resource=",), 1, "**Error** incomplete tag_resource pair"),
                (("--tag_resource", "Owner,qa,Name,mine"), 1,
                 "**Error** tag_resource must not set the Name tag"),
                (("--backup_folder", ""), 2, "error: argument --backup_folder: must not be empty"),
                (("--output_test_config", ""), 2, "argument --output_test_config is required when deploying"),
                (("--backup_folder", "x/../../elsewhere"), 1,
                 '**Error** backup_folder x/../../elsewhere must not contain a ".." segment')):
            with self.subTest(args=args):
                out = self.run_tool("--test_config", self.config, "--output_test_config", "out.json",
                                    "--backup_folder", "backup", *args)
                self.assertEqual(out.returncode, status, out.stderr[-2000:])
                self.assertEqual(len(self.error_lines(out)), 1, out.stderr[-2000:])
                self.assertIn(text, self.error_lines(out)[0])
                self.assertFalse(os.path.exists(os.path.join(self.work, "out.json")))
        self.assertEqual(self.counts(), {}, "no AWS call")
        self.assertFalse(os.path.exists("/log/quenfold_testlibs.log"))

    def test_a_list_without_test_subnets_is_an_ordinary_deploy(self):
        with open(self.config, encoding="utf-8") as f:
            first = json.load(f)[0]
        entries = [{"gw_name": f"gw{i}", "nat_gw_id": f"nat-{i}", "gw_subnet_id": first["gw_subnet_id"],
                    "private_subnet_id": ""} for i in range(3)]
        config = os.path.join(self.work, "no-test-subnets.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump(entries, f)
        out = self.deploy(config=config)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertEqual(out.stderr.count("-- private_subnet_id not defined"), 3)
        self.assertEqual(json.loads(self.read("out.json")), entries)
        self.assertEqual(len([g for g in self.state()["security_groups"] if g["name"].startswith("quenfold")]), 2)
        out = self.revert(config=config)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNothingLeft()

    def test_an_unusable_range_fails_only_its_own_entry(self):
        with open(self.config, encoding="utf-8") as f:
            entries = json.load(f)
        entries[0]["private_subnet_cidr"] = entries[0]["private_subnet_cidr"].replace(".0/", ".7/")
        config = os.path.join(self.work, "host-bits.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump(entries, f)
        out = self.deploy(config=config)
        self.assertEqual(out.returncode, 1, out.stderr[-3000:])
        self.assertIn(f"**Error** {entries[0]['gw_subnet_id']}: private_subnet_cidr "
                      f"{entries[0]['private_subnet_cidr']} cannot be used", out.stderr)
        written = json.loads(self.read("out.json"))
        self.assertNotIn("ec2_ip", written[0])
        self.assertTrue(all("ec2_ip" in e and "ec2_2nd_private_ip" in e for e in written[1:]))
        out = self.revert(config=config)
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
