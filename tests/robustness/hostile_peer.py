#!/usr/bin/env python3
"""Serve hostile or broken behaviours on the service port while COMMAND runs.

  hostile_peer.py --modes MODE[,MODE...] --port N --certs DIR [--key-hex HEX] -- COMMAND ARGS...

The signed replies use --key-hex, by default the reference service's development key.

Listens on 127.0.0.1:N and runs COMMAND with these variables set:
  HALVANE_HOSTILE_MODES    the modes, comma-separated, in the order given
  HALVANE_HOSTILE_CONTROL  a file naming the mode that serves the next connection: COMMAND
                           writes a mode's name into it before a call (until then, the first
                           mode serves); each connection reads it once, when it is accepted
  HALVANE_TEST_RECORD      a record of the requests the peer read (the service's record
                           format: one JSON line with path, method, headers, body_hex), each
                           with the mode that served it and the seconds from its connection's
                           accept to its last byte
then stops and exits with COMMAND's exit code (3: the peer could not start).

Modes, on TLS unless noted. Every TLS peer that gets a request answers it with an unsigned
success body unless its mode says otherwise.
  forged         answers the unsigned success body, as a well-behaved server would
  silent         reads the request, never answers, holds the connection (60 s at most)
  late_close     the head one byte a second for 23 s, then closes the connection
  cut_abrupt     200 with the full Content-Length, half the body (cut before its signature
                 field), then the TCP connection is cut without a TLS close_notify
  cut_clean      the same, but the TLS session is closed properly (close_notify)
  cut_{fin,rst,stall}_{length,chunked}
                 a signed quiz, sent with a Content-Length or in chunks, cut
                 after its signature field: then FIN (no close_notify), RST (SO_LINGER 0) or
                 silence; the last chunk never comes
  cut_fin_close  the same signed quiz, its end marked only by the connection's: cut by FIN
  huge           200 with a 64 MiB body and its Content-Length
  plain          plain HTTP on the TLS port: a cleartext 200 with a success body
  hangup         accepts and closes at once, before any TLS byte
  redirect302    302 to https://localhost:<other port>, where a second TLS server answers an
  redirect307    unsigned success to anything (307 likewise)
  redirect_http  302 to http://localhost:<other port> (cleartext target)
  cert_not_yet_valid  a localhost certificate valid only from 2099
  cert_leaf_issuer    a localhost certificate issued by a CA:FALSE leaf of the trusted test
                      CA (chain sent along)
  cert_client_only    a localhost certificate for client authentication only
  tls10, tls11   a server that offers TLS 1.0 (1.1) only; proven at start with the peer's own
                 client, or the peer does not start
  tls13_only     a server that offers TLS 1.3 only; answers an unsigned success
  weak_sha1_leaf, weak_rsa1024_leaf  a localhost certificate of the trusted CA signed with
                 SHA-1, or with a 1024-bit RSA key
  weak_sha1_intermediate  a sound localhost certificate under an intermediate CA that the
                 trusted CA signed with SHA-1 (chain sent along)
  weak_dhe1024   TLS 1.2 with finite-field DHE on a 1024-bit group only
  weak_rsa_kx    TLS 1.2 with RSA key exchange only (no forward secrecy)
  missing_intermediate  a sound localhost certificate under an intermediate CA of the trusted
                 CA that is not sent; its Authority Information Access names a loopback address
                 that accepts and never answers (each connection recorded as mode aia_fetch)
  sha1_root      a sound localhost certificate under the trusted root that is self-signed
                 with SHA-1; answers an unsigned success
  trickle_handshake  plain TCP: a relay that holds no key, in front of a real TLS server,
                 passing the server's handshake bytes on a few bytes a second
  whole_bound    the same relay for 12 s, then at full speed: a handshake that ends near
                 its bound, then the head as quiet_head_173 (one call near each phase's edge)
  trickle_head   the status line and headers one byte a second
  trickle_body   200 with a Content-Length, the body one byte a second
  slow_continue  "HTTP/1.1 100 Continue" heads, one every 5 s, without end
  quiet_{head,chunk,body}_T  the head, a chunk-size line's extension after a chunked head, or
                 a Content-Length body after its head, one byte every 0.9 s until just before
                 T tenths of a second after the request was read, then silence
  coincide       200 with a Content-Length, the body in pieces 204 ms apart (give or take
                 2 ms): many short waits inside the receive phase, none of which may end
                 the call, so the whole reply passes
  slow_redirects after 8 s, 307 to the other port, which does the same, hop after hop
  endless_head   200, then header lines without end, as fast as the client takes them
  endless_header_line  200, then one header line that never ends
  endless_body   200 chunked, a success body that never ends
  endless_trailers     a chunked success body, its last chunk, then trailer lines without end
  endless_chunk_extension  a chunk-size line whose extension never ends
  many_chunks    a whole, signed reply of 4 MiB, the most a client takes ("not completed"
                 status), in 1024 chunks of 4 KiB
  limit_length   the same reply with its Content-Length; limit_length_over: one byte more
  many_header_lines  200, then 40,000 header lines at once, then silence
  endless_continue   "HTTP/1.1 100 Continue" heads without end, as fast as the client takes them
  gzip_bomb      "Transfer-Encoding: gzip, chunked": 2 MiB of gzip that inflate to 2 GiB of zeros
The endless modes stop after 256 MiB (sixteen times what a client may hold) and then hold
the connection silent; like the trickles they give up after 60 s and close it.
"""

import argparse
import contextlib
import errno
import itertools
import json
import os
import random
import re
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "service"))
from halvane_service import DEV_KEY_HEX, sign  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import beside  # noqa: E402  (the drivers' shared runner)

HUGE_SIZE = 64 * 1024 * 1024
ENDLESS_CAP = 256 * 1024 * 1024
FLOOD_PIECE = 64 * 1024
# Not signed with any key: a client must never show it as a success.
FORGED = (b'{"status":"success","readiness_final":"ready","allowed_volume_percent":100,'
          b'"quiz_completed_today":true,"daily_drawdown_hit":false,"timestamp":1700000000,'
          b'"signature":"' + b"0" * 64 + b'","quiz":[]}')
# Cut before its signature field: no prefix of it carries one.
CUT_BODY = (b'{"status":"success","readiness_final":"ready","allowed_volume_percent":100,'
            b'"padding":"' + b"p" * 400 + b'","timestamp":1700000000,"signature":"' + b"0" * 64 + b'"}')
CUT_HALF = CUT_BODY[:len(CUT_BODY) // 2]
# Three times the receive budget: a client still waiting by then would wait for ever.
HOLD_LIMIT = 60.0
# Another run may hold the port for a while (the lock only spans one CTest run).
BIND_PATIENCE = 60.0
TRICKLE_INTERVAL = 1.0      # head and body: one byte a second
HANDSHAKE_INTERVAL = 0.25   # handshake relay: four bytes a second
CONTINUE_INTERVAL = 5.0
HOP_DELAY = 8.0
HOP_SPACING = 2.0
BOMB_SEGMENTS = 2048        # MiB of zeros the gzip inflates to

# Modes that never speak TLS on the service port, and those with a TLS setup of their own.
RAW_MODES = ("plain", "hangup", "trickle_handshake", "whole_bound")
RELAY_MODES = ("trickle_handshake", "whole_bound")
# whole_bound: seconds of trickled handshake, then full speed. What the client still does then
# (Wine checks the chain only once the handshake is done) takes up to 3 s on loaded cores.
WHOLE_BOUND_HANDSHAKE = 12.0
CERT_MODES = ("cert_not_yet_valid", "cert_leaf_issuer", "cert_client_only", "weak_sha1_leaf", "weak_rsa1024_leaf",
              "weak_sha1_intermediate", "sha1_root", "missing_intermediate")
# Servers below the trust floor: the peer's own OpenSSL must be let to serve them.
WEAK_MODES = ("weak_sha1_leaf", "weak_rsa1024_leaf", "weak_sha1_intermediate", "weak_dhe1024", "weak_rsa_kx")
TLS_MODES = WEAK_MODES + ("tls13_only",)
LEGACY_TLS = {"tls10": ("TLSv1", "TLSv1"), "tls11": ("TLSv1_1", "TLSv1.1")}
CUT_ENDINGS = ("fin", "rst", "stall")
CUT_FRAMINGS = ("length", "chunked")

# What "openssl ca" needs to issue the cert_* modes' localhost certificates (it is the one
# openssl command that also sets a start date), and their extensions.
OPENSSL_CONF = """
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = placeholder
[ ca ]
default_ca = issuer
[ issuer ]
database = %(db)s/index.txt
new_certs_dir = %(db)s
serial = %(db)s/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[ any ]
commonName = supplied
[ leaf ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
[ server ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
[ sub_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[ server_aia ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
authorityInfoAccess = caIssuers;URI:http://127.0.0.1:%(aia)d/intermediate.cer
[ client_only ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = clientAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
"""


# The connection a peer thread serves: when it was accepted (a request's time counts from there).
CONNECTION = threading.local()


class Record:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        open(path, "w").close()

    def write(self, mode, method, path, headers, body):
        seconds = time.monotonic() - getattr(CONNECTION, "accepted", time.monotonic())
        line = json.dumps({"path": path, "method": method, "headers": [[n, v] for n, v in headers],
                           "body_hex": body.hex(), "body": body.decode("latin-1"), "mode": mode,
                           "seconds": round(seconds, 3)},
                          separators=(",", ":"))
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def read_request(conn, record, mode=None):
    """Reads one HTTP/1.1 request (head and Content-Length body) and records it under `mode`,
    or, for the redirect targets, under the mode its path names ("/<mode>/<hop>/...")."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
        if len(data) > 1 << 20:
            return None
    head_bytes, _, body = data.partition(b"\r\n\r\n")
    lines = head_bytes.decode("latin-1").split("\r\n")
    method, path = (lines[0].split(" ") + ["", ""])[:2]
    headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
    length = next((int(v) for n, v in headers if n.lower() == "content-length"), 0)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    record.write(mode or path.split("/")[1], method, path, headers, body)
    return path


# ---- writing replies ----

def head(status, length=None, extra=(), chunked=False):
    lines = ["HTTP/1.1 %s" % status, "Content-Type: application/json", "Connection: close"]
    if length is not None:
        lines.append("Content-Length: %d" % length)
    if chunked:
        lines.append("Transfer-Encoding: chunked")
    lines += list(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def chunks(data, size=100):
    """`data` as chunks of `size` bytes, without the last chunk."""
    return b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + size]), data[i:i + size]) for i in range(0, len(data), size))


LAST_CHUNK = b"0\r\n\r\n"


def stream(conn, parts, then=None, interval=0.0, interval_of=None):
    """Sends every part as fast as the client takes it (or one per `interval`, or per what
    `interval_of` gives each time), then holds the connection (or ends it with `then`);
    gives up after HOLD_LIMIT."""
    give_up = time.monotonic() + HOLD_LIMIT
    for part in parts:
        if time.monotonic() > give_up:
            return
        conn.sendall(part)
        time.sleep(interval_of() if interval_of else interval)
    (then or hold)(conn)


def flood(first, piece):
    """`first`, then `piece` again and again up to ENDLESS_CAP bytes."""
    return itertools.chain([first], itertools.repeat(piece, ENDLESS_CAP // len(piece)))


def trickle(conn, data, interval=TRICKLE_INTERVAL, step=1, first=b""):
    """`first`, then `step` bytes of `data` at a time, one step per `interval`, for HOLD_LIMIT at most."""
    stream(conn, itertools.chain([first] if first else [], (data[i:i + step] for i in range(0, len(data), step))),
           interval=interval)


def quiet_after(conn, first, data, quiet_at):
    """`first` at once, then a byte of `data` every 0.9 s while the next is due before
    `quiet_at` seconds, counted from now (the request was read), then silence."""
    start = time.monotonic()
    if first:
        conn.sendall(first)
    for i in range(len(data)):
        if 0.9 * (i + 1) >= quiet_at:
            break
        time.sleep(max(0.0, start + 0.9 * (i + 1) - time.monotonic()))
        conn.sendall(data[i:i + 1])
    hold(conn)


def cut(conn):
    # The stream just ends: no close_notify.
    with contextlib.suppress(OSError):
        conn.shutdown(socket.SHUT_RDWR)


def pump(source, sink, size=65536, interval=0.0, slow_for=None):
    """Passes on what `source` sends to `sink`, `size` bytes per `interval` (for `slow_for`
    seconds, then at full speed), until either end stops."""
    fast_from = None if slow_for is None else time.monotonic() + slow_for

    def slow():
        return fast_from is None or time.monotonic() < fast_from

    with contextlib.suppress(OSError):
        while data := source.recv(size if slow() else 65536):
            sink.sendall(data)
            if slow():
                time.sleep(interval)


def reset(conn):
    # Closing with a zero linger time sends RST instead of FIN.
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def close_tls(conn, patience=2.0):
    # Waits a little for the client's own close_notify, so that closing never resets a
    # connection whose last bytes are still on their way.
    with contextlib.suppress(OSError, ValueError):
        conn.settimeout(patience)
        conn.unwrap().close()


def hold(conn):
    # Keep the connection open, silent, until the client gives up on it.
    conn.settimeout(HOLD_LIMIT)
    with contextlib.suppress(OSError, ValueError):
        while conn.recv(4096):
            pass


def answer(conn, body=FORGED):
    conn.sendall(head("200 OK", len(body)) + body)
    if isinstance(conn, ssl.SSLSocket):
        close_tls(conn)


def gzip_bomb():
    """Chunked gzip of BOMB_SEGMENTS MiB of zeros, made from two compressed MiB.

    After a full flush the compressor starts afresh, so every further MiB compresses to the
    same bytes; the stream ends with an empty final block and the gzip trailer."""
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(1 << 20)
    first = z.compress(zeros) + z.flush(zlib.Z_FULL_FLUSH)
    again = z.compress(zeros) + z.flush(zlib.Z_FULL_FLUSH)
    if z.compress(zeros) + z.flush(zlib.Z_FULL_FLUSH) != again:
        raise OSError("zlib does not repeat itself after a full flush")

    def parts():
        crc = zlib.crc32(zeros)
        yield head("200 OK", extra=["Transfer-Encoding: gzip, chunked"])
        yield chunks(first, len(first))
        for _ in range(BOMB_SEGMENTS - 1):
            crc = zlib.crc32(zeros, crc)
            yield chunks(again, len(again))
        yield chunks(b"\x03\x00" + struct.pack("<II", crc, (BOMB_SEGMENTS << 20) & 0xFFFFFFFF)) + LAST_CHUNK
    return parts


# ---- what each mode does once it has read the request ----

def cut_reply(conn, full, part, framing, ending, pause=0.1):
    """`part` of the reply `full`, sent with its Content-Length or in chunks (the last never
    comes), then the end: "fin" (no close_notify), "rst", "clean" (close_notify) or "stall"."""
    if framing == "length":
        conn.sendall(head("200 OK", len(full)) + part)
    elif framing == "chunked":
        conn.sendall(head("200 OK", chunked=True) + chunks(part))
    else:  # the connection's end ends the body
        conn.sendall(head("200 OK") + part)
    if ending == "stall":
        hold(conn)
        return
    time.sleep(pause)  # lets the client read what came before the cut
    if ending == "clean":
        close_tls(conn, patience=0.5)
    else:
        (cut if ending == "fin" else reset)(conn)


def huge(peer, conn, path):
    prefix = b'{"status":"success","message":"'
    suffix = b'"}'
    piece = b"A" * (1 << 20)
    middle = HUGE_SIZE - len(prefix) - len(suffix)
    stream(conn, [head("200 OK", HUGE_SIZE) + prefix] + [piece] * (middle // len(piece)) +
           [piece[:middle % len(piece)], suffix], then=close_tls)


def redirect(peer, conn, path, mode):
    scheme = "http" if mode == "redirect_http" else "https"
    status = "307 Temporary Redirect" if mode in ("redirect307", "slow_redirects") else "302 Found"
    body = b'{"status":"error","message":"moved"}'
    # The target tells the mode from the path, and counts the hops.
    hops = int(path.split("/")[2]) + 1 if path.startswith("/" + mode + "/") else 1
    target = path.split("/", 3)[3] if hops > 1 else path.lstrip("/")
    port = peer.plain_target_port if mode == "redirect_http" else peer.target_port
    location = "Location: %s://localhost:%d/%s/%d/%s" % (scheme, port, mode, hops, target)
    if mode == "slow_redirects":
        time.sleep(HOP_DELAY)
        # Each redirect makes the client shake hands anew: never two at once (Wine breaks).
        with peer.hop_lock:
            time.sleep(max(0.0, peer.last_hop + HOP_SPACING - time.monotonic()))
            peer.last_hop = time.monotonic()
            conn.sendall(head(status, len(body), [location]) + body)
    else:
        conn.sendall(head(status, len(body), [location]) + body)
    close_tls(conn)


CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"
FILLER_LINE = b"X-Filler: " + b"f" * 90 + b"\r\n"
TRAILER_LINE = b"X-Trailer: " + b"t" * 89 + b"\r\n"
ENDLESS_BODY_HEAD = b'{"status":"success","message":"'

REPLIES = {
    "forged": lambda peer, conn, path: answer(conn),
    "silent": lambda peer, conn, path: hold(conn),
    "late_close": lambda peer, conn, path: stream(
        conn, (bytes([byte]) for byte in head("200 OK", len(FORGED))[:23]), then=cut, interval=TRICKLE_INTERVAL),
    "cut_abrupt": lambda peer, conn, path: cut_reply(conn, CUT_BODY, CUT_HALF, "length", "fin", pause=0.2),
    "cut_clean": lambda peer, conn, path: cut_reply(conn, CUT_BODY, CUT_HALF, "length", "clean", pause=0.2),
    "huge": huge,
    "trickle_head": lambda peer, conn, path: trickle(conn, head("200 OK", len(FORGED)) + FORGED),
    "trickle_body": lambda peer, conn, path: trickle(conn, FORGED, first=head("200 OK", len(FORGED))),
    "slow_continue": lambda peer, conn, path: trickle(conn, CONTINUE * 1000, CONTINUE_INTERVAL, len(CONTINUE)),
    "endless_head": lambda peer, conn, path: stream(
        conn, flood(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n", FILLER_LINE * 640)),
    "endless_header_line": lambda peer, conn, path: stream(
        conn, flood(b"HTTP/1.1 200 OK\r\nX-Endless: ", b"e" * FLOOD_PIECE)),
    "endless_body": lambda peer, conn, path: stream(conn, flood(
        head("200 OK", chunked=True) + chunks(ENDLESS_BODY_HEAD, 1000), chunks(b"A" * FLOOD_PIECE, FLOOD_PIECE))),
    "endless_trailers": lambda peer, conn, path: stream(
        conn, flood(head("200 OK", chunked=True) + chunks(FORGED, 1000) + b"0\r\n", TRAILER_LINE * 640)),
    "endless_chunk_extension": lambda peer, conn, path: stream(
        conn, flood(head("200 OK", chunked=True) + b"10;ext=", b"x" * FLOOD_PIECE)),
    "gzip_bomb": lambda peer, conn, path: stream(conn, peer.bomb(), then=close_tls),
    "many_chunks": lambda peer, conn, path: stream(
        conn, [head("200 OK", chunked=True) + chunks(peer.status, 4096) + LAST_CHUNK], then=close_tls),
    "limit_length": lambda peer, conn, path: stream(conn, [head("200 OK", len(peer.status)) + peer.status],
                                                    then=close_tls),
    "limit_length_over": lambda peer, conn, path: stream(
        conn, [head("200 OK", len(peer.status) + 1) + peer.status + b" "], then=close_tls),
    "many_header_lines": lambda peer, conn, path: stream(
        conn, [b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + FILLER_LINE * 40000]),
    "endless_continue": lambda peer, conn, path: stream(conn, flood(CONTINUE, CONTINUE * 2000)),
}
# What is trickled, and when it falls silent (tenths of a second after the request).
QUIET_PARTS = {
    "head": (b"", head("200 OK", len(FORGED)) + FORGED, (49, 99, 149, 173)),
    "chunk": (head("200 OK", chunked=True), b"10;" + b"x" * 100, (99, 173)),
    "body": (head("200 OK", len(FORGED)), FORGED, (99, 173)),
}
for _part, (_first, _data, _quiet_at) in QUIET_PARTS.items():
    for _tenths in _quiet_at:
        REPLIES["quiet_%s_%d" % (_part, _tenths)] = (
            lambda peer, conn, path, first=_first, data=_data, at=_tenths / 10: quiet_after(conn, first, data, at))
REPLIES["whole_bound"] = REPLIES["quiet_head_173"]
REPLIES["coincide"] = lambda peer, conn, path: stream(
    conn, [head("200 OK", len(FORGED))] + [FORGED[i:i + 4] for i in range(0, len(FORGED), 4)],
    interval_of=lambda: 0.204 + random.uniform(-0.002, 0.002))
for _mode in ("redirect302", "redirect307", "redirect_http", "slow_redirects"):
    REPLIES[_mode] = lambda peer, conn, path, mode=_mode: redirect(peer, conn, path, mode)
for _framing in CUT_FRAMINGS:
    for _ending in CUT_ENDINGS:
        REPLIES["cut_%s_%s" % (_ending, _framing)] = (
            lambda peer, conn, path, framing=_framing, ending=_ending:
            cut_reply(conn, peer.quiz, peer.quiz[:peer.quiz_cut], framing, ending))
REPLIES["cut_fin_close"] = lambda peer, conn, path: cut_reply(conn, peer.quiz, peer.quiz[:peer.quiz_cut], "close", "fin")

MODES = tuple(dict.fromkeys(tuple(REPLIES) + RAW_MODES + tuple(set(CERT_MODES + TLS_MODES)) + tuple(LEGACY_TLS)))


def signed_status(key_hex, size=4 << 20):
    """A signed "quiz not completed" status reply of exactly `size` bytes."""
    start = (b'{"status":"success","quiz_completed_today":false,"timestamp":1700000000,"signature":"' +
             sign(bytes.fromhex(key_hex), "no_quiz|1700000000").encode("ascii") + b'","padding":"')
    end = b'","end":1}'
    return start + b"p" * (size - len(start) - len(end)) + end


def signed_quiz(key_hex):
    """A quiz of about 1800 bytes, signed under the key, and where to cut it: just after its
    signature field, so that what came is a quiz any client would accept as signed."""
    timestamp = b"1700000000"
    signature = sign(bytes.fromhex(key_hex), "success|1700000000").encode("ascii")
    questions = b",".join(b'{"number":%d,"question":"%s"}' % (n, b"q" * 150) for n in range(1, 11))
    quiz = (b'{"status":"success","timestamp":' + timestamp + b',"signature":"' + signature +
            b'","quiz":[' + questions + b"]}")
    return quiz, quiz.index(b'"quiz":[') + 40


def pin_version(context, mode):
    """Pins the context to the mode's old TLS version, with the ciphers that version needs."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = context.maximum_version = getattr(ssl.TLSVersion, LEGACY_TLS[mode][0])
    context.set_ciphers("DEFAULT:@SECLEVEL=0")


class Peer:
    def __init__(self, args, work):
        self.modes = args.modes
        self.certs = os.path.abspath(args.certs)
        self.work = work
        self.record = Record(os.path.join(work, "record.jsonl"))
        self.control = os.path.join(work, "mode")
        with open(self.control, "w", encoding="ascii") as f:
            f.write(self.modes[0])
        self.sockets = []
        self.contexts = {}
        self.target_port = self.plain_target_port = self.backend_port = None  # the listeners beside
        self.hop_lock = threading.Lock()
        self.last_hop = 0.0
        self.port = args.port
        self.quiz, self.quiz_cut = signed_quiz(args.key_hex)
        self.status = signed_status(args.key_hex)
        self.bomb = gzip_bomb() if "gzip_bomb" in self.modes else None
        # Where missing_intermediate's certificate says its issuer can be fetched.
        self.aia = self.listen(0) if "missing_intermediate" in self.modes else None
        with open(os.path.join(work, "openssl.cnf"), "w", encoding="ascii") as f:
            f.write(OPENSSL_CONF % {"db": work, "aia": self.aia.getsockname()[1] if self.aia else 0})
        open(os.path.join(work, "index.txt"), "w").close()  # the issuing database, empty

    def current_mode(self):
        mode = beside.read_text(self.control).strip()
        return mode if mode in self.modes else self.modes[0]

    # ---- certificates and TLS settings ----

    def openssl(self, *arguments):
        subprocess.run(["openssl", *arguments], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       env=dict(os.environ, OPENSSL_CONF=os.path.join(self.work, "openssl.cnf")))

    def issue(self, name, issuer, extension, *validity, bits=2048, md="sha256", cn="localhost"):
        """A certificate for `cn` and its key (RSA of `bits`), signed by `issuer` (its certificate
        and key files) with `md`, valid for ten years from now or for the "openssl ca" dates in
        `validity`; its serial is random, so that no two runs issue the same one."""
        key, csr, pem = (os.path.join(self.work, name + suffix) for suffix in (".key", ".csr", ".pem"))
        self.openssl("req", "-new", "-newkey", "rsa:%d" % bits, "-nodes", "-keyout", key, "-subj",
                     "/CN=" + cn, "-out", csr)
        self.openssl("ca", "-batch", "-notext", "-md", md, "-cert", issuer[0], "-keyfile", issuer[1], "-in", csr,
                     "-out", pem, "-extensions", extension, "-create_serial", *(validity or ("-days", "3650")))
        return pem, key

    def chain(self, name, *pems):
        path = os.path.join(self.work, name + "_chain.pem")
        with open(path, "w", encoding="ascii") as out:
            out.write("".join(beside.read_text(pem) for pem in pems))
        return path

    def certificate(self, mode):
        """The chain file and key this mode's TLS server presents."""
        if mode == "sha1_root":
            return os.path.join(self.certs, "sha1-root-leaf.pem"), os.path.join(self.certs, "sha1-root-leaf.key")
        if mode not in CERT_MODES:
            return os.path.join(self.certs, "localhost.pem"), os.path.join(self.certs, "localhost.key")
        ca = os.path.join(self.certs, "ca.pem"), os.path.join(self.certs, "ca.key")
        if mode == "weak_sha1_leaf":
            return self.issue("sha1_leaf", ca, "server", md="sha1")
        if mode == "weak_rsa1024_leaf":
            return self.issue("rsa1024_leaf", ca, "server", bits=1024)
        if mode == "weak_sha1_intermediate":
            middle = self.issue("sha1_ca", ca, "sub_ca", md="sha1", cn="Halvane SHA-1 Intermediate Test CA")
            leaf_pem, leaf_key = self.issue("under_sha1_ca", middle, "server")
            return self.chain("under_sha1_ca", leaf_pem, middle[0]), leaf_key
        if mode == "missing_intermediate":
            middle = self.issue("aia_ca", ca, "sub_ca", cn="Halvane AIA Intermediate Test CA")
            return self.issue("under_aia_ca", middle, "server_aia")
        if mode == "cert_not_yet_valid":
            return self.issue("future", ca, "leaf", "-startdate", "20990101000000Z", "-enddate", "20991231000000Z")
        if mode == "cert_client_only":
            return self.issue("client_only", ca, "client_only")
        # A leaf of the trusted CA (CA:FALSE) that signs a localhost certificate itself.
        middle = self.issue("middle", ca, "leaf")
        leaf_pem, leaf_key = self.issue("forged_leaf", middle, "leaf")
        return self.chain("forged_leaf", leaf_pem, middle[0]), leaf_key

    def tls_context(self, mode):
        pem, key = self.certificate(mode)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        if mode in LEGACY_TLS:
            pin_version(context, mode)
        if mode in WEAK_MODES:
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
        if mode == "weak_dhe1024":
            # Finite-field DHE only, on a 1024-bit group (DSA-style parameters: quick to make).
            dh = os.path.join(self.work, "dh1024.pem")
            self.openssl("dhparam", "-dsaparam", "-out", dh, "1024")
            context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.set_ciphers("DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:@SECLEVEL=0")
            context.load_dh_params(dh)
        if mode == "weak_rsa_kx":
            context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.set_ciphers("AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:AES256-SHA")
        if mode == "tls13_only":
            context.minimum_version = ssl.TLSVersion.TLSv1_3
        context.load_cert_chain(pem, key)
        if mode in LEGACY_TLS:
            self.prove_version(context, mode)
        return context

    def prove_version(self, server_context, mode):
        """Our own client must really get this old version, or the mode proves nothing."""
        client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        pin_version(client, mode)
        client.load_verify_locations(os.path.join(self.certs, "ca.pem"))
        # One handshake in memory: each round passes what either side wrote on to the other.
        client_in, client_out, server_in, server_out = (ssl.MemoryBIO() for _ in range(4))
        tls = client.wrap_bio(client_in, client_out, server_hostname="localhost")
        server = server_context.wrap_bio(server_in, server_out, server_side=True)
        for _ in range(8):
            for side in (tls, server):
                with contextlib.suppress(ssl.SSLWantReadError):
                    side.do_handshake()
            server_in.write(client_out.read())
            client_in.write(server_out.read())
        negotiated = tls.version()
        if negotiated != LEGACY_TLS[mode][1]:
            raise ssl.SSLError("mode %s negotiates %s" % (mode, negotiated))

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
        for mode in self.modes:
            if mode not in RAW_MODES:
                self.contexts[mode] = self.tls_context(mode)
        default = self.tls_context(None)
        main = self.listen(self.port)
        # Beside the service port: the redirects' targets (TLS and cleartext), the relay's server.
        if any(mode.startswith("redirect") or mode == "slow_redirects" for mode in self.modes):
            self.target_port = self.serve(self.listen(0), self.serve_target, lambda: (default, None))
        if "redirect_http" in self.modes:
            self.plain_target_port = self.serve(self.listen(0), self.serve_target, lambda: (None, None))
        if any(mode in RELAY_MODES for mode in self.modes):
            self.backend_port = self.serve(self.listen(0), self.serve_main, lambda: (default, self.current_mode()))
        if self.aia:
            self.serve(self.aia, self.serve_aia, lambda: (None, None))
        self.serve(main, self.serve_main, lambda: (self.contexts.get(self.current_mode()), self.current_mode()))

    def serve(self, sock, serve, choose):
        """Serves each connection to `sock` on a thread of its own; returns the port."""
        def accept_loop():
            while True:
                try:
                    conn, _ = sock.accept()
                except OSError:
                    return
                tls, mode = choose()
                threading.Thread(target=self.connection, args=(conn, tls, mode, serve), daemon=True).start()
        threading.Thread(target=accept_loop, daemon=True).start()
        return sock.getsockname()[1]

    def connection(self, conn, tls, mode, serve):
        CONNECTION.accepted = time.monotonic()
        with contextlib.suppress(OSError, ValueError):
            try:
                conn.settimeout(30)
                if tls is not None:
                    try:
                        conn = tls.wrap_socket(conn, server_side=True)
                    except (ssl.SSLError, OSError):
                        return  # the client refused the certificate or the version, as it should
                serve(conn, mode)
            finally:
                conn.close()

    def serve_main(self, conn, mode):
        if mode == "hangup":
            return
        if mode == "plain":
            # Whatever arrives (a TLS ClientHello) is answered in clear text.
            conn.settimeout(2)
            with contextlib.suppress(OSError):
                conn.recv(65536)
            answer(conn)
            return
        if mode in RELAY_MODES and not isinstance(conn, ssl.SSLSocket):
            self.relay(conn, WHOLE_BOUND_HANDSHAKE if mode == "whole_bound" else None)
            return
        path = read_request(conn, self.record, mode)
        if path is None:
            return
        REPLIES.get(mode, lambda peer, conn, path: answer(conn))(self, conn, path)

    def serve_target(self, conn, _):
        path = read_request(conn, self.record)
        if path is None:
            return
        if path.split("/")[1] == "slow_redirects":
            redirect(self, conn, path, "slow_redirects")
        else:
            answer(conn)

    def serve_aia(self, conn, _):
        self.record.write("aia_fetch", "", "", [], b"")
        hold(conn)

    def relay(self, client, slow_for=None):
        """Passes the client's bytes on at once and the server's a few bytes a second (for
        `slow_for` seconds, then at full speed)."""
        server = socket.create_connection(("127.0.0.1", self.backend_port))
        server.settimeout(HOLD_LIMIT)
        client.settimeout(HOLD_LIMIT)

        threading.Thread(target=lambda: (pump(client, server), cut(server)), daemon=True).start()
        pump(server, client, 4, HANDSHAKE_INTERVAL, slow_for)
        server.close()

    def stop(self):
        for sock in self.sockets:
            with contextlib.suppress(OSError):
                sock.close()


def one_thread(output):
    """0 when Wine's trace shows every WinHttpSetTimeouts made on a thread that sent a request
    (the deadline keeper touches a request from the step's own thread only), else 1. Prints the
    output without the trace."""
    threads = {"WinHttpSetTimeouts": set(), "WinHttpSendRequest": set()}
    for line in output.splitlines():
        call = re.match(r"([0-9a-f]+):trace:winhttp:(WinHttpSetTimeouts|WinHttpSendRequest) ", line)
        if call:
            threads[call.group(2)].add(call.group(1))
        elif ":trace:" not in line:
            print(line)
    print("[ threads  ] WinHttpSetTimeouts on %s, requests sent on %s"
          % (sorted(threads["WinHttpSetTimeouts"]), sorted(threads["WinHttpSendRequest"])))
    sent = threads["WinHttpSendRequest"]
    return 0 if sent and sent >= threads["WinHttpSetTimeouts"] else 1


def main(argv):
    parser = argparse.ArgumentParser(prog="hostile_peer.py")
    parser.add_argument("--modes", required=True, type=lambda text: text.split(","),
                        help="comma-separated, from: " + ", ".join(MODES))
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--certs", required=True, help="the test certificates (ca.pem, ca.key, localhost.pem/.key)")
    parser.add_argument("--key-hex", default=DEV_KEY_HEX, help="the key the cut quizzes are signed with")
    parser.add_argument("--one-thread", action="store_true",
                        help="under Wine: fail unless every WinHttpSetTimeouts came from a thread that sent a request")
    args, command = beside.parse(parser, argv)
    unknown = [mode for mode in args.modes if mode not in MODES]
    if unknown:
        parser.error("unknown modes: " + ", ".join(unknown))

    with tempfile.TemporaryDirectory(prefix="halvane-hostile-", ignore_cleanup_errors=True) as work:
        peer = Peer(args, work)
        try:
            with beside.interruptible():
                try:
                    peer.start()
                except (OSError, ssl.SSLError, subprocess.CalledProcessError) as e:
                    detail = getattr(e, "stderr", b"") or b""
                    sys.stderr.write("hostile_peer.py: cannot start modes %s: %s %s\n"
                                     % (",".join(args.modes), e, detail.decode(errors="replace")))
                    return 3
                env = dict(os.environ, HALVANE_HOSTILE_MODES=",".join(args.modes),
                           HALVANE_HOSTILE_CONTROL=peer.control, HALVANE_TEST_RECORD=peer.record.path)
                if not args.one_thread:
                    return beside.run(command, env)[0]
                code, output = beside.run(command, dict(env, WINEDEBUG="+winhttp"), capture=True)
                return code or one_thread(output)
        except beside.Interrupted as e:
            return 128 + e.args[0]
        finally:
            peer.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
