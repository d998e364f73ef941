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

STEPS = ["before OpenHttpSession", "after OpenHttpSession", "before WinHttpConnect", "after WinHttpConnect",
         "before WinHttpOpenRequest", "after WinHttpOpenRequest", "before WinHttpSendRequest",
         "after WinHttpSendRequest", "before WinHttpReceiveResponse", "after WinHttpReceiveResponse"]
EXPECTED = {
    "success": [f"SendPostRequestTo: {s}\\n" for s in STEPS],
    # Nothing listens: the connection attempt happens when the request is sent.
    "refused": [f"SendPostRequestTo: {s}\\n" for s in STEPS[:8]] +
               ["SendPostRequestTo: WinHttpSendRequest FAILED, GetLastError = 12029\\n"],
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", choices=sorted(EXPECTED), required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    env = dict(os.environ, WINEDEBUG="+debugstr")
    run = subprocess.run(command, env=env, capture_output=True, text=True, errors="replace", timeout=300)
    lines = re.findall(r'OutputDebugStringA "(SendPostRequestTo: [^"]*)"', run.stderr)
    sys.stdout.write(run.stdout)
    ok = run.returncode == 0 and lines == EXPECTED[args.expect]
    if not ok:
        print(f"test program exit code {run.returncode}")
        print("trace lines seen:\n  " + "\n  ".join(lines))
        print("trace lines expected:\n  " + "\n  ".join(EXPECTED[args.expect]))
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
