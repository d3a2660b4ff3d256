"""Our endpoint resolution against botocore's.

For each case (service, region, environment, profile settings) botocore builds a real client with
dummy credentials and prepares one call; a before-send hook captures the URL and the credential
scope of its signature and stops the call, so nothing reaches the network. The probe resolves the
same case with our code. URL, signing region and signing name must agree, and so must the error
text when botocore refuses the configuration.
"""
import json
import os
import re
import subprocess
import tempfile
import unittest

import botocore.session

PROBE = os.path.join(os.environ.get("QUENFOLD_PROBE_DIR", "."), "probe_endpoints")

SERVICES = ["ec2", "iam", "sts", "ssm", "servicequotas", "s3"]
# botocore's name where ours differs, and the service id its AWS_ENDPOINT_URL_<ID> is named after.
BOTOCORE_NAME = {"servicequotas": "service-quotas"}
SERVICE_ID = {"servicequotas": "SERVICE_QUOTAS"}
REGIONS = ["us-east-1", "us-west-2", "eu-west-1", "ap-northeast-1", "ap-southeast-5", "ca-central-1",
           "me-central-1", "mx-central-1", "cn-north-1", "cn-northwest-1", "us-gov-west-1", "us-gov-east-1",
           "us-iso-east-1", "us-isob-east-1", "eu-isoe-west-1", "us-isof-south-1", "eusc-de-east-1",
           "aws-global", "xx-fake-1", None]
KEY = "results/run 1/a+b~é.txt"


_LOADER = botocore.session.get_session().get_component("data_loader")


class _Stop(Exception):
    pass


def _write_config(path, profile):
    lines = ["[default]"]
    nested = {}
    for k, v in profile.items():
        if "." in k:
            section, sub = k.split(".", 1)
            nested.setdefault(section, []).append(f"  {sub} = {v}")
        else:
            lines.append(f"{k} = {v}")
    for section, subs in nested.items():
        lines.append(f"{section} =")
        lines.extend(subs)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def botocore_resolve(c):
    """URL, signing region and name botocore uses for the case, or {"error": text}."""
    saved = dict(os.environ)
    try:
        for k in list(os.environ):
            if k.startswith("AWS_"):
                del os.environ[k]
        with tempfile.TemporaryDirectory() as d:
            cfg = os.path.join(d, "config")
            _write_config(cfg, c.get("profile", {}))
            os.environ["AWS_CONFIG_FILE"] = cfg
            os.environ["AWS_SHARED_CREDENTIALS_FILE"] = os.path.join(d, "credentials")
            os.environ.update(c.get("env", {}))
            captured = {}

            def before_send(request, **_):
                auth = request.headers["Authorization"]
                captured["url"] = request.url
                captured["auth"] = auth.decode() if isinstance(auth, bytes) else auth
                raise _Stop()

            try:
                session = botocore.session.get_session()
                session.register_component("data_loader", _LOADER)  # shares its cache of service models
                client = session.create_client(
                    BOTOCORE_NAME.get(c["service"], c["service"]), region_name=c.get("region"), aws_access_key_id="AKIDEXAMPLE",
                    aws_secret_access_key="secret")
                client.meta.events.register("before-send", before_send)
                call = {"ec2": lambda: client.describe_instances(),
                        "iam": lambda: client.list_policies(),
                        "sts": lambda: client.get_caller_identity(),
                        "ssm": lambda: client.get_parameter(Name="/x"),
                        "servicequotas": lambda: client.get_service_quota(ServiceCode="ec2", QuotaCode="L-1"),
                        "s3": lambda: client.get_object(Bucket=c.get("bucket", "my-bucket"), Key=KEY)}
                call[c["service"]]()
            except _Stop:
                pass
            except Exception as e:  # botocore refuses the configuration
                return {"error": str(e)}
    finally:
        os.environ.clear()
        os.environ.update(saved)
    m = re.search(r"Credential=[^/]+/\d{8}/([^/]+)/([^/]+)/aws4_request", captured["auth"])
    return {"url": captured["url"], "signing_region": m.group(1), "signing_name": m.group(2)}


def run_probe(cases):
    inputs = []
    for c in cases:
        i = {k: v for k, v in c.items() if k != "name"}
        if c["service"] == "s3":
            i.setdefault("bucket", "my-bucket")
            i["key"] = KEY
        inputs.append(i)
    out = subprocess.run([PROBE], input=json.dumps(inputs), capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise AssertionError(f"probe failed: {out.stderr}")
    return json.loads(out.stdout)


def case(service, region, **kw):
    name = f"{service} in {region}" + (f" {kw}" if kw else "")
    return dict(name=name, service=service, region=region, **kw)


class EndpointsMatchBotocore(unittest.TestCase):
    def compare(self, cases):
        ours_all = run_probe(cases)
        self.assertEqual(len(ours_all), len(cases))
        for c, ours in zip(cases, ours_all):
            with self.subTest(c["name"]):
                theirs = botocore_resolve(c)
                if "error" in theirs or "error" in ours:
                    self.assertEqual(ours.get("error"), theirs.get("error"))
                    continue
                url = ours["object_url"] if c["service"] == "s3" else ours["url"]
                self.assertEqual(url.rstrip("/"), theirs["url"].rstrip("/"))
                self.assertEqual(ours["signing_region"], theirs["signing_region"])
                self.assertEqual(ours["signing_name"], theirs["signing_name"])

    def test_every_service_in_every_partition(self):
        self.compare([case(s, r) for r in REGIONS for s in SERVICES])

    def test_region_from_the_environment_and_profile(self):
        # AWS_REGION (read before AWS_DEFAULT_REGION, as the other SDKs and the CLI do) is not read
        # by botocore, so its cases live in the unit tests.
        self.compare([
            case("ec2", None, env={"AWS_DEFAULT_REGION": "ap-south-1"}),
            case("ssm", None, profile={"region": "sa-east-1"}),
            case("ssm", None, env={"AWS_DEFAULT_REGION": "us-east-2"}, profile={"region": "sa-east-1"}),
            case("sts", None, profile={"region": "cn-north-1"}),
            case("ec2", "us-west-1", env={"AWS_DEFAULT_REGION": "eu-west-3"}),
        ])

    def test_sts_legacy_global_endpoint(self):
        legacy = {"AWS_STS_REGIONAL_ENDPOINTS": "legacy"}
        regions = ["us-east-1", "us-east-2", "eu-north-1", "ap-south-1", "sa-east-1", "aws-global", "eu-south-1",
                   "me-central-1", "cn-north-1", "us-gov-west-1", None]
        self.compare([case("sts", r, env=legacy) for r in regions] + [
            case("sts", "eu-west-1", profile={"sts_regional_endpoints": "legacy"}),
            case("sts", "eu-west-1", env={"AWS_STS_REGIONAL_ENDPOINTS": "regional"},
                 profile={"sts_regional_endpoints": "legacy"}),
            case("sts", "eu-west-1", env={"AWS_STS_REGIONAL_ENDPOINTS": "bogus"}),
        ])

    def test_s3_us_east_1_and_addressing(self):
        regional = {"AWS_S3_US_EAST_1_REGIONAL_ENDPOINT": "regional"}
        cases = [case("s3", r, env=regional) for r in ["us-east-1", "us-west-2", None]]
        cases.append(case("s3", "us-east-1", profile={"s3.us_east_1_regional_endpoint": "regional"}))
        cases.append(case("s3", "us-east-1", env={"AWS_S3_US_EAST_1_REGIONAL_ENDPOINT": "sometimes"}))
        for bucket in ["my-bucket", "my.dotted.bucket", "My_Bucket", "ab", "192.168.1.1", "bucket-", "a" * 63,
                       "a" * 64, "123bucket"]:
            for region in ["us-east-1", "eu-west-1", "cn-north-1"]:
                cases.append(case("s3", region, bucket=bucket))
        cases.append(case("s3", "eu-west-1", profile={"s3.addressing_style": "path"}))
        self.compare(cases)

    def test_configured_endpoints(self):
        any_url = {"AWS_ENDPOINT_URL": "http://127.0.0.1:4566"}
        cases = [case(s, "us-west-2", env=any_url) for s in SERVICES]
        cases += [case(s, "cn-north-1",
                       env={f"AWS_ENDPOINT_URL_{SERVICE_ID.get(s, s.upper())}": "https://10.0.0.1:8443/base/"})
                  for s in SERVICES]
        cases += [
            case("ec2", "eu-west-1", env={"AWS_ENDPOINT_URL_EC2": "http://127.0.0.1:1", **any_url}),
            case("ec2", "eu-west-1", env={"AWS_ENDPOINT_URL_IAM": "http://127.0.0.1:1", **any_url}),
            case("servicequotas", "eu-west-1", env={"AWS_ENDPOINT_URL_SERVICEQUOTAS": "http://127.0.0.1:1"}),
            case("iam", "eu-west-1", env=any_url, profile={"endpoint_url": "http://127.0.0.1:2"}),
            case("sts", "eu-west-1", profile={"endpoint_url": "http://127.0.0.1:2"}),
            case("sts", "eu-west-1", env={"AWS_STS_REGIONAL_ENDPOINTS": "legacy", **any_url}),
            case("ec2", "eu-west-1", env={"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS": "true", **any_url}),
            case("ec2", "eu-west-1", env={"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS": "TRUE"},
                 profile={"endpoint_url": "http://127.0.0.1:2"}),
            case("ec2", "eu-west-1", env={"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS": "false"},
                 profile={"endpoint_url": "http://127.0.0.1:2", "ignore_configured_endpoint_urls": "true"}),
            case("ec2", "eu-west-1", profile={"endpoint_url": "http://127.0.0.1:2",
                                              "ignore_configured_endpoint_urls": "true"}),
            case("ec2", None, env=any_url),
            case("s3", None, env=any_url),
            case("s3", "us-east-1", bucket="my.dotted.bucket", env={"AWS_ENDPOINT_URL_S3": "http://127.0.0.1:9000"}),
        ]
        self.compare(cases)

    def test_refused_configurations(self):
        self.compare([
            case("ec2", None), case("ssm", None), case("servicequotas", None),
            case("ec2", "us east-1"), case("iam", "-us-east-1"), case("s3", "12345"), case("sts", "eu-west-1-"),
            case("ec2", "eu-west-1", env={"AWS_ENDPOINT_URL": "localhost:4566"}),
        ])


if __name__ == "__main__":
    unittest.main()
