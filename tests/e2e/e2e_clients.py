#!/usr/bin/env python3
"""Real mail clients against the shipped program, run the way a user runs it.

The program starts with no options at all inside a private network namespace (unshare -n,
loopback up), so it binds the host's first address on ports 25 and 110. Python's smtplib and
poplib deliver mail to several users and collect it again; every byte is compared, on the wire
and on disk (curl is in the IPv6 and TLS suites, msmtp and mpop in e2e_protocol.py). Where a
private namespace cannot be made, the suite runs on 127.0.0.1 with port options instead.

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
from mailtest import check, free_port, stuffed, wait_for_port, without_trace, write_profile  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
USERS = {"alice": ("alice", "alice-pw"), "bob": ("bob", "b0b secret"), "carol": ("carol.box", "c")}


def message(n, to):
    return (f"Date: Sun, 06 Dec 2026 12:00:00 +0000\r\nFrom: sender@example.org\r\nTo: {to}\r\n"
            f"Subject: test {n}\r\nMessage-ID: <e2e-{n}@brevin.test>\r\n\r\n"
            f"Body of message {n}.\r\n.leading dot line\r\n..two dots\r\nlast line\r\n").encode()


def run(host, smtp_port, pop3_port, store):
    sent = {name: [] for name in USERS}  # messages each user must receive
    for n, rcpts in enumerate([["alice"], ["alice", "bob", "carol"], ["bob", "bob"]]):
        data = message(f"smtplib-{n}", ", ".join(rcpts))
        with smtplib.SMTP(host, smtp_port, timeout=20) as smtp:
            refused = smtp.sendmail("sender@example.org", [f"{r}@brevin.test" for r in rcpts], data)
        check(refused == {}, f"smtplib delivers to {rcpts}")
        for r in dict.fromkeys(rcpts):  # a recipient named twice gets one copy
            sent[r].append(data)
    # An unknown recipient's refusal is the operations and SMTP suites' business.

    for name, (folder, _) in USERS.items():
        stored = sorted(without_trace(f.read_bytes()) for f in Path(store, folder).glob("*.bvn"))
        check(stored == sorted(stuffed(m) for m in sent[name]),
              f"{name}'s folder holds exactly what was sent ({len(stored)} files)")

    for name in USERS:
        pop = poplib.POP3(host, pop3_port, timeout=20)
        pop.user(name)
        pop.pass_(USERS[name][1])
        count, _ = pop.stat()
        sizes = [int(l.split()[1]) for l in pop.list()[1]]
        ids = {l.split()[1] for l in pop.uidl()[1]}
        got = [without_trace(b"".join(l + b"\r\n" for l in pop.retr(i)[1])) for i in range(1, count + 1)]
        pop.quit()
        check(sorted(got) == sorted(sent[name]), f"poplib collects {name}'s {count} messages byte for byte")
        check(len(sizes) == len(ids) == count and min(sizes) > 0, f"poplib {name}: sizes and distinct ids")


def main():
    if os.environ.get("BREVIN_E2E_NAMESPACE") != "1":
        if shutil.which("ip") and shutil.which("unshare") and subprocess.run(
                ["unshare", "-n", "true"], capture_output=True).returncode == 0:
            env = dict(os.environ, BREVIN_E2E_NAMESPACE="1")
            inner = f"ip link set lo up && exec {sys.executable} {os.path.abspath(__file__)} {BINARY}"
            return subprocess.run(["unshare", "-n", "sh", "-c", inner], env=env).returncode
        print("note: a private network namespace is not permitted here; "
              "running on 127.0.0.1 with port options instead")
        host, smtp_port, pop3_port = "127.0.0.1", free_port(), free_port()
        args = ["--headless", "--address", host, "--smtp-port", str(smtp_port),
                "--pop3-port", str(pop3_port), "--submission-port", "0", "--smtps-port", "0", "--imap-port", "0", "--imaps-port", "0"]
    else:
        host, smtp_port, pop3_port, args = socket.gethostbyname(socket.gethostname()), 25, 110, []
        print(f"namespace run: no options, the host's first address is {host}")

    tmp = Path(tempfile.mkdtemp(prefix="brevin-e2e-"))
    try:
        write_profile(tmp, tmp / "store", USERS, newline="\r\n")
        server = subprocess.Popen([BINARY, *args], cwd=tmp, env={
            k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
        try:
            if not wait_for_port(smtp_port, host) or not wait_for_port(pop3_port, host):
                check(False, "the server starts listening")
            else:
                run(host, smtp_port, pop3_port, tmp / "store")
                check(server.poll() is None, "the server is still running")
        finally:
            server.terminate()
            server.wait(timeout=10)
        return check.summary()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
