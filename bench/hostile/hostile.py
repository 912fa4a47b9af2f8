#!/usr/bin/env python3
"""A hostile host against the real program, on loopback.

Guessing: password guesses answered per second from one address that keeps 1, 50 or 500
connections guessing (each waits for its answer, then guesses again).

Banner latency: a probe connects every 50 ms and times the SMTP banner while one client
floods pipelined HELO lines, one uploads without end (past the size limit, so nothing is
kept), or four clients each have a 512 KiB message filed for 250 recipients, again and again
(at the default pause the 250 RCPT lines take 25 s, so each files once in the window); at the
default pause (100 ms) and at --pause-ms 0. Reported as p50 and p99 of the probes.

Usage: hostile.py BREVIN_BINARY [--seconds N]   (N: the guessing window, default 20)
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "support"))
from mailtest import free_port, stuffed, wait_for_port, write_profile  # noqa: E402

FILERS, RECIPIENTS = 4, 250


class Server:
    def __init__(self, binary, pause, users):
        self.dir = Path(tempfile.mkdtemp(prefix="brevin-bench-hostile-"))
        self.smtp, self.pop3 = free_port(), free_port()
        write_profile(self.dir, self.dir / "store", users)
        self.process = subprocess.Popen(
            [binary, "--headless", "--address", "127.0.0.1", "--smtp-port", str(self.smtp),
             "--pop3-port", str(self.pop3), "--submission-port", "0", "--smtps-port", "0", "--imap-port", "0", "--imaps-port", "0",
             "--pause-ms", str(pause)],
            cwd=self.dir, stderr=subprocess.DEVNULL)
        if not wait_for_port(self.smtp):
            raise RuntimeError("server did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)


def line(s, count=1):
    """Reads `count` reply lines; one byte at a time, so nothing of a later reply is taken."""
    data = b""
    while data.count(b"\n") < count:
        chunk = s.recv(1)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def command(s, text):
    s.sendall(text.encode() + b"\r\n")
    return line(s)


def open_session(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    line(s)
    return s


def guesses(binary, connections, seconds):
    server = Server(binary, 100, {"ann": ("ann", "secret")})
    answered = [0]
    lock = threading.Lock()
    stop = time.monotonic() + seconds

    def guesser(index):
        try:
            s = open_session(server.pop3)
            for attempt in range(100000):
                if time.monotonic() >= stop:
                    break
                command(s, "USER ann")
                s.settimeout(max(0.05, stop - time.monotonic()))
                command(s, f"PASS wrong-{index}-{attempt}")
                with lock:
                    answered[0] += 1
        except OSError:
            pass

    threads = [threading.Thread(target=guesser, args=(i,)) for i in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 60)
    server.stop()
    return answered[0] / seconds


def probe_banners(port, until):
    samples = []
    while not until():
        start = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                line(s)
            samples.append(time.monotonic() - start)
        except OSError:
            samples.append(30.0)
        time.sleep(0.05)
    samples.sort()
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] * 1000
    return pick(0.5), pick(0.99), len(samples)


def flood(server, stop):
    s = open_session(server.smtp)
    threading.Thread(target=lambda: drain(s), daemon=True).start()
    burst = b"HELO flood\r\n" * 20000
    try:
        while not stop.is_set():
            s.sendall(burst)
    except OSError:
        pass  # at the pause the server reads slowly and the send times out
    s.close()


def drain(s):
    try:
        while s.recv(1 << 16):
            pass
    except OSError:
        pass


def upload(server, stop):
    s = open_session(server.smtp)
    for text in ("HELO up", "MAIL FROM:<u@x>", "RCPT TO:<ann@brevin>", "DATA"):
        command(s, text)
    block = (b"x" * 998 + b"\r\n") * 1000
    sent = 0
    while not stop.is_set() and sent < 1 << 40:
        s.sendall(block)
        sent += len(block)
    s.close()


def filer(server, index, ready, go, stop):
    """Files a 512 KiB message for RECIPIENTS users, again and again until `stop`."""
    s = open_session(server.smtp)
    s.settimeout(600)
    command(s, "HELO filer")
    transaction = "MAIL FROM:<f@x>\r\n" + "".join(
        f"RCPT TO:<r{index * RECIPIENTS + i:04d}@brevin>\r\n" for i in range(RECIPIENTS))
    message = stuffed(b"Subject: many\r\n\r\n" + (b"z" * 1022 + b"\r\n") * 512)
    first = True
    while not stop.is_set():
        s.sendall(transaction.encode())
        line(s, RECIPIENTS + 1)
        command(s, "DATA")
        if first:
            ready.release()
            go.wait()
            first = False
        s.sendall(message)
        if not line(s).startswith(b"250"):
            print(f"filer {index}: the message was not filed", file=sys.stderr)
    s.close()


def latency(binary, pause, scenario, seconds=5):
    users = {"ann": ("ann", "secret")}
    if scenario == "filing":
        users.update({f"r{i:04d}": (f"r{i:04d}", None) for i in range(FILERS * RECIPIENTS)})
    server = Server(binary, pause, users)
    stop = threading.Event()
    if scenario == "filing":
        ready, go = threading.Semaphore(0), threading.Event()
        workers = [threading.Thread(target=filer, args=(server, i, ready, go, stop))
                   for i in range(FILERS)]
        for w in workers:
            w.start()
        for _ in workers:
            ready.acquire()
        go.set()
        end = time.monotonic() + seconds
        result = probe_banners(server.smtp, lambda: time.monotonic() >= end)
    else:
        workers = [threading.Thread(target=flood if scenario == "flood" else upload,
                                    args=(server, stop))]
        for w in workers:
            w.start()
        time.sleep(0.5)
        end = time.monotonic() + seconds
        result = probe_banners(server.smtp, lambda: time.monotonic() >= end)
    stop.set()
    for w in workers:
        w.join(timeout=120)
    server.stop()
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    print(f"Guesses answered per second from one address ({args.seconds:.0f} s each)")
    print(f"{'connections':>12} {'guesses/s':>10}")
    for connections in (1, 50, 500):
        print(f"{connections:>12} {guesses(args.binary, connections, args.seconds):>10.2f}", flush=True)
    print()
    print("SMTP banner latency of a probe while another client attacks")
    print(f"{'load':>8} {'pause ms':>9} {'p50 ms':>8} {'p99 ms':>8} {'probes':>7}")
    for scenario in ("flood", "upload", "filing"):
        for pause in (100, 0):
            p50, p99, count = latency(args.binary, pause, scenario)
            print(f"{scenario:>8} {pause:>9} {p50:>8.1f} {p99:>8.1f} {count:>7}", flush=True)


if __name__ == "__main__":
    main()
