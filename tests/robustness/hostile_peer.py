#!/usr/bin/env python3
"""Serve one hostile or broken behaviour on the service port while COMMAND runs.

  hostile_peer.py --mode MODE --port N --certs DIR -- COMMAND ARGS...

Listens on 127.0.0.1:N, runs COMMAND with HALVANE_HOSTILE_MODE=MODE and
HALVANE_TEST_RECORD naming a record of the requests the peer read (the
service's record format: one JSON line with path, method, headers, body_hex),
stops and exits with COMMAND's exit code (3: the peer could not start).

Modes:
  silent         TLS, reads the request, never answers, holds the connection
                 (until the client closes it, 60 s at most)
  cut_abrupt     TLS, 200 with the full Content-Length, half the body, then the
                 TCP connection is cut without a TLS close_notify
  cut_clean      the same, but the TLS session is closed properly (close_notify)
  huge           TLS, 200 with a 64 MiB body
  plain          plain HTTP on the TLS port: a cleartext 200 with a success body
  hangup         accepts and closes at once, before any TLS byte
  redirect302    TLS, 302 to https://localhost:<other port> (same path), where a
  redirect307    second TLS server answers an unsigned success to anything
  redirect_http  TLS, 302 to http://localhost:<other port> (cleartext target)
  cert_not_yet_valid  TLS with a localhost certificate valid only from 2099
  cert_leaf_issuer    TLS with a localhost certificate issued by a CA:FALSE leaf
                      of the trusted test CA (chain sent along)
  cert_client_only    TLS with a localhost certificate for client authentication only
Every TLS peer that gets a request answers it with an unsigned success body
unless its mode says otherwise.
"""

import argparse
import errno
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HUGE_SIZE = 64 * 1024 * 1024
# Not signed with any key: a client must never show it as a success.
FORGED = (b'{"status":"success","readiness_final":"ready","allowed_volume_percent":100,'
          b'"quiz_completed_today":true,"daily_drawdown_hit":false,"timestamp":1700000000,'
          b'"signature":"' + b"0" * 64 + b'","quiz":[]}')
# Cut before its signature field: no prefix of it carries one.
CUT_BODY = (b'{"status":"success","readiness_final":"ready","allowed_volume_percent":100,'
            b'"padding":"' + b"p" * 400 + b'","timestamp":1700000000,"signature":"' + b"0" * 64 + b'"}')
# Three times the receive timeout: a client still waiting by then would wait for ever.
HOLD_LIMIT = 60.0
# Another run may hold the port for a while (the lock only spans one CTest run).
BIND_PATIENCE = 60.0

MODES = ("silent", "cut_abrupt", "cut_clean", "huge", "plain", "hangup", "redirect302", "redirect307",
         "redirect_http", "cert_not_yet_valid", "cert_leaf_issuer", "cert_client_only")

EXTENSIONS = """
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = placeholder
[ leaf ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
[ client_only ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = clientAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
"""


class Record:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        open(path, "w").close()

    def write(self, method, path, headers, body):
        line = json.dumps({"path": path, "method": method, "headers": [[n, v] for n, v in headers],
                           "body_hex": body.hex(), "body": body.decode("latin-1")}, separators=(",", ":"))
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def read_request(conn, record):
    """Reads one HTTP/1.1 request (head and Content-Length body) and records it."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
        if len(data) > 1 << 20:
            return None
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    method, path = (lines[0].split(" ") + ["", ""])[:2]
    headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
    length = next((int(v) for n, v in headers if n.lower() == "content-length"), 0)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    record.write(method, path, headers, body)
    return path


def head(status, length, extra=()):
    lines = ["HTTP/1.1 %s" % status, "Content-Type: application/json", "Connection: close"]
    if length is not None:
        lines.append("Content-Length: %d" % length)
    lines += list(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def cut(conn):
    # The stream just ends: no close_notify.
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def close_tls(conn, patience=2.0):
    # Waits a little for the client's own close_notify, so that closing never resets a
    # connection whose last bytes are still on their way.
    try:
        conn.settimeout(patience)
        conn.unwrap().close()
    except (OSError, ValueError):
        pass


def hold(conn):
    # Keep the connection open, silent, until the client gives up on it.
    conn.settimeout(HOLD_LIMIT)
    try:
        while conn.recv(4096):
            pass
    except (OSError, ValueError):
        pass


class Peer:
    def __init__(self, args, work):
        self.mode = args.mode
        self.certs = os.path.abspath(args.certs)
        self.work = work
        self.record = Record(os.path.join(work, "record.jsonl"))
        self.sockets = []
        self.target_port = None
        self.port = args.port

    # ---- certificates ----

    def openssl(self, *arguments):
        subprocess.run(["openssl", *arguments], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       env=dict(os.environ, OPENSSL_CONF=os.path.join(self.work, "openssl.cnf")))

    def issue(self, name, issuer_pem, issuer_key, extension, validity=("-days", "3650")):
        key = os.path.join(self.work, name + ".key")
        csr = os.path.join(self.work, name + ".csr")
        pem = os.path.join(self.work, name + ".pem")
        self.openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj",
                     "/CN=localhost", "-out", csr)
        self.openssl("x509", "-req", "-in", csr, "-CA", issuer_pem, "-CAkey", issuer_key,
                     "-set_serial", str(int(time.time() * 1000)), "-sha256", "-extfile",
                     os.path.join(self.work, "openssl.cnf"), "-extensions", extension,
                     "-out", pem, *validity)
        return pem, key

    def certificate(self):
        """The chain file and key this mode's TLS server presents."""
        ca_pem, ca_key = os.path.join(self.certs, "ca.pem"), os.path.join(self.certs, "ca.key")
        if not self.mode.startswith("cert_"):
            return os.path.join(self.certs, "localhost.pem"), os.path.join(self.certs, "localhost.key")
        with open(os.path.join(self.work, "openssl.cnf"), "w", encoding="ascii") as f:
            f.write(EXTENSIONS)
        if self.mode == "cert_not_yet_valid":
            return self.future_certificate(ca_pem, ca_key)
        if self.mode == "cert_client_only":
            return self.issue("client_only", ca_pem, ca_key, "client_only")
        # A leaf of the trusted CA (CA:FALSE) that signs a localhost certificate itself.
        middle_pem, middle_key = self.issue("middle", ca_pem, ca_key, "leaf")
        leaf_pem, leaf_key = self.issue("forged_leaf", middle_pem, middle_key, "leaf")
        chain = os.path.join(self.work, "chain.pem")
        with open(chain, "wb") as out:
            for part in (leaf_pem, middle_pem):
                with open(part, "rb") as f:
                    out.write(f.read())
        return chain, leaf_key

    def future_certificate(self, ca_pem, ca_key):
        # "openssl x509 -req" cannot set a start date, "openssl ca" can; it wants a database.
        db = os.path.join(self.work, "db")
        os.makedirs(os.path.join(db, "issued"))
        open(os.path.join(db, "index.txt"), "w").close()
        with open(os.path.join(db, "serial"), "w") as f:
            f.write("1000\n")
        with open(os.path.join(self.work, "openssl.cnf"), "a", encoding="ascii") as f:
            f.write("\n[ ca ]\ndefault_ca = future\n[ future ]\ndatabase = %s/index.txt\n"
                    "new_certs_dir = %s/issued\nserial = %s/serial\ndefault_md = sha256\n"
                    "policy = any\nunique_subject = no\ncopy_extensions = none\n"
                    "[ any ]\ncommonName = supplied\n" % (db, db, db))
        key = os.path.join(self.work, "future.key")
        csr = os.path.join(self.work, "future.csr")
        pem = os.path.join(self.work, "future.pem")
        self.openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj",
                     "/CN=localhost", "-out", csr)
        self.openssl("ca", "-batch", "-notext", "-cert", ca_pem, "-keyfile", ca_key, "-in", csr,
                     "-out", pem, "-extensions", "leaf", "-startdate", "20990101000000Z",
                     "-enddate", "20991231000000Z")
        return pem, key

    def tls_context(self):
        pem, key = self.certificate()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(pem, key)
        return context

    # ---- serving ----

    def listen(self, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        deadline = time.monotonic() + BIND_PATIENCE
        while True:
            try:
                sock.bind(("127.0.0.1", port))
                break
            except OSError as e:
                if e.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                    sock.close()
                    raise
                time.sleep(0.5)
        sock.listen(64)
        self.sockets.append(sock)
        return sock

    def start(self):
        tls = None if self.mode in ("plain", "hangup") else self.tls_context()
        main = self.listen(self.port)
        if self.mode.startswith("redirect"):
            target = self.listen(0)
            self.target_port = target.getsockname()[1]
            target_tls = None if self.mode == "redirect_http" else tls
            threading.Thread(target=self.accept_loop, args=(target, target_tls, self.serve_target),
                             daemon=True).start()
        threading.Thread(target=self.accept_loop, args=(main, tls, self.serve_main), daemon=True).start()

    def accept_loop(self, sock, tls, serve):
        while True:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            threading.Thread(target=self.connection, args=(conn, tls, serve), daemon=True).start()

    def connection(self, conn, tls, serve):
        try:
            conn.settimeout(30)
            if tls is not None:
                try:
                    conn = tls.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError):
                    return  # the client refused the certificate, as it should
            serve(conn)
        except (OSError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def serve_main(self, conn):
        mode = self.mode
        if mode == "hangup":
            return
        if mode == "plain":
            # Whatever arrives (a TLS ClientHello) is answered in clear text.
            conn.settimeout(2)
            try:
                conn.recv(65536)
            except OSError:
                pass
            conn.sendall(head("200 OK", len(FORGED)) + FORGED)
            return
        path = read_request(conn, self.record)
        if path is None:
            return
        if mode == "silent":
            hold(conn)
        elif mode in ("cut_abrupt", "cut_clean"):
            conn.sendall(head("200 OK", len(CUT_BODY)) + CUT_BODY[:len(CUT_BODY) // 2])
            time.sleep(0.2)
            if mode == "cut_abrupt":
                cut(conn)
            else:
                close_tls(conn, patience=0.5)
        elif mode == "huge":
            prefix = b'{"status":"success","message":"'
            suffix = b'"}'
            conn.sendall(head("200 OK", HUGE_SIZE) + prefix)
            piece = b"A" * (1 << 20)
            left = HUGE_SIZE - len(prefix) - len(suffix)
            while left > 0:
                conn.sendall(piece[:min(left, len(piece))])
                left -= min(left, len(piece))
            conn.sendall(suffix)
            close_tls(conn)
        elif mode.startswith("redirect"):
            scheme = "http" if mode == "redirect_http" else "https"
            status = "307 Temporary Redirect" if mode == "redirect307" else "302 Found"
            body = b'{"status":"error","message":"moved"}'
            location = "Location: %s://localhost:%d%s" % (scheme, self.target_port, path)
            conn.sendall(head(status, len(body), [location]) + body)
            close_tls(conn)
        else:
            conn.sendall(head("200 OK", len(FORGED)) + FORGED)
            close_tls(conn)

    def serve_target(self, conn):
        if read_request(conn, self.record) is None:
            return
        conn.sendall(head("200 OK", len(FORGED)) + FORGED)
        if isinstance(conn, ssl.SSLSocket):
            close_tls(conn)

    def stop(self):
        for sock in self.sockets:
            try:
                sock.close()
            except OSError:
                pass


def child_setup():
    # COMMAND may not outlive the peer, even if the peer itself is killed.
    if sys.platform.startswith("linux"):
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def main(argv):
    if "--" not in argv:
        sys.stderr.write("usage: hostile_peer.py --mode MODE --port N --certs DIR -- COMMAND ARGS...\n")
        return 2
    split = argv.index("--")
    parser = argparse.ArgumentParser(prog="hostile_peer.py")
    parser.add_argument("--mode", choices=MODES, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--certs", required=True, help="the test certificates (ca.pem, ca.key, localhost.pem/.key)")
    args = parser.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        parser.error("no COMMAND after --")

    def on_signal(signum, _frame):
        raise SystemExit(128 + signum)

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, on_signal)

    work = tempfile.mkdtemp(prefix="halvane-hostile-")
    peer = Peer(args, work)
    child = None
    try:
        try:
            peer.start()
        except (OSError, ssl.SSLError, subprocess.CalledProcessError) as e:
            detail = getattr(e, "stderr", b"") or b""
            sys.stderr.write("hostile_peer.py: cannot start mode %s: %s %s\n"
                             % (args.mode, e, detail.decode(errors="replace")))
            return 3
        env = dict(os.environ, HALVANE_HOSTILE_MODE=args.mode, HALVANE_TEST_RECORD=peer.record.path)
        child = subprocess.Popen(command, env=env, preexec_fn=child_setup if os.name == "posix" else None)
        code = child.wait()
        child = None
        return 128 - code if code < 0 else code
    finally:
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        peer.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
