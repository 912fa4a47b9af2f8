#!/usr/bin/env python3
"""Attacks from one host against the shipped program, each asserting what the server must do.

  guessing     50 connections guess ann's password, half of them hanging up after 0.4 s: few
               answers in 8 s, the right password waits out the penalty too, and it is logged
  peraddress   in a private network namespace, from a non-loopback address: the 21st session
               hears 421 (SMTP) or -ERR (POP3) and is closed; loopback clients are exempt
  maxsessions  --max-sessions 5: the sixth client hears 421 at once; the soft descriptor
               limit was raised to the hard one
  trickle      a line trickling in one byte at a time is closed after --command-timeout
               while another client is served
  flood        at --pause-ms 0, a client flooding pipelined HELO lines and one uploading
               without end: a probe still gets banners and replies promptly

Usage: attacks.py BREVIN_BINARY CASE      (exit 77: the case cannot run here)
"""

import os
import resource
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Conversation, Server, check, run_case  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])


def start(tmp, *extra, **options):
    """The program with users ann and ben."""
    return Server(BINARY, tmp, {"ann": ("ann", "secret"), "ben": ("ben", "pw")}, *extra, **options)


def first_line(port, host="127.0.0.1", source=None, timeout=5.0):
    """Connects and returns (first line, seconds to it, whether the server then closed)."""
    begun = time.monotonic()
    c = Conversation(port, host, timeout, source)
    try:
        line = c.line()
    except ConnectionError:
        line = ""
    took = time.monotonic() - begun
    try:
        c.sock.settimeout(1.0)
        closed = c.sock.recv(200) == b""
    except OSError:
        closed = False
    c.close()
    return line, took, closed


def connect(port, host="127.0.0.1", source=None):
    """An open conversation whose banner has been read, or None when it was not a greeting."""
    c = Conversation(port, host, 5, source)
    try:
        return c if c.line()[:3] in ("220", "+OK") else None
    except ConnectionError:
        return None


def limit_holds(server, limit, port, host="127.0.0.1", what="the next"):
    """`limit` sessions on `port` are greeted, one more on SMTP hears 421 and is closed at once,
    and a place freed is taken again. Returns the sessions still held."""
    held = [connect(port, host) for _ in range(limit)]
    check(all(held), f"{limit} sessions are greeted")
    line, took, closed = first_line(server.smtp_port, host)
    check(line.startswith("421 ") and closed and took < 2,
          f"{what} hears 421 and is closed at once ({line!r}, {took:.2f} s)")
    held.pop().close()
    time.sleep(0.3)
    held.append(connect(server.smtp_port, host))
    check(held[-1] is not None, "a session that ends frees its place")
    return held


# ---- cases ----


def case_guessing(tmp):
    server = start(tmp)
    answered = []
    stop = time.monotonic() + 8

    def guesser(index):
        patient = index % 2 == 0
        for attempt in range(1000):
            if time.monotonic() > stop:
                return
            try:  # the socket closes with the conversation dropped
                s = Conversation(server.pop3_port, timeout=5, greeted=True)
                s.command("USER ann")
                s.sock.settimeout(max(0.1, stop - time.monotonic()) if patient else 0.4)
                if s.command(f"PASS guess-{index}-{attempt}"):
                    answered.append(time.monotonic())
                s.close()
            except OSError:
                pass  # hung up before the answer

    threads = [threading.Thread(target=guesser, args=(i,)) for i in range(50)]
    for t in threads:
        t.start()
    for t in threads:  # each gives up by `stop`
        t.join(timeout=30)
    check(len(answered) <= 10, f"{len(answered)} guesses answered in 8 s from 50 connections")

    s = connect(server.pop3_port)
    s.command("USER ann")
    begun = time.monotonic()
    s.sock.settimeout(40)
    right = s.command("PASS secret")
    took = time.monotonic() - begun
    check(right == "+OK pwd is correct" and took >= 1.9,
          f"the right password is answered only after the penalty ({took:.1f} s)")
    s.close()
    check("pop3 penalty client=127.0.0.1 seconds=15" in server.stderr(),
          "the penalty is logged, and has grown to 15 s")
    server.stop()


def case_peraddress(tmp):
    if os.environ.get("BREVIN_IN_NAMESPACE") != "1":
        # A network namespace of our own: the server and its clients on an address that is
        # not loopback, and nothing leaves the namespace.
        env = dict(os.environ, BREVIN_IN_NAMESPACE="1")
        try:
            done = subprocess.run(["unshare", "-n", sys.executable, __file__, BINARY, "peraddress"],
                                  env=env, timeout=120)
        except (OSError, subprocess.TimeoutExpired) as error:
            print(f"skipped: cannot run in a network namespace ({error})")
            sys.exit(77)
        sys.exit(done.returncode)
    address = "10.99.0.1"
    for command in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", f"{address}/32", "dev", "lo"]):
        if subprocess.run(command, capture_output=True).returncode != 0:
            print(f"skipped: {' '.join(command)} is not permitted here")
            sys.exit(77)
    server = start(tmp, address=address)
    held = limit_holds(server, 20, server.smtp_port, address, "the 21st")
    line, took, closed = first_line(server.pop3_port, address)
    check(line.startswith("-ERR ") and closed, f"on POP3 it hears -ERR ({line!r})")
    local = [connect(server.smtp_port, address, source="127.0.0.1") for _ in range(25)]
    check(all(local), "loopback clients are exempt")
    check('reason="per-address limit"' in server.stderr(), "refusals are logged")
    for s in held + local:
        s.close()
    server.stop()


def case_maxsessions(tmp):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    low = min(256, hard)
    server = start(tmp, "--max-sessions", "5",
                   preexec=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (low, hard)))
    held = limit_holds(server, 5, server.pop3_port, what="the sixth")
    limits = Path(f"/proc/{server.process.pid}/limits").read_text()
    row = next(l for l in limits.splitlines() if l.startswith("Max open files")).split()
    check(row[3] == row[4], f"the soft descriptor limit is raised to the hard one ({row[3]}/{row[4]})")
    for s in held:
        s.close()
    server.stop()


def case_trickle(tmp):
    server = start(tmp, "--pause-ms", "0", "--command-timeout", "2")
    slow, normal = connect(server.smtp_port), connect(server.smtp_port)
    slow.sock.settimeout(0.3)
    begun, closed_after, served = time.monotonic(), None, True
    for byte in b"HELO trickling.example.org and on and on":
        served = served and normal.command("NOOP").startswith("250")
        try:
            slow.sock.send(bytes([byte]))
            if slow.sock.recv(100) == b"":
                closed_after = time.monotonic() - begun
                break
        except socket.timeout:
            pass
        except OSError:
            closed_after = time.monotonic() - begun
            break
    check(closed_after is not None and 1.9 <= closed_after < 8,
          f"the trickling line is closed after the command timeout ({closed_after})")
    check(served, "another client is served meanwhile")
    server.stop()


def case_flood(tmp):
    server = start(tmp, "--pause-ms", "0")
    stop = threading.Event()
    counts = {"flood": 0, "upload": 0}

    def drain(s):
        try:
            while s.recv(1 << 16):
                pass
        except OSError:
            pass

    def attacker(kind, lines, block):
        s = connect(server.smtp_port)
        for line in lines:
            s.command(line)
        threading.Thread(target=drain, args=(s.sock,), daemon=True).start()
        while not stop.is_set() and counts[kind] < 1 << 40:
            s.sock.sendall(block)
            counts[kind] += len(block)
        s.close()

    workers = [threading.Thread(target=attacker, args=("flood", (), b"HELO flood\r\n" * 20000)),
               threading.Thread(target=attacker, args=(
                   "upload", ("HELO up", "MAIL FROM:<u@x>", "RCPT TO:<ann@brevin>", "DATA"),
                   (b"x" * 1000 + b"\r\n") * 1000))]
    for w in workers:
        w.start()
    time.sleep(1)
    worst = 0.0
    for _ in range(20):
        try:
            line, took, _ = first_line(server.pop3_port, timeout=20)
            s = connect(server.smtp_port)
            begun = time.monotonic()
            ok = line.startswith("+OK") and s.command("NOOP").startswith("250")
            worst = max(worst, took, time.monotonic() - begun) if ok else 99
            s.close()
        except (OSError, AttributeError):  # no banner, or none that greets
            worst = 99
            break
        time.sleep(0.1)
    stop.set()
    for w in workers:
        w.join(timeout=30)
    check(counts["flood"] > 1 << 20 and counts["upload"] > 1 << 20,
          f"the attackers ran ({counts['flood'] >> 20} MiB of HELO, {counts['upload'] >> 20} MiB uploaded)")
    check(worst < 2, f"a probe gets its banner and replies promptly (worst {worst:.2f} s)")
    server.stop()


if __name__ == "__main__":
    sys.exit(run_case(globals()))
