"""Command-line access to a running sandbox's control API.

  ctl.py state                       JSON summary of the resources (what sandbox/state prints)
  ctl.py calls                       call counts per operation and the call log
  ctl.py ratelimits                  EC2's token buckets: level and throttle count of each
  ctl.py reset-counts                forget the counted calls
  ctl.py config [KEY=JSON ...]       show the knobs, or set some (e.g. throttle_share=0.2)
  ctl.py advance SECONDS             move the sandbox clock forward"""
import json
import os
import sys
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
