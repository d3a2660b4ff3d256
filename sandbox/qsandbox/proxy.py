"""The proxy in front of moto: latency, throttling, EC2's rate limits, 5xx, dropped
connections, scripted errors, SigV4 verification, the account's policies (explicit denies, dry
runs), the instance-profile delay, EC2's eventual consistency, the kill switch and a call log; plus the control API under /_sandbox/ for tests
to turn the knobs and read what happened."""
import json
import re
import sys
import traceback
import xml.etree.ElementTree as ET
from urllib.parse import urlsplit

from . import faults, paging, protocol, ratelimits, sigv4, sso
from .httpserve import QuietHandler

_CODE_RE = re.compile(rb"<Code>([^<]+)</Code>")


def error_code_of(body):
    m = _CODE_RE.search(body or b"")
    if m:
        return m.group(1).decode()
    if body[:1] == b"{":
        try:
            return json.loads(body).get("__type")
        except ValueError:
            return None
    return None


class ProxyHandler(QuietHandler):
    sandbox = None  # set by make_handler

    def do_GET(self):
        self.handle_any()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_GET

    def handle_any(self):
        body = self.read_body()
        path = self.path
        if path.startswith("/_sandbox/"):
            return self.control(path, body)
        if path.startswith("/moto-api"):
            try:
                status, headers, data, _ = self.sandbox.moto.call(self.command, path, list(self.headers.items()), body)
            except Exception as exc:  # moto's own API failed; say why instead of hanging up
                traceback.print_exc(file=sys.stderr)
                return self.reply_json(500, {"error": repr(exc)})
            return self.reply(status, headers, data)
        sso_op = sso.handles(self.command, path, self.headers)
        if sso_op:
            return self.reply(*self.sandbox.sso.serve(sso_op, path, self.headers, body))
        return self.aws_call(path, body)

    # ---- AWS calls --------------------------------------------------------------------------
    def aws_call(self, path, body):
        sb = self.sandbox
        headers = list(self.headers.items())
        service, op = protocol.identify(self.command, path, self.headers, body)
        op_key = f"{service}:{op}"
        kill = sb.killswitch.arrive()
        scope = protocol.credential_scope(self.headers.get("Authorization"))
        who = scope[0] if scope else None
        if kill and kill[0] == "dying":  # the caller is being killed: this call dies with it
            sb.calls.record(op_key, status=None, fault="kill", key=who, pid=kill[1], served=None)
            self.close_connection = True
            return
        n = sb.calls.arrive(op_key)
        cfg = sb.config.snapshot()
        fault, latency = faults.decide(cfg, op_key, n)
        if kill:
            fault = None  # the k-th call is served: no drawn or scripted fault stands in its way
        sb.clock.sleep(latency)
        if fault == "drop":
            sb.calls.record(op_key, status=None, fault="drop", key=who)
            self.close_connection = True
            return
        answer = None
        if cfg["verify_sigv4"]:
            try:
                sigv4.verify(self.command, path, headers, body, sb.keys, scheme=self.scheme,
                             now=sb.clock.wall() + cfg["clock_skew_s"], operation=(service, op),
                             nominal_now=sb.clock.now())
                sb.sso.check_expiry(who)
            except sigv4.Rejection as rejection:
                answer = protocol.table_response(rejection.table, service)
                fault = "auth"
        bucket = None
        params = protocol.form_params(self.command, path, self.headers, body) if service == "ec2" else {}
        if answer is None and service == "ec2" and sb.ratelimits.active:
            region = scope[2] if scope else None
            bucket = sb.ratelimits.take(region, op, params)
            if bucket:
                answer = ratelimits.refusal()
                fault = "rate_limit"
        if answer is None:
            injected = None if kill else sb.config.take_injection(op_key)
            if injected:
                answer = protocol.error_response(service, int(injected.get("status", 400)),
                                                 injected.get("code", "InternalError"),
                                                 injected.get("message", "Injected by the sandbox"))
                fault = "inject"
            elif fault == "throttle":
                answer = protocol.throttle_response(service)
            elif fault in (500, 503):
                answer = protocol.server_error_response(service, fault)
        if answer is None:
            answer, fault = sb.guard(cfg, service, op, self.headers, path, body, scope,
                                     params if service == "ec2" else None)
        if answer is None and service == "ec2":
            answer = sb.consistency_check(op, params)
            if answer is not None:
                fault = "consistency"
        if answer is None:
            answer = sb.fidelity_precheck(service, op, self.headers, path, body, scope)
            if answer is not None:
                fault = "fidelity"
        if answer is None:
            answer = sb.own_answer(service, op, self.headers, path, body, scope)
        moto_s = None
        hidden = 0
        page = None
        moto_path, moto_body = path, body
        if answer is None and service == "ec2" and paging.wanted(op, params):
            answer, page = paging.window(op, params, cfg["describe_page_size"])
            moto_path, moto_body = paging.unpaged(path, self.headers, body, op)
        if answer is None:
            try:
                status, rheaders, data, moto_s = sb.moto.call(self.command, moto_path, headers, moto_body)
            except Exception:  # moto raised instead of answering
                traceback.print_exc(file=sys.stderr)
                status, rheaders, data = 500, [("Content-Type", "text/html")], b"<html>moto raised</html>"
            if status >= 500 and b"<html" in data[:200].lower():
                # moto failed inside (often an unimplemented feature): answer like AWS would.
                status, rheaders, data = protocol.error_response(
                    service, 500, protocol.SERVER_ERROR[500].get(service, "InternalError"),
                    "The sandbox's emulator failed on this request (see the sandbox log).")
            else:
                data = sb.observe(service, op, self.headers, path, body, status, data)
                if service == "ec2" and status == 200:
                    data, hidden = sb.hide_young(op, params, data)
                    if hidden:
                        fault = "consistency"
                    if page:
                        data = paging.cut(op, data, *page)
            answer = (status, list(rheaders.items()) if isinstance(rheaders, dict) else list(rheaders), data)
        status, rheaders, data = answer
        if isinstance(rheaders, dict):
            rheaders = list(rheaders.items())
        code = error_code_of(data) if status >= 300 else None
        extra = {"bucket": bucket} if bucket else {}
        if hidden:
            extra["hidden"] = hidden
        moto_ms = None if moto_s is None else round(moto_s * 1000, 3)
        if kill:
            # The k-th call was served; its caller dies before it can read the answer.
            error = sb.kill(kill[1])
            sb.calls.record(op_key, status=None, code=code, fault="kill", key=who, moto_ms=moto_ms, pid=kill[1],
                            served=status, **({"kill_error": error} if error else {}), **extra)
            self.close_connection = True
            return
        sb.calls.record(op_key, status=status, code=code, fault=fault if fault else None,
                        key=who, moto_ms=moto_ms, **extra)
        self.reply(status, rheaders, data)

    @property
    def scheme(self):
        return "https" if getattr(self.server, "ssl_context", None) else "http"

    # ---- control API --------------------------------------------------------------------------
    def control(self, path, body):
        sb = self.sandbox
        route = urlsplit(path).path[len("/_sandbox/"):].rstrip("/")
        try:
            payload = json.loads(body) if body else {}
        except ValueError:
            return self.reply_json(400, {"error": "body is not JSON"})
        try:
            if route == "config" and self.command == "GET":
                return self.reply_json(200, sb.config.snapshot())
            if route == "config" and self.command == "POST":
                sb.configure(payload)
                return self.reply_json(200, sb.config.snapshot())
            if route == "calls":
                return self.reply_json(200, sb.calls.dump())
            if route == "ratelimits":
                return self.reply_json(200, sb.ratelimits.dump())
            if route == "reset-counts" and self.command == "POST":
                sb.calls.reset()
                sb.ratelimits.reset_counts()
                return self.reply_json(200, {"ok": True})
            if route == "state":
                return self.reply_json(200, sb.state())
            if route == "advance" and self.command == "POST":
                sb.clock.advance(float(payload.get("seconds", 0)))
                return self.reply_json(200, {"now": sb.clock.now()})
            if route == "reset" and self.command == "POST":
                return self.reply_json(200, sb.reset())
            if route == "sso-login" and self.command == "POST":
                return self.reply_json(200, sb.sso.login(payload))
            if route == "info":
                return self.reply_json(200, sb.info)
        except (KeyError, ValueError, TypeError) as exc:
            return self.reply_json(400, {"error": str(exc)})
        return self.reply_json(404, {"error": f"no such control route: {route}"})


def make_handler(sandbox):
    return type("BoundProxyHandler", (ProxyHandler,), {
        "sandbox": sandbox,
        "date_offset": staticmethod(lambda: sandbox.config.get("clock_skew_s")),
    })


# ---- helpers the sandbox uses on request and response bodies ----------------------------------
def query_params(path, headers, body):
    return protocol.form_params("POST", path, headers, body)


def sts_credentials(xml_body):
    """(AccessKeyId, SecretAccessKey, SessionToken) from an STS answer holding Credentials."""
    try:
        root = ET.fromstring(xml_body)
    except ET.ParseError:
        return None
    for elem in root.iter():
        if elem.tag.endswith("Credentials"):
            found = {child.tag.split("}")[-1]: (child.text or "") for child in elem}
            if {"AccessKeyId", "SecretAccessKey", "SessionToken"} <= found.keys():
                return found["AccessKeyId"], found["SecretAccessKey"], found["SessionToken"]
    return None

