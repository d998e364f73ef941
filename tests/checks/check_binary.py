#!/usr/bin/env python3
"""Checks what the built module exposes and carries: exactly the seven exports, only system
DLLs imported (Windows), and no trace of the signing key in the file."""
import argparse
import re
import subprocess
import sys

EXPORTS = {"GetDailyQuiz", "GetDailyQuizV2", "SubmitQuizAnswers", "SubmitQuizAnswersV2",
           "GetTodayStatus", "GetTodayStatusV2", "MarkTradingDay"}
ALLOWED_DLLS = re.compile(r"^(kernel32|winhttp|bcrypt|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.I)


def pe_tables(objdump, path):
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    imports = re.findall(r"^\s*DLL Name: (\S+)", text, re.M)
    exports = []
    in_names = False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line or "[Name Pointer/Ordinal] Table" in line:
            in_names = True
            continue
        if in_names:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)$", line)
            if m:
                exports.append(m.group(1))
            elif line.strip() == "" or not line.startswith("\t"):
                in_names = bool(exports) and False
    return exports, imports


def elf_exports(path):
    text = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in text.splitlines() if line.split()[1:2] and line.split()[1] in "TtDdBbRrWwVvi"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--key", required=True, help="the configured key, 64 hex digits")
    args = parser.parse_args()
    failures = []

    if args.library.lower().endswith(".dll"):
        exports, imports = pe_tables(args.objdump, args.library)
        bad = [dll for dll in imports if not ALLOWED_DLLS.match(dll)]
        if bad:
            failures.append(f"imports non-system DLLs: {bad}")
        print("imports:", ", ".join(imports))
    else:
        exports = elf_exports(args.library)
    if set(exports) != EXPORTS or len(exports) != len(EXPORTS):
        failures.append(f"exports {sorted(exports)}, expected exactly {sorted(EXPORTS)}")
    print("exports:", ", ".join(sorted(exports)))

    data = open(args.library, "rb").read()
    key = bytes.fromhex(args.key)
    for name, needle in (("key bytes", key), ("key as hex", args.key.lower().encode()),
                         ("key as upper-case hex", args.key.upper().encode()),
                         ("key as UTF-16 hex", args.key.lower().encode("utf-16-le"))):
        if needle in data:
            failures.append(f"the signing key appears in the file ({name})")
    # No 8-byte run of the key either: a folded constant would show up in pieces.
    for i in range(0, 25):
        if key[i:i + 8] in data:
            failures.append(f"an 8-byte run of the key (offset {i}) appears in the file")
            break

    for failure in failures:
        print("FAIL:", failure)
    print("1 passed, 0 failed" if not failures else "0 passed, 1 failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
