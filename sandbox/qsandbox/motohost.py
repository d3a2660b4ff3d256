"""moto's WSGI application, served in this process, one call at a time.

moto's backends are plain dicts and lists without locks, and the tool calls from many
threads, so every call into moto (through the proxy, the direct port or the state dump)
holds one lock. `hooks` (begin, end) run inside that lock around each call: the sandbox fixes
the call's "now" and applies timed state changes there."""
import logging
import threading
import time

from werkzeug.serving import make_server
from werkzeug.test import EnvironBuilder, run_wsgi_app

HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "content-length", "te", "trailer", "upgrade"}


class MotoHost:
    def __init__(self):
        from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
        self.app = DomainDispatcherApplication(create_backend_app)
        self.lock = threading.RLock()
        self._server = None
        self.hooks = None

    def _run(self, environ):
        """(status line, headers, body) of one request through moto; the lock must be held."""
        if self.hooks:
            self.hooks[0]()
        try:
            app_iter, status, headers = run_wsgi_app(self.app, environ, buffered=True)
            try:
                data = b"".join(app_iter)
            finally:
                if hasattr(app_iter, "close"):
                    app_iter.close()
        finally:
            if self.hooks:
                self.hooks[1]()
        return status, headers, data

    def call(self, method, raw_path, headers, body):
        """Runs one request through moto; returns (status, header pairs, body, seconds in moto)."""
        path, _, query = raw_path.partition("?")
        builder = EnvironBuilder(path=path, query_string=query, method=method,
                                 headers=[(k, v) for k, v in headers if k.lower() not in ("content-length", "transfer-encoding")],
                                 data=body or b"")
        environ = builder.get_environ()
        environ["REMOTE_ADDR"] = "127.0.0.1"
        with self.lock:
            started = time.perf_counter()
            status, resp_headers, data = self._run(environ)
            spent = time.perf_counter() - started
        code = int(status.split(" ", 1)[0])
        # The proxy writes its own Date (from the sandbox clock) and Server headers.
        pairs = [(k, v) for k, v in resp_headers.items() if k.lower() not in HOP_BY_HOP | {"date", "server"}]
        return code, pairs, data, spent

    def wsgi(self, environ, start_response):
        """The locked application served on moto's own port (no faults, no signature checks)."""
        with self.lock:
            status, headers, data = self._run(environ)
        start_response(status, [(k, v) for k, v in headers.items() if k.lower() not in HOP_BY_HOP]
                       + [("Content-Length", str(len(data)))])
        return [data]

    def serve(self, host="127.0.0.1", port=0):
        logging.getLogger("werkzeug").setLevel(logging.ERROR)
        self._server = make_server(host, port, self.wsgi, threaded=True)
        thread = threading.Thread(target=self._server.serve_forever, name="moto", daemon=True)
        thread.start()
        return self._server.server_address[1]

    def shutdown(self):
        if self._server:
            self._server.shutdown()
