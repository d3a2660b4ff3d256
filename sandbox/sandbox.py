"""Runs the local AWS sandbox until SIGTERM: moto (patched for AWS fidelity) behind the
fault-injecting proxy, the metadata service and the HTTPS IP echo, all on 127.0.0.1.

Started by sandbox/start, which waits for the "ready" file this process writes last."""
import argparse
import json
import os
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

TEST_KEY_ID = "AKIAQUENFOLDSANDBOX1"
TEST_SECRET = "sandbox+Secret+Key+For+Local+Tests+0001"
PROFILE_KEY_ID = "AKIAQUENFOLDPROFILE1"
PROFILE_SECRET = "sandbox+Profile+Key+For+Local+Tests+002"


def parse_args(argv):
    p = argparse.ArgumentParser(description="local AWS sandbox")
    p.add_argument("--run-dir", required=True)
    p.add_argument("--pairs", type=int, default=int(os.environ.get("QUENFOLD_SANDBOX_PAIRS", "3")),
                   help="gateway/private subnet pairs to seed (one zone each)")
    p.add_argument("--time-scale", type=float, default=float(os.environ.get("QUENFOLD_TIME_SCALE", "0.01")))
    p.add_argument("--port", type=int, default=0, help="proxy port (0: a free one)")
    p.add_argument("--config", default=os.environ.get("QUENFOLD_SANDBOX_CONFIG", ""),
                   help="JSON object of knobs, as for POST /_sandbox/config")
    p.add_argument("--seed", type=int)
    p.add_argument("--latency-ms", type=float)
    p.add_argument("--throttle-share", type=float)
    p.add_argument("--error-share", type=float)
    p.add_argument("--drop-share", type=float)
    p.add_argument("--profile-delay", type=float, dest="profile_delay_s")
    p.add_argument("--ec2-rate-limits", dest="ec2_rate_limits", metavar="off|documented|JSON",
                   help="EC2's per-action token buckets: off, the documented figures, or a JSON override table")
    p.add_argument("--no-verify", action="store_true", help="accept any signature")
    p.add_argument("--https", action="store_true",
                   help="AWS_ENDPOINT_URL names the proxy's TLS port (verified with AWS_CA_BUNDLE), as on AWS")
    p.add_argument("--echo-ip")
    p.add_argument("--region", default="us-east-1",
                   help="the account's region; cn-* and us-gov-* regions play the aws-cn and aws-us-gov partitions")
    p.add_argument("--bucket-region", help="the results bucket's region (default: --region)")
    p.add_argument("--map-public-ip", action="store_true",
                   help="gateway subnets give instances public addresses (MapPublicIpOnLaunch), as default VPCs do")
    p.add_argument("--no-igw", action="store_true",
                   help="seed the VPC without an internet gateway (the gateway subnets route nowhere outside)")
    p.add_argument("--unrouted-pair", type=int, action="append", default=[], metavar="I",
                   help="pair I's gateway subnet gets a route table without the route to the internet gateway "
                        "(repeatable)")
    p.add_argument("--watch-pid", type=int, help="exit when this process ends (a test runner that may crash)")
    return p.parse_args(argv)


def knobs_from(args):
    knobs = json.loads(args.config) if args.config else {}
    for flag, knob in (("seed", "seed"), ("latency_ms", "latency_ms"), ("throttle_share", "throttle_share"),
                       ("error_share", "error_share"), ("drop_share", "drop_share"),
                       ("profile_delay_s", "profile_delay_s"), ("echo_ip", "echo_ip"),
                       ("ec2_rate_limits", "ec2_rate_limits")):
        if getattr(args, flag) is not None:
            knobs[knob] = getattr(args, flag)
    if args.no_verify:
        knobs["verify_sigv4"] = False
    return knobs


def watch(pid, done):
    """Sets done once process pid is gone, so a crashed test run leaves no sandbox behind."""
    while not done.wait(1.0):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            done.set()
        except PermissionError:
            pass


def write(path, text, mode=0o644):
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    started = time.monotonic()
    args = parse_args(argv)
    run = os.path.abspath(args.run_dir)
    os.makedirs(run, mode=0o700, exist_ok=True)
    for stale in ("ready", "env.sh", "env.json", "info.json"):
        if os.path.exists(os.path.join(run, stale)):
            os.remove(os.path.join(run, stale))
    write(os.path.join(run, "pid"), f"{os.getpid()}\n")

    from qsandbox import fidelity, httpserve, proxy, seed, services, sso, state, tls, walls
    from qsandbox.clock import Clock
    from qsandbox.config import Config
    from qsandbox.core import ACCOUNT, Sandbox

    REGION = args.region
    config = Config(**knobs_from(args))
    clock = Clock(args.time_scale)
    fidelity.install(config, clock)
    walls.install(config)
    sb = Sandbox(config=config, clock=clock, region=REGION)
    sb.keys.add(TEST_KEY_ID, TEST_SECRET)
    sb.keys.add(PROFILE_KEY_ID, PROFILE_SECRET)

    ca, cert, key = tls.make_ca_and_server_cert(run)
    moto_port = sb.moto.serve()
    handler = proxy.make_handler(sb)
    proxy_server = httpserve.serve(handler, args.port, name="proxy")
    proxy_tls = httpserve.serve(handler, 0, certfile=cert, keyfile=key, name="proxy-tls")
    imds = services.Imds(sb, ACCOUNT, REGION, f"{REGION}a")
    imds_server = httpserve.serve(services.imds_handler(imds), 0, name="imds")
    echo_server = httpserve.serve(services.echo_handler(sb), 0, certfile=cert, keyfile=key, name="echo")

    moto_url = f"http://127.0.0.1:{moto_port}"
    facts = {}
    clients = {}

    def reseed():
        """Seeds the topology and writes its test configurations; ids change on every call."""
        facts.clear()
        facts.update(seed.seed(sb.moto, ACCOUNT, REGION, TEST_KEY_ID, pairs=args.pairs,
                               map_public_ip=args.map_public_ip, bucket_region=args.bucket_region,
                               igw=not args.no_igw, unrouted_pairs=tuple(args.unrouted_pair)))
        write(os.path.join(run, "test_config.json"), json.dumps(facts["entries"], indent=2) + "\n")
        write(os.path.join(run, "test_config_skip.json"),
              json.dumps(facts["entries"] + [seed.skip_entry(facts)], indent=2) + "\n")
        write(os.path.join(run, "test_config_cross_zone.json"),
              json.dumps(facts["entries"] + [facts["cross_zone_entry"]], indent=2) + "\n")
        if sb.info:
            sb.info["topology"] = dict(facts)
            write(os.path.join(run, "info.json"), json.dumps(sb.info, indent=2) + "\n")
        return dict(facts)

    reseed()
    sb.reseed = reseed

    def summary():
        if not clients:  # the reference SDK's models load only when a test first asks
            import botocore.session
            session = botocore.session.get_session()
            clients.update({name: session.create_client(name, endpoint_url=moto_url,
                                                        region_name=facts["bucket_region"] if name == "s3" else REGION,
                                                        aws_access_key_id=TEST_KEY_ID,
                                                        aws_secret_access_key=TEST_SECRET)
                            for name in ("ec2", "s3", "ssm", "iam")})
        return state.summary(clients, facts["vpc_id"])

    sb.state_source = summary

    port = proxy_server.server_address[1]
    endpoint = f"http://127.0.0.1:{port}"
    tls_endpoint = f"https://127.0.0.1:{proxy_tls.server_address[1]}"
    env = {
        "AWS_ENDPOINT_URL": tls_endpoint if args.https else endpoint,
        "AWS_EC2_METADATA_SERVICE_ENDPOINT": f"http://127.0.0.1:{imds_server.server_address[1]}/",
        "AWS_CA_BUNDLE": ca,
        "QUENFOLD_IP_ECHO_URL": f"https://127.0.0.1:{echo_server.server_address[1]}/",
        "AWS_ACCESS_KEY_ID": TEST_KEY_ID,
        "AWS_SECRET_ACCESS_KEY": TEST_SECRET,
        "AWS_REGION": REGION,
        "AWS_DEFAULT_REGION": REGION,
        "AWS_CONFIG_FILE": os.path.join(run, "aws", "config"),
        "AWS_SHARED_CREDENTIALS_FILE": os.path.join(run, "aws", "credentials"),
        "QUENFOLD_TIME_SCALE": repr(args.time_scale),
        "QUENFOLD_SANDBOX_DIR": run,
        "QUENFOLD_SANDBOX_CONTROL": f"{endpoint}/_sandbox",
        "QUENFOLD_SANDBOX_HTTPS_ENDPOINT": tls_endpoint,
        "QUENFOLD_SANDBOX_MOTO": moto_url,
        "QUENFOLD_SANDBOX_TEST_CONFIG": os.path.join(run, "test_config.json"),
        "QUENFOLD_SANDBOX_CROSS_ZONE_CONFIG": os.path.join(run, "test_config_cross_zone.json"),
        "QUENFOLD_SANDBOX_BUCKET": facts["bucket"],
        "QUENFOLD_SANDBOX_KEY_NAME": facts["key_name"],
        "QUENFOLD_SANDBOX_WORKFLOW_ROLE": facts["workflow_role"],
        "QUENFOLD_SANDBOX_DEPLOY_ROLE_ARN": facts["deploy_role_arn"],
    }
    os.makedirs(os.path.join(run, "aws"), mode=0o700, exist_ok=True)
    write(env["AWS_CONFIG_FILE"],
          f"[default]\nregion = {REGION}\n\n[profile sandbox-profile]\nregion = {REGION}\n\n"
          f"[profile sandbox-assume]\nrole_arn = {facts['deploy_role_arn']}\nsource_profile = sandbox-profile\n"
          f"region = {REGION}\n" + sso.profiles(ACCOUNT, REGION))
    write(env["AWS_SHARED_CREDENTIALS_FILE"],
          f"[default]\naws_access_key_id = {TEST_KEY_ID}\naws_secret_access_key = {TEST_SECRET}\n\n"
          f"[sandbox-profile]\naws_access_key_id = {PROFILE_KEY_ID}\naws_secret_access_key = {PROFILE_SECRET}\n",
          mode=0o600)
    lines = ["# Source this file to point AWS tools at the local sandbox.",
             "unset AWS_SESSION_TOKEN AWS_PROFILE AWS_EC2_METADATA_DISABLED"]
    lines += [f"export {k}='{v}'" for k, v in env.items()]
    write(os.path.join(run, "env.sh"), "\n".join(lines) + "\n", mode=0o600)
    write(os.path.join(run, "env.json"), json.dumps(env, indent=2) + "\n", mode=0o600)
    sb.info = {"pid": os.getpid(), "run_dir": run, "account": ACCOUNT, "region": REGION,
               "partition": sb.partition,
               "endpoint": endpoint, "https_endpoint": env["QUENFOLD_SANDBOX_HTTPS_ENDPOINT"],
               "moto": moto_url, "imds": env["AWS_EC2_METADATA_SERVICE_ENDPOINT"],
               "echo": env["QUENFOLD_IP_ECHO_URL"], "ca_bundle": ca, "time_scale": args.time_scale,
               "topology": dict(facts), "start_seconds": None}
    sb.calls.reset()
    sb.info["start_seconds"] = round(time.monotonic() - started, 3)
    write(os.path.join(run, "info.json"), json.dumps(sb.info, indent=2) + "\n")

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    if args.watch_pid:
        threading.Thread(target=watch, args=(args.watch_pid, done), name="watch", daemon=True).start()
    write(os.path.join(run, "ready"),
          f"sandbox ready in {sb.info['start_seconds']:.1f}s: {env['AWS_ENDPOINT_URL']} (source {run}/env.sh)\n")
    done.wait()
    for name in ("ready", "pid"):
        try:
            os.remove(os.path.join(run, name))
        except FileNotFoundError:
            pass
    # Every server runs in a daemon thread and holds nothing worth flushing: leave at once
    # rather than wait for each accept loop to notice a shutdown request.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
