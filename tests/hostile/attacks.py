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
  floor        20 uploads begun at once on a small store: the free-space floor holds, the
               refused ones hear 452 and leave no partial file
  repeated     1,000 RCPT of one user (in several letter cases) and one message: one copy,
               and every RCPT answered 250
  logflood     from a LAN address, 20 sessions pipelining 2,990-byte RCPT lines: the log stays
               within its budget, long values are cut, and each failed login of a guesser on
               the same address is still there
  handshake    a TLS client that says nothing (implicit TLS, and after STARTTLS) is closed at
               the command timeout, not the idle timeout
  ciphers      TLS 1.2 with a CBC suite with SHA-1 is refused; AEAD suites and TLS 1.3 connect
  escape       a profile edited by hand to put a folder outside the store: no mail lands there,
               the user cannot log in, and it is logged once

Usage: attacks.py BREVIN_BINARY CASE      (exit 77: the case cannot run here)
"""

import os
import re
import resource
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import (Conversation, Server, check, deliver, on_lan_address, run_case,  # noqa: E402
                      wait_until)

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
    address = on_lan_address(__file__, BINARY, "peraddress")
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


def in_namespace(case, setup):
    """Runs `case` again inside a network namespace of its own after `setup` (commands), or
    exits 77 when that is not permitted. Returns only inside the namespace."""
    if os.environ.get("BREVIN_IN_NAMESPACE") == "1":
        for command in setup:
            if subprocess.run(command, capture_output=True, timeout=10).returncode != 0:
                print(f"skipped: {' '.join(command)} is not permitted here")
                sys.exit(77)
        return
    env = dict(os.environ, BREVIN_IN_NAMESPACE="1")
    try:
        done = subprocess.run(["unshare", "-n", sys.executable, __file__, BINARY, case],
                              env=env, timeout=170)
    except (OSError, subprocess.TimeoutExpired) as error:
        print(f"skipped: cannot run in a network namespace ({error})")
        sys.exit(77)
    sys.exit(done.returncode)


def veth_pair(server, client):
    """A veth pair inside this namespace, `server` and `client` on its two ends, so that the
    client's packets come from a LAN address of their own."""
    return [["ip", "link", "set", "lo", "up"],
            ["ip", "link", "add", "bv0", "type", "veth", "peer", "name", "bv1"],
            ["ip", "addr", "add", f"{server}/24", "dev", "bv0"],
            ["ip", "addr", "add", f"{client}/24", "dev", "bv1"],
            ["ip", "link", "set", "bv0", "up"], ["ip", "link", "set", "bv1", "up"]]


def case_floor(tmp):
    # The store is a tmpfs of 64 MiB in a mount namespace of the server's own; the floor is
    # 32 MiB, and 20 uploads of 4 MiB each could take 80.
    probe = subprocess.run(["unshare", "-m", "sh", "-c", f"mount -t tmpfs -o size=64k tmpfs {tmp}"],
                           capture_output=True, timeout=10)
    if probe.returncode != 0:
        print("skipped: mounting a tmpfs is not permitted here")
        sys.exit(77)
    store = tmp / "store"
    wrapper = ["unshare", "-m", "sh", "-c", f'mount -t tmpfs -o size=64m tmpfs "{store}" && '
               f'mkdir -p "{store}/ann" "{store}/ben" && exec "$0" "$@"']
    server = start(tmp, "--pause-ms", "0", "--min-free-mb", "32", wrapper=wrapper)
    in_ns = lambda *cmd: subprocess.run(["nsenter", "-t", str(server.process.pid), "-m", *cmd],
                                        capture_output=True, timeout=10)

    def free():
        blocks, block = in_ns("stat", "-f", "-c", "%a %S", str(store)).stdout.split()
        return int(blocks) * int(block)

    floor, size = 32 << 20, 4 << 20
    lowest = [free()]
    data = b"Subject: upload\r\n\r\n" + (b"u" * 1022 + b"\r\n") * (size // 1024)
    replies = []

    def upload(index):
        c = Conversation(server.smtp_port, timeout=60, greeted=True)
        try:
            declared = f" SIZE={len(data)}" if index % 2 else ""  # half say how big
            for line in ("HELO up", f"MAIL FROM:<u{index}@x>{declared}", "RCPT TO:<ann@brevin>"):
                reply = c.command(line)
                if not reply.startswith("250"):
                    replies.append(reply)
                    return
            if not c.command("DATA").startswith("354"):
                replies.append("DATA refused")
                return
            for at in range(0, len(data), 256 * 1024):  # in pieces, as the others write too
                c.sock.sendall(data[at:at + 256 * 1024])
                time.sleep(0.02)
            c.sock.sendall(b".\r\n")
            replies.append(c.line())
        except OSError as error:
            replies.append(f"error {error}")
        finally:
            c.close()

    threads = [threading.Thread(target=upload, args=(i,)) for i in range(20)]
    for t in threads:
        t.start()
    until = time.monotonic() + 60
    while any(t.is_alive() for t in threads) and time.monotonic() < until:
        lowest.append(free())
        time.sleep(0.05)
    for t in threads:
        t.join(timeout=30)
    lowest.append(free())
    stored = [n for n in in_ns("ls", "-A", str(store / "ann")).stdout.decode().split()]
    accepted = [r for r in replies if r.startswith("250")]
    refused = [r for r in replies if r.startswith("452")]
    check(len(replies) == 20 and len(accepted) + len(refused) == 20,
          f"every upload hears 250 or 452 ({len(accepted)} filed, {len(refused)} refused)")
    check(accepted and refused, "some fit and the rest are refused")
    check(min(lowest) >= floor, f"the floor holds throughout (lowest free {min(lowest) >> 20} MiB)")
    check(len([n for n in stored if n.endswith(".bvn")]) == len(accepted)
          and not [n for n in stored if n.endswith(".tmp")],
          f"one file per filed message, no partial file left ({stored})")
    check(deliver(server.smtp_port, "ben", b"Subject: small\r\n\r\nhi\r\n").startswith("250"),
          "a small message still fits afterwards")
    server.stop()


def case_repeated(tmp):
    server = start(tmp, "--pause-ms", "0")
    c = Conversation(server.smtp_port, timeout=30, greeted=True)
    c.command("HELO repeat")
    c.command("MAIL FROM:<r@x>")
    names = ["ann", "ANN", "Ann", "aNn"]
    c.sock.sendall("".join(f"RCPT TO:<{names[i % 4]}@brevin>\r\n" for i in range(1000)).encode())
    rcpt = [c.line() for _ in range(1000)]
    check(all(r.startswith("250") for r in rcpt),
          f"every RCPT is answered 250 ({sum(r.startswith('250') for r in rcpt)} of 1000)")
    check(c.command("RCPT TO:<ben@brevin>").startswith("250"),
          "another recipient still fits under the recipient limit")
    c.command("DATA")
    body = b"Subject: once\r\n\r\n" + (b"o" * 1022 + b"\r\n") * 1024
    c.sock.sendall(body + b".\r\n")
    final = c.line()
    c.close()
    check(final.startswith("250"), f"the message is filed ({final})")
    check(len(server.messages("ann")) == 1 and len(server.messages("ben")) == 1,
          f"one copy each ({len(server.messages('ann'))} for ann, {len(server.messages('ben'))} for ben)")
    server.stop()


def case_logflood(tmp):
    in_namespace("logflood", veth_pair("10.99.1.1", "10.99.1.2"))
    # Room for the guesser beside the 20 flooding sessions of its address.
    server = start(tmp, "--pause-ms", "0", "--max-per-address", "30", address="10.99.1.1")
    stop = threading.Event()
    line = ("RCPT TO:<ann@" + "x" * 2974 + ">\r\n").encode()
    assert len(line) == 2990
    sent = [0]

    def flooder():
        for _ in range(200):  # sessions, each closed after its transaction
            if stop.is_set():
                return
            try:
                c = Conversation(server.smtp_port, "10.99.1.1", 10, "10.99.1.2", greeted=True)
                c.command("HELO flood")
                c.command("MAIL FROM:<f@x>")
                for _ in range(100):
                    if stop.is_set():
                        break
                    c.sock.sendall(line * 20)
                    for _ in range(20):
                        c.line()
                    sent[0] += 20
                c.close()
            except OSError:
                time.sleep(0.1)

    answered = []

    def guesser():
        for attempt in range(100):
            if stop.is_set():
                return
            try:
                g = Conversation(server.pop3_port, "10.99.1.1", 30, "10.99.1.2", greeted=True)
                g.command("USER ann")
                if g.command(f"PASS wrong-{attempt}").startswith("-ERR"):
                    answered.append(attempt)
                g.close()
            except OSError:
                pass

    before = server.log.stat().st_size
    begun = time.monotonic()
    threads = [threading.Thread(target=flooder) for _ in range(20)] + [threading.Thread(target=guesser)]
    for t in threads:
        t.start()
    time.sleep(8)
    stop.set()
    for t in threads:
        t.join(timeout=40)
    seconds = time.monotonic() - begun
    time.sleep(1.2)  # the last interval ends; the next turn of the loop writes its count
    Conversation(server.smtp_port, "10.99.1.1", 5, "10.99.1.2", greeted=True).close()
    time.sleep(0.3)
    log = server.stderr()
    grown = server.log.stat().st_size - before
    lines = log.splitlines()
    check(sent[0] > 2000, f"the flood ran ({sent[0]} RCPT lines, {sent[0] * 2990 >> 20} MiB)")
    check(grown / seconds < 40 * 1024, f"the log grows {grown / seconds / 1024:.1f} KiB/s")
    flood_lines = [l for l in lines if "client=10.99.1.2" in l or "smtp recipient" in l]
    check(len(flood_lines) / seconds < 60, f"{len(flood_lines) / seconds:.0f} lines/s")
    folded = sum(int(m.group(1)) for m in re.finditer(r"^log folded client=10\.99\.1\.2 suppressed=(\d+)$",
                                                        log, re.M))
    check(folded > 1000, f"the rest is counted in `log folded` lines ({folded})")
    check(any(re.search(r" to=<ann@x{200,256} to_bytes=2980 ", l) for l in lines),
          "a long address is cut, its length kept")
    failed = [l for l in lines if l.startswith("pop3 login user=ann client=10.99.1.2:")
              and l.endswith("failed=yes")]
    check(answered and len(failed) == len(answered),
          f"each failed login is logged ({len(failed)} lines for {len(answered)} refusals)")
    server.stop()


def case_handshake(tmp):
    server = start(tmp, "--command-timeout", "2", "--idle-timeout", "600",
                   ports=("smtp", "pop3", "smtps"))
    wait_until(lambda: "TLS: certificate" in server.stderr(), 20)

    def closed_after(sock):
        sock.settimeout(15)
        begun = time.monotonic()
        try:
            while sock.recv(4096):
                pass
        except socket.timeout:
            return None
        except OSError:
            pass
        return time.monotonic() - begun

    silent = socket.create_connection(("127.0.0.1", server.ports["smtps"]), timeout=5)
    took = closed_after(silent)
    check(took is not None and 1.5 <= took < 6, f"a silent implicit-TLS client is closed after {took}")
    silent.close()
    c = Conversation(server.smtp_port, timeout=5, greeted=True)
    c.command("HELO quiet")
    check(c.command("STARTTLS").startswith("220"), "STARTTLS is offered")
    c.sock.sendall(b"\x16\x03\x01\x00\xc8\x01")  # the first bytes of a ClientHello, then nothing
    took = closed_after(c.sock)
    check(took is not None and 1.5 <= took < 6, f"a half handshake after STARTTLS is closed after {took}")
    c.close()
    check("reason=\"handshake timed out\"" in server.stderr(), "the timeout is logged")
    server.stop()


def case_ciphers(tmp):
    server = start(tmp, ports=("smtp", "pop3", "smtps"))
    wait_until(lambda: "TLS: certificate" in server.stderr(), 20)
    target = f"127.0.0.1:{server.ports['smtps']}"

    def connects(*options):
        done = subprocess.run(["openssl", "s_client", "-connect", target, "-brief", *options],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        return done.returncode == 0 and b"CONNECTION ESTABLISHED" in done.stderr

    for suite in ("ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA256"):
        check(not connects("-tls1_2", "-cipher", suite), f"TLS 1.2 with {suite} is refused")
    for suite in ("ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                  "ECDHE-ECDSA-CHACHA20-POLY1305"):
        check(connects("-tls1_2", "-cipher", suite), f"TLS 1.2 with {suite} connects")
    check(connects("-tls1_3"), "TLS 1.3 connects")
    server.stop()


def case_escape(tmp):
    server = start(tmp, "--pause-ms", "0")
    server.stop()
    profile = tmp / "brevin.INI"
    profile.write_text(profile.read_text().replace("ann=ann", "ann=../escape"))
    server.start()
    replies = [deliver(server.smtp_port, "ann", b"Subject: out\r\n\r\nhi\r\n") for _ in range(2)]
    check(all(r == "RCPT TO:<ann@brevin> refused" for r in replies),
          f"mail for the user is refused at RCPT ({replies})")
    check(not (tmp / "escape").exists(),
          "nothing lands outside the store")
    s = connect(server.pop3_port)
    s.command("USER ann")
    s.sock.settimeout(30)
    check(s.command("PASS secret").startswith("-ERR"), "the user cannot log in to that folder")
    s.close()
    refused = [l for l in server.lines() if l.startswith("store folder-refused user=ann ")]
    check(len(refused) == 1 and refused[0].endswith("failed=yes"), f"logged once ({refused})")
    check(deliver(server.smtp_port, "ben", b"Subject: in\r\n\r\nhi\r\n").startswith("250"),
          "the other users get mail as before")
    server.stop()


if __name__ == "__main__":
    sys.exit(run_case(globals()))
