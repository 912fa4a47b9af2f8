#!/usr/bin/env python3
"""Logins and submission against the real program, on loopback.

Logins at once: 50 clients send EHLO and AUTH PLAIN together (right passwords, so no penalty:
what is measured is the password check), at the default pause; meanwhile a probe session
sends NOOP every 20 ms and times each reply. Reported: how long the 50 logins took, the checks
per second that makes, and how late the probe's replies came beyond the pause (p50, p99, max).

Delivery: 10 clients each send 1 KiB messages, at most 200 or 3 s each, over submission (587:
STARTTLS, then AUTH, once per connection) and over port 25 in the clear, taking turns three
times, at --pause-ms 0. The client is Python, which shares one core among its threads; both
rows pay that alike.

Usage: login.py BREVIN_BINARY
"""

import base64
import shutil
import smtplib
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "support"))
from mailtest import free_port, wait_for_port, write_profile  # noqa: E402

USERS = {f"u{i}": (f"u{i}", f"pw-{i}") for i in range(50)}
MESSAGE = "From: u0@brevin.test\r\nSubject: bench\r\n\r\n"
MESSAGE = (MESSAGE + "y" * (1024 - len(MESSAGE) - 2) + "\r\n").encode()


class Server:
    def __init__(self, binary, pause):
        self.dir = Path(tempfile.mkdtemp(prefix="brevin-bench-login-"))
        self.smtp, self.pop3, self.submission = free_port(), free_port(), free_port()
        write_profile(self.dir, self.dir / "store", USERS)
        self.process = subprocess.Popen(
            [binary, "--headless", "--address", "127.0.0.1", "--smtp-port", str(self.smtp),
             "--pop3-port", str(self.pop3), "--submission-port", str(self.submission),
             "--smtps-port", "0", "--imap-port", "0", "--imaps-port", "0", "--pause-ms", str(pause)],
            cwd=self.dir, stderr=subprocess.DEVNULL)
        if not all(wait_for_port(p) for p in (self.smtp, self.submission)):
            raise SystemExit("the server did not start")
        self.context = ssl.create_default_context(cafile=self.dir / "brevin-ca.pem")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)
        shutil.rmtree(self.dir, ignore_errors=True)


def logins_at_once(binary):
    server = Server(binary, 100)
    try:
        late = []
        stop = threading.Event()

        def probe():
            with smtplib.SMTP("127.0.0.1", server.smtp, timeout=30) as smtp:
                while not stop.is_set():
                    begun = time.monotonic()
                    smtp.noop()
                    late.append((time.monotonic() - begun) * 1000 - 100)
                    time.sleep(0.02)

        sessions = [smtplib.SMTP("127.0.0.1", server.smtp, timeout=60) for _ in USERS]
        for smtp in sessions:
            smtp.ehlo()
        prober = threading.Thread(target=probe)
        prober.start()
        time.sleep(0.5)
        answers = []

        def login(smtp, name, password):
            plain = base64.b64encode(f"\0{name}\0{password}".encode()).decode()
            answers.append(smtp.docmd("AUTH", "PLAIN " + plain)[0])

        begun = time.monotonic()
        threads = [threading.Thread(target=login, args=(s, n, p))
                   for s, (n, (_, p)) in zip(sessions, USERS.items())]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        took = time.monotonic() - begun
        time.sleep(0.3)
        stop.set()
        prober.join(timeout=10)
        for smtp in sessions:
            smtp.close()
        late.sort()
        ok = answers.count(235)
        print("\nLogins at once (50 clients, AUTH PLAIN, default pause 100 ms)")
        print(f"{'accepted':>10} {'took s':>8} {'checks/s':>9} "
              f"{'probe late p50 ms':>18} {'p99 ms':>8} {'max ms':>8} {'goal':>12}")
        p = lambda q: late[min(len(late) - 1, int(q * len(late)))]  # noqa: E731
        print(f"{ok:>10} {took:>8.2f} {ok / took:>9.1f} {p(0.5):>18.1f} {p(0.99):>8.1f} "
              f"{late[-1]:>8.1f} {'max <= 20 ms':>12}")
    finally:
        server.stop()


def deliveries(port, login, context):
    delivered = 0
    begun = time.monotonic()
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        if login:
            smtp.starttls(context=context)
            smtp.login("u0", "pw-0")
        while delivered < 200 and time.monotonic() - begun < 3:
            smtp.sendmail("u0@brevin.test", ["u1@brevin.test"], MESSAGE)
            delivered += 1
    return delivered


def delivery(binary):
    server = Server(binary, 0)
    try:
        rates = {"submission 587 (STARTTLS + AUTH)": [0, 0.0], "port 25 plain": [0, 0.0]}
        for _ in range(3):
            for name, port, login in (("submission 587 (STARTTLS + AUTH)", server.submission, True),
                                      ("port 25 plain", server.smtp, False)):
                counts = []
                begun = time.monotonic()
                threads = [threading.Thread(
                    target=lambda: counts.append(deliveries(port, login, server.context)))
                    for _ in range(10)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(timeout=60)
                rates[name][0] += sum(counts)
                rates[name][1] += time.monotonic() - begun
        print("\nDelivery, 10 clients, 1 KiB, --pause-ms 0 (three turns each)")
        print(f"{'path':<34} {'messages':>9} {'messages/s':>11}")
        for name, (count, seconds) in rates.items():
            print(f"{name:<34} {count:>9} {count / seconds:>11.0f}")
    finally:
        server.stop()


def main():
    binary = sys.argv[1]
    logins_at_once(binary)
    delivery(binary)


if __name__ == "__main__":
    main()
