"""Starts and stops a private sandbox for a test module, and talks to its control API."""
import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SANDBOX = os.path.join(ROOT, "sandbox")


_SESSION = []


def _session():
    """One botocore session for every client: it loads each service model once, not per client."""
    if not _SESSION:
        import botocore.session
        session = botocore.session.Session()
        session.set_config_variable("credentials_file", os.devnull)
        session.set_config_variable("config_file", os.devnull)
        _SESSION.append(session)
    return _SESSION[0]


class SandboxProcess:
    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="quenfold-sandbox-")
        self.env = dict(os.environ, QUENFOLD_SANDBOX_DIR=self.dir)
        out = subprocess.run([os.path.join(SANDBOX, "start"), "--watch-pid", str(os.getpid()), *args],
                             env=self.env, capture_output=True,
                             text=True, timeout=120)
        if out.returncode != 0:
            raise RuntimeError(f"sandbox did not start: {out.stderr}")
        self.ready_line = out.stdout
        with open(os.path.join(self.dir, "env.json")) as f:
            self.vars = json.load(f)
        self.refresh()
        self.pid = self.info["pid"]

    def refresh(self):
        """Reads info.json again (a reset seeds new ids)."""
        with open(os.path.join(self.dir, "info.json")) as f:
            self.info = json.load(f)

    def stop(self):
        out = subprocess.run([os.path.join(SANDBOX, "stop")], env=self.env, capture_output=True, text=True,
                             timeout=30)
        if os.environ.get("QUENFOLD_SANDBOX_KEEP"):
            print(f"sandbox run folder kept: {self.dir}")
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        return out

    def control(self, route, payload=None):
        data = None if payload is None else json.dumps(payload).encode()
        req = urllib.request.Request(f"{self.vars['QUENFOLD_SANDBOX_CONTROL']}/{route}", data=data,
                                     method="POST" if data is not None else "GET")
        with urllib.request.urlopen(req, timeout=30) as resp:
            return json.loads(resp.read())

    def configure(self, **knobs):
        return self.control("config", knobs)

    def client(self, service, endpoint=None, attempts=None, **creds):
        import botocore.config
        session = _session()
        config = botocore.config.Config(retries={"total_max_attempts": attempts or 1, "mode": "standard"},
                                        connect_timeout=10, read_timeout=30)
        return session.create_client(
            service, region_name=self.vars["AWS_REGION"],
            endpoint_url=endpoint or self.vars["AWS_ENDPOINT_URL"],
            verify=self.vars["AWS_CA_BUNDLE"], config=config,
            aws_access_key_id=creds.get("key", self.vars["AWS_ACCESS_KEY_ID"]),
            aws_secret_access_key=creds.get("secret", self.vars["AWS_SECRET_ACCESS_KEY"]),
            aws_session_token=creds.get("token"))
