#!/usr/bin/env python3
"""halvane-cli end to end against the reference service (run under with_service.py with the
trader cli-key:777 seeded): every subcommand, the V2 variants, the exit status of each kind
of result, check, usage errors, a library that cannot be loaded, --version, and --trace of a
successful exchange. With --offline, nothing may listen on the service port: --trace and
check of a refused connection, with another debug-output listener (--listener, Windows),
with a proxy setting (POSIX). With --foreign-key, the service signs with another key.

usage: test_cli.py --platform windows|posix --version V [--missing-library PATH]
                   [--offline | --foreign-key] [--listener PROGRAM] [--preload LIBRARY] -- CLI-COMMAND...

--preload names a library that lets the POSIX module see a syslog socket, so that its trace
lines are written (and captured) on a machine without one.
"""
import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import beside  # noqa: E402
import check_trace  # noqa: E402

# The last-error code and its name for a refused connection, per platform.
REFUSED = {"windows": (12029, "ERROR_WINHTTP_CANNOT_CONNECT"), "posix": (7, "CURLE_COULDNT_CONNECT")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=sorted(REFUSED), required=True)
    parser.add_argument("--version", required=True, help="the version both the CLI and the module carry")
    parser.add_argument("--missing-library", default="/nonexistent/libhalvane.so")
    parser.add_argument("--offline", action="store_true")
    parser.add_argument("--foreign-key", action="store_true")
    parser.add_argument("--listener")
    parser.add_argument("--preload")
    args, cli = beside.parse(parser, sys.argv[1:])
    results = []  # one per case: whether it passed
    env = dict(os.environ)
    if args.preload:
        env["LD_PRELOAD"] = args.preload
    # Where the module's trace lines cannot be captured, --trace must say so instead.
    captured = args.platform == "windows" or bool(args.preload) or os.access("/dev/log", os.W_OK)

    def tally(ok, failure):
        results.append(ok)
        if not ok:
            print("FAIL " + failure)

    def summary():
        print(f"{results.count(True)} passed, {results.count(False)} failed")
        return 0 if all(results) else 1

    def check(what, arguments, code, pattern, stderr_pattern=None, trace=None, extra_env=None):
        """trace: patterns for the stderr lines after the CLI's "calling" line, one each."""
        done = subprocess.run(cli + arguments, capture_output=True, timeout=120, env=dict(env, **(extra_env or {})))
        rc, out = done.returncode, done.stdout.decode("utf-8", "replace").rstrip("\n")
        err = done.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        ok = rc == code and re.fullmatch(pattern, out, re.S) is not None
        ok = ok and (stderr_pattern is None or re.search(stderr_pattern, err) is not None)
        if trace is not None:
            shown = err.split("\n")
            shown = shown[next((i + 1 for i, line in enumerate(shown) if line.startswith("halvane-cli: calling ")),
                               len(shown)):]
            shown = shown[:-1] if shown[-1:] == [""] else shown
            ok = ok and len(shown) == len(trace) and all(re.fullmatch(p, line) for p, line in zip(trace, shown))
        tally(ok, f"{what}: exit {rc} (want {code}), stdout {out[:200]!r}, stderr {err[:1500]!r}")
        return out

    def traced(kind):
        """What --trace must show of an exchange, with the explanation after a FAILED line."""
        if not captured:
            return []
        code, name = REFUSED[args.platform]
        expected = check_trace.expected_lines(kind, code, wine=args.platform == "windows")
        lines = [re.escape(line.rstrip("\n")) for line in expected]
        if check_trace.EXCHANGE_NOT_READ in expected:  # and the code's explanation after it
            lines.insert(expected.index(check_trace.EXCHANGE_NOT_READ) + 1, r"    87 is \S+: \S.*")
        return lines + ([rf"    {code} is {name}: \S.*"] if kind == "refused" else [])

    not_captured = None if captured else r"trace is not captured: .*syslog.*/dev/log"
    me = ["--key", "cli-key", "--account", "777"]
    version = re.escape(args.version)
    if args.offline:
        code, name = REFUSED[args.platform]
        check("check of a refused connection", ["check"], 6,
              rf"check: does not work: reaching .*, \S+ failed with {code}, {name}: .*" if captured
              else r"check: does not work: no usable answer, and its trace could not be captured .*",
              r"halvane-cli: clock: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC")
        check("--trace of a refused connection", ["--trace", "status", *me], 6, "ERROR",
              not_captured or r"halvane-cli: proxy: direct", trace=traced("refused"))
        check("--trace with a library that cannot be loaded",
              ["--trace", "--library", args.missing_library, "status", *me], 3, "", r"cannot|No such")
        check("--version with a library that cannot be loaded", ["--version", "--library", args.missing_library], 3,
              rf"halvane-cli {version}", r"cannot|No such")
        if args.platform == "posix":
            check("--trace names the proxy from the environment", ["--trace", "mark", *me], 6, "",
                  r"proxy: proxy http://127\.0\.0\.1:9 \(https_proxy\), bypass list example\.invalid",
                  extra_env={"https_proxy": "http://127.0.0.1:9", "no_proxy": "example.invalid"})
        if args.listener:
            # Another debug-output viewer holds the buffer: the export still runs, and its
            # lines go to that viewer.
            viewer = beside.popen(cli[:-1] + [args.listener], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            try:
                if viewer.stdout.readline().strip() != b"listening":
                    raise RuntimeError("the other debug-output listener did not start")
                check("--trace while another program reads the debug output", ["--trace", "status", *me], 6,
                      "ERROR", r"trace could not be captured: another program", trace=[])
                seen = viewer.communicate(timeout=60)[0].decode("utf-8", "replace").replace("\r\n", "\n")
            finally:
                beside.stop(viewer, grace=0)
            tally("".join(check_trace.expected_lines("refused")) in seen,
                  f"the other listener did not receive the module's trace lines: {seen[:600]!r}")
        return summary()

    if args.foreign_key:
        check("a reply signed with another key", ["status", *me], 5, "SIGNATURE_INVALID")
        check("check: the refusal of the empty key is not signed", ["check"], 0, r"check: works: .*key is empty.*")
        return summary()

    # One trader's day, in order.
    check("status before the quiz", ["status", *me], 0, "not_completed")
    quiz = check("quiz", ["quiz", *me], 0, r'\{"status":"success".*')
    check("quiz V2", ["quiz", *me, "--broker-time", "-9223372036854775808"], 0, r'\{"status":"success".*')
    numbers = [q["number"] for q in json.loads(quiz)["quiz"]] if quiz.startswith("{") else [1]
    answers = "&".join(f"{n}=b" for n in numbers)
    check("submit V2", ["submit", *me, "--answers", answers, "--broker-time", "1700000000"], 0,
          r"success\|(ready|caution|not_ready)\|(100|50|0)")
    check("submit again is refused with the service's message", ["submit", *me, "--answers", answers], 4,
          r"(?!success|ERROR).+")
    check("status after", ["status", *me], 0, r"completed\|[a-z_]+\|[0-9]+\|false")
    check("status V2", ["status", *me, "--broker-time", "0"], 0, r"completed\|[a-z_]+\|[0-9]+\|false")
    check("mark", ["mark", *me], 0, "success")
    check("mark again", ["mark", *me], 4, "already_marked")
    check("--trace of a successful exchange", ["--trace", "status", *me], 0, r"completed\|[a-z_]+\|[0-9]+\|false",
          not_captured or r"halvane-cli: proxy: direct", trace=traced("success"))
    # Results the module chooses.
    check("unknown trader: the refusal message", ["quiz", "--key", "cl\u00e9", "--account", "1"], 4, r".*unknown.*")
    check("buffer too small for the quiz", ["--buffer", "16", "quiz", *me], 6, "ERROR")
    check("buffer of 5 units", ["--buffer", "5", "status", *me], 6, "")
    check("buffer of 0 units", ["--buffer", "0", "mark", *me], 6, "")
    check("oversized key", ["status", "--key", "k" * 300, "--account", "1"], 6, "ERROR")
    check("check: the service answered the empty key", ["check"], 0, r"check: works: .*key is empty.*",
          r"halvane-cli: calling GetTodayStatus\n")
    check("check takes no key", ["check", "--key", "k"], 2, "", r"check takes no --key")
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
    resource = (rf".*\n  FileVersion: {version}\n.*  ProductVersion: {version}\n.*"
                rf"  Comments: Built for the service at localhost:{os.environ.get('HALVANE_TEST_PORT', '')}"
                r"(\n  SpecialBuild: Development key: .*)?"
                if args.platform == "windows" else r"\n  a shared object: no version resource")
    check("--version", ["--version"], 0, rf"halvane-cli {version}\nmodule: \S*halvane\.(dll|so){resource}")
    check("--version takes no command", ["--version", "status", *me], 2, "", r"--version takes only --library")
    check("missing library", ["--library", args.missing_library, "status", *me], 3, "", r"cannot|No such")
    return summary()


if __name__ == "__main__":
    sys.exit(main())
