#!/usr/bin/env python3
"""Run a command under one of the current user's proxy settings, through a real proxy.

  with_proxy.py --mode windows|posix
                --setting proxy|proxy-bypass|autodetect|pac|none|dead-proxy|auth-proxy
                [--wine-run PATH] [--port N] [--expect-output TEXT] [--timeout S]
                -- COMMAND ARGS...

Starts tinyproxy on a free loopback port, applies the setting, runs COMMAND, removes
the setting again, stops tinyproxy and checks what went through it:

  proxy         the proxy list names tinyproxy: COMMAND succeeds, and tinyproxy
                tunnelled it (CONNECT localhost:N).
  proxy-bypass  the same proxy with a bypass list naming localhost,
  autodetect    only automatic detection,
  pac           only an auto-configuration URL (a script that names tinyproxy),
  none          a direct connection: COMMAND succeeds and tinyproxy saw nothing.
  dead-proxy    the proxy list names a port where nothing listens: COMMAND must
                fail, and the service must not have been reached.
  auth-proxy    tinyproxy demands a password (refuses with 407): the service must not be reached.

Windows mode writes the settings as WinHTTP reads them for the current user (the
DefaultConnectionSettings value) into the Wine prefix through the wine-run script;
POSIX mode passes them in COMMAND's environment (https_proxy, no_proxy). POSIX has
no automatic-detection or auto-configuration setting.

N is --port, else HALVANE_TEST_PORT (set by with_service.py). When HALVANE_TEST_RECORD
names the service's request record, the direct and proxied cases must have reached the
service and dead-proxy must not have.

Prints "1 passed, 0 failed" or "0 passed, 1 failed" last; exits 0 only on a pass
(2 on bad usage).
"""

import argparse
import contextlib
import http.server
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

import beside

POSIX_SETTINGS = ["proxy", "proxy-bypass", "none", "dead-proxy", "auth-proxy"]
PROXY_VARIABLES = ["http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY"]

CONNECTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
SETTINGS_VALUE = "DefaultConnectionSettings"
SETTINGS_MAGIC = 0x46
FLAG_DIRECT, FLAG_PROXY, FLAG_PAC, FLAG_AUTODETECT = 1, 2, 4, 8
# What each setting enables besides a direct connection; the proxy list names the proxy
# (on POSIX: https_proxy) exactly where FLAG_PROXY is set.
SETTING_FLAGS = {"proxy": FLAG_PROXY, "proxy-bypass": FLAG_PROXY, "dead-proxy": FLAG_PROXY, "auth-proxy": FLAG_PROXY,
                 "autodetect": FLAG_AUTODETECT, "pac": FLAG_PAC, "none": 0}

REG_TIMEOUT = 120.0


class Failure(Exception):
    pass


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="with_proxy.py", usage="%(prog)s [options] -- COMMAND ARGS...")
    parser.add_argument("--mode", choices=["windows", "posix"], required=True)
    parser.add_argument("--setting", choices=SETTING_FLAGS, required=True)
    parser.add_argument("--wine-run", help="the script that runs Windows programs in the test prefix")
    parser.add_argument("--port", type=int, default=os.environ.get("HALVANE_TEST_PORT"),
                        help="the service port (default: HALVANE_TEST_PORT)")
    parser.add_argument("--expect-output", help="text COMMAND's output must contain")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds COMMAND may run")
    args, command = beside.parse(parser, argv)
    if args.mode == "windows" and not args.wine_run:
        parser.error("--mode windows needs --wine-run")
    if args.mode == "posix" and args.setting not in POSIX_SETTINGS:
        parser.error("POSIX has no %s setting" % args.setting)
    if args.port is None:
        parser.error("no --port and no HALVANE_TEST_PORT")
    return args, command


class Tinyproxy:
    """A private tinyproxy in the foreground, logging every request line."""

    def __init__(self, work, password=False):
        self.work = work
        self.password = password
        self.log = os.path.join(work, "tinyproxy.log")
        self.output = os.path.join(work, "tinyproxy.out")
        self.process = None
        self.port = None

    def start(self):
        binary = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
        # A port picked now may be taken before tinyproxy binds it: try a few.
        for _ in range(5):
            with socket.create_server(("127.0.0.1", 0)) as s:
                self.port = s.getsockname()[1]
            conf = os.path.join(self.work, "tinyproxy.conf")
            with open(conf, "w") as f:
                # No ConnectPort lines: CONNECT to any port is allowed.
                f.write('Port %d\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 20\n'
                        'LogFile "%s"\nLogLevel Connect\nPidFile "%s"\n'
                        % (self.port, self.log, os.path.join(self.work, "tinyproxy.pid")))
                if self.password:
                    f.write("BasicAuth halvane not-the-module\n")
            process = beside.Process([binary, "-d", "-c", conf], self.output,
                                     ready=beside.listening("127.0.0.1", self.port))
            with contextlib.suppress(beside.NotReady):
                self.process = process.__enter__()
                return
        raise Failure("tinyproxy did not start:\n" + self.logs())

    def stop(self):
        if self.process is not None:
            self.process.__exit__()

    def requests(self):
        """The request lines tinyproxy was sent, e.g. "CONNECT localhost:18443"."""
        return re.findall(r"Request \(file descriptor \d+\): (\S+ \S+)", beside.read_text(self.log))

    def logs(self):
        return beside.read_text(self.output) + beside.read_text(self.log)


class PacServer(beside.ServingThread):
    """Serves an auto-configuration script that names the proxy, counting fetches."""

    def __init__(self, proxy_port):
        script = ('function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }\n'
                  % proxy_port).encode()
        owner = self
        self.fetches = 0

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                owner.fetches += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                self.send_header("Content-Length", str(len(script)))
                self.end_headers()
                self.wfile.write(script)

            def log_message(self, *_):
                pass

        super().__init__(http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler))
        self.url = "http://127.0.0.1:%d/proxy.pac" % self.server.server_address[1]


def connection_settings(flags, proxy="", bypass="", pac_url=""):
    """The DefaultConnectionSettings value: magic, counter, flags, then the proxy list,
    bypass list and auto-configuration URL, each as a length-prefixed ASCII string."""
    data = struct.pack("<III", SETTINGS_MAGIC, 1, flags)
    for text in (proxy, bypass, pac_url):
        raw = text.encode("ascii")
        data += struct.pack("<I", len(raw)) + raw
    return data


class WineSettings:
    """Sets DefaultConnectionSettings in the test prefix and removes it afterwards: the
    prefix's own state has no such value, so one found beforehand is a leftover of a run
    that was killed, and is not put back."""

    def __init__(self, wine_run, env):
        self.wine_run = wine_run
        self.env = env
        self.applied = False

    def reg(self, *args):
        return subprocess.run([self.wine_run, "reg", *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace", timeout=REG_TIMEOUT)

    def apply(self, value):
        if self.present():
            sys.stderr.write("with_proxy.py: removing a leftover %s from the prefix\n" % SETTINGS_VALUE)
        self.applied = True  # from here on, always remove it
        run = self.reg("add", CONNECTIONS_KEY, "/v", SETTINGS_VALUE, "/t", "REG_BINARY",
                       "/d", value.hex(), "/f")
        if run.returncode != 0:
            raise Failure("reg add failed (%d): %s%s" % (run.returncode, run.stdout, run.stderr))

    def present(self):
        query = self.reg("query", CONNECTIONS_KEY, "/v", SETTINGS_VALUE)
        return re.search(SETTINGS_VALUE + r"\s+REG_BINARY", query.stdout) is not None

    def restore(self):
        """Removes the value; returns what went wrong, or None."""
        if not self.applied:
            return None
        self.applied = False
        # An interruption must not leave the value behind for every other Wine program.
        try:
            with beside.uninterrupted():
                run = self.reg("delete", CONNECTIONS_KEY, "/v", SETTINGS_VALUE, "/f")
                if run.returncode == 0 or not self.present():
                    return None
            return ("could not remove %s from the prefix (%d): %s%s"
                    % (SETTINGS_VALUE, run.returncode, run.stdout, run.stderr))
        except (Failure, OSError, subprocess.SubprocessError) as e:
            return "could not remove %s from the prefix: %s" % (SETTINGS_VALUE, e)


def record_count():
    path = os.environ.get("HALVANE_TEST_RECORD")
    return sum(1 for line in beside.read_text(path).splitlines() if line.strip()) if path else None


def check(args, code, output, requests, records, pac):
    tunnel = "CONNECT localhost:%d" % args.port
    problems = []
    if args.expect_output and args.expect_output not in output:
        problems.append("COMMAND's output lacks %r" % args.expect_output)
    if args.setting == "auth-proxy":
        return ["the service received %d request(s) through a proxy that refused them" % records] if records else []
    if args.setting == "dead-proxy":
        if code == 0:
            problems.append("COMMAND succeeded although the proxy it was given does not listen:"
                            " the exchange bypassed the proxy")
        if records:
            problems.append("the service received %d request(s) although the only way there was"
                            " a dead proxy" % records)
        return problems
    if code != 0:
        problems.append("COMMAND failed with exit code %d" % code)
    if records == 0:
        problems.append("the service received no request")
    if args.setting == "proxy":
        if tunnel not in requests:
            problems.append("the proxy did not tunnel %r; it saw %s" % (tunnel, requests or "nothing"))
        others = [r for r in requests if r != tunnel]
        if others:
            problems.append("the proxy saw unexpected requests: %s" % others)
    elif requests:
        problems.append("the proxy was used although the setting %r means a direct connection: %s"
                        % (args.setting, requests))
    if pac is not None and pac.fetches:
        problems.append("the auto-configuration script was fetched %d time(s)" % pac.fetches)
    return problems


def main(argv):
    args, command = parse_args(argv)
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    work = tempfile.mkdtemp(prefix="halvane-proxy-")
    proxy = Tinyproxy(work, password=args.setting == "auth-proxy")
    wine = WineSettings(args.wine_run, env) if args.mode == "windows" else None
    problems = []
    try:
        with beside.interruptible(), contextlib.ExitStack() as scope:
            scope.callback(proxy.stop)
            if wine is not None:
                scope.callback(lambda: problems.extend(filter(None, [wine.restore()])))
            proxy.start()
            if args.setting == "dead-proxy":
                # Bound but not listening: connections are refused, and no one else takes it.
                dead = scope.enter_context(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
                dead.bind(("127.0.0.1", 0))
                proxy_port = dead.getsockname()[1]
            else:
                proxy_port = proxy.port
            pac = scope.enter_context(PacServer(proxy.port)) if args.setting == "pac" else None

            child_env = dict(env)
            address = "127.0.0.1:%d" % proxy_port if SETTING_FLAGS[args.setting] == FLAG_PROXY else ""
            bypass = "localhost" if args.setting == "proxy-bypass" else ""
            if args.mode == "posix":
                # A plain-HTTP proxy variable is no HTTPS setting: "none" has one.
                variables = {"https_proxy": address and "http://" + address, "no_proxy": bypass,
                             "http_proxy": "http://127.0.0.1:%d" % proxy.port if args.setting == "none" else ""}
                child_env.update((name, value) for name, value in variables.items() if value)
            else:
                wine.apply(connection_settings(FLAG_DIRECT | SETTING_FLAGS[args.setting], address, bypass,
                                               pac.url if pac else ""))

            try:
                code, output = beside.run(command, child_env, args.timeout, bool(args.expect_output),
                                          stdin=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                raise Failure("COMMAND did not finish within %.0f s" % args.timeout)
            sys.stdout.write(output or "")  # passed on when captured
            sys.stdout.flush()
            proxy.stop()
            problems.extend(check(args, code, output or "", proxy.requests(), record_count(), pac))
    except beside.Interrupted as e:
        problems.append("interrupted by signal %d" % e.args[0])
    except (Failure, OSError, subprocess.SubprocessError) as e:
        problems.append(str(e))
    finally:
        if problems:
            sys.stdout.write("---- tinyproxy log ----\n%s---- end of tinyproxy log ----\n" % proxy.logs())
        shutil.rmtree(work, ignore_errors=True)

    for problem in problems:
        print("with_proxy.py (%s, %s): %s" % (args.mode, args.setting, problem))
    return beside.verdict(not problems)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
