"""Measures the sandbox for the benchmarks to set beside the tool's own figures:

  - start time: sandbox/start until its ready line (wall clock, whole process);
  - moto's own service time per call (median over N calls) for DescribeInstances with 100
    instances, as the proxy records it (time inside moto only, excluding the proxy, the
    network and the SDK), and the round trip seen by botocore through the proxy.

Run: .venv/bin/python sandbox/bench.py [--instances 100] [--calls 50]"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--instances", type=int, default=100)
    p.add_argument("--calls", type=int, default=50)
    args = p.parse_args(argv)
    run = tempfile.mkdtemp(prefix="quenfold-sandbox-bench-")
    env = dict(os.environ, QUENFOLD_SANDBOX_DIR=run)
    started = time.monotonic()
    subprocess.run([os.path.join(HERE, "start")], env=env, check=True, stdout=subprocess.DEVNULL)
    start_wall = time.monotonic() - started
    try:
        with open(os.path.join(run, "env.json")) as f:
            v = json.load(f)
        with open(os.path.join(run, "info.json")) as f:
            info = json.load(f)
        import botocore.session
        ec2 = botocore.session.get_session().create_client(
            "ec2", region_name=v["AWS_REGION"], endpoint_url=v["AWS_ENDPOINT_URL"],
            aws_access_key_id=v["AWS_ACCESS_KEY_ID"], aws_secret_access_key=v["AWS_SECRET_ACCESS_KEY"])
        subnet = info["topology"]["entries"][0]["gw_subnet_id"]
        made = 0
        while made < args.instances:
            batch = min(25, args.instances - made)
            ec2.run_instances(ImageId="ami-12345678", MinCount=batch, MaxCount=batch, InstanceType="t3.micro",
                              SubnetId=subnet, TagSpecifications=[{"ResourceType": "instance", "Tags": [
                                  {"Key": "Name", "Value": "quenfold-test-ec2"}]}])
            made += batch
        urllib.request.urlopen(urllib.request.Request(v["QUENFOLD_SANDBOX_CONTROL"] + "/reset-counts",
                                                      data=b"{}", method="POST")).read()
        round_trips = []
        for _ in range(args.calls):
            t = time.perf_counter()
            found = ec2.describe_instances(Filters=[{"Name": "tag:Name", "Values": ["quenfold-test-ec2"]}])
            round_trips.append(time.perf_counter() - t)
        count = sum(len(r["Instances"]) for r in found["Reservations"])
        calls = json.load(urllib.request.urlopen(v["QUENFOLD_SANDBOX_CONTROL"] + "/calls"))["calls"]
        moto_ms = [c["moto_ms"] for c in calls if c["op"] == "ec2:DescribeInstances"]
        print(f"sandbox start: {start_wall:.2f} s to the ready line "
              f"({info['start_seconds']:.2f} s inside the process)")
        print(f"DescribeInstances, {count} instances, {len(moto_ms)} calls: "
              f"moto service time median {statistics.median(moto_ms):.1f} ms "
              f"(min {min(moto_ms):.1f}, max {max(moto_ms):.1f}); "
              f"botocore round trip median {statistics.median(round_trips) * 1000:.1f} ms")
    finally:
        subprocess.run([os.path.join(HERE, "stop")], env=env, stdout=subprocess.DEVNULL)
        shutil.rmtree(run, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
