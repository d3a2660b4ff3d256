"""Our wire protocols against the reference SDK's serialiser and parsers.

(b) Every request in protocol_cases/requests.json is serialised by probe_protocol and by
botocore's serializer for the same operation model; the wire forms must be equal byte for byte
(form bodies as botocore's request preparation encodes them).
(c) Every answer in protocol_cases/responses.json is parsed by both; the results must be equal
member by member and type by type, after turning botocore's datetimes into our ISO 8601 UTC text
and dropping ResponseMetadata (which we do not produce). Error answers compare code, message
and request id.
Beyond those hand-written cases, WholeTables generates a request filling every input member and
an answer carrying every output member of our shape tables (named and typed as botocore's model
has them), so that a wrong wire name or type anywhere in the tables fails.
"""

import datetime
import json
import os
import pathlib
import subprocess
import unittest

import botocore.awsrequest
import botocore.parsers
import botocore.serialize
import botocore.session

SOURCE = pathlib.Path(os.environ.get("QUENFOLD_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
PROBE_DIR = pathlib.Path(os.environ.get("QUENFOLD_PROBE_DIR", SOURCE / "build" / "tests" / "contract"))
CASES = SOURCE / "tests" / "contract" / "protocol_cases"

SERVICES = ("ec2", "iam", "sts", "ssm", "servicequotas", "s3")
# Our service names where botocore's differ.
BOTOCORE_NAME = {"servicequotas": "service-quotas"}
# Every operation of the access layer; each must appear in both case files.
OPERATIONS = {
    "ec2": """DescribeInstances RunInstances DescribeInstanceStatus TerminateInstances CreateTags
        DescribeSubnets DescribeSecurityGroups CreateSecurityGroup AuthorizeSecurityGroupIngress
        DeleteSecurityGroup CreateNetworkInterface AttachNetworkInterface DetachNetworkInterface
        DeleteNetworkInterface DescribeNetworkInterfaces AllocateAddress AssociateAddress
        DescribeAddresses ReleaseAddress DescribeKeyPairs CreateKeyPair DeleteKeyPair DescribeImages
        DescribeInstanceTypes StartInstances DescribeAccountAttributes DescribeInstanceTypeOfferings
        DescribeInternetGateways DescribeRouteTables DescribeVpcBlockPublicAccessOptions""".split(),
    "iam": """ListInstanceProfilesForRole CreatePolicy CreateRole AttachRolePolicy CreateInstanceProfile
        AddRoleToInstanceProfile RemoveRoleFromInstanceProfile DeleteInstanceProfile GetInstanceProfile
        ListPolicies DetachRolePolicy DeletePolicy DeleteRole GetRole GetPolicy
        SimulatePrincipalPolicy""".split(),
    "sts": "AssumeRole AssumeRoleWithWebIdentity GetCallerIdentity DecodeAuthorizationMessage".split(),
    "ssm": "GetParameter GetParametersByPath".split(),
    "servicequotas": "GetServiceQuota GetAWSDefaultServiceQuota".split(),
    "s3": "GetObject PutObject HeadBucket".split(),
}

_session = botocore.session.get_session()
_models = {s: _session.get_service_model(BOTOCORE_NAME.get(s, s)) for s in SERVICES}


def run_probe(cases):
    probe = PROBE_DIR / "probe_protocol"
    out = subprocess.run([str(probe)], input=json.dumps(cases).encode(), capture_output=True, check=True)
    results = json.loads(out.stdout)
    assert len(results) == len(cases)
    return results


def iso(value):
    if value.tzinfo is None:
        value = value.replace(tzinfo=datetime.timezone.utc)
    value = value.astimezone(datetime.timezone.utc)
    millis = value.microsecond // 1000
    return value.strftime("%Y-%m-%dT%H:%M:%S") + (f".{millis:03d}Z" if millis else "Z")


def normalised(value):
    if isinstance(value, datetime.datetime):
        return iso(value)
    if isinstance(value, dict):
        return {k: normalised(v) for k, v in value.items()}
    if isinstance(value, list):
        return [normalised(v) for v in value]
    return value


def canonical(value):
    # Text comparison keeps types apart (True is not 1 here, unlike ==) and shows a readable diff.
    return json.dumps(value, sort_keys=True, indent=1, ensure_ascii=False)


def reference_wire(case, validate=True):
    model = _models[case["service"]]
    op = model.operation_model(case["operation"])
    protocol = model.metadata["protocol"]
    serializer = botocore.serialize.create_serializer(protocol, include_validation=validate)
    params = dict(case["params"])
    if protocol == "rest-xml" and "Body" in params:
        params["Body"] = params["Body"].encode()
    request = serializer.serialize_to_request(params, op)
    endpoint = "https://example.amazonaws.com"
    botocore.awsrequest.prepare_request_dict(request, endpoint_url=endpoint)
    prepared = botocore.awsrequest.create_request_object(request).prepare()
    url = prepared.url[len(endpoint):]
    path, _, query = url.partition("?")
    body = prepared.body or b""
    if isinstance(body, str):
        body = body.encode()
    headers = {k.lower(): v for k, v in request["headers"].items()}
    return {"method": request["method"], "path": path, "query": query, "headers": headers,
            "body": body.decode()}


def our_wire(case, result):
    path = result["path"]
    if result.get("bucket") is not None:
        # botocore renders the bucket as the first path label; the client layer places ours
        # (a bucket operation has no key, and botocore no slash after the bucket).
        path = "/" + result["bucket"] + ("" if path == "/" else path)
    return {"method": result["method"], "path": path, "query": result["query"],
            "headers": {k.lower(): v for k, v in result["headers"]}, "body": result["body"]}


def load_responses():
    cases = json.loads((CASES / "responses.json").read_text())
    for c in cases:
        if "body_file" in c:
            c["body"] = (CASES / "responses" / c.pop("body_file")).read_text()
        c.setdefault("status", 200)
        c.setdefault("headers", {})
    return cases


def reference_parse(case):
    model = _models[case["service"]]
    protocol = model.metadata["protocol"]
    parser = botocore.parsers.create_parser(protocol)
    shape = model.operation_model(case["operation"]).output_shape
    headers = botocore.awsrequest.HeadersDict(case["headers"])
    parsed = parser.parse({"status_code": case["status"], "headers": headers,
                           "body": case["body"].encode()}, shape)
    metadata = parsed.pop("ResponseMetadata", {})
    if case["service"] == "s3":
        parsed.pop("Body", None)
    return normalised(parsed), metadata


class Serialisation(unittest.TestCase):
    """(b) Requests: our wire form is botocore's, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.cases = json.loads((CASES / "requests.json").read_text())
        cls.results = run_probe([dict(c, kind="serialize") for c in cls.cases])

    def test_every_request_matches_the_reference_serialiser(self):
        for case, result in zip(self.cases, self.results):
            with self.subTest(case["name"], operation=case["operation"]):
                self.assertNotIn("exception", result, result.get("message"))
                self.assertEqual(our_wire(case, result), reference_wire(case))

    def test_every_operation_is_covered(self):
        seen = {(c["service"], c["operation"]) for c in self.cases}
        for service, ops in OPERATIONS.items():
            for op in ops:
                self.assertIn((service, op), seen)

    def test_unknown_members_are_refused_like_the_reference_validation(self):
        bad = [{"kind": "serialize", "service": "ec2", "operation": "DescribeInstances",
                "params": {"Filter": []}},
               {"kind": "serialize", "service": "iam", "operation": "CreateRole",
                "params": {"RoleName": 5}}]
        for result in run_probe(bad):
            self.assertEqual(result.get("exception"), "invalid_argument")


class Parsing(unittest.TestCase):
    """(c) Answers: our parse is botocore's, member by member."""

    @classmethod
    def setUpClass(cls):
        cls.cases = load_responses()
        probe_cases = [dict(c, kind="error" if c["status"] >= 300 else "parse") for c in cls.cases]
        cls.results = run_probe(probe_cases)

    def test_every_answer_matches_the_reference_parser(self):
        for case, result in zip(self.cases, self.results):
            if case["status"] >= 300:
                continue
            with self.subTest(case["name"], operation=case["operation"]):
                self.assertNotIn("exception", result, result.get("message"))
                expected, _ = reference_parse(case)
                self.assertEqual(canonical(result["result"]), canonical(expected))

    def test_every_error_matches_the_reference_parser(self):
        checked = 0
        for case, result in zip(self.cases, self.results):
            if case["status"] < 300:
                continue
            with self.subTest(case["name"], service=case["service"]):
                self.assertNotIn("exception", result, result.get("message"))
                expected, metadata = reference_parse(case)
                error = expected["Error"]
                self.assertEqual(result["code"], error.get("Code", ""))
                self.assertEqual(result["message"], error.get("Message", ""))
                self.assertEqual(result["request_id"], metadata.get("RequestId", ""))
                checked += 1
        self.assertGreater(checked, 0)

    def test_every_operation_is_covered(self):
        seen = {(c["service"], c["operation"]) for c in self.cases if c["status"] < 300}
        for service, ops in OPERATIONS.items():
            for op in ops:
                self.assertIn((service, op), seen)

    def test_every_error_shape_is_covered(self):
        services = {c["service"] for c in self.cases if c["status"] >= 300}
        self.assertEqual(services, set(SERVICES))


def sample_params(shape, tree, counter):
    """Request parameters that fill every member our table knows, with values of the model's type."""
    kind = shape.type_name
    if kind == "structure":
        out = {}
        for name, sub in tree.items():
            if name == "Body":
                continue  # the streamed payload: compared in the hand-written cases
            self_shape = shape.members[name]
            out[name] = sample_params(self_shape, sub, counter)
        return out
    counter[0] += 1
    n = counter[0]
    if kind == "list":
        return [sample_params(shape.member, tree, counter), sample_params(shape.member, tree, counter)]
    if kind == "map":
        return {f"k{n}": f"v{n}", f"k{n}b": f"v {n}"}
    if kind in ("integer", "long"):
        return n
    if kind == "boolean":
        return n % 2 == 0
    if kind == "timestamp":
        return f"2026-12-07T21:{n % 60:02d}:00Z"
    if kind in ("float", "double"):
        return n + 0.5
    return f"v{n} a/b+c~\u00e9"


def sample_xml(shape, tree, counter):
    """XML answer text for a shape, with every member our table knows, named as the model names them."""
    kind = shape.type_name
    if kind == "structure":
        parts = []
        for name, sub in tree.items():
            member = shape.members[name]
            wire = member.serialization.get("name", name)
            parts.append(f"<{wire}>{sample_xml(member, sub, counter)}</{wire}>")
        return "".join(parts)
    counter[0] += 1
    n = counter[0]
    if kind == "list":
        item = sample_xml(shape.member, tree, counter)
        item2 = sample_xml(shape.member, tree, counter)
        return f"<item>{item}</item><item>{item2}</item>"
    if kind == "map":
        key = shape.key.serialization.get("name", "key")
        value = shape.value.serialization.get("name", "value")
        return "".join(f"<entry><{key}>k{n}{i}</{key}><{value}>v{n} &amp; {i}</{value}></entry>" for i in "ab")
    if kind in ("integer", "long"):
        return str(n)
    if kind == "boolean":
        return "true" if n % 2 else "false"
    if kind == "timestamp":
        return f"2026-12-07T21:{n % 60:02d}:00.{n % 1000:03d}Z"
    if kind in ("float", "double"):
        return f"{n}.25"
    return f"v{n} &amp; &lt;x&gt; \u00e9"


def sample_json(shape, tree, counter):
    kind = shape.type_name
    if kind == "structure":
        return {shape.members[name].serialization.get("name", name): sample_json(shape.members[name], sub, counter)
                for name, sub in tree.items()}
    counter[0] += 1
    n = counter[0]
    if kind == "list":
        return [sample_json(shape.member, tree, counter)]
    if kind == "map":
        return {f"k{n}": f"v{n}", f"k{n}b": f"v{n}b"}
    if kind in ("integer", "long"):
        return n
    if kind == "boolean":
        return True
    if kind == "timestamp":
        return 1765141200 + n + 0.125
    if kind in ("float", "double"):
        return n + 0.25
    return f"v{n}"


def sample_headers(shape, tree, counter):
    headers = {}
    for name in tree:
        member = shape.members[name]
        location = member.serialization.get("location")
        wire = member.serialization.get("name", name)
        counter[0] += 1
        n = counter[0]
        if location == "headers":
            headers[f"{wire}k{n}"] = f"v{n}"
        elif location == "header":
            kind = member.type_name
            headers[wire] = (str(n) if kind in ("integer", "long") else "true" if kind == "boolean"
                             else "Mon, 07 Dec 2026 21:00:00 GMT" if kind == "timestamp" else f"v{n}")
    return headers


class WholeTables(unittest.TestCase):
    """Every member of our shape tables, not only those of the hand-written cases: requests that
    fill every input member serialise as botocore's do, and answers that carry every output
    member (named as botocore's model names them) parse to what botocore gives."""

    @classmethod
    def setUpClass(cls):
        ops = [(s, o) for s, names in OPERATIONS.items() for o in names]
        trees = run_probe([{"kind": "model", "service": s, "operation": o} for s, o in ops])
        cls.trees = dict(zip(ops, trees))

    def test_requests_with_every_input_member(self):
        cases = []
        for (service, op), tree in self.trees.items():
            shape = _models[service].operation_model(op).input_shape
            params = sample_params(shape, tree["input"], [0])
            if service == "s3":
                params = dict(params, Bucket="bucket", **({"Key": "k/e y"} if "Key" in shape.members else {}))
            cases.append({"name": op, "service": service, "operation": op, "params": params})
        results = run_probe([dict(c, kind="serialize") for c in cases])
        for case, result in zip(cases, results):
            with self.subTest(case["operation"], service=case["service"]):
                self.assertNotIn("exception", result, result.get("message"))
                self.assertEqual(our_wire(case, result), reference_wire(case, validate=False))

    def test_answers_with_every_output_member(self):
        cases = []
        for (service, op), tree in self.trees.items():
            model = _models[service]
            shape = model.operation_model(op).output_shape
            if shape is None:
                continue
            protocol = model.metadata["protocol"]
            case = {"name": op, "service": service, "operation": op, "status": 200, "headers": {}, "body": ""}
            if protocol == "ec2":
                case["body"] = f"<{op}Response>{sample_xml(shape, tree['output'], [0])}</{op}Response>"
            elif protocol == "query":
                case["body"] = (f"<{op}Response><{op}Result>{sample_xml(shape, tree['output'], [0])}"
                                f"</{op}Result></{op}Response>")
            elif protocol == "json":
                case["body"] = json.dumps(sample_json(shape, tree["output"], [0]))
            else:
                case["headers"] = sample_headers(shape, tree["output"], [0])
            cases.append(case)
        results = run_probe([dict(c, kind="parse") for c in cases])
        for case, result in zip(cases, results):
            with self.subTest(case["operation"], service=case["service"]):
                self.assertNotIn("exception", result, result.get("message"))
                expected, _ = reference_parse(case)
                self.assertEqual(canonical(result["result"]), canonical(expected))


if __name__ == "__main__":
    unittest.main()
