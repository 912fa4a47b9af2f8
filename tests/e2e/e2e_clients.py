#!/usr/bin/env python3
"""Real mail clients against the shipped program, run the way a user runs it.

The program starts with no options at all inside a private network namespace (unshare -n,
loopback up), so it binds the host's first address on ports 25 and 110. Python's smtplib and
poplib and curl deliver mail to several users and collect it again; every byte is compared, on
the wire and on disk (msmtp and mpop are in e2e_protocol.py). Where a private namespace cannot be made, the suite
runs on 127.0.0.1 with port options instead and says so.

Usage: e2e_clients.py BREVIN_BINARY
"""

import os
import poplib
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import check, free_port, stuffed, wait_for_port, write_profile  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
IN_NAMESPACE = os.environ.get("BREVIN_E2E_NAMESPACE") == "1"

USERS = {
    "alice": ("alice", "alice-pw"),
    "bob": ("bob", "b0b secret"),
    "carol": ("office/carol", "c"),
}


def reexec_in_namespace():
    """Runs this script again in a private network namespace; None when that is not allowed."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return None
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True)
    if probe.returncode != 0:
        return None
    env = dict(os.environ, BREVIN_E2E_NAMESPACE="1")
    inner = f"ip link set lo up && exec {sys.executable} {os.path.abspath(__file__)} {BINARY}"
    return subprocess.run(["unshare", "-n", "sh", "-c", inner], env=env).returncode


def message(n, sender, to, extra=b""):
    return (
        f"Date: Sun, 06 Dec 2026 12:00:00 +0000\r\nFrom: {sender}\r\nTo: {to}\r\n"
        f"Subject: test {n}\r\n"
        f"Message-ID: <e2e-{n}@brevin.test>\r\n\r\n"
        f"Body of message {n}.\r\n.leading dot line\r\n..two dots\r\n".encode()
        + extra
        + b"last line\r\n"
    )


class Suite:
    def __init__(self, host, smtp_port, pop3_port, store):
        self.host, self.smtp_port, self.pop3_port, self.store = host, smtp_port, pop3_port, store
        self.sent = {name: [] for name in USERS}  # messages each user must receive

    # ---- delivery ----

    def deliver_smtplib(self):
        for n, rcpts in enumerate([["alice"], ["alice", "bob", "carol"], ["bob", "bob"]]):
            data = message(f"smtplib-{n}", "sender@example.org", ", ".join(rcpts))
            with smtplib.SMTP(self.host, self.smtp_port, timeout=20) as smtp:
                refused = smtp.sendmail("sender@example.org", [f"{r}@brevin.test" for r in rcpts], data)
                check(refused == {}, f"smtplib delivers to {rcpts}")
            for r in rcpts:
                self.sent[r].append(data)
        with smtplib.SMTP(self.host, self.smtp_port, timeout=20) as smtp:
            try:
                smtp.sendmail("sender@example.org", ["nobody@brevin.test"], b"x\r\n")
                check(False, "smtplib: unknown recipient refused")
            except smtplib.SMTPRecipientsRefused:
                check(True, "smtplib: unknown recipient refused")

    def deliver_curl(self, tmp):
        data = message("curl", "curl@example.org", "carol")
        path = tmp / "curl-message.txt"
        path.write_bytes(data)
        result = subprocess.run(
            ["curl", "-sS", f"smtp://{self.host}:{self.smtp_port}", "--mail-from", "curl@example.org",
             "--mail-rcpt", "carol@brevin.test", "--upload-file", str(path)],
            capture_output=True, timeout=60)
        check(result.returncode == 0, f"curl smtp:// delivers ({result.stderr.decode().strip()})")
        self.sent["carol"].append(data)

    # ---- what is on disk ----

    def check_store(self):
        for name, (folder, _) in USERS.items():
            files = sorted(Path(self.store, folder).glob("*.bvn"))
            stored = sorted(f.read_bytes() for f in files)
            expected = sorted(stuffed(m) for m in self.sent[name])
            check(stored == expected, f"{name}'s folder holds exactly what was sent ({len(files)} files)")

    # ---- collection ----

    def collect_poplib(self, name):
        folder, password = USERS[name]
        pop = poplib.POP3(self.host, self.pop3_port, timeout=20)
        pop.user(name)
        pop.pass_(password)
        count, _ = pop.stat()
        got = []
        sizes = {int(l.split()[0]): int(l.split()[1]) for l in pop.list()[1]}
        ids = [l.split()[1] for l in pop.uidl()[1]]
        for i in range(1, count + 1):
            _, lines, octets = pop.retr(i)
            got.append(b"".join(l + b"\r\n" for l in lines))
            check(octets > 0 and sizes[i] > 0, f"poplib {name}: LIST size of message {i}")
        pop.quit()
        check(sorted(got) == sorted(self.sent[name]), f"poplib collects {name}'s {count} messages byte for byte")
        check(len(set(ids)) == count, f"poplib {name}: {count} distinct unique ids")

    def collect_curl(self, name):
        folder, password = USERS[name]
        got = []
        for i in range(1, len(self.sent[name]) + 1):
            result = subprocess.run(
                ["curl", "-sS", f"pop3://{self.host}:{self.pop3_port}/{i}", "-u", f"{name}:{password}"],
                capture_output=True, timeout=60)
            check(result.returncode == 0, f"curl pop3:// retrieves {name}'s message {i}")
            got.append(result.stdout)
        # curl undoes the dot-stuffing and leaves out the final "." line.
        check(sorted(got) == sorted(self.sent[name]), f"curl collects {name}'s messages byte for byte")


def main():
    if not IN_NAMESPACE:
        status = reexec_in_namespace()
        if status is not None:
            return status
        print("note: a private network namespace is not permitted here; "
              "running on 127.0.0.1 with port options instead")

    tmp = Path(tempfile.mkdtemp(prefix="brevin-e2e-"))
    try:
        store = tmp / "store"
        write_profile(tmp, store, USERS, newline="\r\n")

        if IN_NAMESPACE:
            host = socket.gethostbyname(socket.gethostname())
            smtp_port, pop3_port, args = 25, 110, []
            print(f"namespace run: no options, the host's first address is {host}")
        else:
            host = "127.0.0.1"
            smtp_port, pop3_port = free_port(), free_port()
            args = ["--address", host, "--smtp-port", str(smtp_port), "--pop3-port", str(pop3_port),
                    "--submission-port", "0", "--smtps-port", "0"]

        server = subprocess.Popen([BINARY, "--headless", *args] if args else [BINARY], cwd=tmp,
                                  env={k: v for k, v in os.environ.items()
                                       if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
        try:
            if not wait_for_port(smtp_port, host) or not wait_for_port(pop3_port, host):
                print("FAIL  the server did not start listening")
                return 1
            suite = Suite(host, smtp_port, pop3_port, store)
            suite.deliver_smtplib()
            suite.deliver_curl(tmp)
            suite.check_store()
            suite.collect_poplib("alice")
            suite.collect_curl("bob")
            suite.collect_poplib("carol")
            check(server.poll() is None, "the server is still running")
        finally:
            server.terminate()
            server.wait(timeout=10)
        return check.summary()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
