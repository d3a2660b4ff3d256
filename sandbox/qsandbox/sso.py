"""IAM Identity Center on loopback: the portal's GetRoleCredentials, the OIDC service's CreateToken
(token renewal with a refresh token), and the sign-in that `aws sso login` performs, as a control
route that `ctl.py sso-login` turns into a token cache file.

Credentials the portal issues are known to the signature check like STS's, and expire after the
knob `sso_duration_s` nominal seconds: their stated expiration is that many seconds times the
time scale in real time, and calls signed with them afterwards get the service's expired-token
answer. Access tokens, like AWS's, live in real seconds (the caller checks them against its wall
clock)."""
import hashlib
import json
import secrets
import threading
import time
from urllib.parse import parse_qsl, urlsplit

from . import protocol, sigv4

ACCESS_TOKEN_S = 8 * 3600        # what an access token from a sign-in or a renewal lasts
REGISTRATION_S = 90 * 24 * 3600  # the OIDC client registration


def cache_file_name(session_name=None, start_url=None):
    """The token cache's file name: SHA-1 of the session name, or of the start URL (legacy form)."""
    return hashlib.sha1((session_name if session_name is not None else start_url).encode()).hexdigest() + ".json"


START_URL = "https://quenfold-sandbox.awsapps.com/start"
SESSION = "sandbox-sso"


def profiles(account, region):
    """The config file's SSO profiles, as `aws configure sso` writes them: `sandbox-sso` (the
    sso_session form) and `sandbox-sso-legacy` (start URL and region in the profile)."""
    return (f"\n[profile sandbox-sso]\nsso_session = {SESSION}\nsso_account_id = {account}\n"
            f"sso_role_name = SandboxDeploy\nregion = {region}\n\n"
            f"[sso-session {SESSION}]\nsso_start_url = {START_URL}\nsso_region = {region}\n"
            f"sso_registration_scopes = sso:account:access\n\n"
            f"[profile sandbox-sso-legacy]\nsso_start_url = {START_URL}\nsso_region = {region}\n"
            f"sso_account_id = {account}\nsso_role_name = SandboxDeploy\nregion = {region}\n")


def iso(epoch):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))


def handles(method, path, headers):
    """The operation of an unsigned portal or OIDC request, or None for anything else."""
    route = urlsplit(path).path
    if headers.get("Authorization"):
        return None
    if method == "GET" and route == "/federation/credentials" and headers.get("x-amz-sso_bearer_token"):
        return "sso:GetRoleCredentials"
    if method == "POST" and route == "/token":
        return "sso-oidc:CreateToken"
    return None


def _json(status, doc, error_type=None):
    headers = [("Content-Type", "application/json"), ("x-amzn-RequestId", protocol.request_id())]
    if error_type:
        headers.append(("x-amzn-ErrorType", error_type))
    return status, headers, json.dumps(doc).encode()


class Sso:
    def __init__(self, sandbox, account):
        self.sb = sandbox
        self.account = account
        self._lock = threading.Lock()
        self._tokens = {}    # access token -> real expiry (epoch s)
        self._refresh = {}   # refresh token -> client id
        self._clients = {}   # client id -> secret
        self._issued = {}    # access key id -> nominal expiry

    # ---- sign-in (the control route behind `ctl.py sso-login`) --------------------------------
    def login(self, payload):
        """A token cache document as `aws sso login` writes it. payload: start_url, region,
        session_name (absent: the legacy form, without client registration or refresh token),
        expires_in (real seconds, may be negative), refresh (false: leave the refresh token out)."""
        now = time.time()
        token = "sso-access-" + secrets.token_urlsafe(24)
        expires = now + float(payload.get("expires_in", ACCESS_TOKEN_S))
        cache = {"startUrl": payload["start_url"], "region": payload["region"], "accessToken": token,
                 "expiresAt": iso(expires)}
        with self._lock:
            self._tokens[token] = expires
            if payload.get("session_name") and payload.get("refresh", True):
                client_id, client_secret, refresh = (secrets.token_urlsafe(12), secrets.token_urlsafe(24),
                                                     "sso-refresh-" + secrets.token_urlsafe(24))
                self._clients[client_id] = client_secret
                self._refresh[refresh] = client_id
                cache.update({"clientId": client_id, "clientSecret": client_secret,
                              "registrationExpiresAt": iso(now + REGISTRATION_S), "refreshToken": refresh})
        return {"file": cache_file_name(payload.get("session_name"), payload["start_url"]), "cache": cache}

    # ---- the two operations -------------------------------------------------------------------
    def serve(self, op_key, path, headers, body):
        answer = self.get_role_credentials(path, headers) if op_key.endswith("GetRoleCredentials") \
            else self.create_token(body)
        status = answer[0]
        code = dict(answer[1]).get("x-amzn-ErrorType")
        self.sb.calls.record(op_key, status=status, code=code, key=None,
                             **({"issued": answer[3]} if len(answer) > 3 else {}))
        return answer[:3]

    def get_role_credentials(self, path, headers):
        params = dict(parse_qsl(urlsplit(path).query))
        token = headers.get("x-amz-sso_bearer_token")
        with self._lock:
            expiry = self._tokens.get(token)
        if expiry is None or time.time() >= expiry:
            return _json(401, {"message": "Session token not found or invalid"}, "UnauthorizedException")
        if not params.get("role_name") or not params.get("account_id"):
            return _json(400, {"message": "role_name and account_id are required"}, "InvalidRequestException")
        if params["account_id"] != self.account:
            return _json(403, {"message": "No access"}, "ForbiddenException")
        key = "ASIA" + secrets.token_hex(8).upper()
        secret, session = secrets.token_urlsafe(30), "sso-session-" + secrets.token_urlsafe(48)
        duration = self.sb.config.get("sso_duration_s")
        self.sb.keys.add(key, secret, session, issued=True)
        with self._lock:
            self._issued[key] = self.sb.clock.now() + duration
        expiration_ms = int((time.time() + duration * self.sb.clock.scale) * 1000)
        answer = _json(200, {"roleCredentials": {"accessKeyId": key, "secretAccessKey": secret,
                                                 "sessionToken": session, "expiration": expiration_ms}})
        return (*answer, key)

    def create_token(self, body):
        try:
            req = json.loads(body or b"{}")
        except ValueError:
            return _json(400, {"error": "invalid_request"}, "InvalidRequestException")
        if req.get("grantType") != "refresh_token":
            return _json(400, {"error": "unsupported_grant_type"}, "UnsupportedGrantTypeException")
        with self._lock:
            client = self._refresh.get(req.get("refreshToken"))
            if client is None or client != req.get("clientId") or \
                    self._clients.get(client) != req.get("clientSecret"):
                return _json(400, {"error": "invalid_grant", "error_description": "Invalid refresh token"},
                             "InvalidGrantException")
            del self._refresh[req["refreshToken"]]  # refresh tokens rotate
            token = "sso-access-" + secrets.token_urlsafe(24)
            refresh = "sso-refresh-" + secrets.token_urlsafe(24)
            self._tokens[token] = time.time() + ACCESS_TOKEN_S
            self._refresh[refresh] = client
        return _json(200, {"accessToken": token, "tokenType": "Bearer", "expiresIn": ACCESS_TOKEN_S,
                           "refreshToken": refresh})

    # ---- expiry of what the portal issued ---------------------------------------------------------
    def check_expiry(self, access_key):
        """Raises sigv4.Rejection when access_key came from the portal and has expired."""
        with self._lock:
            expiry = self._issued.get(access_key)
        if expiry is not None and self.sb.clock.now() >= expiry:
            raise sigv4.Rejection(protocol.EXPIRED, "credentials from the SSO portal have expired")
