#!/usr/bin/env python3
"""What a hostile host on the LAN costs the log, and what the free-space bookkeeping costs
delivery, against the real program on loopback.

Log volume: 20 sessions from one address pipeline 2,990-byte RCPT lines for a few seconds, at
the default pause (100 ms) and at --pause-ms 0; the log's bytes and lines per second. With
--before BINARY (an earlier build), the same for it, side by side.

Delivery rate: 4 clients each deliver 10 KiB messages over one connection for a few seconds,
with the free-space floor (every transaction claims its room) and with --min-free-mb 0 (no
claims, no measuring); messages per second, best of five alternated runs each.

Usage: lan.py BREVIN_BINARY [--before BINARY] [--seconds N]
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

RCPT = b"RCPT TO:<ann@" + b"x" * 2974 + b">\r\n"  # 2,990 bytes


class Server:
    def __init__(self, binary, *options):
        self.dir = Path(tempfile.mkdtemp(prefix="brevin-bench-lan-"))
        self.smtp = free_port()
        write_profile(self.dir, self.dir / "store", {"ann": ("ann", "secret")})
        self.log = self.dir / "stderr.log"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [binary, "--headless", "--address", "127.0.0.1", "--smtp-port", str(self.smtp),
                 "--pop3-port", str(free_port()), "--submission-port", "0", "--smtps-port", "0",
                 "--imap-port", "0", "--imaps-port", "0", *options],
                cwd=self.dir, stderr=log)
        if not wait_for_port(self.smtp):
            raise RuntimeError("server did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)


def read_lines(s, buffer, count):
    while buffer[0].count(b"\r\n") < count:
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffer[0] += chunk
    for _ in range(count):
        line, buffer[0] = buffer[0].split(b"\r\n", 1)
    return line


def log_volume(binary, pause, seconds):
    server = Server(binary, "--pause-ms", str(pause))
    stop = time.monotonic() + seconds

    def flooder():
        for _ in range(1000):
            if time.monotonic() > stop:
                return
            try:
                s = socket.create_connection(("127.0.0.1", server.smtp), timeout=10)
                buffer = [b""]
                read_lines(s, buffer, 1)
                s.sendall(b"HELO flood\r\nMAIL FROM:<f@x>\r\n")
                read_lines(s, buffer, 2)
                for _ in range(50):
                    if time.monotonic() > stop:
                        break
                    s.sendall(RCPT * 20)
                    read_lines(s, buffer, 20)
                s.close()
            except OSError:
                time.sleep(0.05)

    before = server.log.stat().st_size
    lines_before = server.log.read_bytes().count(b"\n")
    begun = time.monotonic()
    threads = [threading.Thread(target=flooder) for _ in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 30)
    took = time.monotonic() - begun
    data = server.log.read_bytes()
    server.stop()
    return (len(data) - before) / took, (data.count(b"\n") - lines_before) / took


def delivery_rate(binary, floor_mb, seconds):
    server = Server(binary, "--pause-ms", "0", "--min-free-mb", str(floor_mb))
    message = stuffed(b"Subject: rate\r\n\r\n" + (b"r" * 1022 + b"\r\n") * 10)
    stop = time.monotonic() + seconds
    done = [0]

    def client():
        s = socket.create_connection(("127.0.0.1", server.smtp), timeout=30)
        buffer = [b""]
        read_lines(s, buffer, 1)
        s.sendall(b"HELO rate\r\n")
        read_lines(s, buffer, 1)
        for _ in range(100000):
            if time.monotonic() > stop:
                break
            s.sendall(b"MAIL FROM:<r@x>\r\nRCPT TO:<ann@x>\r\nDATA\r\n")
            read_lines(s, buffer, 3)
            s.sendall(message)
            if read_lines(s, buffer, 1).startswith(b"250"):
                done[0] += 1
        s.close()

    begun = time.monotonic()
    threads = [threading.Thread(target=client) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + 60)
    rate = done[0] / (time.monotonic() - begun)
    server.stop()
    return rate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--before")
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()

    args.binary = os.path.abspath(args.binary)
    builds = [("before", os.path.abspath(args.before or "."))] * bool(args.before)
    builds.append(("this build", args.binary))
    print("Log volume under a flood of 2,990-byte RCPT lines from 20 sessions of one address")
    print(f"{'build':<12} {'pause ms':>8} {'KiB/s':>10} {'lines/s':>9}")
    for name, binary in builds:
        for pause in (100, 0):
            volume, lines = log_volume(binary, pause, args.seconds)
            print(f"{name:<12} {pause:>8} {volume / 1024:>10.1f} {lines:>9.0f}")
    print()
    print("Delivery rate, 4 clients, 10 KiB messages, --pause-ms 0 (best of 5, runs alternated")
    print("so that a shared machine's drift falls on both alike)")
    print(f"{'free-space floor':<28} {'msg/s':>8}")
    rates = {0: 0.0, 256: 0.0}
    for _ in range(5):
        for floor_mb in rates:
            rates[floor_mb] = max(rates[floor_mb], delivery_rate(args.binary, floor_mb, args.seconds))
    for label, floor_mb in (("none (--min-free-mb 0)", 0), ("256 MiB, claims counted", 256)):
        print(f"{label:<28} {rates[floor_mb]:>8.0f}")
    print(f"{'with claims / without':<28} {100 * rates[256] / rates[0]:>7.1f}%")


if __name__ == "__main__":
    main()
