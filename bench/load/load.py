#!/usr/bin/env python3
"""Many concurrent sessions against the real program: SMTP deliveries and POP3 retrievals mixed.

Reports errors, messages per second, reply latency, the server's peak memory, and checks
afterwards that every acknowledged message is stored exactly once per recipient.

Usage: load.py BREVIN_BINARY [--sessions N] [--seconds S] [--pause-ms P] [--check]
               [--log-level LEVEL | --log-cost ROUNDS]
With --check the exit status is non-zero on any error or lost/duplicated message (CTest).
The server's event log goes to a file, as a journal would take it. --log-cost runs ROUNDS
pairs of runs, --log-level quiet then normal, and reports what logging every event costs in
delivered messages per second.
"""

import argparse
import asyncio
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "support"))
from mailtest import free_port, wait_for_port, without_trace, write_profile  # noqa: E402

USERS = [f"user{i}" for i in range(10)]


class Stats:
    def __init__(self):
        self.latencies = []
        self.errors = []
        self.delivered = 0
        self.retrieved = 0
        self.acked = {}  # tag -> list of recipients


class Session:
    def __init__(self, reader, writer, stats):
        self.reader, self.writer, self.stats = reader, writer, stats

    async def reply(self):
        line = await asyncio.wait_for(self.reader.readline(), 30)
        if not line.endswith(b"\r\n"):
            raise ConnectionError("connection closed")
        return line.decode("latin-1").rstrip("\r\n")

    async def command(self, text, expect):
        start = time.monotonic()
        self.writer.write(text.encode() + b"\r\n")
        line = await self.reply()
        self.stats.latencies.append(time.monotonic() - start)
        if not line.startswith(expect):
            raise ValueError(f"{text!r} -> {line!r}")
        return line


async def smtp_transaction(port, stats, worker, n):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    s = Session(reader, writer, stats)
    try:
        await s.reply()
        await s.command("HELO load", "250")
        await s.command("MAIL FROM:<load@bench>", "250")
        rcpts = random.sample(USERS, random.choice([1, 1, 2]))
        for r in rcpts:
            await s.command(f"RCPT TO:<{r}@brevin>", "250")
        await s.command("DATA", "354")
        tag = f"load-{worker}-{n}-{random.randrange(1 << 40)}"
        body = f"Subject: {tag}\r\n\r\n" + ("x" * 70 + "\r\n") * random.randint(1, 30)
        start = time.monotonic()
        writer.write(body.encode() + b".\r\n")
        line = await s.reply()
        stats.latencies.append(time.monotonic() - start)
        if line != "250 Ok. Brevin Server ready ":
            raise ValueError(f"end of data -> {line!r}")
        stats.acked[tag] = rcpts
        stats.delivered += 1
        await s.command("QUIT", "221")
    finally:
        writer.close()


async def pop3_session(port, stats):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    s = Session(reader, writer, stats)
    user = random.choice(USERS)
    try:
        await s.reply()
        await s.command(f"USER {user}", "+OK")
        await s.command(f"PASS pw-{user}", "+OK")
        count = int((await s.command("STAT", "+OK")).split()[1])
        if count:
            await s.command(f"RETR {random.randint(1, count)}", "+OK")
            while True:  # the message ends with its own "." line
                line = await asyncio.wait_for(reader.readline(), 30)
                if not line:
                    raise ConnectionError("closed during RETR")
                if line == b".\r\n":
                    break
            stats.retrieved += 1
        await s.command("QUIT", "+OK")
    finally:
        writer.close()


async def worker(index, smtp_port, pop3_port, stats, deadline):
    n = 0
    while time.monotonic() < deadline:
        try:
            if index % 10 < 7:
                await smtp_transaction(smtp_port, stats, index, n)
            else:
                await pop3_session(pop3_port, stats)
        except (OSError, ValueError, asyncio.TimeoutError, ConnectionError) as error:
            stats.errors.append(f"{type(error).__name__}: {error}")
            await asyncio.sleep(0.05)
        n += 1


def peak_rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--sessions", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--pause-ms", type=int, default=100)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--log-level", default="normal", choices=["quiet", "normal", "debug"])
    parser.add_argument("--log-cost", type=int, default=0, metavar="ROUNDS")
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 4 * args.sessions + 256)), hard))
    if args.log_cost <= 0:
        ok, _ = run_once(args, args.log_level)
        if args.check:
            print(f"{int(ok)} passed, {int(not ok)} failed")
            return 0 if ok else 1
        return 0

    # Alternating rounds, so that a neighbour's load on the machine falls on both alike.
    # The order flips every round, so a drift in the machine's load cancels out as well.
    rates = {"quiet": [], "normal": []}
    for round_ in range(args.log_cost):
        for level in (["quiet", "normal"] if round_ % 2 == 0 else ["normal", "quiet"]):
            _, rate = run_once(args, level)
            rates[level].append(rate)
            print()
    quiet = sum(rates["quiet"]) / len(rates["quiet"])
    normal = sum(rates["normal"]) / len(rates["normal"])
    cost = (quiet - normal) / quiet * 100 if quiet else 0.0
    print(f"{'delivered/s, --log-level quiet':<34}{quiet:.1f}  ({', '.join(f'{r:.1f}' for r in rates['quiet'])})")
    print(f"{'delivered/s, --log-level normal':<34}{normal:.1f}  ({', '.join(f'{r:.1f}' for r in rates['normal'])})")
    print(f"{'cost of logging every event':<34}{cost:.1f} % (goal: at most 5 %)")
    return 0


def run_once(args, log_level):
    """One run; returns (no error and nothing lost, delivered messages per second)."""
    tmp = Path(tempfile.mkdtemp(prefix="brevin-load-"))
    store = tmp / "store"
    write_profile(tmp, store, {u: (u, f"pw-{u}") for u in USERS})
    smtp_port, pop3_port = free_port(), free_port()
    log = open(tmp / "server.log", "wb")  # noqa: SIM115 - closed below
    server = subprocess.Popen([os.path.abspath(args.binary), "--headless", "--address", "127.0.0.1",
                               "--smtp-port", str(smtp_port), "--pop3-port", str(pop3_port),
                               "--submission-port", "0", "--smtps-port", "0", "--imap-port", "0", "--imaps-port", "0",
                               "--pause-ms", str(args.pause_ms), "--log-level", log_level],
                              cwd=tmp, stderr=log)
    try:
        # A server that never listens shows up below as errors and no deliveries.
        wait_for_port(smtp_port)

        stats = Stats()
        start = time.monotonic()
        deadline = start + args.seconds

        async def run():
            await asyncio.gather(*(worker(i, smtp_port, pop3_port, stats, deadline)
                                   for i in range(args.sessions)))

        asyncio.run(run())
        elapsed = time.monotonic() - start
        peak = peak_rss_kib(server.pid)
        alive = server.poll() is None
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=10)
        log.close()
    log_lines = sum(1 for _ in open(tmp / "server.log", "rb"))

    # Every acknowledged message is stored exactly once per recipient.
    found = {}
    for f in store.glob("*/*.bvn"):
        data = without_trace(f.read_bytes())
        if data.startswith(b"Subject: "):
            tag = data[9:data.index(b"\r\n")].decode()
            found.setdefault(tag, []).append(f.parent.name)
    wrong = [t for t, rcpts in stats.acked.items() if sorted(found.get(t, [])) != sorted(rcpts)]
    torn = [f for f in store.glob("*/*.bvn") if not f.read_bytes().endswith(b"\r\n.\r\n")]
    shutil.rmtree(tmp, ignore_errors=True)

    lat = sorted(stats.latencies)
    p50 = lat[len(lat) // 2] * 1000 if lat else 0
    p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))] * 1000 if lat else 0
    print(f"{args.sessions} concurrent sessions for {args.seconds:.0f} s, pause {args.pause_ms} ms, "
          f"--log-level {log_level}")
    print(f"{'errors':<34}{len(stats.errors)}")
    print(f"{'messages delivered':<34}{stats.delivered} ({stats.delivered / elapsed:.1f}/s)")
    print(f"{'messages retrieved':<34}{stats.retrieved} ({stats.retrieved / elapsed:.1f}/s)")
    print(f"{'reply latency p50 / p99':<34}{p50:.1f} ms / {p99:.1f} ms")
    print(f"{'server peak memory':<34}{peak / 1024:.1f} MiB")
    print(f"{'acknowledged, not stored once':<34}{len(wrong)}")
    print(f"{'incomplete message files':<34}{len(torn)}")
    print(f"{'event log lines':<34}{log_lines}")
    for error in stats.errors[:5]:
        print(f"  error: {error}")
    ok = alive and not stats.errors and not wrong and not torn and stats.delivered > 0
    return ok, stats.delivered / elapsed


if __name__ == "__main__":
    raise SystemExit(main())
