#!/usr/bin/env python3
"""Halvane trading-discipline service (HTTPS, standard library only).

Usage:
  halvane_service.py [serve] --cert PEM [--keyfile PEM] [options]
  halvane_service.py add-trader --db D --key K --account A [--name N]
  halvane_service.py set-drawdown --db D --key K --account A --hit true|false

The service answers POST requests whose body is form-encoded
(application/x-www-form-urlencoded) on four paths:

  /get_daily_quiz.php      key, account, nonce, timestamp [, broker_time]
  /submit_quiz_answers.php key, account, answers, nonce, timestamp [, broker_time]
  /get_today_status.php    key, account, nonce, timestamp [, broker_time]
  /mark_trading_day.php    key, account, nonce, timestamp [, broker_time]

nonce is 32 lower-case hex digits and may be used once per trader key;
timestamp is the client's unix time in decimal seconds; broker_time is a
signed 64-bit decimal.

Answers format: the "answers" field holds "&"-separated pairs
NUMBER=LETTER, one for every question of today's quiz and nothing else,
e.g. "1=a&2=c&3=b". NUMBER is the question's "number" from the daily quiz
(1..n), LETTER is one of that question's option letters (lower case). The
value is percent-encoded inside the request body like any other field.
Scoring: all correct -> "ready" (100), at least half correct -> "caution"
(50), otherwise "not_ready" (0).

Every reply is compact JSON whose first field is "status". Signed fields are
written at top level before any nested content because clients read fields by
a plain text search for the first '"name":'. Signatures are lower-case hex
HMAC-SHA256 under the 32-byte service key:

  daily quiz                "success|T"
  answers                   "success|R|P|T"
  today status, no quiz     "no_quiz|T"
  today status, quiz done   "has_quiz|P|T"

T is the reply's "timestamp" (the service's unix seconds), R the
"readiness_final" text and P the "allowed_volume_percent" integer, each exactly
as written in the reply. Refusals are HTTP 200 with
{"status":"error","message":"..."}; unknown paths answer 404, other methods
405 (501 for a method HTTP does not define).

Scripted mode (--script cases.json) replaces all of the above with canned
replies chosen by the request's "key" field; see service/README.md.
"""

import argparse
import collections
import datetime
import hashlib
import hmac
import http.server
import json
import os
import re
import signal
import socket
import socketserver
import sqlite3
import ssl
import sys
import threading
import time
import urllib.parse

DEV_KEY_HEX = "5f3a9c1e7b2d4f6081a3c5e7092b4d6f8a1c3e5f7092b4d6e8f0a2c4e6081b3d"

PATH_QUIZ = "/get_daily_quiz.php"
PATH_ANSWERS = "/submit_quiz_answers.php"
PATH_STATUS = "/get_today_status.php"
PATH_MARK = "/mark_trading_day.php"

MAX_BODY = 64 * 1024
NONCE_RE = re.compile(r"[0-9a-f]{32}")
TIMESTAMP_RE = re.compile(r"[0-9]{1,19}")
BROKER_TIME_RE = re.compile(r"-?[0-9]{1,19}")
ANSWER_PAIR_RE = re.compile(r"([1-9][0-9]?)=([a-z])")
INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1

# Question bank: (question, {letter: option}, correct letter). Texts stay plain
# ASCII without double quotes or backslashes so they survive naive readers.
QUESTION_BANK = (
    ("What is the most you should risk on a single trade?",
     {"a": "Whatever feels right today", "b": "A fixed small share of the account, such as 1 percent",
      "c": "Enough to recover yesterday's loss"}, "b"),
    ("A trade hits your stop-loss. What do you do next?",
     {"a": "Accept the loss and follow the plan", "b": "Re-enter at once with double size",
      "c": "Move the stop further away next time"}, "a"),
    ("When should the stop-loss be decided?",
     {"a": "After the trade goes against you", "b": "Never, stops get hunted",
      "c": "Before the order is placed"}, "c"),
    ("You have reached your daily loss limit. What now?",
     {"a": "Stop trading for the day", "b": "Trade smaller until it is won back",
      "c": "Switch to a more volatile market"}, "a"),
    ("What is revenge trading?",
     {"a": "Copying a successful trader", "b": "Trading to win back a loss out of frustration",
      "c": "Closing a position early"}, "b"),
    ("A setup is not in your trading plan. Do you take it?",
     {"a": "Yes, if it looks very good", "b": "Yes, with a smaller size",
      "c": "No, only planned setups are traded"}, "c"),
    ("Important news is due in five minutes. What does a disciplined trader do?",
     {"a": "Follows the plan's rule for news events", "b": "Opens a large position to catch the move",
      "c": "Removes all stop-losses"}, "a"),
    ("Why keep a trading journal?",
     {"a": "It is required by the broker", "b": "To review decisions and find repeated mistakes",
      "c": "To show profits to friends"}, "b"),
    ("You feel tired and distracted today. What is the right choice?",
     {"a": "Trade more to stay awake", "b": "Use higher leverage to finish early",
      "c": "Reduce size or skip trading"}, "c"),
    ("A winning trade reaches its planned target. What do you do?",
     {"a": "Take profit as planned", "b": "Remove the target and hope for more",
      "c": "Add to the position without a plan"}, "a"),
    ("What is a healthy reaction to a losing week?",
     {"a": "Double the position size", "b": "Review the trades calmly and keep the risk rules",
      "c": "Abandon the strategy at once"}, "b"),
    ("How many open positions should your plan allow at once?",
     {"a": "As many as the margin permits", "b": "It does not matter",
      "c": "A fixed maximum written in the plan"}, "c"),
)


def quiz_for_day(day):
    """Return today's questions as a list of (question, options, correct).

    The quiz has 3 to 5 questions and both its length and its questions rotate
    with the date, so consecutive days get different quizzes.
    """
    ordinal = day.toordinal()
    count = 3 + ordinal % 3
    start = (ordinal * 5) % len(QUESTION_BANK)
    return [QUESTION_BANK[(start + i) % len(QUESTION_BANK)] for i in range(count)]


def quiz_json_items(day):
    items = []
    for number, (text, options, _correct) in enumerate(quiz_for_day(day), start=1):
        items.append({
            "number": number,
            "question": text,
            "options": [{"letter": k, "text": v} for k, v in options.items()],
        })
    return items


class Refusal(Exception):
    """A request the service declines; the message goes back to the client."""


def parse_answers(text, quiz):
    """Parse "1=a&2=c&3=b" against the quiz; return {number: letter}."""
    if not text:
        raise Refusal("answers are empty")
    chosen = {}
    for pair in text.split("&"):
        m = ANSWER_PAIR_RE.fullmatch(pair)
        if not m:
            raise Refusal("answers are malformed, expected pairs like 1=a joined by &")
        number, letter = int(m.group(1)), m.group(2)
        if number > len(quiz):
            raise Refusal("answer for question %d which is not in today's quiz" % number)
        if number in chosen:
            raise Refusal("question %d answered more than once" % number)
        if letter not in quiz[number - 1][1]:
            raise Refusal("option %s does not exist for question %d" % (letter, number))
        chosen[number] = letter
    if len(chosen) != len(quiz):
        raise Refusal("every question of today's quiz must be answered")
    return chosen


def score(chosen, quiz):
    """Return (readiness_final, allowed_volume_percent) for parsed answers."""
    correct = sum(1 for n, letter in chosen.items() if quiz[n - 1][2] == letter)
    if correct == len(quiz):
        return "ready", 100
    if correct * 2 >= len(quiz):
        return "caution", 50
    return "not_ready", 0


def sign(key, payload):
    return hmac.new(key, payload.encode("utf-8"), hashlib.sha256).hexdigest()


def dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def parse_form(body):
    """Decode a form body into a dict; duplicate fields are refused."""
    try:
        text = body.decode("utf-8")
        pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, strict_parsing=bool(text),
                                       encoding="utf-8", errors="strict")
    except (UnicodeDecodeError, ValueError):
        raise Refusal("request body is not a valid form")
    fields = {}
    for name, value in pairs:
        if name in fields:
            raise Refusal("field %s given more than once" % name)
        fields[name] = value
    return fields


# ---------------------------------------------------------------- storage

SCHEMA = """
CREATE TABLE IF NOT EXISTS traders (
    key TEXT NOT NULL,
    account TEXT NOT NULL,
    name TEXT NOT NULL DEFAULT '',
    drawdown_hit INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL,
    PRIMARY KEY (key, account)
);
CREATE TABLE IF NOT EXISTS nonces (
    key TEXT NOT NULL,
    nonce TEXT NOT NULL,
    seen_at INTEGER NOT NULL,
    PRIMARY KEY (key, nonce)
);
CREATE TABLE IF NOT EXISTS quiz_results (
    key TEXT NOT NULL,
    account TEXT NOT NULL,
    day TEXT NOT NULL,
    answers TEXT NOT NULL,
    readiness TEXT NOT NULL,
    percent INTEGER NOT NULL,
    broker_time INTEGER,
    submitted_at INTEGER NOT NULL,
    PRIMARY KEY (key, account, day)
);
CREATE TABLE IF NOT EXISTS trading_days (
    key TEXT NOT NULL,
    account TEXT NOT NULL,
    day TEXT NOT NULL,
    broker_time INTEGER,
    marked_at INTEGER NOT NULL,
    PRIMARY KEY (key, account, day)
);
"""


def open_db(path):
    conn = sqlite3.connect(path, timeout=30, isolation_level=None)
    conn.execute("PRAGMA busy_timeout = 30000")
    return conn


def init_db(path):
    conn = open_db(path)
    try:
        conn.executescript(SCHEMA)
    finally:
        conn.close()


class Transaction:
    """BEGIN IMMEDIATE ... COMMIT, rolled back on any exception."""

    def __init__(self, path):
        self.conn = open_db(path)

    def __enter__(self):
        self.conn.execute("BEGIN IMMEDIATE")
        return self.conn

    def __exit__(self, exc_type, exc, tb):
        try:
            self.conn.execute("ROLLBACK" if exc_type else "COMMIT")
        finally:
            self.conn.close()
        return False


# ---------------------------------------------------------------- real mode

REQUIRED_FIELDS = {
    PATH_QUIZ: ("key", "account", "nonce", "timestamp"),
    PATH_ANSWERS: ("key", "account", "answers", "nonce", "timestamp"),
    PATH_STATUS: ("key", "account", "nonce", "timestamp"),
    PATH_MARK: ("key", "account", "nonce", "timestamp"),
}


def validate(path, fields):
    for name in REQUIRED_FIELDS[path]:
        if name not in fields:
            raise Refusal("missing field %s" % name)
    if not fields["key"]:
        raise Refusal("key is empty")
    if not fields["account"]:
        raise Refusal("account is empty")
    if not NONCE_RE.fullmatch(fields["nonce"]):
        raise Refusal("nonce must be 32 lower-case hex digits")
    if not TIMESTAMP_RE.fullmatch(fields["timestamp"]):
        raise Refusal("timestamp must be unix seconds in decimal")
    broker_time = fields.get("broker_time")
    if broker_time is not None:
        if not BROKER_TIME_RE.fullmatch(broker_time) or not INT64_MIN <= int(broker_time) <= INT64_MAX:
            raise Refusal("broker_time must be a signed 64-bit decimal")
        return int(broker_time)
    return None


class RealBackend:
    def __init__(self, db_path, key, clock):
        self.db_path = db_path
        self.key = key
        self.clock = clock
        init_db(db_path)

    def handle(self, path, body):
        """Return (reply dict, short outcome for the log)."""
        if path not in ROUTES:
            return {"status": "error", "message": "not found"}, "unknown path"
        try:
            fields = parse_form(body)
            broker_time = validate(path, fields)
            now = self.clock()
            with Transaction(self.db_path) as db:
                reply = self._dispatch(db, path, fields, broker_time, now)
            return reply, reply["status"]
        except Refusal as refusal:
            return {"status": "error", "message": str(refusal)}, "refused: %s" % refusal

    def _dispatch(self, db, path, fields, broker_time, now):
        key, account, nonce = fields["key"], fields["account"], fields["nonce"]
        trader = db.execute("SELECT drawdown_hit FROM traders WHERE key = ? AND account = ?",
                            (key, account)).fetchone()
        if trader is None:
            raise Refusal("unknown key or account")
        if db.execute("SELECT 1 FROM nonces WHERE key = ? AND nonce = ?", (key, nonce)).fetchone():
            raise Refusal("nonce already used")
        db.execute("INSERT INTO nonces (key, nonce, seen_at) VALUES (?, ?, ?)", (key, nonce, now))
        day = datetime.datetime.fromtimestamp(now, datetime.timezone.utc).date()
        return ROUTES[path](self, db, Turn(key, account, fields, broker_time, now, day, trader[0]))

    def quiz(self, db, turn):
        return {"status": "success", "timestamp": turn.now, "signature": sign(self.key, "success|%d" % turn.now),
                "quiz": quiz_json_items(turn.day)}

    def answers(self, db, turn):
        if db.execute("SELECT 1 FROM quiz_results WHERE key = ? AND account = ? AND day = ?",
                      (turn.key, turn.account, turn.day.isoformat())).fetchone():
            raise Refusal("answers already submitted today")
        quiz = quiz_for_day(turn.day)
        readiness, percent = score(parse_answers(turn.fields["answers"], quiz), quiz)
        db.execute("INSERT INTO quiz_results (key, account, day, answers, readiness, percent,"
                   " broker_time, submitted_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                   (turn.key, turn.account, turn.day.isoformat(), turn.fields["answers"], readiness, percent,
                    turn.broker_time, turn.now))
        payload = "success|%s|%d|%d" % (readiness, percent, turn.now)
        return {"status": "success", "readiness_final": readiness, "allowed_volume_percent": percent,
                "timestamp": turn.now, "signature": sign(self.key, payload)}

    def status(self, db, turn):
        row = db.execute("SELECT readiness, percent FROM quiz_results WHERE key = ? AND account = ? AND day = ?",
                         (turn.key, turn.account, turn.day.isoformat())).fetchone()
        if row is None:
            return {"status": "success", "quiz_completed_today": False, "timestamp": turn.now,
                    "signature": sign(self.key, "no_quiz|%d" % turn.now)}
        readiness, percent = row
        return {"status": "success", "quiz_completed_today": True, "readiness_final": readiness,
                "allowed_volume_percent": percent, "daily_drawdown_hit": bool(turn.drawdown_hit),
                "timestamp": turn.now, "signature": sign(self.key, "has_quiz|%d|%d" % (percent, turn.now))}

    def mark(self, db, turn):
        if db.execute("SELECT 1 FROM trading_days WHERE key = ? AND account = ? AND day = ?",
                      (turn.key, turn.account, turn.day.isoformat())).fetchone():
            return {"status": "already_marked"}
        db.execute("INSERT INTO trading_days (key, account, day, broker_time, marked_at) VALUES (?, ?, ?, ?, ?)",
                   (turn.key, turn.account, turn.day.isoformat(), turn.broker_time, turn.now))
        return {"status": "success"}


# One request of a known trader, after the checks every path shares.
Turn = collections.namedtuple("Turn", "key account fields broker_time now day drawdown_hit")

# The real mode's paths and the step that answers each; every other path is answered 404.
ROUTES = {PATH_QUIZ: RealBackend.quiz, PATH_ANSWERS: RealBackend.answers,
          PATH_STATUS: RealBackend.status, PATH_MARK: RealBackend.mark}


# ---------------------------------------------------------------- scripted mode

CASE_FIELDS = {"status", "body", "body_hex", "headers", "delay_before_headers", "drop",
               "content_length", "chunked"}
DROP_POINTS = ("before_headers", "after_headers", "mid_body")
NOW_RE = re.compile(r"\{\{now(?:([+-])([0-9]+))?\}\}")
HMAC_RE = re.compile(r"\{\{hmac:(.*?)\}\}", re.S)


def check_case(case, where):
    if not isinstance(case, dict):
        raise ValueError("%s: a case must be an object" % where)
    unknown = set(case) - CASE_FIELDS
    if unknown:
        raise ValueError("%s: unknown case fields %s" % (where, sorted(unknown)))
    status = case.get("status", 200)
    if not isinstance(status, int) or not 100 <= status <= 599:
        raise ValueError("%s: status must be an integer 100..599" % where)
    if "body" in case and "body_hex" in case:
        raise ValueError("%s: give body or body_hex, not both" % where)
    if "body" in case and not isinstance(case["body"], str):
        raise ValueError("%s: body must be a string" % where)
    if "body_hex" in case:
        bytes.fromhex(case["body_hex"])
    if case.get("drop") not in (None,) + DROP_POINTS:
        raise ValueError("%s: drop must be one of %s" % (where, ", ".join(DROP_POINTS)))
    headers = case.get("headers", {})
    if not isinstance(headers, dict) or not all(isinstance(v, str) for v in headers.values()):
        raise ValueError("%s: headers must map names to strings" % where)
    delay = case.get("delay_before_headers", 0)
    if not isinstance(delay, (int, float)) or delay < 0:
        raise ValueError("%s: delay_before_headers must be a non-negative number" % where)
    length = case.get("content_length", 0)
    if length is not None and (not isinstance(length, int) or length < 0):
        raise ValueError("%s: content_length must be a non-negative integer or null" % where)


def check_entry(entry, where):
    """An entry is a case, a list of cases served in turn, or {"by_path": {...}}."""
    if isinstance(entry, list):
        if not entry:
            raise ValueError("%s: a case list must not be empty" % where)
        for i, case in enumerate(entry):
            check_case(case, "%s[%d]" % (where, i))
    elif isinstance(entry, dict) and "by_path" in entry:
        if set(entry) != {"by_path"} or not isinstance(entry["by_path"], dict):
            raise ValueError("%s: by_path must be the only field and map paths to cases" % where)
        for path, sub in entry["by_path"].items():
            if isinstance(sub, dict) and "by_path" in sub:
                raise ValueError("%s: by_path cannot nest" % where)
            check_entry(sub, "%s.by_path[%s]" % (where, path))
    else:
        check_case(entry, where)


def fill_placeholders(text, key, now):
    """Replace {{now}}, {{now+N}}, {{now-N}}, then {{hmac:PAYLOAD}}."""
    def now_value(m):
        offset = int(m.group(2) or 0)
        return str(now - offset if m.group(1) == "-" else now + offset)
    text = NOW_RE.sub(now_value, text)
    return HMAC_RE.sub(lambda m: sign(key, m.group(1)), text)


def replies_of_records(records, where):
    """Test records ({"name": KEY, "reply": entry, ...the test's own fields}) as a map from
    key to entry. A record without a reply is answered by the "default" record."""
    cases, names = {}, set()
    for i, record in enumerate(records):
        if not isinstance(record, dict) or not isinstance(record.get("name"), str):
            raise ValueError("%s: record %d must be an object with a name" % (where, i))
        if record["name"] in names:
            raise ValueError("%s: record %r appears twice" % (where, record["name"]))
        names.add(record["name"])
        if "reply" in record:
            cases[record["name"]] = record["reply"]
    return cases


class ScriptedBackend:
    def __init__(self, script_path, key, clock):
        with open(script_path, encoding="utf-8") as f:
            try:
                cases = json.load(f)
            except json.JSONDecodeError as e:
                raise ValueError("%s: %s" % (script_path, e))
        if isinstance(cases, list):
            cases = replies_of_records(cases, script_path)
        if not isinstance(cases, dict):
            raise ValueError("%s: the top level must be an object or a list of records" % script_path)
        for name, entry in cases.items():
            check_entry(entry, "case %r" % name)
        self.cases = cases
        self.key = key
        self.clock = clock
        self.turns = {}
        self.lock = threading.Lock()

    def pick(self, path, body):
        """Return the case for this request, or None when there is none."""
        try:
            fields = dict(urllib.parse.parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
        except ValueError:
            fields = {}
        name = fields.get("key")
        if name not in self.cases or name == "default":
            name = "default"
        entry = self.cases.get(name)
        turn_id = (name,)
        if isinstance(entry, dict) and "by_path" in entry:
            entry = entry["by_path"].get(path)
            turn_id = (name, path)
        if isinstance(entry, list):
            with self.lock:
                turn = self.turns.get(turn_id, 0)
                self.turns[turn_id] = turn + 1
            entry = entry[min(turn, len(entry) - 1)]
        return entry

    def body_of(self, case):
        if "body_hex" in case:
            return bytes.fromhex(case["body_hex"])
        return fill_placeholders(case.get("body", ""), self.key, self.clock()).encode("utf-8")


# ---------------------------------------------------------------- HTTP

class Recorder:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, method, path, headers, body):
        if self.file is None:
            return
        line = dumps({"path": path, "method": method, "headers": [[n, v] for n, v in headers],
                      "body_hex": body.hex(), "body": body.decode("latin-1")})
        with self.lock:
            self.file.write(line + "\n")
            self.file.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "HalvaneService/1.0"
    timeout = 60

    def version_string(self):
        return self.server_version

    def log_message(self, fmt, *args):
        pass  # one line per request is written by log_outcome instead

    def log_error(self, fmt, *args):
        # The answers the HTTP layer gives on its own (400, 414, 501 for an unknown method).
        self.server.log("%s %s" % (self.client_address[0], fmt % args))

    def log_outcome(self, code, outcome):
        self.server.log("%s %s %s -> %s %s" % (self.client_address[0], self.command,
                                               self.path, code, outcome))

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline(100).split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1000).strip():
                        pass
                    return body
                body += self.rfile.read(size)
                self.rfile.readline(10)
                if len(body) > MAX_BODY:
                    raise ValueError("body too large")
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            raise ValueError("bad Content-Length")
        return self.rfile.read(length)

    def serve_request(self):
        self.close_connection = True
        try:
            body = self.read_body()
        except (ValueError, OSError):
            self.send_plain(400, {"status": "error", "message": "bad request body"})
            self.log_outcome(400, "unreadable body")
            return
        self.server.recorder.write(self.command, self.path, self.headers.items(), body)
        if self.server.scripted is not None:
            self.serve_scripted(body)
            return
        path = urllib.parse.urlsplit(self.path).path
        if path not in ROUTES:
            self.send_plain(404, {"status": "error", "message": "not found"})
            self.log_outcome(404, "unknown path")
        elif self.command != "POST":
            self.send_plain(405, {"status": "error", "message": "only POST is allowed"},
                            [("Allow", "POST")])
            self.log_outcome(405, "method not allowed")
        else:
            reply, outcome = self.server.real.handle(path, body)
            self.send_plain(200, reply)
            self.log_outcome(200, outcome)

    def send_plain(self, code, obj, extra=()):
        data = dumps(obj).encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    dropped = False

    def drop(self):
        # Close without a TLS close_notify: the peer sees the stream just end.
        self.dropped = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def serve_scripted(self, body):
        backend = self.server.scripted
        path = urllib.parse.urlsplit(self.path).path
        case = backend.pick(path, body)
        if case is None:
            self.send_plain(404, {"status": "error", "message": "no scripted case"})
            self.log_outcome(404, "no scripted case")
            return
        data = backend.body_of(case)
        status = case.get("status", 200)
        if case.get("delay_before_headers"):
            time.sleep(case["delay_before_headers"])
        drop = case.get("drop")
        if drop == "before_headers":
            self.drop()
            self.log_outcome("-", "dropped before headers")
            return
        headers = dict(case.get("headers", {}))
        names = {n.lower() for n in headers}
        self.send_response(status)
        if "content-type" not in names:
            self.send_header("Content-Type", "application/json; charset=utf-8")
        chunked = case.get("chunked", False)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            length = case.get("content_length", len(data))
            if length is not None:
                self.send_header("Content-Length", str(length))
        for name, value in headers.items():
            self.send_header(name, value)
        if "connection" not in names:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        if drop == "after_headers":
            self.drop()
            self.log_outcome(status, "dropped after headers")
            return
        if drop == "mid_body":
            self.wfile.write(data[:len(data) // 2])
            self.drop()
            self.log_outcome(status, "dropped mid body")
            return
        if chunked:
            half = len(data) // 2
            for part in (data[:half], data[half:]):
                if part:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(data)
        self.log_outcome(status, "scripted")


# Every method reaches serve_request, which answers POST on a known path, 404 on any other
# path and 405 otherwise; a method outside this table gets the HTTP layer's own 501.
METHODS = ("POST", "GET", "HEAD", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT")
for _method in METHODS:
    setattr(Handler, "do_" + _method, Handler.serve_request)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, tls, real, scripted, recorder, quiet):
        self.address_family = address[0]
        self.tls = tls
        self.real = real
        self.scripted = scripted
        self.recorder = recorder
        self.quiet = quiet
        self.log_lock = threading.Lock()
        super().__init__(address[1], Handler)

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        # TCPServer's bind, without HTTPServer's reverse name lookup.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def log(self, line):
        if not self.quiet:
            stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
            with self.log_lock:
                sys.stderr.write("%s %s\n" % (stamp, line))
                sys.stderr.flush()

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread so that a slow
        # or failing client never holds up the accept loop.
        request.settimeout(Handler.timeout)
        # A reply goes out in two writes (head, body); without this the body waits for the
        # client's delayed acknowledgement, some 40 ms per exchange.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            tls_conn = self.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.log("%s TLS handshake failed: %s" % (client_address[0], e))
            return
        handler = None
        try:
            handler = self.RequestHandlerClass(tls_conn, client_address, self)
        finally:
            if handler is not None and not handler.dropped:
                # Send close_notify so that clients reading up to the end of
                # the stream see a clean end; give up quickly if the peer
                # never answers it.
                try:
                    tls_conn.settimeout(1)
                    tls_conn.unwrap()
                except (OSError, ValueError):
                    pass
            try:
                tls_conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        self.log("%s connection error: %s" % (client_address[0], sys.exc_info()[1]))


def load_key(args):
    if args.key_file:
        with open(args.key_file, encoding="ascii") as f:
            text = f.read().strip()
    else:
        text = args.key_hex.strip()
    if not re.fullmatch(r"[0-9a-fA-F]{64}", text):
        raise SystemExit("error: the signing key must be exactly 64 hex digits")
    return bytes.fromhex(text)


def write_ready_file(path, host, port):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w", encoding="ascii") as f:
        f.write("%s %d %d\n" % (host, port, os.getpid()))
    os.replace(tmp, path)


def serve(args):
    key = load_key(args)
    offset = args.clock_offset

    def clock():
        return int(time.time()) + offset

    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        tls.load_cert_chain(args.cert, args.keyfile)
    except (OSError, ssl.SSLError) as e:
        raise SystemExit("error: cannot load certificate %s: %s" % (args.cert, e))
    try:
        if args.script:
            scripted, real = ScriptedBackend(args.script, key, clock), None
        else:
            scripted, real = None, RealBackend(args.db, key, clock)
    except (OSError, ValueError, sqlite3.Error) as e:
        raise SystemExit("error: %s" % e)
    try:
        family, _, _, _, sockaddr = socket.getaddrinfo(args.host, args.port, type=socket.SOCK_STREAM)[0]
        server = Server((family, sockaddr[:2]), tls, real, scripted, Recorder(args.record), args.quiet)
    except OSError as e:
        raise SystemExit("error: cannot listen on %s port %s: %s" % (args.host, args.port, e))

    host, port = server.server_address[:2]
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    worker.start()
    try:
        if args.ready_file:
            write_ready_file(args.ready_file, host, port)
        server.log("listening on %s port %d (%s mode)" % (host, port, "scripted" if scripted else "real"))
        while not stop.wait(0.5) and worker.is_alive():
            pass
    finally:
        server.shutdown()
        server.server_close()
        if args.ready_file:
            try:
                os.remove(args.ready_file)
            except FileNotFoundError:
                pass
        server.log("stopped")
    return 0


def parse_bool(text):
    lowered = text.lower()
    if lowered in ("true", "1", "yes"):
        return True
    if lowered in ("false", "0", "no"):
        return False
    raise argparse.ArgumentTypeError("expected true or false")


def add_trader(args):
    init_db(args.db)
    with Transaction(args.db) as db:
        db.execute("INSERT INTO traders (key, account, name, created_at) VALUES (?, ?, ?, ?)"
                   " ON CONFLICT (key, account) DO UPDATE SET name = excluded.name",
                   (args.key, args.account, args.name, int(time.time())))
    print("trader %s saved" % args.account)
    return 0


def set_drawdown(args):
    init_db(args.db)
    with Transaction(args.db) as db:
        changed = db.execute("UPDATE traders SET drawdown_hit = ? WHERE key = ? AND account = ?",
                             (int(args.hit), args.key, args.account)).rowcount
    if not changed:
        print("error: no trader with that key and account", file=sys.stderr)
        return 1
    print("trader %s drawdown flag set to %s" % (args.account, "true" if args.hit else "false"))
    return 0


def build_parser():
    parser = argparse.ArgumentParser(description="Halvane trading-discipline service.")
    sub = parser.add_subparsers(dest="command")

    p = sub.add_parser("serve", help="run the HTTPS service (the default)")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8443, help="port, 0 picks a free one (default 8443)")
    p.add_argument("--cert", required=True, help="PEM certificate (chain) file")
    p.add_argument("--keyfile", help="PEM private key file (default: inside --cert)")
    keys = p.add_mutually_exclusive_group()
    keys.add_argument("--key-hex", default=DEV_KEY_HEX, help="signing key, 64 hex digits")
    keys.add_argument("--key-file", help="file holding the signing key in hex")
    p.add_argument("--db", default="service-state.sqlite3", help="SQLite state file")
    p.add_argument("--ready-file", help='write "host port pid" here once listening')
    p.add_argument("--record", help="append one JSON line per received request")
    p.add_argument("--script", help="scripted mode: JSON file of canned replies")
    p.add_argument("--clock-offset", type=int, default=0, metavar="SECONDS",
                   help="shift the service clock (timestamps and today's date)")
    p.add_argument("--quiet", action="store_true", help="no request log on stderr")
    p.set_defaults(func=serve)

    p = sub.add_parser("add-trader", help="add a trader or rename an existing one")
    p.add_argument("--db", default="service-state.sqlite3")
    p.add_argument("--key", required=True)
    p.add_argument("--account", required=True)
    p.add_argument("--name", default="")
    p.set_defaults(func=add_trader)

    p = sub.add_parser("set-drawdown", help="set a trader's daily drawdown flag")
    p.add_argument("--db", default="service-state.sqlite3")
    p.add_argument("--key", required=True)
    p.add_argument("--account", required=True)
    p.add_argument("--hit", type=parse_bool, required=True, metavar="true|false")
    p.set_defaults(func=set_drawdown)
    return parser


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    if not argv or argv[0] not in ("serve", "add-trader", "set-drawdown", "-h", "--help"):
        argv.insert(0, "serve")
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except sqlite3.Error as e:
        print("error: database %s: %s" % (args.db, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
