"""Small threaded HTTP(S) servers on loopback for the proxy, the metadata service and the echo."""
import email.utils
import socket
import ssl
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class QuietHandler(BaseHTTPRequestHandler):
    """HTTP/1.1 with keep-alive; no per-request log lines; a Date header from the sandbox clock."""
    protocol_version = "HTTP/1.1"
    server_version = "quenfold-sandbox"
    sys_version = ""
    date_offset = staticmethod(lambda: 0.0)

    def log_message(self, format, *args):  # noqa: A002 - signature fixed by the base class
        pass

    def date_time_string(self, timestamp=None):
        import time
        return email.utils.formatdate((timestamp or time.time()) + self.date_offset(), usegmt=True)

    def read_body(self):
        """The request body, from Content-Length or chunked transfer encoding."""
        if (self.headers.get("Transfer-Encoding") or "").lower() == "chunked":
            chunks = []
            while True:
                size_line = self.rfile.readline()
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def reply(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def reply_json(self, status, obj):
        import json
        self.reply(status, [("Content-Type", "application/json")], (json.dumps(obj, indent=1, default=str) + "\n").encode())


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # The standard library listens with a backlog of 5. A tool opening a connection per worker
    # (hundreds at once) then has its connection attempts dropped and retried by the kernel after
    # 1, 3, 7, 15 s..., which stalled runs for minutes with everything idle.
    request_queue_size = 1024
    ssl_context = None

    def get_request(self):
        sock, addr = super().get_request()
        if self.ssl_context is not None:
            # The handshake runs in the request's own thread, not in the accept loop.
            sock = self.ssl_context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def finish_request(self, request, client_address):
        if isinstance(request, ssl.SSLSocket):
            try:
                request.do_handshake()
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        import sys
        import traceback
        kind = sys.exc_info()[0]
        if kind is not None and issubclass(kind, (ConnectionError, ssl.SSLError, TimeoutError)):
            return  # a client that went away mid-request is not the sandbox's problem
        print(f"sandbox: request from {client_address[0]} failed:", file=sys.stderr)
        traceback.print_exc(file=sys.stderr)


def serve(handler_cls, port=0, certfile=None, keyfile=None, name="http"):
    """Starts a server on 127.0.0.1 in a daemon thread; returns it (its port: server_address[1])."""
    server = _Server(("127.0.0.1", port), handler_cls)
    if certfile:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(certfile, keyfile)
        server.ssl_context = ctx
    threading.Thread(target=server.serve_forever, name=name, daemon=True).start()
    return server


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
