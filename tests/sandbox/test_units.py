"""The sandbox's parts on data, without a running sandbox: the clock, the knobs, the fault
draws, the error bodies (parsed by the reference SDK's own parsers) and the signature check
(against requests signed by the reference SDK)."""
import ipaddress
import os
import sys
import time
import unittest

import botocore.session
from botocore.auth import S3SigV4Auth, SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials
from botocore.parsers import create_parser

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sandbox"))
from qsandbox import (consistency, faults, iamlag, launches, paging, partition, protocol, ratelimits, sigv4,  # noqa: E402
                      walls)
from qsandbox.clock import Clock  # noqa: E402
from qsandbox.config import Config  # noqa: E402
from qsandbox.fidelity import image_date  # noqa: E402
from qsandbox.seed import MAX_PAIRS, cross_zone_plan, subnet_plan  # noqa: E402


class FakeTime:
    def __init__(self):
        self.t, self.slept = 100.0, []

    def monotonic(self):
        return self.t

    def sleep(self, s):
        self.slept.append(s)


class ClockTest(unittest.TestCase):
    def test_nominal_time_is_real_time_divided_by_the_scale(self):
        fake = FakeTime()
        clock = Clock(0.01, monotonic=fake.monotonic, sleeper=fake.sleep)
        fake.t += 0.5
        self.assertAlmostEqual(50.0, clock.now())
        clock.sleep(10)
        clock.sleep(0)
        self.assertEqual([0.1], [round(s, 6) for s in fake.slept])

    def test_advance_moves_only_nominal_time(self):
        fake = FakeTime()
        clock = Clock(1.0, monotonic=fake.monotonic, sleeper=fake.sleep)
        clock.advance(30)
        self.assertEqual(30.0, clock.now())
        self.assertEqual([], fake.slept)

    def test_scale_must_be_positive(self):
        with self.assertRaises(ValueError):
            Clock(0)


class ConfigTest(unittest.TestCase):
    def test_values_take_the_defaults_type(self):
        config = Config(seed="7", verify_sigv4="false", latency_ms=3)
        self.assertEqual((7, False, 3.0), (config.get("seed"), config.get("verify_sigv4"), config.get("latency_ms")))

    def test_shares_outside_unit_interval_and_unknown_knobs_are_refused(self):
        config = Config()
        with self.assertRaises(ValueError):
            config.update({"drop_share": 1.5})
        with self.assertRaises(KeyError):
            config.update({"dropshare": 0.5})
        self.assertEqual(0.0, config.get("drop_share"))

    def test_injections_are_used_up_in_order_and_by_count(self):
        config = Config(inject=[{"op": "ec2:RunInstances", "code": "A", "count": 2},
                                {"op": "iam:*", "code": "B"}])
        self.assertIsNone(config.take_injection("ec2:DescribeVpcs"))
        self.assertEqual("A", config.take_injection("ec2:RunInstances")["code"])
        self.assertEqual("A", config.take_injection("ec2:RunInstances")["code"])
        self.assertIsNone(config.take_injection("ec2:RunInstances"))
        self.assertEqual("B", config.take_injection("iam:ListRoles")["code"])
        self.assertEqual([], config.get("inject"))


class FaultDrawTest(unittest.TestCase):
    def cfg(self, **kw):
        return Config(**kw).snapshot()

    def test_draws_depend_only_on_their_arguments(self):
        self.assertEqual(faults.draw(1, "ec2:X", 5, "fault"), faults.draw(1, "ec2:X", 5, "fault"))
        self.assertNotEqual(faults.draw(1, "ec2:X", 5, "fault"), faults.draw(2, "ec2:X", 5, "fault"))

    def test_shares_are_met_over_many_calls(self):
        cfg = self.cfg(drop_share=0.1, throttle_share=0.2, error_share=0.3)
        seen = [faults.decide(cfg, "ec2:DescribeInstances", n)[0] for n in range(1, 4001)]
        self.assertAlmostEqual(0.1, seen.count("drop") / 4000, delta=0.03)
        self.assertAlmostEqual(0.2, seen.count("throttle") / 4000, delta=0.03)
        self.assertAlmostEqual(0.3, (seen.count(500) + seen.count(503)) / 4000, delta=0.03)
        self.assertGreater(seen.count(500), 0)
        self.assertGreater(seen.count(503), 0)

    def test_all_or_nothing_and_scope(self):
        cfg = self.cfg(throttle_share=1.0, fault_ops=["iam:*", "ec2:RunInstances"])
        self.assertEqual("throttle", faults.decide(cfg, "iam:CreateRole", 1)[0])
        self.assertEqual("throttle", faults.decide(cfg, "ec2:RunInstances", 9)[0])
        self.assertIsNone(faults.decide(cfg, "ec2:DescribeVpcs", 1)[0])
        self.assertIsNone(faults.decide(self.cfg(), "ec2:DescribeVpcs", 1)[0])

    def test_latency_is_fixed_part_plus_reproducible_jitter(self):
        cfg = self.cfg(latency_ms=100, latency_jitter_ms=50)
        latencies = {faults.decide(cfg, "s3:GetObject", n)[1] for n in range(1, 50)}
        self.assertTrue(all(0.1 <= x < 0.15 for x in latencies))
        self.assertGreater(len(latencies), 40)
        self.assertEqual(faults.decide(cfg, "s3:GetObject", 3), faults.decide(cfg, "s3:GetObject", 3))

    def test_call_log_counts_and_numbers_per_operation(self):
        log = faults.CallLog()
        self.assertEqual([1, 2, 1], [log.arrive("a"), log.arrive("a"), log.arrive("b")])
        log.record("a", status=200)
        log.reset()
        self.assertEqual({}, log.dump()["counts"])
        self.assertEqual(3, log.arrive("a"))
        log.restart_numbering()
        self.assertEqual(1, log.arrive("a"))


class ProtocolTest(unittest.TestCase):
    PROTOCOLS = {"ec2": "ec2", "iam": "query", "sts": "query", "s3": "rest-xml", "ssm": "json"}

    def parse(self, service, answer):
        status, headers, body = answer
        parser = create_parser(self.PROTOCOLS[service])
        model = botocore.session.get_session().get_service_model(service)
        op = model.operation_model(model.operation_names[0])
        return parser.parse({"status_code": status, "headers": headers, "body": body}, op.output_shape)

    def test_every_injected_error_parses_with_its_code_in_every_protocol(self):
        for service in self.PROTOCOLS:
            for answer, code in ((protocol.throttle_response(service), protocol.THROTTLE[service][1]),
                                 (protocol.server_error_response(service, 503), protocol.SERVER_ERROR[503][service]),
                                 (protocol.table_response(protocol.UNKNOWN_KEY, service),
                                  protocol.UNKNOWN_KEY[service][1])):
                with self.subTest(service=service, code=code):
                    parsed = self.parse(service, answer)
                    self.assertEqual(code, parsed["Error"]["Code"])
                    self.assertTrue(parsed["Error"]["Message"])

    def test_an_empty_rate_limit_bucket_answers_503_request_limit_exceeded(self):
        parsed = self.parse("ec2", ratelimits.refusal())
        self.assertEqual((503, "RequestLimitExceeded", "Request limit exceeded."),
                         (parsed["ResponseMetadata"]["HTTPStatusCode"], parsed["Error"]["Code"],
                          parsed["Error"]["Message"]))

    def test_messages_are_escaped_in_xml(self):
        parsed = self.parse("ec2", protocol.error_response("ec2", 400, "X", "a <b> & 'c'"))
        self.assertEqual("a <b> & 'c'", parsed["Error"]["Message"])

    def test_identify_each_protocol(self):
        auth = "AWS4-HMAC-SHA256 Credential=AKID/20260101/us-east-1/{}/aws4_request, SignedHeaders=host, Signature=00"
        form = {"Content-Type": "application/x-www-form-urlencoded; charset=utf-8"}
        cases = [
            ("POST", "/", dict(form, Authorization=auth.format("ec2")), b"Action=RunInstances&Version=2016-11-15",
             ("ec2", "RunInstances")),
            ("POST", "/", dict(form), b"Action=CreateRole&Version=2010-05-08", ("iam", "CreateRole")),
            ("POST", "/", {"X-Amz-Target": "AmazonSSM.GetParameter"}, b"{}", ("ssm", "GetParameter")),
            ("POST", "/", {"X-Amz-Target": "ServiceQuotasV20190624.GetServiceQuota",
                           "Authorization": auth.format("servicequotas")}, b"{}", ("servicequotas", "GetServiceQuota")),
            ("PUT", "/bucket/result-a.txt", {"Authorization": auth.format("s3")}, b"x", ("s3", "PutObject")),
            ("GET", "/bucket?list-type=2", {"Authorization": auth.format("s3")}, b"", ("s3", "ListObjectsV2")),
            ("GET", "/", {"Authorization": auth.format("s3")}, b"", ("s3", "ListBuckets")),
        ]
        for method, path, headers, body, expected in cases:
            with self.subTest(expected=expected):
                self.assertEqual(expected, protocol.identify(method, path, headers, body))


class RateLimitTest(unittest.TestCase):
    def setUp(self):
        self.now = 0.0

    def clock(self):
        return self.now

    def test_bucket_starts_full_and_refills_at_its_rate_up_to_capacity(self):
        bucket = ratelimits.TokenBucket(5, 2, self.clock)
        self.assertEqual(5, sum(bucket.take() for _ in range(7)))
        self.now += 0.5
        self.assertTrue(bucket.take())
        self.assertFalse(bucket.take())
        self.now += 100
        self.assertEqual(5.0, bucket.level())

    def test_a_call_takes_from_both_of_its_buckets_or_from_neither(self):
        request, resource = ratelimits.TokenBucket(5, 0, self.clock), ratelimits.TokenBucket(10, 0, self.clock)
        self.assertIs(resource, ratelimits.take_together([(request, 1), (resource, 11)]))
        self.assertEqual((5, 10), (request.tokens, resource.tokens))
        self.assertIsNone(ratelimits.take_together([(request, 1), (resource, 10)]))
        self.assertIs(request, ratelimits.take_together([(request, 5), (resource, 0)]))
        self.assertEqual((4, 0), (request.tokens, resource.tokens))

    def test_classification_and_documented_figures(self):
        table = ratelimits.table_for("documented")
        ids = {"InstanceId.1": "i-1", "InstanceId.2": "i-2"}
        cases = [
            ("DescribeVpcs", {}, [("DescribeVpcs", 1, [100, 20])]),
            ("GetConsoleOutput", {}, [("GetConsoleOutput", 1, [100, 20])]),
            ("DescribeInstances", {}, [("DescribeInstances:unfiltered", 1, [50, 10])]),
            ("DescribeInstances", ids, [("DescribeInstances:unfiltered", 1, [50, 10])]),
            ("DescribeSecurityGroups", {"Filter.1.Name": "group-name"}, [("DescribeSecurityGroups", 1, [100, 20])]),
            ("DescribeNetworkInterfaces", {"MaxResults": "5"}, [("DescribeNetworkInterfaces", 1, [100, 20])]),
            ("DescribeInstanceStatus", {"NextToken": "t"}, [("DescribeInstanceStatus", 1, [100, 20])]),
            ("AttachNetworkInterface", {}, [("AttachNetworkInterface", 1, [50, 5])]),
            ("CreateKeyPair", {}, [("CreateKeyPair", 1, [50, 5])]),
            ("CreateTags", {}, [("CreateTags", 1, [100, 10])]),
            ("RunInstances", {"MinCount": "1", "MaxCount": "3"},
             [("RunInstances", 1, [5, 2]), ("RunInstances:resource", 3, [1000, 2])]),
            ("TerminateInstances", ids, [("TerminateInstances", 1, [100, 5]), ("TerminateInstances:resource", 2, [1000, 20])]),
        ]
        for action, params, expected in cases:
            with self.subTest(action=action, params=params):
                got = [(key, n, ratelimits.figures(table, key)) for key, n in ratelimits.classify(action, params)]
                self.assertEqual(expected, got)

    def test_settings_override_the_documented_table_and_nonsense_is_refused(self):
        setting = ratelimits.parse_setting('{"mutating": [7, 1], "actions": {"RunInstances": [1, 0]}}')
        table = ratelimits.table_for(setting)
        self.assertEqual(([7, 1], [1, 0], [1000, 2]), (table["mutating"], table["actions"]["RunInstances"],
                                                       table["resources"]["RunInstances"]))
        self.assertEqual([100, 5], ratelimits.DOCUMENTED["actions"]["TerminateInstances"])
        self.assertIsNone(ratelimits.table_for(Config(ec2_rate_limits="off").get("ec2_rate_limits")))
        for bad in ("on", {"mutatin": [1, 1]}, {"mutating": [-1, 1]}, {"mutating": [1]}, {"mutating": [True, 1]},
                    {"actions": {"RunInstances": [1, -2]}}, {"resources": {"CreateTags": [1, 1]}}, "{not json"):
            with self.subTest(bad=bad):
                with self.assertRaises((KeyError, ValueError)):
                    Config().update({"ec2_rate_limits": bad})

    def test_registry_buckets_per_region_refill_on_configure_and_count_throttles(self):
        limits = ratelimits.RateLimits(self.clock)
        self.assertIsNone(limits.take("us-east-1", "RunInstances", {}))  # off
        limits.configure(ratelimits.parse_setting({"actions": {"RunInstances": [1, 0]}}))
        run = {"MaxCount": "1"}
        self.assertIsNone(limits.take("us-east-1", "RunInstances", run))
        self.assertEqual("us-east-1/RunInstances", limits.take("us-east-1", "RunInstances", run))
        self.assertIsNone(limits.take("eu-west-1", "RunInstances", run))
        self.assertEqual(1, limits.dump()["buckets"]["us-east-1/RunInstances"]["throttled"])
        limits.configure("documented")
        self.assertIsNone(limits.take("us-east-1", "RunInstances", run))
        self.assertEqual({}, {k: v for k, v in limits.dump()["buckets"].items() if v["throttled"]})


EC2_XML = ('<?xml version="1.0" encoding="utf-8"?>\n<{0}Response xmlns="http://ec2.amazonaws.com/doc/2016-11-15">'
           '{1}<requestId>r</requestId></{0}Response>')


class ConsistencyTest(unittest.TestCase):
    def parse(self, action, answer):
        status, headers, body = answer
        op = botocore.session.get_session().get_service_model("ec2").operation_model(action)
        return create_parser("ec2").parse({"status_code": status, "headers": headers, "body": body}, op.output_shape)

    def test_parameters_that_name_a_resource(self):
        cases = [
            ("AuthorizeSecurityGroupIngress", {"GroupId": "sg-1", "IpPermissions.1.Groups.1.GroupId": "sg-2",
                                               "IpPermissions.1.IpRanges.1.CidrIp": "1.2.3.4/32"}, ["sg-1", "sg-2"]),
            ("RunInstances", {"ImageId": "ami-1", "SubnetId": "subnet-1", "KeyName": "k", "SecurityGroupId.1": "sg-1",
                              "NetworkInterface.1.SecurityGroupId.1": "sg-2",
                              "NetworkInterface.2.NetworkInterfaceId": "eni-1"}, ["k", "sg-1", "sg-2", "eni-1"]),
            ("CreateTags", {"ResourceId.1": "i-1", "ResourceId.2": "eipalloc-1", "Tag.1.Key": "Name"},
             ["i-1", "eipalloc-1"]),
            ("AssociateAddress", {"AllocationId": "eipalloc-1", "NetworkInterfaceId": "eni-1"},
             ["eipalloc-1", "eni-1"]),
            ("DescribeInstances", {"InstanceId.1": "i-1", "Filter.1.Name": "instance-id", "Filter.1.Value.1": "i-2"},
             ["i-1"]),
            ("DescribeKeyPairs", {"KeyName.1": "k", "KeyPairId.1": "key-1"}, ["k", "key-1"]),
            ("CreateKeyPair", {"KeyName": "k"}, []),  # a name being created names nothing yet
        ]
        for action, params, expected in cases:
            with self.subTest(action=action):
                self.assertEqual(expected, consistency.named_ids(action, params))

    def test_ids_learned_from_create_answers(self):
        run = (b"<instancesSet><item><instanceId>i-1</instanceId><networkInterfaceSet>"
               b"<item><networkInterfaceId>eni-new</networkInterfaceId><groupSet><item><groupId>sg-1</groupId>"
               b"</item></groupSet></item><item><networkInterfaceId>eni-given</networkInterfaceId></item>"
               b"</networkInterfaceSet></item></instancesSet>")
        self.assertEqual([("i-1", "instance"), ("eni-new", "interface")],
                         consistency.created_ids("RunInstances", {"NetworkInterface.2.NetworkInterfaceId": "eni-given"},
                                                 run))
        key = b"<keyName>k</keyName><keyPairId>key-1</keyPairId><keyMaterial>x</keyMaterial>"
        self.assertEqual([("k", "key_pair"), ("key-1", "key_pair")], consistency.created_ids("CreateKeyPair", {}, key))
        self.assertEqual([], consistency.created_ids("DescribeVpcs", {}, b"<vpcId>vpc-1</vpcId>"))

    def test_not_found_answers_parse_with_each_code(self):
        for kind, resource_id in (("instance", "i-1"), ("interface", "eni-1"), ("allocation", "eipalloc-1"),
                                  ("group", "sg-1"), ("key_pair", "my key")):
            with self.subTest(kind=kind):
                parsed = self.parse("DescribeVpcs", consistency.not_found(kind, resource_id))
                self.assertEqual(400, parsed["ResponseMetadata"]["HTTPStatusCode"])
                self.assertEqual(consistency.NOT_FOUND[kind][0], parsed["Error"]["Code"])
                self.assertIn(f"'{resource_id}' does not exist", parsed["Error"]["Message"])

    def test_filtered_answers_lose_young_items_and_stay_parsable(self):
        body = EC2_XML.format("DescribeInstances", (
            "<reservationSet><item><reservationId>r-1</reservationId><instancesSet>"
            "<item><instanceId>i-old</instanceId><networkInterfaceSet><item><networkInterfaceId>eni-young"
            "</networkInterfaceId></item></networkInterfaceSet></item><item><instanceId>i-young</instanceId></item>"
            "</instancesSet></item><item><reservationId>r-2</reservationId><instancesSet><item><instanceId>i-young2"
            "</instanceId></item></instancesSet></item></reservationSet>")).encode()
        young = {"i-young", "i-young2", "eni-young"}.__contains__
        trimmed, removed = consistency.hide("DescribeInstances", body, young)
        self.assertEqual(2, removed)
        self.assertIn(b'<DescribeInstancesResponse xmlns="http://ec2.amazonaws.com/doc/2016-11-15">', trimmed)
        reservations = self.parse("DescribeInstances", (200, {}, trimmed))["Reservations"]
        # The old instance keeps its young interface: only listed items are left out.
        self.assertEqual([("r-1", ["i-old"], ["eni-young"])],
                         [(r["ReservationId"], [i["InstanceId"] for i in r["Instances"]],
                           [n["NetworkInterfaceId"] for i in r["Instances"] for n in i["NetworkInterfaces"]])
                          for r in reservations])
        keys = EC2_XML.format("DescribeKeyPairs", "<keySet><item><keyName>k</keyName></item></keySet>").encode()
        no_keys = consistency.hide("DescribeKeyPairs", keys, {"k"}.__contains__)[0]
        self.assertEqual([], self.parse("DescribeKeyPairs", (200, {}, no_keys))["KeyPairs"])
        self.assertEqual((keys, 0), consistency.hide("DescribeKeyPairs", keys, lambda _: False))

    def test_ledger_forgets_a_resource_once_it_reaches_the_lag(self):
        ledger = consistency.Ledger()
        ledger.learn([("sg-1", "group")], now=100.0, lag=10.0)
        self.assertEqual(("group", None), (ledger.young("sg-1", 109.9, 10.0), ledger.young("sg-1", 110.0, 10.0)))
        self.assertIsNone(ledger.young("sg-2", 100.0, 10.0))
        ledger.learn([("sg-2", "group")], now=120.0, lag=10.0)  # sg-1 is past the lag: dropped
        self.assertIsNone(ledger.young("sg-1", 100.0, 10.0))


class PagingTest(unittest.TestCase):
    def test_pages_chain_by_token_and_requests_aws_refuses_are_refused(self):
        body = EC2_XML.format("DescribeSubnets", "<subnetSet>" + "".join(
            f"<item><subnetId>subnet-{n}</subnetId></item>" for n in range(5)) + "</subnetSet>").encode()
        seen, params = [], {"MaxResults": "1000"}
        while True:
            error, page = paging.window("DescribeSubnets", params, page_size=2)
            self.assertIsNone(error)
            answer = ConsistencyTest.parse(self, "DescribeSubnets", (200, {}, paging.cut("DescribeSubnets", body, *page)))
            seen.append([s["SubnetId"] for s in answer["Subnets"]])
            if "NextToken" not in answer:
                break
            params["NextToken"] = answer["NextToken"]
        self.assertEqual([["subnet-0", "subnet-1"], ["subnet-2", "subnet-3"], ["subnet-4"]], seen)
        for params in ({"MaxResults": "4"}, {"MaxResults": "5", "InstanceId.1": "i-1"}, {"NextToken": "forged"}):
            with self.subTest(params=params):
                self.assertEqual(400, paging.window("DescribeInstances", params, 0)[0][0])
        self.assertEqual(("/?a=1", b"Action=DescribeSubnets"), paging.unpaged(
            "/?a=1&MaxResults=5", {"Content-Type": "application/x-www-form-urlencoded"},
            b"Action=DescribeSubnets&MaxResults=5&NextToken=t"))
        # moto's own pages of DescribeInstances (100) must not cut the list the proxy pages.
        self.assertEqual(("/", b"Action=DescribeInstances&MaxResults=1000000"), paging.unpaged(
            "/", {"Content-Type": "application/x-www-form-urlencoded"},
            b"Action=DescribeInstances&MaxResults=1000&NextToken=t", "DescribeInstances"))


class KillSwitchTest(unittest.TestCase):
    def test_the_kth_call_fires_later_arrivals_die_until_it_has_fired(self):
        switch = faults.KillSwitch()
        self.assertIsNone(switch.arrive())  # not armed
        switch.arm(faults.parse_kill({"pid": 4242, "calls": 3}))
        self.assertEqual([None, None, ("fire", 4242), ("dying", 4242)], [switch.arrive() for _ in range(4)])
        switch.fired()
        self.assertIsNone(switch.arrive())
        switch.arm({"pid": 4242, "calls": 1})
        self.assertEqual(("fire", 4242), switch.arrive())

    def test_malformed_settings_are_refused(self):
        config = Config(kill_after_calls='{"pid": 4242, "calls": 2}')  # as JSON text, as from the command line
        self.assertEqual({"pid": 4242, "calls": 2}, config.get("kill_after_calls"))
        for bad in ({"pid": 4242}, {"pid": 4242, "calls": 0}, {"pid": 1, "calls": 1}, {"pid": -5, "calls": 1},
                    {"pid": os.getpid(), "calls": 1}, {"pid": "4242", "calls": 1}, {"pid": 4242, "calls": True},
                    {"pid": 4242, "calls": 1, "extra": 0}, [4242, 1], "not json"):
            with self.subTest(bad=bad):
                with self.assertRaises(ValueError):
                    Config().update({"kill_after_calls": bad})
        for bad in (-1, float("nan"), float("inf")):
            with self.assertRaises(ValueError):
                Config().update({"consistency_lag_s": bad})


class SignatureTest(unittest.TestCase):
    KEY, SECRET = "AKIAUNITTEST00000001", "unit/test/secret/0123456789abcdefghijklm"

    def setUp(self):
        self.keys = sigv4.KeyStore()
        self.keys.add(self.KEY, self.SECRET)

    def signed(self, service, method, url, body=b"", headers=None, secret=None, token=None, s3=False):
        request = AWSRequest(method=method, url=url, data=body, headers=dict(headers or {}))
        request.headers["Host"] = "127.0.0.1:4566"
        creds = Credentials(self.KEY, secret or self.SECRET, token)
        (S3SigV4Auth if s3 else SigV4Auth)(creds, service, "us-east-1").add_auth(request)
        path = url.split("127.0.0.1:4566", 1)[1]
        return method, path, list(request.headers.items()), body

    def verify(self, signed, **kw):
        method, path, headers, body = signed
        return sigv4.verify(method, path, headers, body, self.keys, **kw)

    def test_query_protocol_request_signed_by_the_sdk_passes(self):
        signed = self.signed("ec2", "POST", "http://127.0.0.1:4566/", b"Action=DescribeVpcs&Version=2016-11-15",
                             {"Content-Type": "application/x-www-form-urlencoded; charset=utf-8"})
        self.assertEqual(self.KEY, self.verify(signed))

    def test_s3_paths_and_queries_are_canonicalised_like_aws(self):
        for url in ("http://127.0.0.1:4566/bucket/a%20b%2Bc%3Dd.txt",
                    "http://127.0.0.1:4566/bucket?list-type=2&prefix=log%2Fwith%20space",
                    "http://127.0.0.1:4566/bucket/%C3%BC.txt?tagging="):
            with self.subTest(url=url):
                self.verify(self.signed("s3", "GET", url, s3=True))

    def test_each_kind_of_tampering_is_refused(self):
        good = self.signed("iam", "POST", "http://127.0.0.1:4566/", b"Action=ListRoles&Version=2010-05-08")
        method, path, headers, body = good
        cases = {
            "body": (method, path, headers, body + b"&MaxItems=1"),
            "path": (method, "/other", headers, body),
            "signed header": (method, path, [(k, v + "0" if k == "X-Amz-Date" else v) for k, v in headers], body),
            "secret": self.signed("iam", "POST", "http://127.0.0.1:4566/", body, secret="wrong"),
        }
        for name, request in cases.items():
            with self.subTest(name):
                with self.assertRaises(sigv4.Rejection) as ctx:
                    self.verify(request)
                self.assertIs(protocol.BAD_SIGNATURE, ctx.exception.table)

    def test_unknown_key_missing_auth_wrong_token_and_skew(self):
        with self.assertRaises(sigv4.Rejection) as ctx:
            sigv4.verify(*self.signed("sts", "POST", "http://127.0.0.1:4566/", b"Action=GetCallerIdentity"),
                         sigv4.KeyStore())
        self.assertIs(protocol.UNKNOWN_KEY, ctx.exception.table)
        with self.assertRaises(sigv4.Rejection) as ctx:
            self.verify(("GET", "/", [("Host", "127.0.0.1:4566")], b""))
        self.assertIs(protocol.MISSING_AUTH, ctx.exception.table)
        self.keys.add("ASIATOKEN00000000001", "s", "the-token")
        request = AWSRequest(method="POST", url="http://127.0.0.1:4566/", data=b"Action=X")
        request.headers["Host"] = "127.0.0.1:4566"
        SigV4Auth(Credentials("ASIATOKEN00000000001", "s", "forged"), "sts", "us-east-1").add_auth(request)
        with self.assertRaises(sigv4.Rejection) as ctx:
            sigv4.verify("POST", "/", list(request.headers.items()), b"Action=X", self.keys)
        self.assertIs(protocol.BAD_TOKEN, ctx.exception.table)
        signed = self.signed("ssm", "POST", "http://127.0.0.1:4566/", b"{}")
        with self.assertRaises(sigv4.Rejection) as ctx:
            self.verify(signed, now=time.time() + 16 * 60)
        self.assertIs(protocol.SKEWED, ctx.exception.table)
        self.verify(signed, now=time.time() + 14 * 60)


    def test_long_term_key_with_any_session_token_is_refused(self):
        signed = self.signed("ec2", "POST", "http://127.0.0.1:4566/", b"Action=DescribeVpcs&Version=2016-11-15",
                             {"Content-Type": "application/x-www-form-urlencoded; charset=utf-8"}, token="made-up")
        with self.assertRaises(sigv4.Rejection) as ctx:
            self.verify(signed)
        self.assertIs(protocol.BAD_TOKEN, ctx.exception.table)

    def test_only_the_identity_exchanges_may_come_unsigned(self):
        unsigned = ("POST", "/", [("Host", "127.0.0.1:4566")], b"Action=AssumeRoleWithWebIdentity")
        self.assertIsNone(self.verify(unsigned, operation=("sts", "AssumeRoleWithWebIdentity")))
        for operation in (("sts", "AssumeRole"), ("sts", "GetCallerIdentity"), None):
            with self.subTest(operation=operation):
                with self.assertRaises(sigv4.Rejection) as ctx:
                    self.verify(unsigned, operation=operation)
                self.assertIs(protocol.MISSING_AUTH, ctx.exception.table)


class WatchTest(unittest.TestCase):
    def test_watch_ends_the_sandbox_once_the_watched_process_is_gone(self):
        import subprocess
        import threading
        import sandbox as launcher
        child = subprocess.Popen([sys.executable, "-c", "pass"])
        child.wait()
        done = threading.Event()
        launcher.watch(child.pid, done)  # returns only after it set done
        self.assertTrue(done.is_set())


class ImageDateTest(unittest.TestCase):
    def test_dates_order_by_architecture_then_kernel(self):
        base = "al2023-ami-2023.11.20260427.1-kernel-{}-{}"
        x612 = image_date(base.format("6.12", "x86_64"), None)
        x61 = image_date(base.format("6.1", "x86_64"), None)
        a618 = image_date(base.format("6.18", "arm64"), None)
        self.assertTrue(a618 < x61 < x612)
        self.assertEqual("2026-04-27", x612.strftime("%Y-%m-%d"))
        self.assertEqual("kept", image_date("amzn2-ami-hvm-2.0", "kept"))


class SubnetPlanTest(unittest.TestCase):
    def test_every_size_gives_disjoint_subnets_inside_the_vpc(self):
        vpc = ipaddress.ip_network("10.0.0.0/16")
        for pairs in (1, 3, 100, 101, 250, MAX_PAIRS):
            nets = []
            for i in range(1, pairs + 1):
                gw, gw_ip, private = subnet_plan(i, pairs)
                gw_net, private_net = ipaddress.ip_network(gw), ipaddress.ip_network(private)
                self.assertIn(ipaddress.ip_address(gw_ip), gw_net)
                # AWS keeps the first four addresses of a subnet for itself.
                self.assertGreater(int(ipaddress.ip_address(gw_ip)) - int(gw_net.network_address), 3)
                nets += [gw_net, private_net]
            gw, _, private = cross_zone_plan(pairs)
            nets += [ipaddress.ip_network(gw), ipaddress.ip_network(private)]
            self.assertTrue(all(n.subnet_of(vpc) for n in nets), pairs)
            nets.sort()
            self.assertFalse(any(a.overlaps(b) for a, b in zip(nets, nets[1:])), pairs)

    def test_sizes_outside_the_plan_are_refused(self):
        for i, pairs in ((1, 0), (1, MAX_PAIRS + 1), (0, 3), (4, 3)):
            with self.assertRaises(ValueError):
                subnet_plan(i, pairs)


class RealAccountModelsTest(unittest.TestCase):
    def test_launch_settings_are_checked_and_defaulted(self):
        self.assertEqual({"count": 2, **launches.DEFAULT_FAILURE}, launches.parse('{"count": 2}', "launch_failure"))
        self.assertEqual("both", launches.parse({"share": 0.5}, "impaired")["check"])
        self.assertIsNone(launches.parse(None, "impaired"))
        for bad in ({}, {"share": 0.5, "count": 1}, {"share": 2}, {"count": -1}, {"count": 1, "check": "system"},
                    {"count": True}, "[1]"):
            with self.assertRaises(ValueError, msg=bad):
                launches.parse(bad, "launch_failure")
        with self.assertRaises(ValueError):
            launches.parse({"count": 1, "check": "disk"}, "impaired")

    def test_picker_takes_the_next_k_or_a_reproducible_share(self):
        picker, setting = launches.Picker("launch_failure"), {"count": 2}
        self.assertEqual([True, True, False], [picker.pick(setting, 0) is not None for _ in range(3)])
        self.assertIsNotNone(picker.pick({"count": 2}, 0), "a new setting counts again")
        share = {"share": 0.3}
        pickers = [launches.Picker("launch_failure") for _ in range(2)]
        runs = [[p.pick(share, 7) is not None for _ in range(200)] for p in pickers]
        self.assertEqual(runs[0], runs[1])
        self.assertTrue(30 < sum(runs[0]) < 90, sum(runs[0]))

    def test_the_standard_vcpu_bucket_leaves_out_families_with_their_own(self):
        standard = ["t3.micro", "m1.small", "c5.large", "r6i.xlarge", "z1d.large", "i4i.large", "d3.xlarge",
                    "h1.2xlarge", "a1.medium", "m7i-flex.large", "im4gn.large"]
        other = ["p3.2xlarge", "g4dn.xlarge", "inf1.xlarge", "trn1.2xlarge", "dl1.24xlarge", "hpc6a.48xlarge",
                 "mac1.metal", "x2idn.16xlarge", "u-6tb1.metal", "f1.2xlarge", "vt1.3xlarge"]
        self.assertEqual((standard, []), ([t for t in standard if walls.standard_family(t)],
                                          [t for t in other if walls.standard_family(t)]))

    def test_iam_refuses_arns_of_another_partition(self):
        document = '{"Statement": [{"Effect": "Allow", "Action": "s3:*", "Resource": ["arn:aws-cn:s3:::b", "arn:aws:s3:::b"]}]}'
        status, _, body = partition.iam_refusal({"PolicyDocument": document}, "aws-cn")
        self.assertEqual(400, status)
        self.assertIn(b'Partition "aws" is not valid for resource "arn:aws:s3:::b".', body)
        status, _, body = partition.iam_refusal({"PolicyArn": "arn:aws:iam::1:policy/p"}, "aws-us-gov")
        self.assertIn(b"<Code>InvalidInput</Code>", body)
        self.assertIsNone(partition.iam_refusal({"PolicyArn": "arn:aws:iam::1:policy/p", "PolicyDocument": "{"}, "aws"))
        self.assertEqual(("aws", "aws-cn", "aws-us-gov"), tuple(map(partition.of, ("eu-west-1", "cn-north-1",
                                                                                    "us-gov-east-1"))))

    def test_iam_lag_hides_a_new_entity_from_other_calls_only(self):
        ledger = iamlag.Ledger()
        ledger.observe("CreatePolicy", {"PolicyName": "p"}, b"<Arn>arn:aws:iam::1:policy/p</Arn>", 100.0)
        ledger.observe("CreateRole", {"RoleName": "r"}, b"", 100.0)
        status, _, body = ledger.refusal("AttachRolePolicy", {"RoleName": "old", "PolicyArn": "arn:aws:iam::1:policy/p"},
                                         105.0, 10.0)
        self.assertEqual(404, status)
        self.assertIn(b"Policy arn:aws:iam::1:policy/p does not exist or is not attachable.", body)
        self.assertIsNone(ledger.refusal("CreateRole", {"RoleName": "r"}, 105.0, 10.0))
        self.assertIsNone(ledger.refusal("GetRole", {"RoleName": "r"}, 110.0, 10.0))
        self.assertIsNone(ledger.refusal("GetRole", {"RoleName": "r"}, 105.0, 0.0))


if __name__ == "__main__":
    unittest.main()
