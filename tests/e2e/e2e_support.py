"""What the end-to-end suites share: running the real binary against a private sandbox, and
reading back what it left there."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sandbox"))
from sandboxproc import SandboxProcess  # noqa: E402

TOOL = os.environ.get("QUENFOLD_TOOL", os.path.join(HERE, "..", "..", "build", "asan", "deploy_test_ec2"))
RESULTS_TOOL = os.environ.get("QUENFOLD_RESULTS_TOOL", os.path.join(os.path.dirname(TOOL), "get_s3_test_results"))


class ToolTest(unittest.TestCase):
    sandbox = None  # the module's SandboxProcess, set by its setUpModule

    def setUp(self):
        self.sandbox.control("reset", {})
        self.sandbox.refresh()
        self.sandbox.control("reset-counts", {})
        self.work = tempfile.mkdtemp(prefix="quenfold-e2e-")
        self.env = dict(os.environ)
        self.env.update(self.sandbox.vars)
        self.config = os.path.join(self.sandbox.dir, "test_config.json")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_tool(self, *args, tool=None, env=None, cwd=None):
        out = subprocess.run([tool or TOOL, *args], cwd=cwd or self.work, env=env or self.env, capture_output=True,
                             text=True, timeout=600)
        secret = self.env.get("AWS_SECRET_ACCESS_KEY")
        for stream in (out.stdout, out.stderr):
            self.assertNotIn(secret, stream, "a secret reached the output")
            self.assertNotIn("PRIVATE KEY", stream, "a private key reached the output")
        return out

    def start_tool(self, *args):
        """Starts the tool stopped (a shell that stops itself, then execs it), so that a test can
        aim a sandbox knob at its pid before its first call; `resume` lets it go."""
        proc = subprocess.Popen(["sh", "-c", 'kill -STOP $$; exec "$@"', "sh", TOOL, *args], cwd=self.work,
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        _, status = os.waitpid(proc.pid, os.WUNTRACED)
        self.assertTrue(os.WIFSTOPPED(status))
        return proc

    @staticmethod
    def resume(proc):
        os.kill(proc.pid, signal.SIGCONT)

    def deploy_args(self, *extra, config=None, output="out.json"):
        return ["--test_config", config or self.config, "--output_test_config", output, "--backup_folder", "backup",
                *extra]

    def revert_args(self, *extra, config=None):
        return ["--revert", "--test_config", config or self.config, "--backup_folder", "backup", *extra]

    def deploy(self, *extra, config=None, output="out.json"):
        return self.run_tool(*self.deploy_args(*extra, config=config, output=output))

    def revert(self, *extra, config=None):
        return self.run_tool(*self.revert_args(*extra, config=config))

    def state(self):
        return self.sandbox.control("state")

    def counts(self):
        return self.sandbox.control("calls")["counts"]

    def served(self):
        """The calls AWS carried out (answered 2xx): a dry run (412) or a refusal changed nothing."""
        return [str(c.get("op", "")) for c in self.sandbox.control("calls")["calls"]
                if isinstance(c.get("status"), int) and c["status"] < 300]

    def live_instances(self):
        return [i for i in self.state()["instances"] if i["state"] not in ("terminated", "shutting-down")]

    def tool_leftovers(self):
        s = self.state()
        return {
            "instances": [i["id"] for i in s["instances"] if i["state"] not in ("terminated", "shutting-down")],
            "interfaces": [n["id"] for n in s["network_interfaces"]
                           if n["tags"].get("Name") == "quenfold-test-ec2-network-interface"],
            "groups": [g["name"] for g in s["security_groups"] if g["name"].startswith("quenfold-test-ec2")],
            "key_pairs": [k["name"] for k in s["key_pairs"] if k["name"].startswith("quenfold-test-ec2")],
            "addresses": s["addresses"],
            "iam": [x["name"] for kind in ("policies", "roles", "instance_profiles") for x in s["iam"][kind]
                    if x["name"].startswith("quenfold-test-ec2")],
        }

    def assertNothingLeft(self):
        self.assertEqual(self.tool_leftovers(), {"instances": [], "interfaces": [], "groups": [], "key_pairs": [],
                                                 "addresses": [], "iam": []})

    def deploy_and_revert_everything(self, pairs):
        """A deploy gives every entry both addresses and leaves `pairs` live instances; the
        revert then removes everything; both exit 0."""
        out = self.deploy()
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        result = json.loads(self.read("out.json"))
        self.assertEqual(len(result), pairs)
        for entry in result:
            self.assertRegex(entry.get("ec2_ip", ""), r"^\d+\.\d+\.\d+\.\d+$", entry["gw_subnet_id"])
            self.assertTrue(entry.get("ec2_2nd_private_ip", "").startswith(entry["private_subnet_cidr"][:7]),
                            entry["gw_subnet_id"])
        self.assertEqual(len(self.live_instances()), pairs)
        out = self.revert()
        self.assertEqual(out.returncode, 0, out.stderr[-3000:])
        self.assertNothingLeft()

    def faults_seen(self):
        """How many calls met each kind of fault, from the sandbox's call log."""
        seen = {}
        for call in self.sandbox.control("calls")["calls"]:
            if call.get("fault"):
                seen[str(call["fault"])] = seen.get(str(call["fault"]), 0) + 1
        return seen

    def read(self, name):
        with open(os.path.join(self.work, name), encoding="utf-8") as f:
            return f.read()


def start_sandbox(*args):
    """Starts the module's private sandbox (for its setUpModule) and hands it to every ToolTest."""
    ToolTest.sandbox = SandboxProcess(*args)
    return ToolTest.sandbox


def stop_sandbox():
    """The module's tearDownModule."""
    if ToolTest.sandbox:
        ToolTest.sandbox.stop()
        ToolTest.sandbox = None
