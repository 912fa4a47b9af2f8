"""Helpers shared by the Python scripts that run the real program: checks with a summary,
loopback ports, the profile file, the program started headless, raw SMTP and POP3
conversations, the bytes an SMTP client sends for a message, and running one named case.

Standard library only. A script in a folder next to this one imports it so:

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
    from mailtest import check, Server, Conversation
"""

import os
import poplib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path


class Checks:
    """Counts checks, prints "ok    WHAT" or "FAIL  WHAT" for each, and sums them up."""

    def __init__(self):
        self.passed = self.failed = 0

    def __call__(self, ok, what):
        print(f"{'ok  ' if ok else 'FAIL'}  {what}", flush=True)
        self.passed += bool(ok)
        self.failed += not ok
        return ok

    def summary(self):
        """Prints the final "N passed, M failed" line; returns the exit status."""
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        return 0 if self.failed == 0 else 1


# The checks of the running script.
check = Checks()


def free_port():
    """A loopback TCP port that is free at the moment of asking."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def on_lan_address(script, binary, case, address="10.99.0.1", limit=120):
    """Runs the rest of `case` in a network namespace of its own, with `address` (not
    loopback) on its lo, so that nothing leaves the namespace: re-runs `script` there and exits
    with its status, or with 77 (skipped) where namespaces cannot be made. In the namespace,
    returns the address."""
    if os.environ.get("BREVIN_IN_NAMESPACE") != "1":
        env = dict(os.environ, BREVIN_IN_NAMESPACE="1")
        try:
            done = subprocess.run(["unshare", "-n", sys.executable, script, binary, case],
                                  env=env, timeout=limit)
        except (OSError, subprocess.TimeoutExpired) as error:
            print(f"skipped: cannot run in a network namespace ({error})")
            sys.exit(77)
        sys.exit(done.returncode)
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "addr", "add", f"{address}/32", "dev", "lo"]):
        if subprocess.run(command, capture_output=True, timeout=10).returncode != 0:
            print(f"skipped: {' '.join(command)} is not permitted here")
            sys.exit(77)
    return address


def wait_until(done, limit=10.0, pause=0.05):
    """Whether `done()` came true within `limit` seconds, asked every `pause` seconds."""
    deadline = time.monotonic() + limit
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(pause)
    return True


def wait_for_port(port, host="127.0.0.1", limit=10.0):
    """True once something accepts connections on host:port, False after `limit` seconds."""
    def accepts():
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            return False
    return wait_until(accepts, limit)


def stuffed(message: bytes) -> bytes:
    """What an SMTP client puts on the wire for `message`, and so what the store holds: every
    line that begins with "." gets a second one, the last line ends in CR LF, then "." CR LF."""
    if not message.endswith(b"\r\n"):
        message += b"\r\n"
    lines = message.split(b"\r\n")[:-1]
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines) + b".\r\n"


def without_trace(data: bytes) -> bytes:
    """A message without the Return-Path: and Received: lines the server put before it."""
    for field in (b"Return-Path: ", b"Received: "):
        if data.startswith(field):
            end = data.index(b"\r\n") + 2
            while data[end:end + 1] == b"\t":
                end = data.index(b"\r\n", end) + 2
            data = data[end:]
    return data


def without_trace_lines(lines):
    """`lines` (a retrieval's, line ends dropped) without the server's trace lines."""
    while lines and (lines[0].startswith((b"Return-Path: ", b"Received: "))
                     or (lines[0].startswith(b"\t") and len(lines) > 1)):
        lines = lines[1:]
    return lines


def write_profile(workdir, store, users, newline="\n"):
    """Writes brevin.INI into `workdir` for `users` (name -> (folder, password)) with its
    store at `store`, and makes each user's folder. Returns the profile's path. Passwords go
    in the clear, as earlier versions wrote them (the first start hashes each, tens of
    milliseconds apiece); a password of None leaves the user without one (mail only)."""
    store = Path(store)
    lines = ["[BREVIN]", f"store={store}", "[USERS]"]
    lines += [f"{name}={folder}" for name, (folder, _) in users.items()]
    lines += ["[PWD]"] + [f"{name}={password}" for name, (_, password) in users.items()
                          if password is not None]
    profile = Path(workdir) / "brevin.INI"
    profile.write_text(newline.join(lines) + newline)
    for folder, _ in users.values():
        (store / folder).mkdir(parents=True, exist_ok=True)
    return profile


class Server:
    """The program in `workdir` on free loopback ports (`ports` names them as its --NAME-port
    options do), with a profile for `users` (name -> (folder, password)) and its store in
    `store` (workdir/store unless given): headless unless told otherwise, on `address` (none:
    the program's own choice). Standard error goes to workdir/stderr.log, fresh for each start.
    Started at once, waiting for every port, unless `start` is False. Clients trust `ca` (the
    office CA the program makes) to verify `cert` (the server's certificate, what they pin)."""

    def __init__(self, binary, workdir, users, *extra, ports=("smtp", "pop3"), address="127.0.0.1",
                 store=None, wrapper=(), preexec=None, env=None, headless=True, start=True):
        self.binary, self.extra, self.address, self.env = binary, list(extra), address, env
        self.wrapper, self.preexec, self.users = list(wrapper), preexec, users
        self.workdir = Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.store = Path(store) if store else self.workdir / "store"
        self.ca, self.cert = self.workdir / "brevin-ca.pem", self.workdir / "brevin-cert.pem"
        write_profile(self.workdir, self.store, users)
        self.ports = {name: free_port() for name in ports}
        self.smtp_port, self.pop3_port = self.ports.get("smtp"), self.ports.get("pop3")
        self.log = self.workdir / "stderr.log"
        options = ["--headless"] * headless + ["--address", address] * bool(address)
        self.command = [*self.wrapper, binary, *options, *self.extra]
        for name, port in self.ports.items():
            self.command += [f"--{name}-port", str(port)]
        # Submission and IMAP listen by default on privileged ports: closed unless a test asks.
        for name in ("submission", "smtps", "imap", "imaps"):
            if name not in self.ports:
                self.command += [f"--{name}-port", "0"]
        self.process = None
        if start:
            self.start(wait=bool(address))

    def start(self, wait=True):
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(self.command, cwd=self.workdir, stderr=log,
                                            preexec_fn=self.preexec, env=self.env)
        if wait and not all(wait_for_port(p, self.address) for p in self.ports.values()):
            self.stop()
            raise RuntimeError(f"the server did not start listening: {self.stderr()[-600:]}")

    def stderr(self):
        return self.log.read_text(errors="replace")

    def lines(self):
        return self.stderr().splitlines()

    def log_line(self, prefix, limit=10.0):
        """The first line of standard error starting with `prefix`, waited for up to `limit` s."""
        found = lambda: [l for l in self.lines() if l.startswith(prefix)]
        wait_until(lambda: found() or self.process.poll() is not None, limit)
        return (found() or [""])[0]

    def stop(self, sig=signal.SIGTERM):
        """Its exit status once `sig` ended it."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(timeout=20) if self.process else None

    def messages(self, user):
        """The message files in `user`'s folder, by name."""
        folder = self.store / self.users[user][0]
        return sorted(f for f in folder.iterdir() if f.name.lower().endswith(".bvn"))

    def stored(self, user):
        """The stored messages as their senders sent them: without the server's trace lines."""
        return [without_trace(f.read_bytes()) for f in self.messages(user)]

    def pop(self, user, **tls):
        """poplib logged in as `user`: POP3_SSL when given a `context`."""
        pop = (poplib.POP3_SSL(self.address, self.ports["pop3s"], timeout=20, **tls) if tls
               else poplib.POP3(self.address, self.pop3_port, timeout=20))
        pop.user(user)
        pop.pass_(self.users[user][1])
        return pop


class Conversation:
    """A raw client on one connection, read a CR LF line at a time; with `greeted`, the banner
    is read (into `banner`) first."""

    def __init__(self, port, host="127.0.0.1", timeout=10, source=None, greeted=False):
        self.sock = socket.socket()
        self.sock.settimeout(timeout)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect((host, port))
        self.buffer = b""
        self.banner = self.line() if greeted else None

    def line(self):
        """The next line without its CR LF; ConnectionError when the server closes first."""
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def close(self):
        self.sock.close()


def deliver(port, user, data):
    """One SMTP transaction over a raw socket; its final reply."""
    c = Conversation(port, greeted=True)
    try:
        for line in ("HELO test", "MAIL FROM:<f@x>", f"RCPT TO:<{user}@brevin>"):
            if not c.command(line).startswith("250"):
                return f"{line} refused"
        if not c.command("DATA").startswith("354"):
            return "data refused"
        c.sock.sendall(stuffed(data))
        return c.line()
    finally:
        c.close()


def run_case(cases, name=None):
    """Runs `name` (the second argument unless given) of `cases` (a script's globals, whose
    case_NAME functions take a fresh temporary folder); a crash of the harness is a failure,
    never a pass. Returns the exit status."""
    name = name or sys.argv[2]
    tmp = Path(tempfile.mkdtemp(prefix=f"brevin-{name}-"))
    try:
        cases[f"case_{name}"](tmp)
    except Exception as error:
        check(False, f"{name}: {type(error).__name__}: {error}")
    finally:
        subprocess.run(["umount", "-l", str(tmp)], capture_output=True)
        shutil.rmtree(tmp, ignore_errors=True)
    return check.summary()
