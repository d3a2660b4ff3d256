"""The local AWS sandbox: moto behind a fault-injecting, signature-checking proxy,
plus the instance metadata service and an HTTPS IP echo, all on 127.0.0.1."""
