"""Command-line access to a running sandbox's control API.

  ctl.py state                       JSON summary of the resources (what sandbox/state prints)
  ctl.py calls                       call counts per operation and the call log
  ctl.py ratelimits                  EC2's token buckets: level and throttle count of each
  ctl.py reset-counts                forget the counted calls
  ctl.py config [KEY=JSON ...]       show the knobs, or set some (e.g. throttle_share=0.2)
  ctl.py advance SECONDS             move the sandbox clock forward
  ctl.py sso-login [--session NAME | --start-url URL] [--region R] [--expires-in S] [--no-refresh]
                                     sign in to the sandbox's IAM Identity Center as `aws sso login`
                                     does: writes $HOME/.aws/sso/cache/<sha1>.json (owner-only) and
                                     prints its path. Default: the session of profile sandbox-sso;
                                     --start-url: the legacy form (no refresh token); --expires-in:
                                     the token's life in real seconds (negative: already expired)"""
import argparse
import json
import os
import sys
import tempfile
import urllib.request


def control_url():
    here = os.path.dirname(os.path.abspath(__file__))
    run = os.environ.get("QUENFOLD_SANDBOX_DIR") or os.path.join(here, "run")
    with open(os.path.join(run, "env.json")) as f:
        return json.load(f)["QUENFOLD_SANDBOX_CONTROL"]


def call(route, payload=None):
    data = None if payload is None else json.dumps(payload).encode()
    req = urllib.request.Request(f"{control_url()}/{route}", data=data, method="GET" if data is None else "POST")
    with urllib.request.urlopen(req, timeout=60) as resp:
        return json.loads(resp.read())


def sso_login(argv):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from qsandbox import sso
    p = argparse.ArgumentParser(prog="ctl.py sso-login")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--session", default=None)
    form.add_argument("--start-url", default=None)
    p.add_argument("--region", default="us-east-1")
    p.add_argument("--expires-in", type=float, default=sso.ACCESS_TOKEN_S)
    p.add_argument("--no-refresh", action="store_true", help="leave out the refresh token and client registration")
    args = p.parse_args(argv)
    payload = {"region": args.region, "expires_in": args.expires_in, "refresh": not args.no_refresh}
    if args.start_url:
        payload["start_url"] = args.start_url
    else:
        payload.update(start_url=sso.START_URL, session_name=args.session or sso.SESSION)
    answer = call("sso-login", payload)
    folder = os.path.join(os.path.expanduser("~"), ".aws", "sso", "cache")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, suffix=".tmp")  # created 0600
    with os.fdopen(fd, "w") as f:
        json.dump(answer["cache"], f)
    path = os.path.join(folder, answer["file"])
    os.replace(tmp, path)
    return {"cache": path, "expiresAt": answer["cache"]["expiresAt"]}


def main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__)
        return 0
    command, rest = argv[0], argv[1:]
    if command in ("state", "calls", "ratelimits"):
        result = call(command)
    elif command == "reset-counts":
        result = call(command, {})
    elif command == "advance":
        result = call(command, {"seconds": float(rest[0])})
    elif command == "sso-login":
        result = sso_login(rest)
    elif command == "config":
        changes = {}
        for item in rest:
            key, _, value = item.partition("=")
            try:
                changes[key] = json.loads(value)
            except ValueError:
                changes[key] = value
        result = call("config", changes) if changes else call("config")
    else:
        print(f"unknown command {command}\n{__doc__}", file=sys.stderr)
        return 2
    json.dump(result, sys.stdout, indent=2)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
