#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ (run after changing an input layout).

Each seed is a realistic reply or argument in the layout the target's header comment
describes. "{{hmac:PAYLOAD}}" in an export seed becomes a genuine signature at run time.
"""

import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
# The replies the end-to-end cases script, by case name: the seeds below that are one of them.
with open(os.path.join(HERE, "..", "tests", "data", "e2e_cases.json"), encoding="utf-8") as _f:
    E2E_REPLIES = {case["name"]: case["reply"].get("body") for case in json.load(_f) if "reply" in case}

SIGNED_QUIZ = ('{"status":"success","timestamp":1700000000,"signature":"{{hmac:success|1700000000}}",'
               '"quiz":[{"number":1,"question":"Stop set?","options":[{"letter":"a","text":"Yes"},'
               '{"letter":"b","text":"No"}]},{"number":2,"question":"Risk per trade?","options":'
               '[{"letter":"a","text":"1%"},{"letter":"b","text":"10%"}]}]}')
SIGNED_ANSWERS = E2E_REPLIES["signed-answers"]
STATUS_DONE = E2E_REPLIES["signed-status"]
STATUS_OPEN = ('{"status":"success","quiz_completed_today":false,"timestamp":1700000000,'
               '"signature":"{{hmac:no_quiz|1700000000}}"}')
STATUS_OPEN_QUOTED = ('{"status": "success", "quiz_completed_today": "false", "timestamp": "1700000000", '
                      '"signature": "{{hmac:no_quiz|1700000000}}"}')
REFUSAL = '{"status":"error","message":"unknown key"}'
REFUSAL_UNICODE = '{"status":"error","message":"Ключ не найден ✓ 🔑"}'
REFUSAL_BARE = '{"status":error,"message":no_quiz_today}'
NESTED = '{"data":{"status":"success","message":"inner"},"status":"error","message":"outer"}'
FORGED = '{"status":"success","timestamp":1700000001,"signature":"{{hmac:success|1700000000}}"}'
MARKED = E2E_REPLIES["mark"]
ALREADY = '{"status":"already_marked","message":"marked earlier today"}'
WITH_NUL = '{"status":"success\0","timestamp":1700000000,"signature":"{{hmac:success|1700000000}}","quiz":["a\0b"]}'
# Stretches of bytes that are not UTF-8 between U+FFFD that the bytes spell: a message whose
# conversion can be matched in many ways.
REFUSAL_REPLACEMENTS = (b'{"status":"error","message":"' + (b"\xff" * 32 + "\ufffd".encode("utf-8")) * 8 + b'"}')
UNCLOSED = '{"status":"success","timestamp":1700000000,"signature":"'
TOKENS = ["NETWORK_ERROR", "SERVER_ERROR", "HTTP_500", "READ_ERROR", "EMPTY_RESPONSE"]


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


def export_seed(reply, flags=0, length=4096, status_seed=0, step_seed=0, key="K", account="12345",
                answers="", broker_time=1700000000):
    key16, account16, answers16 = utf16(key), utf16(account), utf16(answers)
    header = struct.pack("<BHBBBBHq", flags, length, status_seed, step_seed, len(key16) // 2,
                         len(account16) // 2, len(answers16) // 2, broker_time)
    if isinstance(reply, str):
        reply = reply.encode("utf-8")
    return header + key16 + account16 + answers16 + reply


def tiny(length):
    """The result length field for a tiny buffer (-2 to 13 units)."""
    return 0x8000 | (length + 2)


def export_corpora():
    common = {
        "refusal": export_seed(REFUSAL),
        "refusal-unicode": export_seed(REFUSAL_UNICODE, flags=1),
        "refusal-bare": export_seed(REFUSAL_BARE),
        "nested": export_seed(NESTED, flags=0b110),
        "forged": export_seed(FORGED),
        "nul-bytes": export_seed(WITH_NUL),
        "unclosed": export_seed(UNCLOSED),
        "refusal-replacements": export_seed(REFUSAL_REPLACEMENTS),
        "http-503": export_seed(REFUSAL, flags=0b1000, status_seed=129),
        "connect-fails": export_seed(REFUSAL, flags=0b10000, step_seed=1),
        "receive-fails": export_seed(REFUSAL, flags=0b10000, step_seed=4),
        "read-fails": export_seed(REFUSAL, flags=0b100010, step_seed=1),
        "partial-body": export_seed(REFUSAL, flags=0b1000010, step_seed=8),
        "empty-body": export_seed(""),
        "null-buffer": export_seed(REFUSAL, flags=0x80),
        "tiny-buffer": export_seed(REFUSAL, length=tiny(5)),
        "zero-buffer": export_seed(REFUSAL, length=tiny(0)),
        "long-key": export_seed(REFUSAL, key="ab" + "Ж" * 127),
        "wide-account": export_seed(REFUSAL, account="Ж" * 126 + "\ud800"),
        "null-arguments": export_seed(REFUSAL, key="", account=""),
    }
    for i, token in enumerate(TOKENS):
        common["token-%d" % i] = export_seed(token)
    own = {
        "fuzz_daily_quiz": {
            "signed": export_seed(SIGNED_QUIZ),
            "signed-v2-chunks": export_seed(SIGNED_QUIZ, flags=0b111, broker_time=-5),
            "signed-tiny": export_seed(SIGNED_QUIZ, length=tiny(13)),
            "nul-in-quiz": export_seed(SIGNED_QUIZ[:-2] + ',"note":"a\0b"}'),
            "signed-exact": export_seed('{"status":"success","timestamp":1,"signature":"{{hmac:success|1}}"}', length=87),
        },
        "fuzz_quiz_answers": {
            "signed": export_seed(SIGNED_ANSWERS, answers="1=a&2=c&3=b"),
            "signed-v2": export_seed(SIGNED_ANSWERS, flags=1, answers="1=a&2=c&3=b", broker_time=-1),
            "long-answers": export_seed(SIGNED_ANSWERS, answers="1=a&" * 512),
            "bar-in-readiness": export_seed('{"status":"success","readiness_final":"a|b","allowed_volume_percent":1,'
                                            '"timestamp":7,"signature":"{{hmac:success|a|b|1|7}}"}',
                                            answers="1=a"),
        },
        "fuzz_today_status": {
            "completed": export_seed(STATUS_DONE),
            "completed-v2": export_seed(STATUS_DONE, flags=0b011),
            "open": export_seed(STATUS_OPEN),
            "open-quoted": export_seed(STATUS_OPEN_QUOTED, flags=1),
            "completed-tiny": export_seed(STATUS_DONE, length=tiny(10)),
        },
        "fuzz_trading_day": {
            "marked": export_seed(MARKED),
            "already": export_seed(ALREADY),
            "bare": export_seed('{"status":success}'),
            "tiny": export_seed(MARKED, length=tiny(7)),
        },
    }
    for target, seeds in own.items():
        for name, data in {**common, **seeds}.items():
            write(target, name, data)


def reader_corpus():
    names = ["status", "message", "timestamp", "signature", "readiness_final", "allowed_volume_percent",
             "daily_drawdown_hit", "quiz_completed_today", "quiz"]
    replies = {"quiz": SIGNED_QUIZ, "answers": SIGNED_ANSWERS, "done": STATUS_DONE, "open": STATUS_OPEN_QUOTED,
               "refusal": REFUSAL_UNICODE, "bare": REFUSAL_BARE, "nested": NESTED, "nul": WITH_NUL,
               "unclosed": UNCLOSED}
    for key, reply in replies.items():
        for i, name in enumerate(names):
            if ('"%s":' % name) in reply:
                write("fuzz_reply_reader", "%s-%s" % (key, name), bytes([0x80 + i]) + reply.encode("utf-8"))
    write("fuzz_reply_reader", "own-name", bytes([4]) + b"note" + b'{"note":  "spaced" , "x":1}')
    write("fuzz_reply_reader", "nul-name", bytes([3]) + b"a\0b" + b'{"a\0b":1}')
    write("fuzz_reply_reader", "tab", bytes([0x80]) + b'{"status":\t"success"}')


def envelope_corpus():
    def fields(*pairs):
        out = bytes([len(pairs)])
        for index, value in pairs:
            value = value.encode("utf-8")
            out += bytes([index, len(value)]) + value
        return out
    nonce = "000102030405060708090a0b0c0d0e0f"
    write("fuzz_envelope", "request", fields((0, "K"), (1, "12345"), (3, nonce), (4, "1700000000")))
    write("fuzz_envelope", "answers", fields((0, "key with space"), (1, "12345"), (2, "1=a&2=c&3=b"),
                                             (3, nonce), (4, "1700000000"), (5, "-9223372036854775808")))
    write("fuzz_envelope", "unicode", fields((0, "Ключ ✓"), (1, "🔑"), (6, "~-._"), (7, "")))
    write("fuzz_envelope", "body-text", "key=K&account=12345&nonce=%s&timestamp=1700000000" % nonce)
    write("fuzz_envelope", "bytes", bytes(range(256)))


def text_corpus():
    wide = {"ascii": "K", "cyrillic": "Ключ", "pair": "a🔑b", "lone-high": "a\ud800b", "lone-low": "\udc00",
            "high-at-end": "ab\udbff", "reversed-pair": "\udc00\ud800", "zero-inside": "ab\0cd"}
    for name, text in wide.items():
        write("fuzz_text", "w-" + name, bytes([0, 3]) + utf16(text))
    narrow = {"ascii": b"K", "cyrillic": "Ключ ✓ 🔑".encode(), "overlong": b"\xc0\x80a\xe0\x80\x80",
              "surrogate": b"\xed\xa0\x80\xed\xbf\xbf", "too-high": b"\xf4\x90\x80\x80\xf5",
              "truncated": b"a\xe2\x82", "lone-continuation": b"\x80\xbf", "zero-inside": b"ab\0\xff",
              "max": b"\xf4\x8f\xbf\xbf\xef\xbf\xbf"}
    for name, data in narrow.items():
        write("fuzz_text", "n-" + name, bytes([1, 2]) + data)


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    export_corpora()
    reader_corpus()
    envelope_corpus()
    text_corpus()


if __name__ == "__main__":
    main()
