#!/usr/bin/env python3
"""Checks the terminal include files against the C header, since no terminal compiler runs
here: each file's #import block for halvane.dll declares exactly the header's exports, each
with the header's parameter names, order and types, and every wrapper passes an export the
capacity its result string was initialised to.

usage: check_include_files.py --header include/halvane.h INCLUDE.mqh...
"""
import argparse
import re
import sys

# Terminal parameter types and the C types they are passed as.
TERMINAL_TYPES = {"string": "const HalvaneChar*", "string&": "HalvaneChar*", "long": "int64_t", "int": "int32_t"}


def parameters(text):
    """[(type, name)] of a comma-separated parameter list, spaces in types removed."""
    result = []
    for parameter in filter(None, (p.strip() for p in text.split(","))):
        m = re.fullmatch(r"(.*?[\s*&])(\w+)", parameter)
        result.append((re.sub(r"\s+", "", m.group(1)), m.group(2)) if m else (parameter, ""))
    return result


def header_exports(path):
    text = open(path, encoding="utf-8").read()
    found = re.findall(r"HALVANE_API\s+void\s+HALVANE_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text)
    return {name: [(t.replace("const", "const "), n) for t, n in parameters(params)] for name, params in found}


def check(path, expected):
    problems = []
    text = open(path, encoding="utf-8").read()
    block = re.search(r'#import\s+"halvane\.dll"(.*?)#import\b', text, re.S)
    if block is None:
        return ['no #import "halvane.dll" block']
    declared = {}
    for name, params in re.findall(r"^\s*void\s+(\w+)\s*\(([^)]*)\)\s*;", block.group(1), re.M):
        if name in declared:
            problems.append(f"{name} declared twice")
        declared[name] = [(TERMINAL_TYPES.get(t, f"<{t}>"), n) for t, n in parameters(params)]
    for name in sorted(set(expected) - set(declared)):
        problems.append(f"{name} is not imported")
    for name in sorted(set(declared) - set(expected)):
        problems.append(f"{name} is imported but the module has no such export")
    for name in sorted(set(expected) & set(declared)):
        if declared[name] != expected[name]:
            problems.append(f"{name}: imported as {declared[name]}, the header has {expected[name]}")
    # Every call outside the block: the length passed is the capacity the result got.
    rest = text[block.end():]
    for call in re.finditer(r"\b(%s)\s*\(([^;]*)\)\s*;" % "|".join(map(re.escape, expected)), rest):
        arguments = [a.strip() for a in call.group(2).split(",")]
        result, length = arguments[-2:]
        inits = re.findall(r"StringInit\(\s*%s\s*,\s*([^,]+?)\s*," % re.escape(result), rest[:call.start()])
        if not inits or inits[-1] != length:
            problems.append(f"{call.group(1)} is called with length {length}, but {result} was initialised "
                            f"to {inits[-1] if inits else 'nothing'}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--header", required=True)
    parser.add_argument("include", nargs="+")
    args = parser.parse_args()
    expected = header_exports(args.header)
    failed = 0 if len(expected) == 7 else 1
    if failed:
        print(f"FAIL {args.header}: found {len(expected)} export declarations, expected 7")
    for path in args.include:
        problems = check(path, expected)
        for problem in problems:
            print(f"FAIL {path}: {problem}")
        failed += bool(problems)
    print(f"{len(args.include) + 1 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
