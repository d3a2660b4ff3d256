#!/usr/bin/env python3
"""Our client's cost per DescribeInstances call beside the reference SDK's, in one run.

Starts one loopback stub (a separate process, so that its work is counted for neither side)
answering every POST with the same 20-instance DescribeInstances body, runs bench_client's
pipeline benchmark against it, then times botocore against it, and prints a small table.
CPU time is the calling thread's: serialising, signing, sending and parsing, without the stub.

  .venv/bin/python bench/client_vs_botocore.py --bench-client build-release/bench/bench_client

Build bench_client without sanitizers and with -DCMAKE_BUILD_TYPE=Release for meaningful figures.
"""
import argparse
import http.server
import json
import os
import subprocess
import sys
import time


def serve(body_file):
    """The stub: HTTP/1.1 with keep-alive, the same answer for every POST."""
    with open(body_file, "rb") as f:
        body = f.read()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            self.rfile.read(int(self.headers.get("content-length", "0")))
            self.send_response(200)
            self.send_header("Content-Type", "text/xml;charset=UTF-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def find_bench_client(explicit):
    if explicit:
        return explicit
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for build in ("build-release", "build", "build-bench"):
        candidate = os.path.join(root, build, "bench", "bench_client")
        if os.path.exists(candidate):
            return candidate
    sys.exit("bench_client not found: build the bench_client target and pass --bench-client")


def time_botocore(endpoint, calls, warmup):
    import botocore
    import botocore.session

    session = botocore.session.get_session()
    client = session.create_client(
        "ec2", region_name="us-east-1", endpoint_url=endpoint,
        aws_access_key_id="AKIDEXAMPLEBENCH", aws_secret_access_key="benchsecretkeybenchsecretkey")
    filters = [{"Name": "tag:Name", "Values": ["quenfold-test-ec2"]},
               {"Name": "instance-state-name", "Values": ["pending", "running"]}]
    for _ in range(warmup):
        out = client.describe_instances(Filters=filters)
    if len(out["Reservations"]) != 20:
        sys.exit("botocore did not read 20 reservations from the stub")
    wall0, cpu0 = time.perf_counter(), time.thread_time()
    for _ in range(calls):
        client.describe_instances(Filters=filters)
    wall, cpu = time.perf_counter() - wall0, time.thread_time() - cpu0
    return botocore.__version__, wall / calls * 1e6, cpu / calls * 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bench-client")
    ap.add_argument("--calls", type=int, default=300, help="botocore calls timed")
    ap.add_argument("--min-time", default="2", help="seconds for the C++ benchmark")
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.serve)
        return

    bench_client = find_bench_client(args.bench_client)
    body = subprocess.run([bench_client, "--print-body"], check=True, capture_output=True).stdout
    body_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"quenfold-bench-body-{os.getpid()}.xml")
    with open(body_file, "wb") as f:
        f.write(body)

    stub = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", body_file],
                            stdout=subprocess.PIPE, text=True)
    try:
        port = int(stub.stdout.readline())
        endpoint = f"http://127.0.0.1:{port}"

        env = dict(os.environ, QUENFOLD_BENCH_ENDPOINT=endpoint)
        run = subprocess.run(
            [bench_client, "--benchmark_filter=Pipeline|Step", "--benchmark_format=json",
             f"--benchmark_min_time={args.min_time}"],
            check=True, capture_output=True, text=True, env=env)
        report = json.loads(run.stdout)
        figures = {b["name"].split("/")[0]: b for b in report["benchmarks"]}
        build = report["context"].get("quenfold_build", "unknown")

        version, boto_wall, boto_cpu = time_botocore(endpoint, args.calls, warmup=20)
    finally:
        stub.terminate()
        stub.wait()
        os.remove(body_file)

    def us(b, key):
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
        return b[key] * scale

    ours = figures["Pipeline_DescribeInstances20"]
    print(f"DescribeInstances, 20-instance answer, same loopback stub ({len(body)} bytes), one run")
    print(f"{'client':<28}{'wall us/call':>14}{'CPU us/call':>14}")
    print(f"{'quenfold C++ client':<28}{us(ours, 'real_time'):>14.0f}{us(ours, 'cpu_time'):>14.0f}")
    print(f"{'botocore ' + version:<28}{boto_wall:>14.0f}{boto_cpu:>14.0f}")
    print(f"{'botocore / ours':<28}{boto_wall / us(ours, 'real_time'):>14.1f}{boto_cpu / us(ours, 'cpu_time'):>14.1f}")
    print()
    print("our steps alone (CPU us/call):", ", ".join(
        f"{name.removeprefix('Step_')} {us(b, 'cpu_time'):.1f}" for name, b in figures.items() if name.startswith("Step_")))
    if build != "optimised":
        print(f"note: bench_client build is {build}; build it as Release without sanitizers to compare")


if __name__ == "__main__":
    main()
