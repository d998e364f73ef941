#!/usr/bin/env python3
"""Runs a Windows test program under Wine with WINEDEBUG=+debugstr and checks the module's
trace lines, as OutputDebugStringA received them, against the expected sequence.

usage: check_trace.py --expect success|refused -- COMMAND ARGS...
"""
import argparse
import os
import re
import subprocess
import sys

import beside

STEPS = ["before OpenHttpSession", "after OpenHttpSession", "before WinHttpConnect", "after WinHttpConnect",
         "before WinHttpOpenRequest", "after WinHttpOpenRequest", "before WinHttpSendRequest",
         "after WinHttpSendRequest", "before WinHttpReceiveResponse", "after WinHttpReceiveResponse"]
KINDS = ["refused", "success"]
# Wine's WinHTTP does not tell the TLS key exchange: the sending step says it was not judged.
EXCHANGE_NOT_READ = ("SendPostRequestTo: the TLS key exchange cannot be read (WINHTTP_OPTION_SECURITY_INFO FAILED, "
                     "GetLastError = 87): not judged\n")


def expected_lines(kind, refused_code=12029, wine=True):
    """The module's trace lines, as written, of an exchange that succeeds or whose connection
    is refused (refused_code: the platform's last-error code for that), under Wine or not."""
    lines = [f"SendPostRequestTo: {s}\n" for s in STEPS]
    if kind == "success":
        return lines[:7] + [EXCHANGE_NOT_READ] + lines[7:] if wine else lines
    # Nothing listens: the connection attempt happens when the request is sent.
    return lines[:8] + [f"SendPostRequestTo: WinHttpSendRequest FAILED, GetLastError = {refused_code}\n"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", choices=KINDS, required=True)
    args, command = beside.parse(parser, sys.argv[1:])
    env = dict(os.environ, WINEDEBUG="+debugstr")
    run = subprocess.run(command, env=env, capture_output=True, text=True, errors="replace", timeout=600)
    # Wine shows each line escaped, its line feed as \n.
    lines = [line.replace("\\n", "\n") for line in
             re.findall(r'OutputDebugStringA "(SendPostRequestTo: [^"]*)"', run.stderr)]
    sys.stdout.write(run.stdout)
    expected = expected_lines(args.expect)
    ok = run.returncode == 0 and lines == expected
    if not ok:
        print(f"test program exit code {run.returncode}")
        print("trace lines seen:\n  " + "\n  ".join(map(repr, lines)))
        print("trace lines expected:\n  " + "\n  ".join(map(repr, expected)))
    return beside.verdict(ok)


if __name__ == "__main__":
    sys.exit(main())
