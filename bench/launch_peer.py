#!/usr/bin/env python3
"""The peer of the tool's launch: N threads started together, each calling RunInstances once
for its own gateway subnet (t3.micro, the newest Amazon Linux 2023 image, one instance), through
the reference SDK in adaptive retry mode with at most 10 attempts a call, against a sandbox that
applies EC2's documented rate limits at time scale 1. All threads share one client, as the
tool's workers share theirs, so the SDK's client-side rate limiter and retry quota see every call.

boto3 is not installed in the project's .venv; this uses botocore directly, the library boto3
wraps (same client, same retry modes).

Prints per size: instances launched of N, wall time, the floor (N - 5) / 2 s set by RunInstances'
request bucket (capacity 5, refill 2/s), their ratio, throttled RunInstances answers, and those
per launched instance. `--mode standard` runs the same with the standard retry mode.

Usage: bench/launch_peer.py [--sizes 100,250] [--mode adaptive|standard]
"""
import argparse
import json
import os
import sys
import threading
import time
from collections import Counter

import botocore.config
import botocore.exceptions
import botocore.session

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale_bench import bucket_use, fresh_buckets, start_sandbox  # noqa: E402

MAX_ATTEMPTS = 10
RUN_CAPACITY, RUN_REFILL = 5, 2  # RunInstances' documented request bucket


def make_client(env, mode, threads):
    session = botocore.session.Session()
    for name, var in (("credentials_file", "AWS_SHARED_CREDENTIALS_FILE"), ("config_file", "AWS_CONFIG_FILE")):
        session.set_config_variable(name, env[var])
    # A connection per thread, so that the connection pool does not queue the launches.
    config = botocore.config.Config(retries={"mode": mode, "total_max_attempts": MAX_ATTEMPTS},
                                    max_pool_connections=threads)
    return session.create_client("ec2", region_name=env["AWS_REGION"], endpoint_url=env["AWS_ENDPOINT_URL"],
                                 verify=env["AWS_CA_BUNDLE"], config=config,
                                 aws_access_key_id=env["AWS_ACCESS_KEY_ID"],
                                 aws_secret_access_key=env["AWS_SECRET_ACCESS_KEY"])


def newest_image(ec2):
    """The image the tool picks: the newest public Amazon Linux 2023 image of the type's architecture."""
    images = ec2.describe_images(Owners=["amazon"], ExecutableUsers=["all"], IncludeDeprecated=False,
                                 Filters=[{"Name": "name", "Values": ["al2023-ami-2023*"]},
                                          {"Name": "architecture", "Values": ["x86_64"]},
                                          {"Name": "is-public", "Values": ["true"]}])["Images"]
    return max(images, key=lambda i: i["CreationDate"])["ImageId"]


def measure(n, mode):
    sb, env = start_sandbox(n)
    try:
        ec2 = make_client(env, mode, n)
        image = newest_image(ec2)
        with open(os.path.join(sb.dir, "test_config.json")) as f:
            subnets = [e["gw_subnet_id"] for e in json.load(f)]
        fresh_buckets(sb)
        gate = threading.Barrier(n + 1)
        failures = []  # error codes; list.append is atomic, so the threads need no lock

        def launch(subnet):
            gate.wait()
            try:
                ec2.run_instances(ImageId=image, InstanceType="t3.micro", SubnetId=subnet, MinCount=1, MaxCount=1)
            except botocore.exceptions.ClientError as e:
                failures.append(e.response["Error"]["Code"])
            except Exception as e:  # noqa: BLE001 - a connection error counts as a lost launch too
                failures.append(type(e).__name__)

        threads = [threading.Thread(target=launch, args=(s,)) for s in subnets]
        for t in threads:
            t.start()
        gate.wait()
        start = time.monotonic()
        for t in threads:
            t.join()
        wall = time.monotonic() - start
        _, throttled = bucket_use(sb)
        calls = sb.control("calls")["counts"].get("ec2:RunInstances", 0)
    finally:
        sb.stop()
    launched = n - len(failures)
    floor = max(0.0, (n - RUN_CAPACITY) / RUN_REFILL)
    refused = throttled["RunInstances"]
    per = f"{refused / launched:.2f}" if launched else "-"
    ratio = f"{wall / floor:.2f}" if floor else "-"
    print(f"{mode} n={n}: launched {launched} of {n}, wall {wall:.1f} s, floor {floor:.1f} s, "
          f"wall/floor {ratio}, RunInstances calls {calls}, throttled {refused} "
          f"({per} per launched instance)" + (f", failed: {dict(Counter(failures))}" if failures else ""), flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="100,250")
    p.add_argument("--mode", choices=("adaptive", "standard"), default="adaptive")
    a = p.parse_args()
    for n in [int(x) for x in a.sizes.split(",")]:
        measure(n, a.mode)


if __name__ == "__main__":
    main()
