#!/usr/bin/env python3
"""Run a command while the Halvane test service is up.

  with_service.py --certs DIR [--cert-name localhost] --port N
                  [--script cases.json] [--db PATH] [--seed-trader KEY:ACCOUNT ...]
                  [--record PATH] [--key-hex HEX] [--service-arg ARG ...]
                  -- COMMAND ARGS...

Creates the test certificates in DIR when they are missing, starts the service
on 127.0.0.1:N with DIR/<cert-name>.pem (scripted mode with --script, real
mode otherwise, seeding the given traders), waits until it listens, runs
COMMAND with HALVANE_TEST_RECORD, HALVANE_TEST_CERTS and HALVANE_TEST_PORT set
(and HALVANE_TEST_SCRIPT, the cases file, with --script), stops the service and exits with COMMAND's exit code.

Exit codes of its own: 2 bad usage, 3 the service did not start, 4 COMMAND
passed but the service died while it ran.
"""

import argparse
import os
import subprocess
import sys
import tempfile

import beside

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVICE = os.path.join(REPO, "service", "halvane_service.py")
MAKE_CERTS = os.path.join(REPO, "service", "make_test_certs.sh")


def parse_args(argv):
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
    args, command = beside.parse(parser, argv)
    args.seed_trader = [seed.rpartition(":") for seed in args.seed_trader]
    for key, sep, account in args.seed_trader:
        if not sep or not key or not account:
            parser.error("--seed-trader wants KEY:ACCOUNT, got %r" % (key + sep + account))
    if args.script and args.seed_trader:
        parser.error("--seed-trader has no effect with --script")
    return args, command


def serve_command(certs, cert_name, port, ready_file, *options):
    """The service's serve command on 127.0.0.1:port (0: a free one) with certs/<cert_name>.pem and .key."""
    return [sys.executable, SERVICE, "serve", "--host", "127.0.0.1", "--port", str(port),
            "--cert", os.path.join(certs, cert_name + ".pem"), "--keyfile", os.path.join(certs, cert_name + ".key"),
            "--ready-file", ready_file, *options]


def prepare(what, argv):
    """Runs one step before the service starts; RuntimeError when it fails."""
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed with exit code %d: %s" % (what, result.returncode, result.stderr.strip()))


def report(message, log_path):
    sys.stderr.write("with_service.py: %s\n" % message)
    text = beside.read_text(log_path)
    if text:
        sys.stderr.write("---- service stderr ----\n%s---- end of service stderr ----\n" % text)
    sys.stderr.flush()


def main(argv):
    args, command = parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="halvane-e2e-", ignore_cleanup_errors=True) as work:
        log_path = os.path.join(work, "service.log")
        try:
            with beside.interruptible():
                return serve(args, command, work, log_path)
        except beside.NotReady as e:
            report("the service %s" % e, log_path)
            return 3
        except beside.Interrupted as e:
            sys.stderr.write("with_service.py: interrupted by signal %d\n" % e.args[0])
            return 128 + e.args[0]
        except RuntimeError as e:
            sys.stderr.write("with_service.py: %s\n" % e)
            return 3


def serve(args, command, work, log_path):
    """Starts the service, runs COMMAND beside it and gives COMMAND's exit code."""
    certs = os.path.abspath(args.certs)
    prepare("make_test_certs.sh", ["bash", MAKE_CERTS, certs])
    db = os.path.abspath(args.db) if args.db else os.path.join(work, "state.sqlite3")
    record = os.path.abspath(args.record) if args.record else os.path.join(work, "record.jsonl")
    open(record, "w").close()  # each run records only its own requests
    for key, _, account in args.seed_trader:
        prepare("seeding trader " + account, [sys.executable, SERVICE, "add-trader", "--db", db, "--key", key,
                                              "--account", account])
    ready_file = os.path.join(work, "ready")
    cmd = serve_command(certs, args.cert_name, args.port, ready_file, "--record", record, "--db", db)
    env = dict(os.environ, HALVANE_TEST_RECORD=record, HALVANE_TEST_CERTS=certs, HALVANE_TEST_PORT=str(args.port))
    if args.script:
        cmd += ["--script", os.path.abspath(args.script)]
        env["HALVANE_TEST_SCRIPT"] = os.path.abspath(args.script)
    if args.key_hex:
        cmd += ["--key-hex", args.key_hex]
    with beside.Process(cmd + args.service_arg, log_path, ready=beside.file_exists(ready_file)) as service:
        try:
            code, _ = beside.run(command, env)
        except OSError as e:
            sys.stderr.write("with_service.py: cannot run %s: %s\n" % (command[0], e))
            return 127
        if not service.alive():
            report("the service died while the command ran (exit code %d)" % service.proc.returncode, log_path)
            return code or 4
        if code != 0:
            report("the command failed with exit code %d" % code, log_path)
        return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
