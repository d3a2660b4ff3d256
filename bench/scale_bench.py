#!/usr/bin/env python3
"""Deploy and revert of N entries against a sandbox that applies EC2's documented request rate
limits in real time (time scale 1), one fresh sandbox per size. For each run: wall time beside the
floor the rate limits set, throttled answers per action, exit status, entries lost (deploy),
resources left behind (revert), CPU time, peak memory and the sandbox's summed service time.

The floor is the largest over EC2 actions of (calls - capacity) / refill of the action's request
bucket, counting the calls that got past the buckets; for the deploy it is RunInstances,
(N - 5) / 2 s. The resource buckets (1000 instances) cannot bind below 1000 entries.

With --timings, instances also take AWS's own times (pending 30 s, status checks 3 minutes
later, 30 s to terminate) at time scale 0.1, and times are nominal seconds: the deploy's floor
adds launch and status checks to the last launch, the revert's adds the termination.

The sandbox serves one call at a time, and its service time is real time: at time scale 0.1 each
real millisecond it spends counts as ten nominal ones, and at 1,000 entries it is busy most of the
run. --scale 0.4 keeps it well below that, so the figures show the tool rather than the sandbox.

Usage: bench/scale_bench.py [--tool build/release/deploy_test_ec2] [--sizes 100,250,500] [--timings [--scale 0.4] [--release-lag 5]]
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter, defaultdict

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "sandbox"))
from sandboxproc import SandboxProcess  # noqa: E402

SANDBOX_ARGS = ("--ec2-rate-limits", "documented")
TIMINGS = {"launch_s": 30, "status_ok_s": 180, "terminate_s": 30}
# EC2 holds a terminated instance's interfaces, and so its security groups, this long after it
# reports it terminated (the sandbox's default): no revert can delete the groups sooner.
# --release-lag 0 leaves the tool's own share of a revert's time.
RELEASE_LAG_S = 5
TIMINGS_SCALE = 0.1
CALL_LOG_KEEP = 20000  # the sandbox keeps this many calls in its log; the counts stay complete
POLLS = ("ec2:DescribeInstanceStatus", "ec2:DescribeInstances", "ec2:DescribeNetworkInterfaces")
TOOL_GROUPS = {"quenfold-test-ec2-sg", "quenfold-test-ec2-private-interface-sg"}
TOOL_KEY_PREFIX = "quenfold-test-ec2-key-pair-"
# Left over from a caller's shell, these would change the tool's credentials or its retry mode.
DROPPED_ENV = ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_EC2_METADATA_DISABLED", "AWS_RETRY_MODE",
               "AWS_MAX_ATTEMPTS")


def default_tool():
    for build in ("release", "bench"):
        path = os.path.join(ROOT, "build", build, "deploy_test_ec2")
        if os.path.exists(path):
            return path
    return os.path.join(ROOT, "build", "release", "deploy_test_ec2")


def start_sandbox(n, scale):
    sb = SandboxProcess("--pairs", str(n), "--time-scale", str(scale), *SANDBOX_ARGS)
    env = {k: v for k, v in os.environ.items() if k not in DROPPED_ENV}
    env.update(sb.vars)  # QUENFOLD_TIME_SCALE among them: the tool paces its waits on the same clock
    if float(env["QUENFOLD_TIME_SCALE"]) != scale:
        raise SystemExit(f"sandbox runs at time scale {env['QUENFOLD_TIME_SCALE']}, not {scale}")
    return sb, env


def fresh_buckets(sb):
    """Setting the knob again refills every bucket and zeroes its refusals; the call log restarts."""
    sb.configure(ec2_rate_limits="documented")
    sb.control("reset-counts", {})


def bucket_use(sb):
    """Per EC2 action: its request buckets' [(capacity, refill/s)] and its throttled answers.
    The refusals counted per bucket are the calls logged with fault "rate_limit", and stay
    complete when the log is full."""
    buckets, throttled = defaultdict(list), Counter()
    for name, b in sb.control("ratelimits")["buckets"].items():
        action, _, kind = name.split("/", 1)[1].partition(":")
        throttled[action] += b["throttled"]
        if kind != "resource":
            buckets[action].append((b["capacity"], b["refill_per_s"]))
    return buckets, throttled


def floor(counts, buckets, throttled):
    """(seconds, action): the least time the request buckets need to let through the calls that
    passed them. An action split over two buckets (filtered and not) is bounded by both together."""
    best = (0.0, "-")
    for action, pairs in buckets.items():
        passed = counts.get("ec2:" + action, 0) - throttled[action]
        capacity, rate = sum(c for c, _ in pairs), sum(r for _, r in pairs)
        if rate > 0 and (passed - capacity) / rate > best[0]:
            best = ((passed - capacity) / rate, action)
    return best


def run_tool(tool, args, env, cwd):
    """Runs the tool once: wall time, exit status, CPU time, peak resident memory in kB, its log."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    with tempfile.TemporaryFile(mode="w+") as log:
        proc = subprocess.Popen([tool, *args], env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=log)
        rss_kb = 0
        while proc.poll() is None:
            try:  # VmHWM: the kernel's own peak of resident memory for this process
                with open(f"/proc/{proc.pid}/status") as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            rss_kb = max(rss_kb, int(line.split()[1]))
            except (OSError, ValueError):
                pass
            time.sleep(0.02)
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        log.seek(0)
        return wall, proc.returncode, cpu, rss_kb, log.read()


def entries_lost(path, n):
    try:
        with open(path) as f:
            entries = json.load(f)
    except (OSError, ValueError):
        return n
    return n - sum(1 for e in entries if e.get("ec2_ip") and e.get("ec2_2nd_private_ip"))


def leftovers(state, seeded_interfaces):
    """What of the tool's is still in the account, by kind."""
    left = {
        "instances": sum(1 for i in state["instances"] if i["state"] != "terminated"),
        "security groups": sum(1 for g in state["security_groups"] if g["name"] in TOOL_GROUPS),
        "interfaces": sum(1 for n in state["network_interfaces"] if n["id"] not in seeded_interfaces),
        "key pairs": sum(1 for k in state["key_pairs"] if k["name"].startswith(TOOL_KEY_PREFIX)),
        "addresses": len(state["addresses"]),
    }
    return {k: v for k, v in left.items() if v}


def measure(tool, n, timings, timings_scale=TIMINGS_SCALE):
    scale = timings_scale if timings else 1
    sb, env = start_sandbox(n, scale)
    # The scratch folder holds the backup of the key pair's private key: removed at the end.
    work = tempfile.mkdtemp(prefix="quenfold-scale-")
    try:
        config = os.path.join(sb.dir, "test_config.json")
        # Every interface there before the deploy is the sandbox's (gateways, the cross-zone pair).
        seeded_interfaces = {n["id"] for n in sb.control("state")["network_interfaces"]}
        out = os.path.join(work, "out.json")
        for mode, args in (("deploy", ["--test_config", config, "--output_test_config", out,
                                       "--backup_folder", "backup"]),
                           ("revert", ["--revert", "--test_config", config, "--backup_folder", "backup"])):
            fresh_buckets(sb)
            if timings:
                sb.configure(**TIMINGS, eni_release_lag_s=RELEASE_LAG_S)
            wall, status, cpu, rss_kb, err = run_tool(tool, args, env, work)
            wall /= scale
            log = sb.control("calls")
            counts = {k: v for k, v in log["counts"].items() if not k.startswith(("imds:", "echo:"))}
            buckets, throttled = bucket_use(sb)
            floor_s, action = floor(counts, buckets, throttled)
            if timings:
                extra = TIMINGS["launch_s"] + TIMINGS["status_ok_s"] if mode == "deploy" else TIMINGS["terminate_s"]
                floor_s, action = floor_s + extra, f"{action} + {extra} s of instance timings"
            row = {"mode": mode, "n": n, "wall_s": wall, "floor_s": floor_s, "floor_action": action,
                   "release_lag_s": RELEASE_LAG_S if timings and mode == "revert" else 0,
                   "status": status, "cpu_s": cpu, "peak_rss_mb": rss_kb / 1024,
                   "moto_s": sum(c.get("moto_ms") or 0 for c in log["calls"]) / 1000,
                   "calls": sum(counts.values()), "polls": {k[4:]: v for k, v in counts.items() if k in POLLS},
                   "log_full": len(log["calls"]) >= CALL_LOG_KEEP,
                   "throttled": {k: v for k, v in sorted(throttled.items()) if v},
                   "lost": entries_lost(out, n) if mode == "deploy" else None,
                   "left": leftovers(sb.control("state"), seeded_interfaces) if mode == "revert" else None,
                   "tail": err[-1500:] if status != 0 else ""}
            print_row(row)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        sb.stop()


def print_row(r):
    ratio = f"{r['wall_s'] / r['floor_s']:.2f}" if r["floor_s"] > 0 else "-"
    print(f"{r['mode']} n={r['n']}: wall {r['wall_s']:.1f} s, floor {r['floor_s']:.1f} s ({r['floor_action']}), "
          f"wall/floor {ratio}, exit {r['status']}", flush=True)
    if r["release_lag_s"]:
        with_lag = r["floor_s"] + r["release_lag_s"]
        print(f"  floor with the {r['release_lag_s']} s interface release before the groups can go: "
              f"{with_lag:.1f} s, wall/floor {r['wall_s'] / with_lag:.2f}")
    if r["lost"] is not None:
        print(f"  entries lost: {r['lost']} of {r['n']}")
    if r["left"] is not None:
        print("  left after revert: " + (", ".join(f"{v} {k}" for k, v in r["left"].items()) or "nothing"))
    total = sum(r["throttled"].values())
    print(f"  throttled: {total}" + (" (" + ", ".join(f"{k} {v}" for k, v in r["throttled"].items()) + ")"
                                     if total else ""))
    if r["mode"] == "deploy":
        # EC2's launch bucket is shared with the account's other tools: refused launches are its cost.
        print(f"  throttled RunInstances per instance: {r['throttled'].get('RunInstances', 0) / r['n']:.2f}")
    print(f"  calls {r['calls']} ({r['calls'] / r['n']:.1f} per entry; "
          + ", ".join(f"{k} {v}" for k, v in sorted(r["polls"].items())) + f"), cpu {r['cpu_s']:.2f} s, peak rss {r['peak_rss_mb']:.1f} MB, "
          f"moto {r['moto_s']:.2f} s" + (f" (call log full: the first {CALL_LOG_KEEP} calls only)"
                                         if r["log_full"] else ""))
    if r["tail"]:
        print("  end of the tool's log:\n    " + "\n    ".join(r["tail"].splitlines()[-10:]))
    print(flush=True)


def main():
    global RELEASE_LAG_S
    p = argparse.ArgumentParser()
    p.add_argument("--tool", default=default_tool())
    p.add_argument("--sizes", default="100,250,500")
    p.add_argument("--timings", action="store_true", help="AWS's instance timings, at time scale 0.1")
    # The sandbox serves one call at a time and its service time is real time: at 1,000 entries and
    # time scale 0.1 it is busy most of the run, and its own slowness counts ten times over. A
    # larger scale shows the tool's own figure.
    p.add_argument("--scale", type=float, default=TIMINGS_SCALE, help="the time scale of --timings")
    p.add_argument("--release-lag", type=float, default=RELEASE_LAG_S,
                   help="with --timings: seconds EC2 holds a terminated instance's interfaces")
    a = p.parse_args()
    RELEASE_LAG_S = a.release_lag
    tool = os.path.abspath(a.tool)  # the runs start in a scratch folder
    print("EC2 rate limits as documented, " + (f"instance timings {TIMINGS}, time scale {a.scale}, times "
                                              "in nominal seconds" if a.timings else "time scale 1") +
          "; floor: the largest over EC2 actions of\n(calls - bucket capacity) / refill per second, from the run's "
          "own calls" + (", plus the instance timings" if a.timings else "") + ".\n", flush=True)
    for n in [int(x) for x in a.sizes.split(",")]:
        measure(tool, n, a.timings, a.scale)


if __name__ == "__main__":
    main()
