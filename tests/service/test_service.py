"""Tests of the Halvane service over real HTTPS on loopback."""

import datetime
import hashlib
import hmac
import http.client
import json
import os
import secrets
import shutil
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "service"))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import beside  # noqa: E402
import halvane_service as svc  # noqa: E402
import with_service  # noqa: E402

DEV_KEY = bytes.fromhex(svc.DEV_KEY_HEX)
WORK = None
CERTS = None

ALPHA = ("alpha-key-7c1e40", "50011")
BETA = ("beta-key-2d9a77", "50022")


def setUpModule():
    global WORK, CERTS
    WORK = tempfile.mkdtemp(prefix="halvane-service-test-")
    unittest.addModuleCleanup(shutil.rmtree, WORK, ignore_errors=True)
    CERTS = os.path.join(WORK, "certs")
    subprocess.run(["bash", with_service.MAKE_CERTS, CERTS], check=True)


class Service(beside.Process):
    """The service as a child process on a free loopback port, started at once; stopped by
    stop() or when a `with` block ends."""

    def __init__(self, *args, cert="localhost"):
        self.dir = tempfile.mkdtemp(dir=WORK)
        self.ready_file = ready_file = os.path.join(self.dir, "ready")
        super().__init__(with_service.serve_command(CERTS, cert, 0, ready_file, *args),
                         os.path.join(self.dir, "stderr.log"), ready=beside.file_exists(ready_file))
        try:
            self.__enter__()
        except beside.NotReady as e:
            raise RuntimeError("service %s:\n%s" % (e, self.output()))
        with open(ready_file) as f:
            host, port, pid = f.read().split()
        self.port, self.pid = int(port), int(pid)

    def __enter__(self):
        return self if self.proc is not None else super().__enter__()

    def stop(self):
        self.__exit__()

    def wait_for_log(self, text):
        """The log once it holds `text` (a request's line is written after its reply has gone out)."""
        deadline = time.monotonic() + 10
        while text not in self.output() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.output()


def write_script(cases):
    """A scripted-mode cases file holding `cases`."""
    path = os.path.join(tempfile.mkdtemp(dir=WORK), "cases.json")
    with open(path, "w") as f:
        json.dump(cases, f)
    return path


def request(port, path, body=b"", method="POST", headers=None, host="localhost"):
    conn = http.client.HTTPSConnection(host, port, timeout=10,
                                       context=ssl.create_default_context(cafile=os.path.join(CERTS, "ca.pem")))
    try:
        conn.request(method, path, body=body, headers={"User-Agent": "Halvane/1.0",
                                                       "Content-Type": "application/x-www-form-urlencoded",
                                                       **(headers or {})})
        resp = conn.getresponse()
        return resp.status, resp.read(), resp
    finally:
        conn.close()


def form(fields):
    return urllib.parse.urlencode(fields, quote_via=urllib.parse.quote).encode()


def call(port, path, trader, **extra):
    """POST a well-formed request; extra fields override or add (None removes)."""
    fields = {"key": trader[0], "account": trader[1]}
    if path == svc.PATH_ANSWERS:
        fields["answers"] = extra.pop("answers", "")
    fields.update({"nonce": secrets.token_hex(16), "timestamp": str(int(time.time()))})
    fields.update(extra)
    status, body, _ = request(port, path, form({k: v for k, v in fields.items() if v is not None}))
    assert status == 200, (status, body)
    return body.decode("utf-8")


def naive_field(text, name):
    """Read a field the way the client module does: first '"name":' wins."""
    i = text.find('"%s":' % name)
    if i < 0:
        return None
    i += len(name) + 3
    while text[i] == " ":
        i += 1
    if text[i] == '"':
        return text[i + 1:text.index('"', i + 1)]
    ends = [j for j in (text.find(",", i), text.find("}", i)) if j >= 0]
    return text[i:min(ends)]


def check_reply(test, text, expected_payload=None):
    """Check a reply is readable naively and, if signed, carries the right HMAC.

    expected_payload is a format string filled with the naively read fields.
    """
    obj = json.loads(text)
    test.assertEqual(next(iter(obj)), "status", text)
    for name, value in obj.items():
        if isinstance(value, (list, dict)):
            continue
        as_text = json.dumps(value) if not isinstance(value, str) else value
        test.assertEqual(naive_field(text, name), as_text, "field %s of %s" % (name, text))
    if expected_payload is not None:
        fields = {name: naive_field(text, name) for name in obj}
        payload = expected_payload.format(**fields)
        test.assertEqual(fields["signature"],
                         hmac.new(DEV_KEY, payload.encode(), hashlib.sha256).hexdigest(), payload)
    return obj


def answers_for(quiz, wrong):
    """Answer text with the first `wrong` questions answered incorrectly."""
    pairs = []
    for n, (_text, options, correct) in enumerate(quiz, start=1):
        letter = correct if n > wrong else next(k for k in options if k != correct)
        pairs.append("%d=%s" % (n, letter))
    return "&".join(pairs)


def day_of(timestamp_text):
    return datetime.datetime.fromtimestamp(int(timestamp_text), datetime.timezone.utc).date()


def admin(db, *args):
    return subprocess.run([sys.executable, with_service.SERVICE] + list(args) + ["--db", db],
                          capture_output=True, text=True)


class QuizRulesTest(unittest.TestCase):
    # Three consecutive days cover every quiz length (3, 4 and 5 questions).
    QUIZZES = [svc.quiz_for_day(datetime.date(2024, 3, 6) + datetime.timedelta(days=i)) for i in range(3)]

    def test_scoring(self):
        self.assertEqual(sorted(len(q) for q in self.QUIZZES), [3, 4, 5])
        for quiz in self.QUIZZES:
            n = len(quiz)
            cases = [(0, "ready", 100), (1, "caution", 50), (n // 2, "caution", 50),
                     (n // 2 + 1, "not_ready", 0), (n, "not_ready", 0)]
            for wrong, readiness, percent in cases:
                with self.subTest(wrong=wrong, of=n):
                    chosen = svc.parse_answers(answers_for(quiz, wrong), quiz)
                    self.assertEqual(svc.score(chosen, quiz), (readiness, percent))

    def test_malformed_answers_are_refused(self):
        quiz = self.QUIZZES[0]
        full = answers_for(quiz, 0)
        cases = ["", "1=a", full + "&1=a", "0=a&" + full, full + "&%d=a" % (len(quiz) + 1),
                 full.replace("&", ";"), full.upper(), "1=z" + full[3:],
                 full + "&", " " + full, "1==a" + full[3:], "1=ab" + full[3:]]
        for text in cases:
            with self.subTest(answers=text):
                with self.assertRaises(svc.Refusal):
                    svc.parse_answers(text, quiz)

    def test_daily_quiz_size_and_rotation(self):
        days = [datetime.date(2025, 1, 1) + datetime.timedelta(days=i) for i in range(30)]
        quizzes = [svc.quiz_for_day(d) for d in days]
        self.assertTrue(all(3 <= len(q) <= 5 for q in quizzes))
        self.assertTrue(all(a != b for a, b in zip(quizzes, quizzes[1:])))
        for question, options, correct in svc.QUESTION_BANK:
            self.assertIn(correct, options)
            self.assertFalse(any(c in question + "".join(options.values()) for c in '"\\'))


class RealModeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.db = os.path.join(tempfile.mkdtemp(dir=WORK), "state.sqlite3")
        cls.traders = [("trader-%d-key" % i, str(60000 + i)) for i in range(3)]
        for key, account in [ALPHA, BETA] + cls.traders:
            admin(cls.db, "add-trader", "--key", key, "--account", account)
        cls.service = Service("--db", cls.db)
        cls.addClassCleanup(cls.service.stop)
        cls.port = cls.service.port

    def test_quiz_and_open_status_replies(self):
        cases = [(svc.PATH_QUIZ, {}, "success|{timestamp}"),
                 (svc.PATH_QUIZ, {"broker_time": "-9223372036854775808"}, "success|{timestamp}"),
                 (svc.PATH_STATUS, {}, "no_quiz|{timestamp}"),
                 (svc.PATH_STATUS, {"broker_time": "1700000000"}, "no_quiz|{timestamp}")]
        for path, extra, payload in cases:
            with self.subTest(path=path, extra=extra):
                obj = check_reply(self, call(self.port, path, BETA, **extra), payload)
                self.assertEqual(obj["status"], "success")
                self.assertLessEqual(abs(obj["timestamp"] - time.time()), 60)
                if path == svc.PATH_QUIZ:
                    self.assertEqual(list(obj)[-1], "quiz")
                    self.assertEqual([q["number"] for q in obj["quiz"]],
                                     list(range(1, len(svc.quiz_for_day(day_of(obj["timestamp"]))) + 1)))
                else:
                    self.assertIs(obj["quiz_completed_today"], False)

    def test_refusals(self):
        today = svc.quiz_for_day(datetime.datetime.now(datetime.timezone.utc).date())
        cases = [
            (svc.PATH_QUIZ, {"key": "no-such-key"}, "unknown key"),
            (svc.PATH_STATUS, {"account": "99999999"}, "unknown key"),
            (svc.PATH_MARK, {"nonce": None}, "missing field nonce"),
            (svc.PATH_QUIZ, {"timestamp": None}, "missing field timestamp"),
            (svc.PATH_QUIZ, {"key": ""}, "key is empty"),
            (svc.PATH_QUIZ, {"nonce": "ABCDEF0123456789abcdef0123456789"}, "nonce"),
            (svc.PATH_QUIZ, {"nonce": "abcdef0123456789abcdef012345678"}, "nonce"),
            (svc.PATH_QUIZ, {"nonce": "abcdef0123456789abcdef01234567890"}, "nonce"),
            (svc.PATH_QUIZ, {"nonce": "gbcdef0123456789abcdef0123456789"}, "nonce"),
            (svc.PATH_STATUS, {"timestamp": "12a"}, "timestamp"),
            (svc.PATH_STATUS, {"timestamp": "-5"}, "timestamp"),
            (svc.PATH_STATUS, {"timestamp": ""}, "timestamp"),
            (svc.PATH_STATUS, {"broker_time": "1.5"}, "broker_time"),
            (svc.PATH_STATUS, {"broker_time": "9223372036854775808"}, "broker_time"),
            (svc.PATH_STATUS, {"broker_time": ""}, "broker_time"),
            (svc.PATH_ANSWERS, {"answers": None}, "missing field answers"),
            (svc.PATH_ANSWERS, {"answers": "yes please"}, "malformed"),
            (svc.PATH_ANSWERS, {"answers": answers_for(today, 0) + "&9=a"}, "not in today"),
        ]
        for path, extra, message in cases:
            with self.subTest(path=path, extra=extra):
                obj = check_reply(self, call(self.port, path, ALPHA, **extra))
                self.assertEqual(obj["status"], "error")
                self.assertIn(message, obj["message"])

    def test_malformed_bodies(self):
        nonce = secrets.token_hex(16)
        base = "key=%s&account=%s&nonce=%s&timestamp=1" % (ALPHA[0], ALPHA[1], nonce)
        cases = [(base + "&nonce=" + nonce, "more than once"),
                 (base + "&&", "not a valid form"),
                 (base + "&key%ff=1", "not a valid form"),
                 ("", "missing field key")]
        for body, message in cases:
            with self.subTest(body=body):
                status, reply, _ = request(self.port, svc.PATH_STATUS, body.encode())
                self.assertEqual(status, 200)
                self.assertIn(message, json.loads(reply)["message"])

    def test_nonce_is_single_use_per_key(self):
        nonce = secrets.token_hex(16)
        first = json.loads(call(self.port, svc.PATH_STATUS, ALPHA, nonce=nonce))
        again = json.loads(call(self.port, svc.PATH_QUIZ, ALPHA, nonce=nonce))
        other_key = json.loads(call(self.port, svc.PATH_STATUS, BETA, nonce=nonce))
        self.assertEqual(first["status"], "success")
        self.assertEqual((again["status"], again["message"]), ("error", "nonce already used"))
        self.assertEqual(other_key["status"], "success")

    def test_refused_submission_changes_nothing(self):
        trader = self.traders[0]
        nonce = secrets.token_hex(16)
        refused = json.loads(call(self.port, svc.PATH_ANSWERS, trader, nonce=nonce, answers="1=a"))
        self.assertEqual(refused["status"], "error")
        status = json.loads(call(self.port, svc.PATH_STATUS, trader))
        self.assertIs(status["quiz_completed_today"], False)
        # The refused request did not use up its nonce either.
        quiz = svc.quiz_for_day(day_of(status["timestamp"]))
        accepted = json.loads(call(self.port, svc.PATH_ANSWERS, trader, nonce=nonce,
                                   answers=answers_for(quiz, 0)))
        self.assertEqual(accepted["status"], "success")

    def test_answers_are_scored_and_signed(self):
        quiz = svc.quiz_for_day(datetime.datetime.now(datetime.timezone.utc).date())
        cases = [(self.traders[1], len(quiz) // 2, "caution", 50),
                 (self.traders[2], len(quiz), "not_ready", 0)]
        for trader, wrong, readiness, percent in cases:
            with self.subTest(wrong=wrong):
                text = call(self.port, svc.PATH_ANSWERS, trader, answers=answers_for(quiz, wrong))
                obj = check_reply(self, text,
                                  "success|{readiness_final}|{allowed_volume_percent}|{timestamp}")
                self.assertEqual((obj["readiness_final"], obj["allowed_volume_percent"]),
                                 (readiness, percent))
                self.assertIn('"allowed_volume_percent":%d,' % percent, text)
                status = check_reply(self, call(self.port, svc.PATH_STATUS, trader),
                                     "has_quiz|{allowed_volume_percent}|{timestamp}")
                self.assertEqual((status["readiness_final"], status["allowed_volume_percent"]),
                                 (readiness, percent))

    def test_whole_trading_day(self):
        quiz_reply = check_reply(self, call(self.port, svc.PATH_QUIZ, ALPHA), "success|{timestamp}")
        quiz = svc.quiz_for_day(day_of(quiz_reply["timestamp"]))
        self.assertEqual([q["question"] for q in quiz_reply["quiz"]], [q[0] for q in quiz])
        self.assertEqual([[o["letter"] for o in q["options"]] for q in quiz_reply["quiz"]],
                         [list(q[1]) for q in quiz])

        submitted = json.loads(call(self.port, svc.PATH_ANSWERS, ALPHA, answers=answers_for(quiz, 0)))
        self.assertEqual((submitted["readiness_final"], submitted["allowed_volume_percent"]),
                         ("ready", 100))
        again = json.loads(call(self.port, svc.PATH_ANSWERS, ALPHA, answers=answers_for(quiz, 0)))
        self.assertEqual(again["status"], "error")
        self.assertIn("already submitted", again["message"])

        signed = "has_quiz|{allowed_volume_percent}|{timestamp}"
        text = call(self.port, svc.PATH_STATUS, ALPHA)
        status = check_reply(self, text, signed)
        self.assertEqual([naive_field(text, k) for k in ("quiz_completed_today", "readiness_final",
                                                          "allowed_volume_percent", "daily_drawdown_hit")],
                         ["true", "ready", "100", "false"])
        self.assertEqual(admin(self.db, "set-drawdown", "--key", ALPHA[0], "--account", ALPHA[1],
                               "--hit", "true").returncode, 0)
        status = check_reply(self, call(self.port, svc.PATH_STATUS, ALPHA), signed)
        self.assertIs(status["daily_drawdown_hit"], True)

        self.assertEqual(call(self.port, svc.PATH_MARK, ALPHA, broker_time="-42"), '{"status":"success"}')
        self.assertEqual(call(self.port, svc.PATH_MARK, ALPHA), '{"status":"already_marked"}')

    def test_paths_and_methods(self):
        cases = [("POST", "/nowhere.php", 404), ("GET", svc.PATH_QUIZ, 405), ("PUT", svc.PATH_MARK, 405),
                 ("GET", "/", 404), ("POST", svc.PATH_QUIZ + "x", 404), ("DELETE", svc.PATH_STATUS, 405),
                 ("BREW", svc.PATH_QUIZ, 501)]
        for method, path, code in cases:
            with self.subTest(method=method, path=path):
                status, _, resp = request(self.port, path, form({"key": ALPHA[0]}), method=method)
                self.assertEqual(status, code)
                self.assertIsNotNone(resp.getheader("Content-Length"))
        log = self.service.wait_for_log("BREW")
        self.assertIn("POST /nowhere.php -> 404 unknown path", log)
        self.assertIn("501", log)
        # The backend itself answers an unknown path, and changes nothing.
        reply = svc.RealBackend(self.db, DEV_KEY, lambda: int(time.time())).handle("/nowhere.php", b"")
        self.assertEqual(reply, ({"status": "error", "message": "not found"}, "unknown path"))

    def test_log_holds_no_secrets(self):
        text = call(self.port, svc.PATH_QUIZ, BETA)
        signature = json.loads(text)["signature"]
        log = self.service.wait_for_log(svc.PATH_QUIZ)
        self.assertIn(svc.PATH_QUIZ, log)
        self.assertNotIn(BETA[0], log)
        self.assertNotIn(signature, log)
        self.assertNotIn(svc.DEV_KEY_HEX, log)


class RestartTest(unittest.TestCase):
    def test_state_survives_restart(self):
        db = os.path.join(tempfile.mkdtemp(dir=WORK), "state.sqlite3")
        admin(db, "add-trader", "--key", ALPHA[0], "--account", ALPHA[1], "--name", "Alpha")
        with Service("--db", db, "--quiet") as service:
            nonce = secrets.token_hex(16)
            status = json.loads(call(service.port, svc.PATH_STATUS, ALPHA, nonce=nonce))
            quiz = svc.quiz_for_day(day_of(status["timestamp"]))
            call(service.port, svc.PATH_ANSWERS, ALPHA, answers=answers_for(quiz, 1))
            self.assertEqual(json.loads(call(service.port, svc.PATH_MARK, ALPHA))["status"], "success")
        self.assertFalse(os.path.exists(service.ready_file))
        self.assertEqual(service.output(), "")

        with Service("--db", db) as service:
            status = json.loads(call(service.port, svc.PATH_STATUS, ALPHA))
            self.assertTrue(status["quiz_completed_today"])
            self.assertEqual(status["readiness_final"], "caution")
            replay = json.loads(call(service.port, svc.PATH_QUIZ, ALPHA, nonce=nonce))
            self.assertEqual(replay["message"], "nonce already used")
            self.assertEqual(json.loads(call(service.port, svc.PATH_MARK, ALPHA))["status"],
                             "already_marked")

        with Service("--db", db, "--clock-offset", "86400") as service:
            tomorrow = json.loads(call(service.port, svc.PATH_STATUS, ALPHA))
            self.assertFalse(tomorrow["quiz_completed_today"])
            self.assertGreaterEqual(tomorrow["timestamp"], status["timestamp"] + 86400)


SCRIPT = {
    "raw-503": {"status": 503, "body": "try later"},
    "nul-bytes": {"body_hex": "7b0022ff00"},
    "signed": {"body": '{"status":"success","timestamp":{{now}},"signature":"{{hmac:success|{{now}}}}"}'},
    "stale": {"body": "{{now-3600}} {{now+5}}"},
    "headers": {"body": "{}", "headers": {"X-Case": "headers", "Content-Type": "text/plain"}},
    "short-length": {"body": "abcdef", "content_length": 3},
    "chunked": {"body": "0123456789", "chunked": True},
    "cut-mid": {"body": "y" * 1000, "drop": "mid_body"},
    "cut-after": {"body": "y" * 10, "drop": "after_headers"},
    "cut-before": {"body": "y", "drop": "before_headers"},
    "sequence": [{"status": 500, "body": "first"}, {"body": "second"}, {"body": "rest"}],
    "per-path": {"by_path": {svc.PATH_QUIZ: {"body": "quiz"}, svc.PATH_MARK: {"body": "mark"}}},
}


class ScriptedModeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = tempfile.mkdtemp(dir=WORK)
        cls.record = os.path.join(d, "record.jsonl")
        cls.db = os.path.join(d, "untouched.sqlite3")
        cls.service = Service("--script", write_script(SCRIPT), "--record", cls.record, "--db", cls.db)
        cls.addClassCleanup(cls.service.stop)

    def post(self, case, path=svc.PATH_STATUS, headers=None):
        return request(self.service.port, path, form({"key": case, "account": "1"}), headers=headers)

    def test_canned_replies(self):
        cases = [("raw-503", 503, b"try later"),
                 ("nul-bytes", 200, b'{\x00"\xff\x00'),
                 ("chunked", 200, b"0123456789"),
                 ("short-length", 200, b"abc"),
                 ("unknown-key-no-default", 404, None)]
        for case, code, body in cases:
            with self.subTest(case=case):
                status, reply, _ = self.post(case)
                self.assertEqual(status, code)
                if body is not None:
                    self.assertEqual(reply, body)

    def test_placeholders(self):
        before = int(time.time())
        status, reply, resp = self.post("signed")
        check_reply(self, reply.decode(), "success|{timestamp}")
        self.assertEqual(resp.getheader("Content-Length"), str(len(reply)))
        self.assertLessEqual(before, json.loads(reply)["timestamp"])
        stale, ahead = map(int, self.post("stale")[1].split())
        self.assertEqual(ahead - stale, 3605)
        self.assertLessEqual(abs(stale + 3600 - time.time()), 60)

    def test_headers(self):
        _, _, resp = self.post("headers")
        self.assertEqual(resp.getheader("X-Case"), "headers")
        self.assertEqual(resp.getheader("Content-Type"), "text/plain")

    def test_dropped_connections(self):
        cases = [("cut-mid", http.client.IncompleteRead, 500),
                 ("cut-after", http.client.IncompleteRead, 0),
                 ("cut-before", http.client.RemoteDisconnected, None)]
        for case, error, received in cases:
            with self.subTest(case=case):
                with self.assertRaises(error) as caught:
                    request(self.service.port, "/", form({"key": case}))
                if received is not None:
                    self.assertEqual(len(caught.exception.partial), received)

    def test_sequences_and_paths(self):
        seen = [self.post("sequence")[:2] for _ in range(4)]
        self.assertEqual(seen, [(500, b"first"), (200, b"second"), (200, b"rest"), (200, b"rest")])
        self.assertEqual(self.post("per-path", svc.PATH_QUIZ)[1], b"quiz")
        self.assertEqual(self.post("per-path", svc.PATH_MARK)[1], b"mark")
        self.assertEqual(self.post("per-path", svc.PATH_ANSWERS)[0], 404)

    def test_requests_are_recorded(self):
        body = b"key=raw-503&account=%C3%A9&note=\xe9\x00end"
        request(self.service.port, "/get_daily_quiz.php?x=1", body, headers={"X-Trace": "t1"})
        with open(self.record) as f:
            last = json.loads(f.readlines()[-1])
        self.assertEqual((last["path"], last["method"]), ("/get_daily_quiz.php?x=1", "POST"))
        self.assertEqual(bytes.fromhex(last["body_hex"]), body)
        self.assertEqual(last["body"].encode("latin-1"), body)
        names = [n for n, _ in last["headers"]]
        self.assertEqual(names[0], "Host")
        self.assertLess(names.index("User-Agent"), names.index("X-Trace"))
        self.assertIn(["X-Trace", "t1"], last["headers"])
        self.assertIn(["Content-Length", str(len(body))], last["headers"])
        self.assertFalse(os.path.exists(self.db))

    def test_default_case(self):
        # A map of replies, and the same as test records (a record without a reply gets the default).
        scripts = [{"default": {"status": 201, "body": "fallback"}, "named": {"body": "named"}},
                   [{"name": "default", "reply": {"status": 201, "body": "fallback"}},
                    {"name": "named", "reply": {"body": "named"}, "call": {"export": "MarkTradingDay"}},
                    {"name": "other", "result": "fallback"}]]
        for script_cases in scripts:
            with Service("--script", write_script(script_cases), "--quiet") as service:
                for body, expected in [(b"key=named", (200, b"named")), (b"key=other", (201, b"fallback")),
                                       (b"\xff\xfe", (201, b"fallback"))]:
                    self.assertEqual(request(service.port, "/any", body)[:2], expected)

    def test_bad_records(self):
        for records in ([{"reply": {}}], [{"name": "a"}, {"name": "a"}], [{"name": "a", "reply": {"drop": "x"}}]):
            with self.subTest(records=records), self.assertRaises(ValueError):
                svc.ScriptedBackend(write_script(records), DEV_KEY, time.time)


class CertificateTest(unittest.TestCase):
    def handshake(self, cert, server_hostname="localhost", cafile="ca.pem"):
        with Service("--script", self.script, "--quiet", cert=cert) as service:
            ctx = ssl.create_default_context(cafile=os.path.join(CERTS, cafile))
            with socket.create_connection(("127.0.0.1", service.port), timeout=10) as raw:
                with ctx.wrap_socket(raw, server_hostname=server_hostname) as tls:
                    return tls.version()

    @classmethod
    def setUpClass(cls):
        cls.script = write_script({"default": {"body": "{}"}})

    def test_verification(self):
        cases = [("localhost", "localhost", None),
                 ("localhost", "127.0.0.1", None),
                 ("otherhost", "localhost", "Hostname mismatch"),
                 ("untrusted", "localhost", "unable to get local issuer certificate"),
                 ("expired", "localhost", "certificate has expired"),
                 ("selfsigned", "localhost", "self-signed certificate")]
        for cert, hostname, failure in cases:
            with self.subTest(cert=cert, hostname=hostname):
                if failure is None:
                    self.assertIn(self.handshake(cert, hostname), ("TLSv1.2", "TLSv1.3"))
                else:
                    with self.assertRaises(ssl.SSLCertVerificationError) as caught:
                        self.handshake(cert, hostname)
                    self.assertIn(failure, caught.exception.verify_message)

    def test_untrusted_chain_is_complete_under_its_own_ca(self):
        self.assertIn(self.handshake("untrusted", cafile="untrusted-ca.pem"), ("TLSv1.2", "TLSv1.3"))

    def test_files(self):
        with open(os.path.join(CERTS, "ca.pem")) as f, open(os.path.join(CERTS, "ca.der"), "rb") as g:
            first = f.read().split("-----END CERTIFICATE-----")[0] + "-----END CERTIFICATE-----\n"
            self.assertEqual(ssl.PEM_cert_to_DER_cert(first), g.read())
        for name in ("ca", "localhost", "otherhost", "untrusted", "selfsigned", "expired"):
            mode = stat.S_IMODE(os.stat(os.path.join(CERTS, name + ".key")).st_mode)
            self.assertEqual(mode, 0o600, name)
        before = os.stat(os.path.join(CERTS, "ca.pem")).st_mtime_ns
        subprocess.run(["bash", with_service.MAKE_CERTS, CERTS], check=True)
        self.assertEqual(os.stat(os.path.join(CERTS, "ca.pem")).st_mtime_ns, before)


if __name__ == "__main__":
    unittest.main()
