#!/usr/bin/env python3
"""Checks what the built module exposes and carries: exactly the seven exports, only system
DLLs imported (Windows), the machine it was built for, the oldest Windows it runs on (the PE
headers' OS and subsystem versions), that each 32-bit export removes its
own arguments from the stack on return (__stdcall), and no trace of the signing key in the
file."""
import argparse
import re
import struct
import subprocess
import sys

# The exports, and the bytes of arguments each takes on 32-bit Windows: four bytes per pointer
# and int32_t, eight for the broker time.
ARGUMENT_BYTES = {"GetDailyQuiz": 16, "GetDailyQuizV2": 24, "SubmitQuizAnswers": 20, "SubmitQuizAnswersV2": 28,
                  "GetTodayStatus": 16, "GetTodayStatusV2": 24, "MarkTradingDay": 16}
EXPORTS = set(ARGUMENT_BYTES)
MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
ALLOWED_DLLS = re.compile(r"^(kernel32|winhttp|bcrypt|crypt32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.I)


def pe_tables(objdump, path):
    """(export names, imported DLLs, {export name: virtual address}) from the PE headers."""
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    table = re.search(r"^\[(?:Ordinal/Name Pointer|Name Pointer/Ordinal)\] Table\n((?:\t.*\S.*\n)*)", text, re.M)
    named = re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)$", table.group(1) if table else "", re.M)
    base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", text, re.M).group(1), 16)
    rvas = {int(i): int(rva, 16)
            for i, rva in re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", text, re.M)}
    addresses = {name: base + rvas[int(i)] for i, name in named if int(i) in rvas}
    return [name for _, name in named], re.findall(r"^\s*DLL Name: (\S+)", text, re.M), addresses


def first_return(objdump, path, address, limit=64):
    """The first return instruction on the straight path from address (unconditional direct
    jumps followed), e.g. "ret $0x10", or what stopped the search."""
    for _ in range(limit):
        text = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--start-address={address:#x}",
                               f"--stop-address={address + 256:#x}", path],
                              check=True, capture_output=True, text=True).stdout
        lines = re.findall(r"^\s*([0-9a-f]+):\s+(\S.*?)\s*$", text, re.M)
        if not lines:
            return f"no code at {address:#x}"
        for at, instruction in lines:
            if re.match(r"ret[lw]?\b", instruction):
                return instruction
            jump = re.match(r"jmpl?\s+([0-9a-f]+)\b", instruction)
            if jump:
                address = int(jump.group(1), 16)
                break
            if instruction.startswith("jmp"):
                return f"an indirect jump at {at}: {instruction}"
        else:
            address = int(lines[-1][0], 16)  # the window's last instruction may be cut: read on from it
    return "no return within the search limit"


def check_stdcall(objdump, path, addresses):
    """Each export's return pops exactly its arguments."""
    failures = []
    for name, size in ARGUMENT_BYTES.items():
        if name not in addresses:
            continue  # reported with the exports
        found = first_return(objdump, path, addresses[name])
        pops = re.fullmatch(r"ret[lw]?\s+\$(0x[0-9a-f]+)", found)
        print(f"{name}: {found}")
        if pops is None or int(pops.group(1), 16) != size:
            failures.append(f"{name} returns with {found!r}, but must remove its {size} bytes of arguments"
                            f" (ret ${size:#x})")
    return failures


def check_windows_version(text, wanted):
    """The PE headers' OS and subsystem versions are both `wanted` ("6.1")."""
    found = {name: "%s.%s" % re.search(r"^Major%sVersion\s+(\d+)\s+^Minor%sVersion\s+(\d+)" % (field, field),
                                       text, re.M).groups()
             for name, field in (("OS", "OSystem"), ("subsystem", "Subsystem"))}
    print("OS and subsystem versions:", found)
    return [f"the {name} version in the PE headers is {v}, expected {wanted}" for name, v in found.items()
            if v != wanted]


def elf_exports(path):
    text = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in text.splitlines() if line.split()[1:2] and line.split()[1] in "TtDdBbRrWwVvi"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--key", required=True, help="the configured key, 64 hex digits")
    parser.add_argument("--machine", choices=sorted(MACHINES), help="Windows: the machine the DLL must be built for")
    parser.add_argument("--windows-version", default="6.1", help="Windows: the OS and subsystem versions it must state")
    args = parser.parse_args()
    failures = []
    data = open(args.library, "rb").read()

    if args.library.lower().endswith(".dll"):
        exports, imports, addresses = pe_tables(args.objdump, args.library)
        bad = [dll for dll in imports if not ALLOWED_DLLS.match(dll)]
        if bad:
            failures.append(f"imports non-system DLLs: {bad}")
        print("imports:", ", ".join(imports))
        header = struct.unpack_from("<I", data, 0x3C)[0]
        machine = struct.unpack_from("<H", data, header + 4)[0]
        print(f"machine: {machine:#x}")
        if args.machine and machine != MACHINES[args.machine]:
            failures.append(f"built for machine {machine:#x}, expected {args.machine} ({MACHINES[args.machine]:#x})")
        if machine == MACHINES["i686"]:
            failures += check_stdcall(args.objdump, args.library, addresses)
        headers = subprocess.run([args.objdump, "-p", args.library], capture_output=True, text=True).stdout
        failures += check_windows_version(headers, args.windows_version)
    else:
        exports = elf_exports(args.library)
    if set(exports) != EXPORTS or len(exports) != len(EXPORTS):
        failures.append(f"exports {sorted(exports)}, expected exactly {sorted(EXPORTS)}")
    print("exports:", ", ".join(sorted(exports)))

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
