#!/usr/bin/env python3
"""halvane-cli end to end against the reference service (run under with_service.py with the
trader cli-key:777 seeded): every subcommand, the V2 variants, usage errors and a library
that cannot be loaded.

usage: test_cli.py [--missing-library PATH] -- CLI-COMMAND...
"""
import argparse
import json
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--missing-library", default="/nonexistent/libhalvane.so")
    parser.add_argument("cli", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    cli = args.cli[1:] if args.cli[:1] == ["--"] else args.cli
    passed = failed = 0

    def run(*arguments):
        done = subprocess.run(cli + list(arguments), capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode("utf-8", "replace").rstrip("\n"), done.stderr.decode("utf-8", "replace")

    def check(what, arguments, code, pattern, stderr_pattern=None):
        nonlocal passed, failed
        rc, out, err = run(*arguments)
        ok = rc == code and re.fullmatch(pattern, out, re.S) is not None
        ok = ok and (stderr_pattern is None or re.search(stderr_pattern, err) is not None)
        if ok:
            passed += 1
        else:
            failed += 1
            print(f"FAIL {what}: exit {rc} (want {code}), stdout {out[:200]!r}, stderr {err[:300]!r}")
        return out

    me = ["--key", "cli-key", "--account", "777"]
    # One trader's day, in order.
    check("status before the quiz", ["status", *me], 0, "not_completed")
    quiz = check("quiz", ["quiz", *me], 0, r'\{"status":"success".*')
    check("quiz V2", ["quiz", *me, "--broker-time", "-9223372036854775808"], 0, r'\{"status":"success".*')
    numbers = [q["number"] for q in json.loads(quiz)["quiz"]] if quiz.startswith("{") else [1]
    answers = "&".join(f"{n}=b" for n in numbers)
    check("submit V2", ["submit", *me, "--answers", answers, "--broker-time", "1700000000"], 0,
          r"success\|(ready|caution|not_ready)\|(100|50|0)")
    check("submit again is refused with the service's message", ["submit", *me, "--answers", answers], 0,
          r"(?!success|ERROR).+")
    check("status after", ["status", *me], 0, r"completed\|[a-z_]+\|[0-9]+\|false")
    check("status V2", ["status", *me, "--broker-time", "0"], 0, r"completed\|[a-z_]+\|[0-9]+\|false")
    check("mark", ["mark", *me], 0, "success")
    check("mark again", ["mark", *me], 0, "already_marked")
    # Results the module chooses.
    check("unknown trader: the refusal message", ["quiz", "--key", "cl\u00e9", "--account", "1"], 0, r".*unknown.*")
    check("buffer too small for the quiz", ["--buffer", "16", "quiz", *me], 0, "ERROR")
    check("buffer of 5 units", ["--buffer", "5", "status", *me], 0, "")
    check("buffer of 0 units", ["--buffer", "0", "mark", *me], 0, "")
    check("oversized key", ["status", "--key", "k" * 300, "--account", "1"], 0, "ERROR")
    # Usage errors and loading failures.
    check("no command", [], 2, "", r"usage:")
    check("unknown command", ["dance", *me], 2, "", r"unknown command")
    check("missing --account", ["status", "--key", "k"], 2, "", r"--account is required")
    check("submit without answers", ["submit", *me], 2, "", r"--answers")
    check("mark has no V2", ["mark", *me, "--broker-time", "1"], 2, "", r"no broker time")
    check("bad broker time", ["status", *me, "--broker-time", "soon"], 2, "", r"64-bit")
    check("broker time out of range", ["status", *me, "--broker-time", "9223372036854775808"], 2, "", r"64-bit")
    check("bad buffer", ["--buffer", "-1", "status", *me], 2, "", r"--buffer")
    check("unknown option", ["status", *me, "--verbose"], 2, "", r"unknown option")
    check("help", ["--help"], 0, r"usage:.*")
    check("missing library", ["--library", args.missing_library, "status", *me], 3, "", r"cannot|No such")

    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
