"""The EC2 instance metadata service (IMDSv2 tokens and IMDSv1) and the public IP echo.

The metadata service answers as the workflow engine's own EC2 instance would: its identity
document and its instance role's credentials, which the proxy accepts like any other key."""
import datetime
import json
import secrets
import threading

from .httpserve import QuietHandler

ROLE_NAME = "quenfold-workflow-engine-role"
INSTANCE_ID = "i-0sandbox0engine01"


class Imds:
    def __init__(self, sandbox, account, region, zone):
        self.sandbox = sandbox
        self.account, self.region, self.zone = account, region, zone
        self._tokens = {}
        self._lock = threading.Lock()
        key = "ASIA" + secrets.token_hex(8).upper()
        self.credentials = {"AccessKeyId": key, "SecretAccessKey": secrets.token_urlsafe(30),
                            "Token": "IQoJb3JpZ2luX2VjE" + secrets.token_urlsafe(60)}
        sandbox.keys.add(key, self.credentials["SecretAccessKey"], self.credentials["Token"])

    # Token lifetimes run in real seconds, as on EC2: a scaled clock would expire a six-hour
    # token within minutes of a long test run.
    def issue_token(self, ttl):
        token = "AQAEA" + secrets.token_urlsafe(40)
        with self._lock:
            self._tokens[token] = self.sandbox.clock.wall() + ttl
        return token

    def token_valid(self, token):
        with self._lock:
            expiry = self._tokens.get(token)
        return expiry is not None and self.sandbox.clock.wall() < expiry

    def document(self):
        return {"accountId": self.account, "architecture": "x86_64", "availabilityZone": self.zone,
                "imageId": "ami-0sandbox0engine01", "instanceId": INSTANCE_ID, "instanceType": "t3.medium",
                "pendingTime": "2026-01-01T00:00:00Z", "privateIp": "10.0.0.10", "region": self.region,
                "version": "2017-09-30"}

    def role_credentials(self):
        expiry = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=6)
        stamp = lambda t: t.strftime("%Y-%m-%dT%H:%M:%SZ")  # noqa: E731
        return {"Code": "Success", "LastUpdated": stamp(datetime.datetime.now(datetime.timezone.utc)),
                "Type": "AWS-HMAC", **self.credentials, "Expiration": stamp(expiry)}

    def answer(self, method, path, headers):
        """(status, content type, body text) for one metadata request."""
        path = path.split("?", 1)[0]
        if method == "PUT":
            if path != "/latest/api/token":
                return 403, "text/plain", "Forbidden"
            ttl = headers.get("X-aws-ec2-metadata-token-ttl-seconds")
            if not ttl or not ttl.isdigit() or not 1 <= int(ttl) <= 21600:
                return 400, "text/plain", "Bad Request"
            return 200, "text/plain", self.issue_token(int(ttl))
        if method != "GET":
            return 405, "text/plain", "Method Not Allowed"
        token = headers.get("X-aws-ec2-metadata-token")
        if token is not None and not self.token_valid(token):
            return 401, "text/plain", "Unauthorized"
        if token is None and self.sandbox.config.get("imds_require_token"):
            return 401, "text/plain", "Unauthorized"
        if path == "/latest/dynamic/instance-identity/document":
            status = self.sandbox.config.get("imds_identity_status")
            if status != 200:
                return status, "text/plain", "Not Found"
            return 200, "text/plain", json.dumps(self.document(), indent=2)
        creds = "/latest/meta-data/iam/security-credentials/"
        if path == creds:
            return 200, "text/plain", ROLE_NAME
        if path == creds + ROLE_NAME:
            return 200, "text/plain", json.dumps(self.role_credentials(), indent=2)
        simple = {
            "/latest/meta-data/instance-id": INSTANCE_ID,
            "/latest/meta-data/placement/region": self.region,
            "/latest/meta-data/placement/availability-zone": self.zone,
            "/latest/meta-data/local-ipv4": "10.0.0.10",
            "/latest/meta-data/": "instance-id\nlocal-ipv4\nplacement/\niam/",
        }
        if path in simple:
            return 200, "text/plain", simple[path]
        return 404, "text/plain", "Not Found"


class ImdsHandler(QuietHandler):
    imds = None

    def do_GET(self):
        self.read_body()
        status, ctype, text = self.imds.answer(self.command, self.path, self.headers)
        # Counted like AWS calls, so a test can tell whether the tool asked the metadata service.
        self.imds.sandbox.calls.record(f"imds:{self.command} {self.path.split('?', 1)[0]}", status=status)
        self.reply(status, [("Content-Type", ctype)], text.encode())

    do_PUT = do_POST = do_DELETE = do_GET


class EchoHandler(QuietHandler):
    """GET /?format=json -> {"ip": "..."}: the caller's public address as the echo sees it."""
    sandbox = None

    def do_GET(self):
        self.read_body()
        cfg = self.sandbox.config
        status = cfg.get("echo_status")
        self.sandbox.calls.record("echo:GET", status=status, path=self.path)
        if status != 200:
            return self.reply(status, [("Content-Type", "text/plain")], b"unavailable\n")
        if "format=json" in self.path:
            return self.reply_json(200, {"ip": cfg.get("echo_ip")})
        return self.reply(200, [("Content-Type", "text/plain")], cfg.get("echo_ip").encode() + b"\n")


def imds_handler(imds):
    return type("BoundImdsHandler", (ImdsHandler,), {"imds": imds})


def echo_handler(sandbox):
    return type("BoundEchoHandler", (EchoHandler,), {"sandbox": sandbox})
