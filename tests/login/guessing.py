#!/usr/bin/env python3
"""Guesses spread over 50 addresses against one account, in a network namespace this test
makes: a veth pair, the server on one end, 50 client addresses on the other. The guesses that
get an answer stay at about one a second, while the address the user logged in from before
logs in at once. Needs root (unshare -n); skipped (77) without it.

Usage: guessing.py BREVIN_BINARY [inside]
"""

import os
import shlex
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check  # noqa: E402

BINARY = sys.argv[1]
SERVER, OWN = "10.213.9.1", "10.213.9.2"
GUESSERS = [f"10.213.9.{10 + i}" for i in range(50)]
SECONDS = 8


def login(source, password, timeout=20):
    """USER and PASS from `source`; True for +OK. OSError when no answer came in time."""
    with socket.create_connection((SERVER, server.pop3_port), timeout=timeout,
                                  source_address=(source, 0)) as sock:
        replies = sock.makefile("rb")
        replies.readline()  # banner
        sock.sendall(b"USER ann\r\n")
        replies.readline()
        sock.sendall(f"PASS {password}\r\n".encode())
        answer = replies.readline()
        if not answer:
            raise OSError("closed without an answer")
        return answer.startswith(b"+OK")


def inside():
    global server
    with tempfile.TemporaryDirectory() as work:
        server = Server(BINARY, Path(work), {"ann": ("ann", "right-pw")}, "--pause-ms", "0",
                        address=SERVER)
        try:
            check(login(OWN, "right-pw"), "the user's own device logs in")
            answered, stop = [], time.monotonic() + SECONDS

            def guesser(source, index):
                for attempt in range(1000):
                    if time.monotonic() > stop:
                        return
                    try:
                        login(source, f"guess-{index}-{attempt}",
                              timeout=max(0.1, stop - time.monotonic()))
                        answered.append(time.monotonic())
                    except OSError:
                        return  # the window closed before the answer

            threads = [threading.Thread(target=guesser, args=(s, i)) for i, s in enumerate(GUESSERS)]
            for t in threads:
                t.start()
            time.sleep(SECONDS / 2)
            begun = time.monotonic()
            own = login(OWN, "right-pw")
            took = time.monotonic() - begun
            check(own and took < 0.5, f"meanwhile the user's own device logs in at once ({took:.2f} s)")
            for t in threads:
                t.join(timeout=60)
            rate = len(answered) / SECONDS
            check(rate <= 1.5, f"{len(answered)} guesses answered in {SECONDS} s from 50 addresses "
                               f"({rate:.2f}/s)")
        finally:
            server.stop()
    return check.summary()


def main():
    if len(sys.argv) > 2 and sys.argv[2] == "inside":
        return inside()
    if os.geteuid() != 0:
        print("guessing: needs root for unshare -n; skipped")
        return 77
    setup = ("ip link set lo up; ip link add brv0 type veth peer name brv1; "
             f"ip addr add {SERVER}/24 dev brv0; ip addr add {OWN}/24 dev brv1; "
             + "".join(f"ip addr add {a}/24 dev brv1; " for a in GUESSERS)
             + "ip link set brv0 up; ip link set brv1 up; ")
    here = Path(__file__).resolve()
    run = subprocess.run(["unshare", "-n", "sh", "-ec", setup + f"exec {shlex.quote(sys.executable)} "
                          f"{shlex.quote(str(here))} {shlex.quote(BINARY)} inside"],
                         capture_output=True, text=True, timeout=120)
    sys.stdout.write(run.stdout)
    sys.stderr.write(run.stderr[-2000:])
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
