#!/usr/bin/env python3
"""Run a command while the Halvane test service is up.

  with_service.py --certs DIR [--cert-name localhost] --port N
                  [--script cases.json] [--db PATH] [--seed-trader KEY:ACCOUNT ...]
                  [--record PATH] [--key-hex HEX] [--service-arg ARG ...]
                  -- COMMAND ARGS...

Creates the test certificates in DIR when they are missing, starts the service
on 127.0.0.1:N with DIR/<cert-name>.pem (scripted mode with --script, real
mode otherwise, seeding the given traders), waits until it listens, runs
COMMAND with HALVANE_TEST_RECORD, HALVANE_TEST_CERTS and HALVANE_TEST_PORT set,
stops the service and exits with COMMAND's exit code.

Exit codes of its own: 2 bad usage, 3 the service did not start, 4 COMMAND
passed but the service died while it ran.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVICE = os.path.join(REPO, "service", "halvane_service.py")
MAKE_CERTS = os.path.join(REPO, "service", "make_test_certs.sh")
READY_TIMEOUT = 20.0
STOP_GRACE = 5.0


class Interrupted(Exception):
    pass


def parse_args(argv):
    if "--" not in argv:
        sys.stderr.write("usage: with_service.py [options] -- COMMAND ARGS... (missing --)\n")
        sys.exit(2)
    split = argv.index("--")
    own, command = argv[:split], argv[split + 1:]
    parser = argparse.ArgumentParser(prog="with_service.py",
                                     usage="%(prog)s [options] -- COMMAND ARGS...")
    parser.add_argument("--certs", required=True, help="test certificate directory (made if missing)")
    parser.add_argument("--cert-name", default="localhost", help="serve DIR/NAME.pem and DIR/NAME.key")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--script", help="scripted mode with this cases file")
    parser.add_argument("--db", help="SQLite state file (default: a fresh temporary one)")
    parser.add_argument("--seed-trader", action="append", default=[], metavar="KEY:ACCOUNT",
                        help="add this trader before starting (real mode; repeatable)")
    parser.add_argument("--record", help="keep the request record here, emptied first"
                        " (default: a temporary file)")
    parser.add_argument("--key-hex", help="service signing key (default: the development key)")
    parser.add_argument("--service-arg", action="append", default=[], metavar="ARG",
                        help="extra argument for the service's serve command (repeatable)")
    args = parser.parse_args(own)
    if not command:
        parser.error("no COMMAND after --")
    for seed in args.seed_trader:
        key, sep, account = seed.rpartition(":")
        if not sep or not key or not account:
            parser.error("--seed-trader wants KEY:ACCOUNT, got %r" % seed)
    if args.script and args.seed_trader:
        parser.error("--seed-trader has no effect with --script")
    return args, command


def make_certs(certs):
    result = subprocess.run(["bash", MAKE_CERTS, certs], stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise RuntimeError("make_test_certs.sh failed with exit code %d" % result.returncode)


def seed_traders(db, seeds):
    for seed in seeds:
        key, _, account = seed.rpartition(":")
        result = subprocess.run([sys.executable, SERVICE, "add-trader", "--db", db, "--key", key,
                                 "--account", account], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise RuntimeError("seeding trader %s failed: %s" % (account, result.stderr.strip()))


def child_setup():
    # Neither the service nor COMMAND may outlive this driver, even if the
    # driver itself is killed.
    if sys.platform.startswith("linux"):
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def wait_ready(proc, ready_file, log_path):
    deadline = time.monotonic() + READY_TIMEOUT
    while time.monotonic() < deadline:
        if os.path.exists(ready_file):
            return True
        if proc.poll() is not None:
            report("the service exited with code %d before it was ready" % proc.returncode, log_path)
            return False
        time.sleep(0.05)
    report("the service was not ready after %.0f s" % READY_TIMEOUT, log_path)
    return False


def report(message, log_path):
    sys.stderr.write("with_service.py: %s\n" % message)
    try:
        with open(log_path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        text = ""
    if text:
        sys.stderr.write("---- service stderr ----\n%s---- end of service stderr ----\n" % text)
    sys.stderr.flush()


def stop(proc):
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(STOP_GRACE)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def exit_code(returncode):
    return 128 - returncode if returncode < 0 else returncode


def main(argv):
    args, command = parse_args(argv)

    def on_signal(signum, _frame):
        raise Interrupted(signum)

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, on_signal)

    work = tempfile.mkdtemp(prefix="halvane-e2e-")
    service = None
    child = None
    try:
        certs = os.path.abspath(args.certs)
        make_certs(certs)
        db = os.path.abspath(args.db) if args.db else os.path.join(work, "state.sqlite3")
        record = os.path.abspath(args.record) if args.record else os.path.join(work, "record.jsonl")
        open(record, "w").close()  # each run records only its own requests
        if args.seed_trader:
            seed_traders(db, args.seed_trader)

        ready_file = os.path.join(work, "ready")
        log_path = os.path.join(work, "service.log")
        cmd = [sys.executable, SERVICE, "serve", "--host", "127.0.0.1", "--port", str(args.port),
               "--cert", os.path.join(certs, args.cert_name + ".pem"),
               "--keyfile", os.path.join(certs, args.cert_name + ".key"),
               "--ready-file", ready_file, "--record", record, "--db", db]
        if args.script:
            cmd += ["--script", os.path.abspath(args.script)]
        if args.key_hex:
            cmd += ["--key-hex", args.key_hex]
        cmd += args.service_arg
        with open(log_path, "wb") as log:
            service = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       preexec_fn=child_setup if os.name == "posix" else None)
        if not wait_ready(service, ready_file, log_path):
            return 3

        env = dict(os.environ, HALVANE_TEST_RECORD=record, HALVANE_TEST_CERTS=certs,
                   HALVANE_TEST_PORT=str(args.port))
        if args.script:
            env["HALVANE_TEST_SCRIPT"] = os.path.abspath(args.script)
        try:
            child = subprocess.Popen(command, env=env,
                                     preexec_fn=child_setup if os.name == "posix" else None)
        except OSError as e:
            sys.stderr.write("with_service.py: cannot run %s: %s\n" % (command[0], e))
            return 127
        code = exit_code(child.wait())
        child = None

        if service.poll() is not None:
            report("the service died while the command ran (exit code %d)" % service.returncode,
                   log_path)
            return code or 4
        if code != 0:
            report("the command failed with exit code %d" % code, log_path)
        return code
    except Interrupted as e:
        sys.stderr.write("with_service.py: interrupted by signal %d\n" % e.args[0])
        if child is not None and child.poll() is None:
            child.send_signal(e.args[0])
            try:
                child.wait(STOP_GRACE)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        return 128 + e.args[0]
    except RuntimeError as e:
        sys.stderr.write("with_service.py: %s\n" % e)
        return 3
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if service is not None:
            stop(service)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
