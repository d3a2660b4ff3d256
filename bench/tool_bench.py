#!/usr/bin/env python3
"""The tool's start-up time (`--help`, median of many runs), then deploy and revert of N entries
against the local sandbox, with and without per-call latency: wall time, CPU time, peak memory,
threads, calls per operation, and the critical-path floor (the longest chain of dependent calls
times the latency) beside it.

Usage: bench/tool_bench.py [--tool build/release/deploy_test_ec2] [--sizes 1,10,100,250] [--latency 0,20]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "sandbox"))
from sandboxproc import SandboxProcess  # noqa: E402

# Calls made once per run, on the main flow, before or after the workers.
ONCE = {"DescribeInstanceTypes", "DescribeImages", "DescribeSubnets", "DescribeSecurityGroups", "CreateSecurityGroup",
        "AuthorizeSecurityGroupIngress", "DescribeKeyPairs", "CreateKeyPair", "DeleteKeyPair", "DeleteSecurityGroup",
        "DescribeNetworkInterfaces", "PutObject", "GET /latest/api/token"}


def run(tool, args, env, cwd):
    """Runs the tool once; returns wall time, exit status, peak thread count, peak resident
    memory in kB and its log."""
    start = time.monotonic()
    with tempfile.TemporaryFile(mode="w+") as log:
        proc = subprocess.Popen([tool, *args], env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=log)
        threads, rss_kb = 1, 0
        # Sample the process while it runs (Linux /proc): the thread count, and VmHWM, the
        # kernel's own peak of resident memory for this process alone.
        while proc.poll() is None:
            try:
                with open(f"/proc/{proc.pid}/status") as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            threads = max(threads, int(line.split()[1]))
                        elif line.startswith("VmHWM:"):
                            rss_kb = max(rss_kb, int(line.split()[1]))
            except (OSError, ValueError):
                pass
            time.sleep(0.005)
        wall = time.monotonic() - start
        log.seek(0)
        return wall, proc.returncode, threads, rss_kb, log.read()


def startup(tool, runs):
    """Median and best wall time of `tool --help`, in milliseconds: process start, option
    parsing and the help text, with no AWS work."""
    times = []
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run([tool, "--help"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append((time.monotonic() - start) * 1000)
    times.sort()
    return times[len(times) // 2], times[0]


def measure(tool, n, latency):
    sb = SandboxProcess("--pairs", str(n), "--latency-ms", str(latency))
    try:
        env = dict(os.environ)
        env.update(sb.vars)
        work = tempfile.mkdtemp(prefix="quenfold-bench-")
        config = os.path.join(sb.dir, "test_config.json")
        rows = []
        for mode, args in (("deploy", ["--test_config", config, "--output_test_config", "out.json",
                                       "--backup_folder", "backup"]),
                           ("revert", ["--revert", "--test_config", config, "--backup_folder", "backup"])):
            sb.control("reset-counts", {})
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            wall, status, threads, rss_kb, err = run(tool, args, env, work)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            if status != 0:
                raise SystemExit(f"{mode} of {n} entries failed ({status}):\n{err[-2000:]}")
            log = sb.control("calls")
            counts = {k.split(":", 1)[1]: v for k, v in log["counts"].items()
                      if not k.startswith(("imds:", "echo:"))}
            # moto serves one call at a time, so its summed service time bounds the run too.
            moto_s = sum(c.get("moto_ms") or 0 for c in log["calls"]) / 1000
            total = sum(counts.values())
            once = sum(v for k, v in counts.items() if k in ONCE)
            chain = once + (total - once) / n
            rows.append({
                "mode": mode, "n": n, "latency_ms": latency, "wall_s": round(wall, 2),
                "cpu_s": round((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), 2),
                "peak_rss_mb": round(rss_kb / 1024, 1), "threads": threads, "calls": total,
                "floor_s": round(chain * latency / 1000, 2), "moto_s": round(moto_s, 2), "per_op": counts,
            })
        return rows
    finally:
        sb.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "deploy_test_ec2"))
    p.add_argument("--sizes", default="1,10,100,250")
    p.add_argument("--startup-runs", type=int, default=50)
    p.add_argument("--latency", default="0,20")
    p.add_argument("--json", action="store_true", help="print the rows as JSON, calls per operation included")
    a = p.parse_args()
    a.tool = os.path.abspath(a.tool)  # the runs start in a scratch folder
    if a.startup_runs > 0:
        median, best = startup(a.tool, a.startup_runs)
        print(f"start-up (--help, {a.startup_runs} runs): median {median:.1f} ms, best {best:.1f} ms\n", flush=True)
    rows = []
    for latency in [int(x) for x in a.latency.split(",")]:
        for n in [int(x) for x in a.sizes.split(",")]:
            rows += measure(a.tool, n, latency)
    if a.json:
        print(json.dumps(rows, indent=1))
        return
    print("floor s: the longest chain of dependent calls times the latency; moto s: the sandbox's summed\n"
          "service time (it serves one call at a time), the other bound on the wall time.\n")
    print(f"{'mode':7} {'n':>4} {'lat ms':>6} {'wall s':>7} {'cpu s':>6} {'rss MB':>7} {'thr':>4} {'calls':>6} "
          f"{'floor s':>7} {'moto s':>7}")
    for r in rows:
        print(f"{r['mode']:7} {r['n']:>4} {r['latency_ms']:>6} {r['wall_s']:>7} {r['cpu_s']:>6} {r['peak_rss_mb']:>7} "
              f"{r['threads']:>4} {r['calls']:>6} {r['floor_s']:>7} {r['moto_s']:>7}")
    print("\ncalls per operation (deploy, largest n):")
    big = [r for r in rows if r["mode"] == "deploy"][-1]
    print("  " + ", ".join(f"{k} {v}" for k, v in sorted(big["per_op"].items())))
    big = [r for r in rows if r["mode"] == "revert"][-1]
    print("calls per operation (revert, largest n):")
    print("  " + ", ".join(f"{k} {v}" for k, v in sorted(big["per_op"].items())))


if __name__ == "__main__":
    main()
