#!/usr/bin/env python3
"""A simulated firmware server for the tests and benchmarks: plain HTTP on 127.0.0.1, serving
scripted replies (status codes, chunked bodies, redirects, slow, stalled or cut
off bodies, exact sizes) and logging every request path it receives.

In a test script:

    server = fwserver.FirmwareServer()
    server.set("/firmware/manifest", b"215,hub.ufw,4000,Release\\n")
    server.set("/firmware/hub.ufw", fwserver.Reply(b"...", mode="chunked", piece=7))
    ... HUBFLASH_SERVER=server.address ...
    server.stop()

As a process for the unit tests (a CTest fixture starts and stops it):

    fwserver.py --start --state-dir DIR   # daemon; DIR/address when ready
    fwserver.py --stop --state-dir DIR

DIR/address holds "server HOST:PORT" and "refused HOST:PORT" (a port that is
bound but never listens, so a connection to it is refused). With --tls it also
serves https, with certificates that openssl makes at start in a temporary
directory, and adds "tls localhost:PORT" (a certificate for localhost signed
by a test CA), "untrusted localhost:PORT" (a self-signed one) and "ca FILE"
(the test CA). --wine-prefix PREFIX makes the test CA trusted in that Wine
prefix while the server runs, since Wine's WinINet trusts only its own store.

Besides the scripted paths every server answers these generated ones:

    /gen?n=N[&status=S][&mode=length|chunked|close][&piece=P][&gap_ms=G]
        [&stall_after=B&stall_ms=T][&truncate=B]
                       N bytes of the body pattern (pattern_byte below)
    /redirect?to=PATH[&status=302]
    /silent?stall_ms=T accepts the request and answers nothing for T ms
    /firmware/v<VERSION>-<N>[<TEXT>].ufw
                       an image text of exactly N bytes with that version line
    /_requests         the paths received so far, one a line (these excluded)
"""

import argparse
import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def pattern_byte(i):
    """Byte i of a generated body: never 0, and no short period, so a piece
    stored twice, lost or out of order shows."""
    return 1 + (i * 131 + (i >> 8) * 7 + (i >> 16) * 3) % 255


def pattern(n):
    return bytes(pattern_byte(i) for i in range(n))


def image_text(version, size):
    """An image text of exactly `size` bytes: a version line and a one-byte
    section (cut short when `size` is smaller), then free text."""
    head = b"___%d\n>>>0201\n:01400000AA15\n!!!!!!!!\n" % version
    if size < len(head):
        return head[:size]
    return head + b"#" * (size - len(head))


@dataclass
class Reply:
    body: bytes = b""
    status: int = 200
    mode: str = "length"          # length | chunked | close (no length, end = close)
    piece: int = 0                # bytes per write, 0: all at once
    gap: float = 0.0              # seconds between pieces
    stall_after: int = -1         # after this many body bytes ...
    stall: float = 0.0            # ... wait this long before going on
    truncate: int = -1            # announce the full length, send only this many bytes
    headers: dict = field(default_factory=dict)
    silent: float = 0.0           # send nothing at all for this long, then close
    before: object = None         # called (no arguments) before the reply is sent


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        if self.path == "/_requests":
            self.send_reply(Reply("".join(p + "\n" for p in server.log).encode()))
            return
        with server.lock:
            server.log.append(self.path)
            reply = server.routes.get(self.path)
        if reply is None:
            reply = generated_reply(self.path)
        if reply.before is not None:
            reply.before()
        try:
            self.send_reply(reply)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as some tests want it to

    def send_reply(self, reply):
        if reply.silent:
            time.sleep(reply.silent)
            self.close_connection = True
            return
        self.send_response(reply.status)
        self.send_header("Connection", "close")
        # Keeps a client-side cache (WinINet's) from answering for us.
        self.send_header("Cache-Control", "no-store")
        if reply.mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        elif reply.mode == "length":
            self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.send_body(reply)
        self.close_connection = True

    def send_body(self, reply):
        body = reply.body if reply.truncate < 0 else reply.body[:reply.truncate]
        step = reply.piece or max(len(body), 1)
        cuts = set(range(0, len(body), step)) | {len(body)}
        if 0 <= reply.stall_after <= len(body):
            cuts.add(reply.stall_after)
        cuts = sorted(cuts)
        for begin, end in zip(cuts, cuts[1:] + [None]):
            if begin == reply.stall_after:
                time.sleep(reply.stall)
            if end is None:
                break
            self.write_piece(reply, body[begin:end])
            self.wfile.flush()
            if reply.gap and end < len(body):
                time.sleep(reply.gap)
        if reply.mode == "chunked" and reply.truncate < 0:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def write_piece(self, reply, piece):
        if not piece:
            return
        if reply.mode == "chunked":
            self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
        else:
            self.wfile.write(piece)


def generated_reply(path):
    parsed = urllib.parse.urlsplit(path)
    query = {k: v[-1] for k, v in urllib.parse.parse_qs(parsed.query).items()}

    def number(name, default):
        return int(query.get(name, default))

    if parsed.path == "/gen":
        return Reply(pattern(number("n", 0)), status=number("status", 200),
                     mode=query.get("mode", "length"), piece=number("piece", 0),
                     gap=number("gap_ms", 0) / 1000.0, stall_after=number("stall_after", -1),
                     stall=number("stall_ms", 0) / 1000.0, truncate=number("truncate", -1))
    if parsed.path == "/redirect":
        return Reply(b"moved\n", status=number("status", 302),
                     headers={"Location": query.get("to", "/")})
    if parsed.path == "/silent":
        return Reply(silent=number("stall_ms", 10000) / 1000.0)
    image = re.fullmatch(r"/firmware/v(\d+)-(\d+)([^0-9/][^/]*)?\.ufw", parsed.path)
    if image:
        return Reply(image_text(int(image.group(1)), int(image.group(2))))
    return Reply(b"<html><body>404 Not Found</body></html>\n", status=404)


class TlsHTTPServer(ThreadingHTTPServer):
    """Speaks TLS on each connection. The handshake runs in the connection's
    own thread, so a client that refuses the certificate holds up nobody."""

    def get_request(self):
        sock, address = super().get_request()
        return self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            super().handle_error(request, client_address)


class FirmwareServer:
    """A server on 127.0.0.1 on a free port, answering from its own thread;
    https when given an ssl.SSLContext."""

    def __init__(self, tls=None):
        self.httpd = (TlsHTTPServer if tls else ThreadingHTTPServer)(("127.0.0.1", 0), Handler)
        self.httpd.tls = tls
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.log = []
        self.httpd.lock = threading.Lock()
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def address(self):
        host, port = self.httpd.server_address[:2]
        return "%s:%d" % (host, port)

    def set(self, path, reply):
        """Serve `reply` (a Reply, or bytes for a plain 200) at exactly `path`."""
        if isinstance(reply, (bytes, str)):
            reply = Reply(reply.encode() if isinstance(reply, str) else reply)
        with self.httpd.lock:
            self.httpd.routes[path] = reply

    def clear(self):
        with self.httpd.lock:
            self.httpd.routes.clear()
            self.httpd.log.clear()

    @property
    def requests(self):
        with self.httpd.lock:
            return list(self.httpd.log)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def refused_socket():
    """A port bound but not listening: connecting to it is refused, and no
    other program can take it while the socket stays open."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    return sock


def make_certificates(directory):
    """A test CA, a certificate it signs for localhost, and a self-signed one
    for localhost that nobody trusts."""
    def openssl(name, *args):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", os.path.join(directory, name + ".key"),
                        "-out", os.path.join(directory, name + ".pem")] + list(args),
                       check=True, stdin=subprocess.DEVNULL, capture_output=True)
    openssl("ca", "-subj", "/CN=hubflash test CA")
    leaf = ["-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
            "-addext", "basicConstraints=critical,CA:FALSE"]
    openssl("server", *leaf, "-CA", os.path.join(directory, "ca.pem"),
            "-CAkey", os.path.join(directory, "ca.key"))
    openssl("untrusted", *leaf)


def tls_context(directory, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(directory, name + ".pem"),
                            os.path.join(directory, name + ".key"))
    return context


def wine_trust(prefix, ca_file, trusted):
    """Adds the CA to (or removes it from) the prefix's root store, a registry
    key per certificate named by its SHA-1, holding the certificate as Wine's
    crypt32 serialises it (property 32: the encoded certificate)."""
    with open(ca_file) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    key = "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" \
        + hashlib.sha1(der).hexdigest().upper()
    blob = struct.pack("<III", 32, 1, len(der)) + der
    args = ["add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex()] if trusted \
        else ["delete", key]
    subprocess.run(["wine", "reg"] + args + ["/f"], env=dict(os.environ, WINEPREFIX=prefix,
                   WINEDEBUG="-all"), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120, check=trusted)


def tls_servers(wine_prefix):
    """Starts the https servers; returns their address lines and a cleanup."""
    directory = tempfile.mkdtemp(prefix="fwserver-tls-")
    make_certificates(directory)
    ca = os.path.join(directory, "ca.pem")
    if wine_prefix:
        wine_trust(wine_prefix, ca, True)
    servers = [FirmwareServer(tls_context(directory, name)) for name in ("server", "untrusted")]
    text = "tls localhost:%d\nuntrusted localhost:%d\nca %s\n" % (
        servers[0].httpd.server_address[1], servers[1].httpd.server_address[1], ca)

    def cleanup():
        for server in servers:
            server.stop()
        if wine_prefix:
            wine_trust(wine_prefix, ca, False)
        shutil.rmtree(directory, ignore_errors=True)
    return text, cleanup


def serve(state_dir, lifetime, tls=False, wine_prefix=None):
    server = FirmwareServer()
    refused = refused_socket()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    text = "server %s\nrefused 127.0.0.1:%d\n" % (server.address, refused.getsockname()[1])
    tls_text, tls_cleanup = tls_servers(wine_prefix) if tls else ("", lambda: None)
    temporary = os.path.join(state_dir, "address.tmp")
    with open(temporary, "w") as f:
        f.write(text + tls_text)
    os.replace(temporary, os.path.join(state_dir, "address"))
    stop.wait(lifetime)  # a safety net: a server nobody stops ends by itself
    server.stop()
    refused.close()
    tls_cleanup()


def start(state_dir, lifetime, extra):
    os.makedirs(state_dir, exist_ok=True)
    for name in ("address", "pid"):
        if os.path.exists(os.path.join(state_dir, name)):
            stop_server(state_dir)
            break
    # The daemon must not hold the caller's output pipes: CTest waits for them to close.
    with open(os.path.join(state_dir, "server.log"), "ab") as log:
        process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve",
                                    "--state-dir", state_dir, "--lifetime", str(lifetime)] + extra,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
    with open(os.path.join(state_dir, "pid"), "w") as f:
        f.write("%d\n" % process.pid)
    address = os.path.join(state_dir, "address")
    deadline = time.monotonic() + 20
    while not os.path.exists(address):
        if process.poll() is not None or time.monotonic() > deadline:
            print("fwserver: the server did not start", file=sys.stderr)
            return 1
        time.sleep(0.05)
    with open(address) as f:
        sys.stdout.write(f.read())
    return 0


def stop_server(state_dir):
    pid_file = os.path.join(state_dir, "pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            os.kill(pid, 0)
            time.sleep(0.05)
    except (OSError, ValueError):
        pass
    for name in ("pid", "address"):
        try:
            os.remove(os.path.join(state_dir, name))
        except OSError:
            pass
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--start", action="store_true")
    action.add_argument("--stop", action="store_true")
    action.add_argument("--serve", action="store_true")
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--lifetime", type=float, default=900)
    parser.add_argument("--tls", action="store_true", help="serve https too (needs openssl)")
    parser.add_argument("--wine-prefix", help="trust the test CA in this Wine prefix")
    args = parser.parse_args()
    if args.serve:
        serve(args.state_dir, args.lifetime, args.tls, args.wine_prefix)
        return 0
    if args.start:
        extra = (["--tls"] if args.tls else []) + (
            ["--wine-prefix", args.wine_prefix] if args.wine_prefix else [])
        return start(args.state_dir, args.lifetime, extra)
    return stop_server(args.state_dir)


if __name__ == "__main__":
    sys.exit(main())
