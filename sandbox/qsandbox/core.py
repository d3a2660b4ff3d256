"""The sandbox's shared state: knobs, clock, known keys, call log, moto, and the few AWS
behaviours the proxy adds around moto (instance profile propagation, AssumeRole checks,
EC2's eventual consistency, IAM propagation, credentials that expire, partitions and S3's
regional endpoints, the account's policies and limits) and the kill switch for crash tests."""
import datetime
import json
import os
import re
import signal
import time

from . import consistency, faults, fidelity, iamlag, partition, policy, protocol, proxy, sso, walls
from .clock import Clock
from .config import Config
from .motohost import MotoHost
from .ratelimits import RateLimits
from .sigv4 import KeyStore

ACCOUNT = "123456789012"
REGION = "us-east-1"


STS_ISSUERS = frozenset({"AssumeRole", "AssumeRoleWithWebIdentity", "AssumeRoleWithSAML", "GetSessionToken",
                         "GetFederationToken"})
_EXPIRATION = re.compile(rb"<Expiration>[^<]*</Expiration>")


class Sandbox:
    def __init__(self, config=None, clock=None, moto=None, region=REGION):
        self.region = region
        self.partition = partition.of(region)
        self.config = config or Config()
        self.clock = clock or Clock()
        self.keys = KeyStore()
        self.calls = faults.CallLog()
        self.ratelimits = RateLimits(self.clock.now)
        self.ratelimits.configure(self.config.get("ec2_rate_limits"))
        self.moto = moto or MotoHost()
        self.moto.hooks = (fidelity.begin_call, fidelity.end_call)
        self.iam_young = iamlag.Ledger()
        self.profiles_created = {}  # instance profile name -> nominal creation time
        self.young = consistency.Ledger()
        self.killswitch = faults.KillSwitch()
        self.killswitch.arm(self.config.get("kill_after_calls"))
        self.sso = sso.Sso(self, ACCOUNT)
        self.info = {}
        self.block_public_access_set = time.time()  # when block_public_access last changed (real time)
        self.state_source = None     # callable giving the state summary
        self.reseed = None           # callable seeding the topology again

    def configure(self, changes):
        """Changes knobs at run time, with what a change implies beyond the knob itself."""
        self.config.update(changes)
        if "seed" in changes:
            self.calls.restart_numbering()  # a new seed replays from each operation's first call
        if "ec2_rate_limits" in changes:
            self.ratelimits.configure(self.config.get("ec2_rate_limits"))  # every bucket full again
        if "kill_after_calls" in changes:
            self.killswitch.arm(self.config.get("kill_after_calls"))  # counting starts now
        if {"block_public_access", "block_public_access_exclusions"} & set(changes):
            self.block_public_access_set = time.time()

    # ---- the kill switch ------------------------------------------------------------------
    def kill(self, pid):
        """SIGKILLs pid and switches the knob off; returns None or why the kill failed."""
        try:
            os.kill(pid, signal.SIGKILL)
            error = None
        except OSError as exc:
            error = exc.__class__.__name__
        self.config.update({"kill_after_calls": None})
        self.killswitch.fired()
        return error

    # ---- eventual consistency ---------------------------------------------------------------
    def _lag(self):
        return self.config.get("consistency_lag_s")

    def consistency_check(self, op, params):
        """EC2's NotFound answer for a call naming a resource still too young, or None."""
        lag = self._lag()
        if lag <= 0 or not self.young:
            return None
        now = self.clock.now()
        for resource_id in consistency.named_ids(op, params):
            kind = self.young.young(resource_id, now, lag)
            if kind:
                return consistency.not_found(kind, resource_id)
        return None

    def hide_young(self, op, params, data):
        """(body, items left out) of a filtered Describe answer, without the young resources."""
        lag = self._lag()
        if lag <= 0 or not self.young or op not in consistency.LISTS:
            return data, 0
        if not consistency.filtered(params):
            return data, 0
        now = self.clock.now()
        return consistency.hide(op, data, lambda rid: self.young.young(rid, now, lag) is not None)

    # ---- credentials that expire ----------------------------------------------------------
    def register_credentials(self, access_key, secret, token, duration_s=None):
        """Makes issued credentials known until they expire, after min(duration_s, sts_duration_s)
        nominal seconds. Returns the expiry as the real UTC time an answer's Expiration shows."""
        limit = self.config.get("sts_duration_s")
        duration = limit if duration_s is None else min(float(duration_s), limit)
        self.keys.add(access_key, secret, token, issued=True, expires=self.clock.now() + duration)
        return datetime.datetime.fromtimestamp(self.clock.wall() + duration * self.clock.scale, datetime.timezone.utc)

    # ---- the account's policies and limits --------------------------------------------------
    def _place(self, scope):
        return policy.Place(self.partition, scope[2] if scope else self.region, ACCOUNT)

    def caller(self, access_key):
        """(id, ARN) of the principal signing with the key, as GetCallerIdentity names it."""
        from moto.sts.models import sts_backends
        with self.moto.lock:
            user_id, arn, _ = sts_backends[ACCOUNT][self.partition].get_caller_identity(access_key or "",
                                                                                         self.region)
        return user_id, arn

    @staticmethod
    def request_params(service, headers, path, body):
        """A request's parameters: the query protocol's flat names, a JSON body's top level."""
        if service in protocol.JSON_SERVICES:
            try:
                doc = json.loads(body or b"{}")
            except ValueError:
                return {}
            return doc if isinstance(doc, dict) else {}
        if service in ("ec2", "iam", "sts"):
            return proxy.query_params(path, headers, body)
        return {}

    def guard(self, cfg, service, op, headers, path, body, scope, params=None):
        """(answer, fault) for a call refused by the account's policies before anything happens
        (fault "deny"), or for an EC2 dry run; (None, None) to go on."""
        if params is None:
            wanted = cfg["deny_actions"] or (service == "iam" and (cfg["require_tags"] or
                                                                   cfg["require_permissions_boundary"]))
            params = self.request_params(service, headers, path, body) if wanted else {}
        place = self._place(scope)
        found = policy.denial(cfg, service, op, params, place, path)
        if found:
            return policy.refusal(found, service, self.caller(scope[0] if scope else None), place), "deny"
        if policy.is_dry_run(service, params):
            return policy.dry_run_answer(), None
        if service == "ec2" and op == "RunInstances" and cfg["pending_verification"]:
            return walls.pending_verification_answer(), None
        return None, None

    def own_answer(self, service, op, headers, path, body, scope):
        """Answers for calls moto does not implement, or not as the knobs play them; None otherwise."""
        region = scope[2] if scope else self.region
        if service == "servicequotas" and op in ("GetServiceQuota", "GetAWSDefaultServiceQuota"):
            return walls.service_quota_answer(op, body, region, ACCOUNT, self.partition)
        if service == "ec2" and op == "DescribeVpcBlockPublicAccessOptions":
            return walls.block_public_access_answer(region, ACCOUNT, self.block_public_access_set)
        if service == "sts" and op == "DecodeAuthorizationMessage":
            return policy.decode_answer(proxy.query_params(path, headers, body))
        if service == "iam" and op == "SimulatePrincipalPolicy":
            return policy.simulate_answer(self.config.get("deny_actions"), proxy.query_params(path, headers, body))
        return None

    # ---- before moto ------------------------------------------------------------------------
    def fidelity_precheck(self, service, op, headers, path, body, scope=None):
        """An AWS answer that moto would not give, or None to let moto answer."""
        if service == "iam":
            params = proxy.query_params(path, headers, body)
            refusal = partition.iam_refusal(params, self.partition)
            if refusal is None:
                refusal = self.iam_young.refusal(op, params, self.clock.now(), self.config.get("iam_lag_s"))
            return refusal
        if service == "s3" and scope is not None:
            return self._s3_region_check(op, path, scope[2])
        if service == "ec2" and op == "RunInstances":
            params = proxy.query_params(path, headers, body)
            name = params.get("IamInstanceProfile.Name")
            arn = params.get("IamInstanceProfile.Arn")
            if name or arn:
                return self._profile_check(name, arn)
        if service == "sts" and op == "AssumeRole" and self.config.get("strict_assume_role"):
            arn = proxy.query_params(path, headers, body).get("RoleArn", "")
            if not self._role_exists(arn):
                return protocol.error_response(
                    "sts", 403, "AccessDenied",
                    f"User: arn:{self.partition}:iam::{ACCOUNT}:user/sandbox is not authorized to perform: "
                    f"sts:AssumeRole on resource: {arn}")
        return None

    def _iam(self):
        from moto.iam.models import iam_backends
        return iam_backends[ACCOUNT][self.partition]

    def _s3_region_check(self, op, path, request_region):
        """S3's redirect or refusal for a bucket request signed for another region than the bucket's."""
        if op in ("ListBuckets", "CreateBucket"):
            return None
        name = path.split("?", 1)[0].lstrip("/").split("/", 1)[0]
        if not name:
            return None
        from moto.s3.models import s3_backends
        with self.moto.lock:
            where = s3_backends.bucket_accounts.get(name)
            bucket = s3_backends[where[1]][where[0]].buckets.get(name) if where else None
            bucket_region = bucket.region_name if bucket is not None else None
        if bucket_region is None:
            return None
        return partition.s3_redirect(name, bucket_region, request_region, "HEAD" if op == "HeadBucket" else "GET")

    def _profile_check(self, name, arn):
        with self.moto.lock:
            profiles = list(self._iam().instance_profiles.values())
        found = [p for p in profiles if (name and p.name == name) or (arn and p.arn == arn)]
        profile_name = found[0].name if found else name
        too_new = False
        if found and profile_name in self.profiles_created:
            age = self.clock.now() - self.profiles_created[profile_name]
            too_new = age < self.config.get("profile_delay_s")
        if found and not too_new:
            return None
        if name:
            message = f"Value ({name}) for parameter iamInstanceProfile.name is invalid. Invalid IAM Instance Profile name"
        else:
            message = f"Value ({arn}) for parameter iamInstanceProfile.arn is invalid. Invalid IAM Instance Profile ARN"
        return protocol.error_response("ec2", 400, "InvalidParameterValue", message)

    def _role_exists(self, arn):
        prefix = f"arn:{self.partition}:iam::{ACCOUNT}:role/"
        if not arn.startswith(prefix):
            return False
        name = arn[len(prefix):].rsplit("/", 1)[-1]
        with self.moto.lock:
            return any(r.name == name for r in self._iam().roles.values())

    # ---- after moto ------------------------------------------------------------------------
    def observe(self, service, op, headers, path, body, status, data):
        """Learns from a successful answer; returns the answer's body (STS's Expiration rewritten)."""
        if status != 200:
            return data
        if service == "ec2" and self._lag() > 0:
            made = consistency.created_ids(op, proxy.query_params(path, headers, body), data)
            if made:
                self.young.learn(made, self.clock.now(), self._lag())
        elif service == "iam" and op == "CreateInstanceProfile":
            name = proxy.query_params(path, headers, body).get("InstanceProfileName")
            if name:
                self.profiles_created[name] = self.clock.now()
        if service == "iam":
            self.iam_young.observe(op, proxy.query_params(path, headers, body), data, self.clock.now())
        elif service == "sts" and op in STS_ISSUERS:
            creds = proxy.sts_credentials(data)
            if creds:
                requested = proxy.query_params(path, headers, body).get("DurationSeconds")
                expiry = self.register_credentials(*creds, duration_s=requested or None)
                stamp = expiry.strftime("%Y-%m-%dT%H:%M:%SZ").encode()
                data = _EXPIRATION.sub(b"<Expiration>" + stamp + b"</Expiration>", data, count=1)
        return data

    def reset(self):
        """Forgets every resource and every issued credential, then seeds the topology again."""
        status, _, data, _ = self.moto.call("POST", "/moto-api/reset", [("Host", "127.0.0.1")], b"")
        if status != 200:
            raise RuntimeError(f"moto reset answered {status}: {data[:200]!r}")
        self.keys.forget_issued()
        fidelity.forget()
        walls.forget()
        self.iam_young.clear()
        self.profiles_created.clear()
        self.young.clear()
        self.calls.reset()
        self.calls.restart_numbering()
        self.ratelimits.refill()
        return self.reseed() if self.reseed else {}

    def state(self):
        return self.state_source() if self.state_source else {}
