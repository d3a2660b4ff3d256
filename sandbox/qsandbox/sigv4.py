"""Checks every request's SigV4 signature the way AWS does, using the reference SDK's signer.

The signature is recomputed for the request's own X-Amz-Date over exactly the headers it
claims to have signed; a mismatch is SignatureDoesNotMatch, an unknown key or a wrong session
token is the service's own credential error. Known keys are the sandbox's test keys plus
every credential the sandbox has issued (STS, instance role). A long-term key (one issued
without a session token) sent with a session token is refused, as AWS refuses it; the STS
calls that trade an outside identity for credentials may come unsigned, as AWS takes them."""
import calendar
import hashlib
import hmac
import threading
import time
from urllib.parse import unquote, urlsplit

from botocore.auth import S3SigV4Auth, SigV4Auth
from botocore.awsrequest import AWSRequest, HTTPHeaders
from botocore.credentials import Credentials

from . import protocol

MAX_SKEW_S = 15 * 60

# (service, operation) AWS serves without a signature: the caller has no credentials yet.
UNSIGNED_OPERATIONS = {("sts", "AssumeRoleWithWebIdentity"), ("sts", "AssumeRoleWithSAML")}


class KeyStore:
    """access key id -> (secret, session token or None), and the nominal time at which an issued
    credential expires. Thread-safe."""

    def __init__(self):
        self._keys = {}
        self._issued = set()
        self._expiry = {}
        self._lock = threading.Lock()

    def add(self, access_key, secret, token=None, issued=False, expires=None):
        with self._lock:
            self._keys[access_key] = (secret, token)
            if issued:
                self._issued.add(access_key)
            if expires is not None:
                self._expiry[access_key] = expires

    def expired(self, access_key, now):
        """True once an expiring credential's nominal expiry time has passed."""
        with self._lock:
            expiry = self._expiry.get(access_key)
        return expiry is not None and now >= expiry

    def forget_issued(self):
        """Drops the credentials handed out during the run (STS); keeps the fixed ones."""
        with self._lock:
            for key in self._issued:
                self._keys.pop(key, None)
                self._expiry.pop(key, None)
            self._issued.clear()

    def get(self, access_key):
        with self._lock:
            return self._keys.get(access_key)

    def __contains__(self, access_key):
        return self.get(access_key) is not None

    def __len__(self):
        with self._lock:
            return len(self._keys)


class _Verifier:
    """Mixin that signs over the headers named in SignedHeaders instead of choosing its own."""

    def __init__(self, credentials, service, region, signed):
        super().__init__(credentials, service, region)
        self._signed = signed

    def headers_to_sign(self, request):
        chosen = HTTPHeaders()
        for name in self._signed:
            for value in request.headers.get_all(name) or []:
                chosen[name] = value
        return chosen


class _PlainVerifier(_Verifier, SigV4Auth):
    pass


class _S3Verifier(_Verifier, S3SigV4Auth):
    pass


def parse_authorization(value):
    """{'Credential': [...], 'SignedHeaders': [...], 'Signature': str} or None."""
    if not value or not value.startswith("AWS4-HMAC-SHA256 "):
        return None
    fields = {}
    for part in value[len("AWS4-HMAC-SHA256 "):].split(","):
        key, _, val = part.strip().partition("=")
        fields[key] = val
    try:
        cred = fields["Credential"].split("/")
        signed = [h for h in fields["SignedHeaders"].split(";") if h]
        sig = fields["Signature"]
    except KeyError:
        return None
    if len(cred) != 5 or cred[4] != "aws4_request":
        return None
    return {"Credential": cred, "SignedHeaders": signed, "Signature": sig}


class Rejection(Exception):
    """A request that AWS would refuse before looking at it; carries the error table to use."""

    def __init__(self, table, detail):
        super().__init__(detail)
        self.table = table


def _header_pairs(headers):
    if hasattr(headers, "items"):
        return list(headers.items())
    return list(headers)


def verify(method, raw_path, headers, body, keys, scheme="http", now=None, operation=None, nominal_now=None):
    """Raises Rejection when the request would be refused; returns the access key otherwise
    (None for an unsigned call of UNSIGNED_OPERATIONS).

    headers: the received header (name, value) pairs; raw_path: the path and query as sent;
    operation: (service, operation name) when known; nominal_now: the sandbox clock, against which
    issued credentials expire."""
    hmap = HTTPHeaders()
    for name, value in _header_pairs(headers):
        hmap[name] = value
    if hmap.get("Authorization") is None and operation in UNSIGNED_OPERATIONS:
        return None
    auth = parse_authorization(hmap.get("Authorization"))
    if auth is None:
        raise Rejection(protocol.MISSING_AUTH, "no SigV4 Authorization header")
    access_key, date, region, service, _ = auth["Credential"]
    known = keys.get(access_key)
    if known is None:
        raise Rejection(protocol.UNKNOWN_KEY, f"unknown access key {access_key}")
    secret, token = known
    sent_token = hmap.get("X-Amz-Security-Token")
    if token is not None and sent_token != token:
        raise Rejection(protocol.BAD_TOKEN, "session token missing or wrong")
    if token is None and sent_token is not None:
        raise Rejection(protocol.BAD_TOKEN, "session token sent with a long-term key")
    if nominal_now is not None and keys.expired(access_key, nominal_now):
        raise Rejection(protocol.EXPIRED, "credentials expired")
    amz_date = hmap.get("X-Amz-Date")
    if not amz_date or "host" not in auth["SignedHeaders"] or amz_date[:8] != date:
        raise Rejection(protocol.BAD_SIGNATURE, "X-Amz-Date or host not signed, or scope date differs")
    try:
        sent = calendar.timegm(time.strptime(amz_date, "%Y%m%dT%H%M%SZ"))
    except ValueError:
        raise Rejection(protocol.BAD_SIGNATURE, "malformed X-Amz-Date") from None
    if now is not None and abs(now - sent) > MAX_SKEW_S:
        raise Rejection(protocol.SKEWED, "request time too far from server time")
    content_hash = hmap.get("X-Amz-Content-SHA256")
    if content_hash and len(content_hash) == 64 and content_hash != hashlib.sha256(body or b"").hexdigest():
        if not (hmap.get("Content-Encoding") or "").startswith("aws-chunked"):
            raise Rejection(protocol.BAD_SIGNATURE, "payload hash differs from X-Amz-Content-SHA256")

    parts = urlsplit(raw_path)
    host = hmap.get("Host") or "localhost"
    request = AWSRequest(method=method, url=f"{scheme}://{host}{parts.path}", headers=hmap, data=body or b"")
    # AWS decodes the query and encodes it again canonically; so do we.
    params = []
    for piece in parts.query.split("&"):
        if piece:
            key, _, value = piece.partition("=")
            params.append((unquote(key), unquote(value)))
    request.params = params
    request.context["timestamp"] = amz_date
    cls = _S3Verifier if service == "s3" else _PlainVerifier
    signer = cls(Credentials(access_key, secret, token), service, region, auth["SignedHeaders"])
    canonical = signer.canonical_request(request)
    expected = signer.signature(signer.string_to_sign(request, canonical), request)
    if not hmac.compare_digest(expected, auth["Signature"]):
        raise Rejection(protocol.BAD_SIGNATURE, "signature differs")
    return access_key
