#!/usr/bin/env python3
"""Checks the terminal files as far as can be done without a terminal compiler: each include
file's #import block for halvane.dll declares exactly the header's exports, with the header's
parameter names, order and types; every wrapper passes an export the capacity its result
string was initialised to; the MQL4 and MQL5 include files are the same below their header;
every #include of a program resolves in the installed layout (the include file goes into the
terminal's Include folder, programs into Scripts or Experts); every function a program calls
is defined, imported or a built-in of its language; and each self-test script's table holds
exactly the case records' result texts with the reading the records give ("terminal").

usage: check_include_files.py --header include/halvane.h --cases tests/data/e2e_cases.json DIR...
       (DIR: examples/mql5, examples/mql4)
"""
import argparse
import json
import os
import re
import sys

# Terminal parameter types and the C types they are passed as.
TERMINAL_TYPES = {"string": "const HalvaneChar*", "string&": "HalvaneChar*", "long": "int64_t", "int": "int32_t"}
# The terminal's own functions the programs may call, per language (its documented reference);
# an MQL5-only function in an MQL4 program is an error.
BUILTINS_COMMON = set("""AccountInfoInteger ArrayResize ArraySize Comment DoubleToString EventKillTimer EventSetTimer
    IntegerToString MQLInfoInteger MathFloor MathMax NormalizeDouble OrdersTotal Print PrintFormat ShortToString
    StringFind StringFormat StringGetCharacter StringInit StringLen StringReplace StringSplit StringSubstr
    StringToDouble StringToLower SymbolInfoDouble TerminalInfoInteger TimeCurrent TimeGMT TimeToString
    TimeToStruct""".split())
BUILTINS = {
    "mql5": BUILTINS_COMMON | set("""OrderGetInteger OrderGetTicket PositionGetDouble PositionGetInteger
        PositionGetString PositionGetTicket PositionSelectByTicket PositionsTotal TimeTradeServer""".split()),
    "mql4": BUILTINS_COMMON | set("""AccountNumber OrderClose OrderClosePrice OrderCloseTime OrderDelete OrderLots
        OrderOpenTime OrderSelect OrderSymbol OrderTicket OrderType RefreshRates""".split()),
}
# The terminal's standard library files the programs include (MQL5\Include\...).
STANDARD_INCLUDES = {"mql5": {"Trade\\Trade.mqh"}, "mql4": set()}
KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof"}
KINDS = {"GetDailyQuiz": "quiz", "SubmitQuizAnswers": "answers", "GetTodayStatus": "status", "MarkTradingDay": "mark"}
LITERAL = r'"((?:[^"\\\n]|\\.)*)"'


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


def code_only(text):
    """The text with comments removed and string and character literals emptied."""
    text = re.sub(LITERAL, '""', text)
    text = re.sub(r"'(?:[^'\\\n]|\\.)*'", "''", text)
    return re.sub(r"//[^\n]*", "", text)


def unquote(literal):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), literal)


def check_include(text, expected):
    problems = []
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


def check_program(language, text, includes, exports):
    """A script or expert: its includes resolve where it is installed, its calls exist."""
    problems = []
    code = text
    for quoted, name in re.findall(r'^\s*#include\s+(?:"([^"]+)"|<([^>]+)>)', text, re.M):
        if quoted:
            problems.append(f'#include "{quoted}" looks beside the program only, where the package puts no '
                            f"include file: write #include <{quoted}>")
        elif name in includes:
            code += includes[name]
        elif name not in STANDARD_INCLUDES[language]:
            problems.append(f"#include <{name}>: neither in the package's include files nor the terminal's")
    code = code_only(code)
    defined = set(re.findall(r"^[A-Za-z_][\w\s&]*?\s(\w+)\s*\([^;{]*\)\s*\{", code, re.M))
    called = set(re.findall(r"(?<![.\w])([A-Za-z_]\w*)\s*\(", code)) - KEYWORDS
    for name in sorted(called - defined - set(exports) - BUILTINS[language]):
        problems.append(f"calls {name}, which is neither defined, imported nor a {language.upper()} function")
    return problems


def check_table(text, cases):
    """The self-test's rows against the case records that give a terminal reading."""
    problems = []
    rows = [tuple(unquote(v) for v in row)
            for row in re.findall(r"\bRow\(\s*%s\s*,\s*%s\s*,\s*%s\s*\)\s*;" % (LITERAL, LITERAL, LITERAL), text)]
    records = []
    for case in cases:
        if "terminal" not in case:
            continue
        kind = KINDS[case["call"]["export"].removesuffix("V2")]
        if "result" in case:
            matches = lambda t, r=case["result"]: t == r  # noqa: E731
        else:
            matches = lambda t, r=case["result_like"]: re.fullmatch(r, t) is not None  # noqa: E731
        records.append((case["name"], kind, matches, case["terminal"]))
    for name, kind, matches, reading in records:
        found = [r for r in rows if r[0] == kind and matches(r[1])]
        if not found:
            problems.append(f"no row for the case record {name} ({kind}, reading {reading!r})")
        for _, row_text, row_reading in found:
            if row_reading != reading:
                problems.append(f"the row for {row_text!r} expects {row_reading!r}, the case record {name} "
                                f"{reading!r}")
    for kind, row_text, _ in rows:
        if not any(k == kind and matches(row_text) for _, k, matches, _ in records):
            problems.append(f"the row {kind} {row_text!r} matches no case record")
    if not rows:
        problems.append("no Row(...) table")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--header", required=True)
    parser.add_argument("--cases", required=True)
    parser.add_argument("folder", nargs="+")
    args = parser.parse_args()
    expected = header_exports(args.header)
    cases = json.load(open(args.cases, encoding="utf-8"))
    results = {}  # what was checked: its problems
    results[args.header] = [] if len(expected) == 7 else [f"found {len(expected)} export declarations, expected 7"]
    shared = {}
    for folder in args.folder:
        language = os.path.basename(os.path.normpath(folder)).lower()
        files = sorted(os.listdir(folder))
        includes = {f: open(os.path.join(folder, f), encoding="utf-8").read() for f in files if f.endswith(".mqh")}
        for name, text in includes.items():
            results[os.path.join(folder, name)] = check_include(text, expected)
            shared.setdefault(name, []).append(text[text.find("#property strict"):])
        for name in files:
            if name.endswith(".mqh"):
                continue
            path = os.path.join(folder, name)
            text = open(path, encoding="utf-8").read()
            results[path] = check_program(language, text, includes, expected)
            if "SelfTest" in name:
                results[path] += check_table(text, cases)
    for name, texts in shared.items():
        results[f"{name} (MQL4 and MQL5)"] = [] if len(set(texts)) == 1 else ["the two differ below their header"]
    for what, problems in results.items():
        for problem in problems:
            print(f"FAIL {what}: {problem}")
    failed = sum(bool(p) for p in results.values())
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
