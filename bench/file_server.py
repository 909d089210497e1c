"""A local HTTP server for the download benchmark: serves the files of one folder on 127.0.0.1 with
Content-Length, straight from disk through sendfile, so that the server is never what limits a
download. It stops by itself after `lifetime` seconds at the latest."""
import http.server
import os
import pathlib
import threading
import urllib.parse


class _Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, fmt, *args):  # keep the benchmark's output readable
        pass

    def do_GET(self):  # noqa: N802
        name = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        path = (self.server.root / name).resolve()
        if path.parent != self.server.root or not path.is_file():
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(path, "rb") as source:
            size = os.fstat(source.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            self.wfile.flush()
            try:
                self.connection.sendfile(source)
            except (BrokenPipeError, ConnectionResetError):
                pass
        self.close_connection = True


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


class FileServer:
    def __init__(self, root, lifetime=1800):
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.root = pathlib.Path(root).resolve()
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.2},
                                        daemon=True)
        self._deadline = threading.Timer(lifetime, self._server.shutdown)
        self._deadline.daemon = True

    def url(self, name):
        return f"http://127.0.0.1:{self._server.server_address[1]}/{name}"

    def __enter__(self):
        self._thread.start()
        self._deadline.start()
        return self

    def __exit__(self, *exc):
        self._deadline.cancel()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)
        return False
