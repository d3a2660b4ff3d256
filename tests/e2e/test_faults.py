"""What AWS and people throw at the tool. A faulty or slow sandbox: a 20-entry deploy and its
revert still complete. Bad input, one case a test: one clear error line naming the input, a
non-zero exit, nothing left behind and no secret in any output."""
import json
import os
import re
import socket
import stat
import unittest

from e2e_support import ToolTest, start_sandbox, stop_sandbox

PAIRS = 20
SANDBOX = None


def setUpModule():
    global SANDBOX
    SANDBOX = start_sandbox("--pairs", str(PAIRS))


tearDownModule = stop_sandbox


class Reliability(ToolTest):
    def tearDown(self):
        SANDBOX.configure(throttle_share=0, error_share=0, drop_share=0, latency_ms=0)
        super().tearDown()

    def test_throttling_server_errors_and_dropped_connections(self):
        # QUENFOLD_FAULT_SEEDS=1,2,3 runs the scenario once per seed (each seed, other faults).
        for seed in os.environ.get("QUENFOLD_FAULT_SEEDS", "7").split(","):
            with self.subTest(seed=seed):
                SANDBOX.control("reset", {})
                SANDBOX.configure(seed=int(seed), throttle_share=0.20, error_share=0.05, drop_share=0.02)
                self.deploy_and_revert_everything(PAIRS)
                seen = self.faults_seen()
                print(f"\nseed {seed}: faults met by a {PAIRS}-entry deploy and revert: {seen}")
                for fault in ("throttle", "drop"):
                    self.assertGreater(seen.get(fault, 0), 0, f"no {fault} was injected: {seen}")
                self.assertGreater(seen.get("500", 0) + seen.get("503", 0), 0, seen)

    def test_200_ms_per_call(self):
        SANDBOX.configure(latency_ms=200)
        self.deploy_and_revert_everything(PAIRS)


def dead_port():
    """A local port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


ENTRY = {"gw_subnet_id": "subnet-1", "private_subnet_id": "subnet-2", "gw_private_ip": "10.0.1.10",
         "private_subnet_cidr": "10.0.101.0/24", "nat_gw_id": "gw-1"}


class BadInput(ToolTest):
    def setUp(self):
        super().setUp()
        with open(self.config, encoding="utf-8") as f:
            self.first = json.load(f)[0]

    def error_lines(self, stderr):
        return [line for line in stderr.splitlines() if "**Error**" in line]

    def assertRefused(self, out, names, status=1):
        """The run ended with `status` and exactly one error line, which names `names`; nothing
        was written or left in the sandbox."""
        self.assertEqual(out.returncode, status, out.stderr)
        lines = self.error_lines(out.stderr)
        self.assertEqual(len(lines), 1, out.stderr)
        self.assertIn(names, lines[0])
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.json")))
        self.assertNothingLeft()

    def write_config(self, name, content):
        path = os.path.join(self.work, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return path

    def refused_config(self, name, content, expect):
        path = self.write_config(name, content)
        out = self.deploy(config=path)
        self.assertRefused(out, path)
        self.assertIn(expect, out.stderr)
        self.assertEqual(self.counts(), {}, "no AWS call with a bad test configuration")

    def with_entry(self, **changes):
        entry = dict(ENTRY)
        for key, value in changes.items():
            if value is None:
                del entry[key]
            else:
                entry[key] = value
        return [entry]

    # ---- the test configuration -----------------------------------------------------------
    def test_config_missing(self):
        path = os.path.join(self.work, "missing.json")
        out = self.deploy(config=path)
        self.assertRefused(out, path)
        self.assertIn("No such file", out.stderr)

    def test_config_unreadable(self):
        path = os.path.join(self.work, "a-folder.json")
        os.mkdir(path)
        out = self.deploy(config=path)
        self.assertRefused(out, path)
        self.assertIn("it is a directory", out.stderr)

    def test_config_not_json(self):
        self.refused_config("not-json.json", '[{"gw_subnet_id": ', "is not valid JSON")

    def test_config_not_a_list(self):
        self.refused_config("not-a-list.json", ENTRY, "must be a JSON list")

    def test_config_empty_list(self):
        self.refused_config("empty.json", [], "the list is empty")

    def test_config_entries_not_objects(self):
        self.refused_config("not-objects.json", [ENTRY, "subnet-3"], "entry 1 is not an object")

    def test_config_gw_subnet_id_missing(self):
        self.refused_config("no-gw.json", self.with_entry(gw_subnet_id=None), 'no "gw_subnet_id"')

    def test_config_gw_subnet_id_not_text(self):
        self.refused_config("gw-number.json", self.with_entry(gw_subnet_id=5), '"gw_subnet_id" must be text')

    def test_config_private_subnet_id_missing(self):
        self.refused_config("no-private.json", self.with_entry(private_subnet_id=None), 'no "private_subnet_id"')

    def test_config_private_subnet_id_not_text(self):
        self.refused_config("private-list.json", self.with_entry(private_subnet_id=["subnet-2"]),
                            '"private_subnet_id" must be text')

    def test_config_private_subnet_cidr_missing(self):
        self.refused_config("no-cidr.json", self.with_entry(private_subnet_cidr=None), 'no "private_subnet_cidr"')

    def test_config_private_subnet_cidr_not_text(self):
        self.refused_config("cidr-null.json", self.with_entry(private_subnet_cidr=False),
                            '"private_subnet_cidr" must be text')

    def test_config_invalid_cidr(self):
        self.refused_config("bad-cidr.json", self.with_entry(private_subnet_cidr="10.0.300.0/24"),
                            "is not a valid IPv4 network")

    def test_config_nested_30000_deep(self):
        deep = json.dumps([ENTRY])[:-2] + ', "extra": ' + "[" * 30000 + "]" * 30000 + "}]"
        self.refused_config("deep.json", deep, "more than 64 levels")

    def test_config_with_a_nul_byte_and_more_after_the_list(self):
        self.refused_config("nul.json", json.dumps([ENTRY]) + "\0garbage", "NUL byte")

    def test_config_1000_entries_without_private_subnets_is_an_ordinary_deploy(self):
        # Not bad input: each entry is skipped with its line, and the output is the input.
        entries = [dict(ENTRY, gw_subnet_id=self.first["gw_subnet_id"], private_subnet_id="", nat_gw_id=f"gw-{i}")
                   for i in range(1000)]
        out = self.deploy(config=self.write_config("no-test-subnets.json", entries))
        self.assertEqual(out.returncode, 0, out.stderr[-2000:])
        self.assertEqual(out.stderr.count("-- private_subnet_id not defined"), 1000)
        with open(os.path.join(self.work, "out.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f), entries)

    def test_config_gateway_subnet_that_does_not_exist(self):
        entry = dict(self.first, gw_subnet_id="subnet-0000000000000dead")
        out = self.deploy(config=self.write_config("unknown-subnet.json", [entry]))
        self.assertRefused(out, "subnet-0000000000000dead")
        created = [op for op in self.counts() if re.search(r":(Create|Run|Authorize|Attach|Allocate)", op)]
        self.assertEqual(created, [])

    # ---- other inputs ----------------------------------------------------------------------
    def test_output_folder_missing(self):
        # Everything is deployed; only the output cannot be written, so the enriched list goes
        # to standard error for the user to keep, and a revert removes what was made.
        out = self.deploy(output="no-such-dir/out.json")
        self.assertEqual(out.returncode, 1)
        lines = self.error_lines(out.stderr)
        self.assertEqual(len(lines), 1, out.stderr)
        self.assertIn("no-such-dir/out.json", lines[0])
        self.assertIn('"ec2_2nd_private_ip"', out.stderr)
        self.assertEqual(self.revert().returncode, 0)
        self.assertNothingLeft()

    def test_region_of_50000_digits(self):
        out = self.deploy("--region", "1" * 50000)
        self.assertRefused(out, "doesn't match a supported format")
        self.assertEqual(self.counts(), {})

    def unreadable_aws_file(self, variable):
        folder = os.path.join(self.work, "aws-file")
        os.mkdir(folder)
        self.env[variable] = folder
        out = self.deploy()
        self.assertRefused(out, folder)
        self.assertEqual(self.counts(), {})

    def test_credentials_file_unreadable(self):
        self.unreadable_aws_file("AWS_SHARED_CREDENTIALS_FILE")

    def test_config_file_unreadable(self):
        self.unreadable_aws_file("AWS_CONFIG_FILE")

    def test_unknown_profile(self):
        out = self.deploy("--profile", "no-such-profile")
        self.assertRefused(out, "no-such-profile")
        self.assertEqual(self.counts(), {})

    def test_endpoint_refusing_connections(self):
        endpoint = f"http://127.0.0.1:{dead_port()}/"
        self.env["AWS_ENDPOINT_URL"] = endpoint
        out = self.deploy()
        self.assertRefused(out, f'"{endpoint}"')
        self.assertIn("Couldn't connect", out.stderr)
        # A revert reports the same endpoint and does not claim success.
        out = self.revert()
        self.assertEqual(out.returncode, 1)
        self.assertIn(f'"{endpoint}"', out.stderr)


class PlantedFilesAndValues(ToolTest):
    """A folder shared with someone else, and values meant to forge log lines."""

    def test_link_at_the_log_path_is_refused_and_its_target_neither_written_nor_uploaded(self):
        secret = os.path.join(self.work, "credentials")
        with open(secret, "w") as f:
            f.write("[default]\naws_secret_access_key = planted\n")
        os.makedirs(os.path.join(self.work, "backup", "log"))
        os.symlink(secret, os.path.join(self.work, "backup", "log", "quenfold_testlibs.log"))
        bucket = self.sandbox.vars["QUENFOLD_SANDBOX_BUCKET"]
        out = self.deploy("--s3_bucket", bucket)
        self.assertEqual(out.returncode, 1, out.stderr)
        errors = [line for line in out.stderr.splitlines() if "**Error**" in line]
        self.assertEqual(len(errors), 1, out.stderr)
        self.assertIn("backup/log/quenfold_testlibs.log: it is a symbolic link", errors[0])
        with open(secret) as f:
            self.assertEqual(f.read(), "[default]\naws_secret_access_key = planted\n")
        self.assertEqual(self.state()["s3"].get(bucket, []), [])
        self.assertEqual(self.counts(), {})

    def test_control_characters_in_a_value_are_escaped_in_the_log(self):
        with open(self.config, encoding="utf-8") as f:
            first = json.load(f)[0]
        forged = "nat-1\r\n2026-01-01 00:00:00,000 - info - forged\x1b[2J\x00"
        path = os.path.join(self.work, "forged.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump([first, {"gw_subnet_id": first["gw_subnet_id"], "private_subnet_id": "", "nat_gw_id": forged}], f)
        out = self.deploy("--dry_run", config=path)
        with open(os.path.join(self.work, "backup", "log", "quenfold_testlibs.log"), encoding="utf-8") as f:
            logged = f.read()
        escaped = "Skip nat-1\\r\\n2026-01-01 00:00:00,000 - info - forged\\x1b[2J\\x00 -- private_subnet_id"
        for text in (out.stderr, logged):
            self.assertIn(escaped, text)
            self.assertFalse(any(line.startswith("2026-01-01 00:00:00,000 - info - forged") for line in text.splitlines()))
            self.assertNotIn("\x1b", text)
            self.assertNotIn("\x00", text)

    def test_backup_folder_log_folder_and_log_are_owner_only_under_umask_0(self):
        old = os.umask(0)
        try:
            out = self.revert("--dry_run")
        finally:
            os.umask(old)
        self.assertEqual(out.returncode, 0, out.stderr)
        for name, mode in (("backup", 0o700), ("backup/log", 0o700), ("backup/log/quenfold_testlibs.log", 0o600)):
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.work, name)).st_mode), mode, name)


if __name__ == "__main__":
    unittest.main()
