"""Local test servers for the download engine: HTTP (plain, behind a Basic-auth proxy, HTTPS with a
trusted or an untrusted test CA) and FTP. Everything listens on 127.0.0.1 only, every loop is bounded
and every server stops by itself after its lifetime even when a test forgets to stop it."""
import base64
import email.utils
import http.server
import pathlib
import socket
import ssl
import subprocess
import threading
import time

LIFETIME_SECONDS = 300      # a server never outlives this
STALL_SECONDS = 30          # a stalled answer is abandoned after this


class Resource:
    """What the HTTP server answers for one path.

    mode: "normal" (honours Range with 206), "ignore-range" (always 200), "status" (answers `status`),
    "wrong-length" (announces `extra` more bytes than it sends), "no-length" (announces no length and
    ends the body by closing the connection), "stall" (sends the bytes before position
    `stall_after`, then nothing), "auth" (demands Basic credentials `user`/`password`, realm "Updates"),
    "redirect" (302 to `location`), "redirect-loop" (302 to the same path with a new "?hop=N" query,
    for ever; `hops` counts them), "endless" (200 without a length, `content` repeated until the
    client stops reading or `endless_limit` bytes were sent).
    drop_after: the first `drop_times` answers are cut after this many body bytes.
    etag: sent as "ETag" and compared with "If-None-Match" (a match answers 304); last_modified=False
    sends no "Last-Modified" at all. headers: extra headers of every answer ("Retry-After", say).
    """

    def __init__(self, content=b"", mode="normal", status=200, last_modified=None, drop_after=None,
                 drop_times=1, extra=0, stall_after=0, user="", password="", location="",
                 endless_limit=1 << 30, etag=None, headers=None):
        self.content = content
        self.mode = mode
        self.status = status
        self.last_modified = last_modified if last_modified is not None else time.time() - 3600
        self.drop_after = drop_after
        self.drop_times = drop_times
        self.extra = extra
        self.stall_after = stall_after
        self.user = user
        self.password = password
        self.location = location
        self.hops = 0
        self.endless_limit = endless_limit
        self.sent = 0
        self.etag = etag
        self.headers = headers or {}


class Request:
    def __init__(self, path, headers, body_bytes=0):
        self.path = path
        self.headers = headers
        self.body_bytes = body_bytes


def _basic(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "TestServer/1.0"

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def do_GET(self):  # noqa: N802
        owner = self.server.owner
        path = self.path
        if path.startswith("http://"):
            # Proxy request: demand proxy credentials, then answer from our own table.
            if owner.proxy_user is not None:
                if self.headers.get("Proxy-Authorization") != _basic(owner.proxy_user, owner.proxy_password):
                    owner.record(Request(path, dict(self.headers)))
                    self._send_simple(407, {"Proxy-Authenticate": 'Basic realm="Proxy"'})
                    return
            path = "/" + path.split("/", 3)[3] if path.count("/") >= 3 else "/"
        record = Request(path, dict(self.headers))
        owner.record(record)
        resource = owner.resources.get(path)
        if resource is None and "?" in path:
            resource = owner.resources.get(path.split("?", 1)[0])
        if resource is None:
            self._send_simple(404)
            return
        if resource.mode == "redirect":
            self._send_simple(302, {"Location": resource.location})
            return
        if resource.mode == "redirect-loop":
            resource.hops += 1
            self._send_simple(302, {"Location": f"{path.split('?', 1)[0]}?hop={resource.hops}"})
            return
        if resource.mode == "endless":
            self._send_endless(resource)
            return
        if resource.mode == "status":
            self._send_simple(resource.status, resource.headers)
            return
        if resource.mode == "auth":
            if self.headers.get("Authorization") != _basic(resource.user, resource.password):
                self._send_simple(401, {"WWW-Authenticate": 'Basic realm="Updates"'})
                return
        none_match = self.headers.get("If-None-Match")
        if resource.etag is not None and none_match is not None:
            if none_match == resource.etag:
                self._send_simple(304, {"ETag": resource.etag})
                return
        elif resource.last_modified is not False and self.headers.get("If-Modified-Since"):
            modified_since = self.headers.get("If-Modified-Since")
            since = email.utils.parsedate_to_datetime(modified_since).timestamp()
            if int(resource.last_modified) <= since:
                self._send_simple(304)
                return
        self._send_content(resource, record)

    def _send_simple(self, status, headers=None):
        body = f"<html>{status}</html>".encode()
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if status != 304:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 304:
            self.wfile.write(body)

    def _send_endless(self, resource):
        self.send_response(200)
        self.end_headers()
        chunk = (resource.content or b"x") * max(1, 65536 // max(1, len(resource.content or b"x")))
        try:
            while resource.sent < resource.endless_limit and not self.server.owner.stopped.is_set():
                self.wfile.write(chunk)
                resource.sent += len(chunk)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True

    def _send_content(self, resource, record):
        content = resource.content
        announced = len(content) + (resource.extra if resource.mode == "wrong-length" else 0)
        start = 0
        status = 200
        range_header = self.headers.get("Range")
        if range_header and resource.mode != "ignore-range" and range_header.startswith("bytes="):
            start = int(range_header[6:].split("-")[0])
            if start >= announced:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{announced}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            status = 206
        body = content[start:]
        self.send_response(status)
        if resource.mode != "no-length":
            self.send_header("Content-Length", str(announced - start))
        if resource.last_modified is not False:
            self.send_header("Last-Modified", email.utils.formatdate(resource.last_modified, usegmt=True))
        if resource.etag is not None:
            self.send_header("ETag", resource.etag)
        for name, value in resource.headers.items():
            self.send_header(name, value)
        if status == 206:
            self.send_header("Content-Range", f"bytes {start}-{announced - 1}/{announced}")
        self.end_headers()
        limit = len(body)
        if resource.drop_after is not None and resource.drop_times > 0:
            resource.drop_times -= 1
            limit = max(0, min(limit, resource.drop_after - start))
        if resource.mode == "stall":
            limit = max(0, min(limit, resource.stall_after - start))
        try:
            for position in range(0, limit, 16384):
                self.wfile.write(body[position:min(limit, position + 16384)])
            self.wfile.flush()
            record.body_bytes = limit
            if resource.mode == "stall":
                deadline = time.monotonic() + STALL_SECONDS
                while time.monotonic() < deadline and not self.server.owner.stopped.is_set():
                    time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # HTTP/1.0 answers end their connection: a client that retries with credentials or rotates
    # mirrors opens connections in quick succession, more than the default backlog of 5 on a busy
    # machine.
    request_queue_size = 64


class HttpServer:
    """A threaded HTTP or HTTPS server with a table of resources and a log of requests."""

    def __init__(self, tls_context=None):
        self.resources = {}
        self.requests = []
        self.proxy_user = None
        self.proxy_password = None
        self.stopped = threading.Event()
        self._lock = threading.Lock()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        if tls_context is not None:
            self._server.socket = tls_context.wrap_socket(self._server.socket, server_side=True)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        daemon=True)
        self._timer = threading.Timer(LIFETIME_SECONDS, self.stop)
        self._timer.daemon = True

    def start(self):
        self._thread.start()
        self._timer.start()
        return self

    def stop(self):
        if self.stopped.is_set():
            return
        self.stopped.set()
        self._timer.cancel()
        self._server.shutdown()
        self._server.server_close()

    def record(self, request):
        with self._lock:
            self.requests.append(request)

    def requests_for(self, path):
        with self._lock:
            return [r for r in self.requests if r.path == path]

    def add(self, path, resource):
        self.resources[path] = resource
        return path


def closed_port():
    """A port on 127.0.0.1 on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# --- certificates -------------------------------------------------------------------------------

def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_certificates(folder):
    """A test CA and a server certificate for "localhost" signed by it, in PEM files."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "2", "-subj", "/CN=Kestrune Test CA " + folder.name,
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             cwd=folder)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=localhost", cwd=folder)
    (folder / "ext.cnf").write_text("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                                    "extendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf", cwd=folder)
    return folder / "ca.pem", folder / "server.pem", folder / "server.key"


def tls_context(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(certificate), str(key))
    return context


# --- FTP ----------------------------------------------------------------------------------------

class FtpServer:
    """pyftpdlib with one user; `refuse_rest` makes it answer REST with 502."""

    def __init__(self, root, user, password, refuse_rest=False):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import ThreadedFTPServer

        authorizer = DummyAuthorizer()
        authorizer.add_user(user, password, str(root), perm="elr")
        commands = self.commands = []

        class Handler(FTPHandler):
            def pre_process_command(self, line, cmd, arg):
                commands.append(line)
                if refuse_rest and cmd == "REST":
                    self.respond("502 Command not implemented.")
                    return
                return super().pre_process_command(line, cmd, arg)

        Handler.authorizer = authorizer
        Handler.passive_ports = None
        Handler.permit_foreign_addresses = False
        Handler.timeout = 30
        Handler.auth_failed_timeout = 0.1
        self._server = ThreadedFTPServer(("127.0.0.1", 0), Handler)
        self.port = self._server.address[1]
        self.stopped = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        deadline = time.monotonic() + LIFETIME_SECONDS
        while not self.stopped.is_set() and time.monotonic() < deadline:
            self._server.serve_forever(timeout=0.1, blocking=False, handle_exit=False)
            time.sleep(0.01)
        self._server.close_all()

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self.stopped.set()
        self._thread.join(timeout=10)
