"""Runs a command beside a running server: what every test driver shares.

    options, command = beside.parse(parser, argv)   # "OPTIONS -- COMMAND ARGS..."
    with beside.interruptible():                  # SIGTERM/SIGINT raise Interrupted inside
        with beside.Process(argv, log, ready=beside.file_exists(path)) as server:
            code, _ = beside.run(command, env)

Every process started here gets PR_SET_PDEATHSIG, so none outlives the driver even if the
driver is killed; every context stops what it started on every way out, and cleanup is not
cut short by a second signal.
"""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

READY_TIMEOUT = 20.0
STOP_GRACE = 5.0


class Interrupted(Exception):
    """SIGTERM or SIGINT arrived; args[0] is the signal number."""


class NotReady(Exception):
    """A server process exited, or did not get ready in time."""


def parse(parser, argv):
    """Parses "OPTIONS -- COMMAND ARGS..." with `parser`: (options, COMMAND); exits 2 when
    there is no "--" or nothing after it."""
    if "--" not in argv:
        parser.error("missing -- before COMMAND")
    split = argv.index("--")
    options, command = parser.parse_args(argv[:split]), argv[split + 1:]
    if not command:
        parser.error("no COMMAND after --")
    return options, command


def read_text(path):
    """The file's text, undecodable bytes replaced; "" when it cannot be read."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def verdict(ok):
    """Prints the one-case summary a driver ends with; returns its exit code."""
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    sys.stdout.flush()
    return 0 if ok else 1


def child_setup():
    if sys.platform.startswith("linux"):
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def popen(argv, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, preexec_fn=child_setup if os.name == "posix" else None, **kwargs)


def stop(proc, grace=STOP_GRACE, signum=signal.SIGTERM):
    """Sends proc `signum`, then kills it if it is still there after `grace` seconds."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signum)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def exit_code(returncode):
    """A child's exit code as a shell gives it (a signal N as 128 + N)."""
    return 128 - returncode if returncode < 0 else returncode


@contextlib.contextmanager
def interruptible():
    def on_signal(signum, _frame):
        raise Interrupted(signum)

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, on_signal)
    try:
        yield
    finally:
        for signum in (signal.SIGTERM, signal.SIGINT):
            signal.signal(signum, signal.SIG_IGN)


@contextlib.contextmanager
def uninterrupted():
    """SIGTERM and SIGINT wait while cleanup runs (main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    handlers = {signum: signal.signal(signum, signal.SIG_IGN) for signum in (signal.SIGTERM, signal.SIGINT)}
    try:
        yield
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


def file_exists(path):
    return lambda: os.path.exists(path)


def listening(host, port):
    def ready():
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            return False
    return ready


class Process:
    """A server process, its output in `log` (a path), stopped when the context ends.
    With `ready`, entering waits until ready() is true and raises NotReady when the process
    exits first or `timeout` passes."""

    def __init__(self, argv, log, ready=None, timeout=READY_TIMEOUT):
        self.argv, self.log, self.ready, self.timeout = argv, log, ready, timeout
        self.proc = None

    def __enter__(self):
        with open(self.log, "ab") as out:
            self.proc = popen(self.argv, stdout=out, stderr=out)
        try:
            if self.ready is not None:
                self.wait_ready()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        with uninterrupted():
            stop(self.proc)
        return False

    def wait_ready(self):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.ready():
                return
            if self.proc.poll() is not None:
                raise NotReady("exited with code %d before it was ready" % self.proc.returncode)
            time.sleep(0.05)
        raise NotReady("was not ready after %.0f s" % self.timeout)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def output(self):
        return read_text(self.log)


class ServingThread:
    """A socketserver serving on a daemon thread, shut down and closed when the context ends."""

    def __init__(self, server):
        self.server = server
        self.thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        with uninterrupted():
            self.server.shutdown()
            self.server.server_close()
        return False


def run(command, env, timeout=None, capture=False, stdin=None):
    """Runs COMMAND to its end and returns (exit code, its output if captured, else None).
    On Interrupted the signal is passed on to COMMAND before it is stopped; on a timeout
    COMMAND is killed and subprocess.TimeoutExpired raised. Nothing is left running."""
    proc = popen(command, env=env, stdin=stdin, stdout=subprocess.PIPE if capture else None,
                 stderr=subprocess.STDOUT if capture else None)
    try:
        output, _ = proc.communicate(timeout=timeout)
    except Interrupted as e:
        with uninterrupted():
            stop(proc, signum=e.args[0])
        raise
    except BaseException:
        with uninterrupted():
            proc.kill()
            proc.wait()
        raise
    text = output.decode("utf-8", "replace") if output is not None else None
    return exit_code(proc.returncode), text
