#!/usr/bin/env python3
"""POP3 from the folder index, against the real program on loopback.

1. A mailbox of 10,000 messages: the first login (which builds the index), then, the folder at
   rest, ten logins one after the other, each timed for USER+PASS, STAT and LIST (--pause-ms 0: the work, not the
   pause). The password check is a yescrypt hash and makes most of the login.
2. A mailbox of 102,000 messages at the default pause: 40 clients log in at once and each lists
   it whole, while a probe opens an SMTP session every 50 ms and times its banner. Reported: the
   probe's banners beyond the pause (p50, max) and the 40 sessions' LIST times.

Usage: pop3_index.py BREVIN_BINARY
"""

import os
import poplib
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "support"))
from mailtest import free_port, wait_for_port, write_profile  # noqa: E402

TEXT = b"Subject: bench\r\n\r\n" + b"x" * 150 + b"\r\n.\r\n"
MAILBOXES = {"m10k": 10_000, "m102k": 102_000}
PASSWORD = "pw"
PAUSE_MS = 100


def fill(folder, count):
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(1, count + 1):
        path = folder / f"MSG{i:05d}.bvn"
        path.write_bytes(TEXT)
        os.setxattr(path, "user.brevin.size", str(len(TEXT) - 3).encode())


class Server:
    def __init__(self, binary, work, pause):
        self.smtp, self.pop3 = free_port(), free_port()
        self.process = subprocess.Popen(
            [binary, "--headless", "--address", "127.0.0.1", "--smtp-port", str(self.smtp),
             "--pop3-port", str(self.pop3), "--submission-port", "0", "--smtps-port", "0", "--imap-port", "0", "--imaps-port", "0",
             "--pause-ms", str(pause)], cwd=work, stderr=subprocess.DEVNULL)
        if not (wait_for_port(self.smtp) and wait_for_port(self.pop3)):
            raise SystemExit("the server did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def session(port, user, times=None):
    start = time.monotonic()
    p = poplib.POP3("127.0.0.1", port, timeout=60)
    p.user(user)
    p.pass_(PASSWORD)
    logged = time.monotonic()
    count, _ = p.stat()
    statted = time.monotonic()
    listed = len(p.list()[1])
    done = time.monotonic()
    p.quit()
    if times is not None:
        times.append((logged - start, statted - logged, done - statted))
    return count, listed


def ms(seconds):
    return f"{seconds * 1e3:8.1f} ms"


def main():
    binary = sys.argv[1]
    work = Path(tempfile.mkdtemp(prefix="brevin-bench-folders-"))
    try:
        users = {name: (name, PASSWORD) for name in MAILBOXES}
        write_profile(work, work / "store", users)
        for name, count in MAILBOXES.items():
            fill(work / "store" / name, count)

        server = Server(binary, work, 0)
        try:
            start = time.monotonic()
            count, listed = session(server.pop3, "m10k")
            first = time.monotonic() - start
            # A folder changed within the last two seconds is listed again at every look, in
            # case a change hid in the same clock tick; at rest its time is trusted.
            time.sleep(2.5)
            times = []
            for _ in range(10):
                session(server.pop3, "m10k", times)
        finally:
            server.stop()
        print(f"POP3, a mailbox of {count:,} messages (--pause-ms 0; {listed:,} listed)")
        print(f"  first session (builds the index)          {ms(first)}")
        for label, index in (("USER+PASS", 0), ("STAT", 1), ("LIST", 2)):
            values = sorted(t[index] for t in times)
            print(f"  {label:<10} median of 10                 {ms(values[5])}"
                  f"   (min {values[0] * 1e3:.1f}, max {values[-1] * 1e3:.1f})")
        totals = sorted(sum(t) for t in times)
        print(f"  login + STAT + LIST, median               {ms(totals[5])}")

        server = Server(binary, work, PAUSE_MS)
        try:
            stop = threading.Event()
            late = []

            def probe():
                while not stop.is_set():
                    begin = time.monotonic()
                    with socket.create_connection(("127.0.0.1", server.smtp), timeout=30) as s:
                        s.recv(200)
                    late.append(time.monotonic() - begin - PAUSE_MS / 1000)
                    time.sleep(0.05)

            prober = threading.Thread(target=probe)
            prober.start()
            time.sleep(0.3)
            lists = []
            threads = [threading.Thread(target=session, args=(server.pop3, "m102k", lists))
                       for _ in range(40)]
            start = time.monotonic()
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=300)
            elapsed = time.monotonic() - start
            time.sleep(0.2)
            stop.set()
            prober.join()
        finally:
            server.stop()
        late.sort()
        list_times = sorted(t[2] for t in lists)
        print(f"POP3, 40 logins at once to a mailbox of {MAILBOXES['m102k']:,} messages"
              f" (pause {PAUSE_MS} ms)")
        print(f"  all 40 sessions done                      {ms(elapsed)}"
              f"   ({len(lists)} completed)")
        print(f"  LIST of {MAILBOXES['m102k']:,}, median / max            "
              f"{ms(list_times[len(list_times) // 2])} / {list_times[-1] * 1e3:.1f} ms")
        print(f"  probe banners beyond the pause: p50 {late[len(late) // 2] * 1e3:.1f} ms,"
              f" max {late[-1] * 1e3:.1f} ms ({len(late)} banners)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
