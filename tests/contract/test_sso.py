"""Our IAM Identity Center pieces against botocore's: the token cache's file name for both profile
forms, the portal's GetRoleCredentials request and the credentials made of its answer, and the OIDC
CreateToken request and the cache document written after it.

botocore runs on the same profiles from a config file; its requests are captured at `before-send`,
where a canned answer stands in for the service."""
import datetime
import json
import os
import subprocess
import tempfile
import unittest
from unittest import mock

import botocore.session
from botocore.awsrequest import AWSResponse
from botocore.credentials import SSOCredentialFetcher
from botocore.tokens import SSOTokenProvider, _serialize_utc_timestamp
from botocore.utils import SSOTokenLoader

PROBE = os.path.join(os.environ.get("QUENFOLD_PROBE_DIR", "."), "probe_sso")
URL = "https://corp.awsapps.com/start"
NOW = 1700000000


def config(region="eu-west-1", session="corp", role="Deploy"):
    return (f"[profile dev]\nsso_session = {session}\nsso_account_id = 111122223333\nsso_role_name = {role}\n\n"
            f"[sso-session {session}]\nsso_start_url = {URL}\nsso_region = {region}\n\n"
            f"[profile old]\nsso_start_url = {URL}\nsso_region = {region}\nsso_account_id = 111122223333\n"
            f"sso_role_name = {role}\n")


def probe(cases):
    out = subprocess.run([PROBE], input=json.dumps(cases), capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise AssertionError(out.stderr)
    return json.loads(out.stdout)


class Canned:
    """A before-send handler: records the request and answers `body` with `status`."""

    def __init__(self, body, status=200):
        self.body, self.status, self.sent = json.dumps(body).encode(), status, []

    def __call__(self, request, **_):
        self.sent.append(request)
        raw = mock.Mock()
        raw.stream = lambda **_: iter([self.body])
        return AWSResponse(request.url, self.status, {"Content-Type": "application/json"}, raw)


def botocore_session(config_text, canned):
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "config")
    with open(path, "w") as f:
        f.write(config_text)
    s = botocore.session.Session()
    s.set_config_variable("config_file", path)
    s.set_config_variable("credentials_file", os.path.join(folder, "absent"))
    s.register("before-send", canned)
    return s


def headers_of(request):
    return {k.lower(): (v.decode() if isinstance(v, bytes) else v) for k, v in request.headers.items()}


def ours_headers(case_out):
    return {k.lower(): v for k, v in case_out["headers"]}


ROLE_ANSWER = {"roleCredentials": {"accessKeyId": "ASIAPORTAL", "secretAccessKey": "secret/+key",
                                   "sessionToken": "session+token==", "expiration": 1700003600987}}


def botocore_role_call(config_text, profile, token, env=None, answer=None):
    """(request, credentials) of botocore's SSO credential fetcher for the profile."""
    canned = Canned(answer or ROLE_ANSWER)
    with mock.patch.dict(os.environ, env or {}):
        s = botocore_session(config_text, canned)
        prof = s.full_config["profiles"][profile]
        sso = dict(prof)
        if "sso_session" in prof:
            sso.update(s.full_config["sso_sessions"][prof["sso_session"]])
        loader = SSOTokenLoader(cache={SSOTokenLoader()._generate_cache_key(sso["sso_start_url"], None): {
            "accessToken": token, "expiresAt": "2099-01-01T00:00:00Z"}})
        fetcher = SSOCredentialFetcher(sso["sso_start_url"], sso["sso_region"], sso["sso_role_name"],
                                       sso["sso_account_id"], lambda name, config=None: s.create_client(
                                           name, config=config), token_loader=loader, cache={})
        creds = fetcher.fetch_credentials()
    return canned.sent[0], creds


class CacheName(unittest.TestCase):
    def test_both_forms(self):
        for session in ("corp", "équipe-prod"):
            with self.subTest(session=session):
                ours = probe([{"op": "cache_name", "config": config(session=session), "profile": p}
                              for p in ("dev", "old")])
                self.assertEqual(ours[0]["file"], SSOTokenLoader()._generate_cache_key(URL, session) + ".json")
                self.assertEqual(ours[1]["file"], SSOTokenLoader()._generate_cache_key(URL, None) + ".json")


class GetRoleCredentials(unittest.TestCase):
    def test_request_in_each_partition_and_with_an_override(self):
        cases = [("eu-west-1", "Deploy", {}), ("cn-north-1", "Admin+Ops/x y", {}),
                 ("us-gov-west-1", "Deploy", {}),
                 ("eu-west-1", "Deploy", {"AWS_ENDPOINT_URL_SSO": "http://127.0.0.1:8080/portal"})]
        ours = probe([{"op": "role_request", "config": config(region, role=role), "profile": "old",
                       "token": "tok.en/+=", "env": env} for region, role, env in cases])
        for (region, role, env), got in zip(cases, ours):
            with self.subTest(region=region, role=role, env=env):
                sent, _ = botocore_role_call(config(region, role=role), "old", "tok.en/+=", env)
                self.assertEqual((got["method"], got["url"]), (sent.method, sent.url))
                theirs = headers_of(sent)
                self.assertEqual(ours_headers(got)["x-amz-sso_bearer_token"], theirs["x-amz-sso_bearer_token"])
                self.assertNotIn("authorization", ours_headers(got))
                self.assertNotIn("authorization", theirs)

    def test_answer(self):
        _, theirs = botocore_role_call(config(), "dev", "tok")
        ours = probe([{"op": "role_answer", "config": config(), "profile": "dev", "body": json.dumps(ROLE_ANSWER)}])
        self.assertEqual(ours[0], {k: theirs[k] for k in ("access_key", "secret_key", "token", "expiry_time")})


class CreateToken(unittest.TestCase):
    CACHE = {"startUrl": URL, "region": "eu-west-1", "accessToken": "old", "expiresAt": "2023-11-14T22:18:20Z",
             "clientId": "cid", "clientSecret": "c/secret+", "registrationExpiresAt": "2024-01-01T00:00:00UTC",
             "refreshToken": "r1"}

    def botocore_refresh(self, answer, env=None):
        """(request, cache document written) of botocore's SSO token provider renewing CACHE."""
        canned = Canned(answer)
        with mock.patch.dict(os.environ, env or {}):
            s = botocore_session(config(), canned)
            key = SSOTokenLoader()._generate_cache_key(URL, "corp")
            cache = {key: dict(self.CACHE)}
            now = datetime.datetime.fromtimestamp(NOW, datetime.timezone.utc)
            SSOTokenProvider(s, cache=cache, time_fetcher=lambda: now, profile_name="dev").load_token() \
                .get_frozen_token()
        return canned.sent[0], json.loads(json.dumps(cache[key], default=_serialize_utc_timestamp))

    def test_request(self):
        for env in ({}, {"AWS_ENDPOINT_URL_SSO_OIDC": "http://127.0.0.1:8080"}):
            with self.subTest(env=env):
                sent, _ = self.botocore_refresh({"accessToken": "new", "expiresIn": 3600, "refreshToken": "r2"}, env)
                got = probe([{"op": "token_request", "config": config(), "profile": "dev", "cache": self.CACHE,
                              "env": env}])[0]
                self.assertEqual((got["method"], got["url"]), (sent.method, sent.url))
                self.assertEqual(got["body"], json.loads(sent.body))
                self.assertEqual(ours_headers(got)["content-type"], headers_of(sent)["content-type"])
                self.assertNotIn("authorization", headers_of(sent))

    def test_answer_with_and_without_a_new_refresh_token(self):
        for answer in ({"accessToken": "new", "tokenType": "Bearer", "expiresIn": 28800, "refreshToken": "r2"},
                       {"accessToken": "new", "tokenType": "Bearer", "expiresIn": 3600}):
            with self.subTest(answer=answer):
                _, theirs = self.botocore_refresh(answer)
                ours = probe([{"op": "token_answer", "config": config(), "profile": "dev", "cache": self.CACHE,
                               "body": json.dumps(answer), "now": NOW}])[0]
                self.assertEqual(ours, theirs)


if __name__ == "__main__":
    unittest.main()
