#!/usr/bin/env python3
"""Real POP3 clients against the real program: Python's poplib, curl and mpop collect mail
from a running brevin, byte for byte, and the deletions they ask for take effect.

Alice's messages are put into her folder as message files, exactly as delivered mail is
stored (dot-stuffed, ending in CR LF "." CR LF), so that their names are known; bob's and
carol's are delivered by Python's smtplib to the same running server.

Usage: e2e_pop3.py BREVIN_BINARY
"""

import base64
import os
import poplib
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import check, free_port, stuffed, wait_for_port, write_profile  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
USERS = {"alice": ("alice", "alice-pw"), "bob": ("office/bob", "b0b secret"), "carol": ("carol", "c")}


def wait_until(done, limit=5.0):
    deadline = time.monotonic() + limit
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def message(n, extra=b""):
    return (f"From: someone@example.org\r\nSubject: e2e {n}\r\nMessage-ID: <pop3-{n}@brevin.test>\r\n"
            f"\r\nBody of message {n}.\r\n.leading dot\r\n..two dots\r\n.\r\n".encode()
            + extra + b"last line\r\n")


def main():
    tmp = Path(tempfile.mkdtemp(prefix="brevin-pop3-e2e-"))
    server = None
    try:
        store = tmp / "store"
        write_profile(tmp, store, USERS, newline="\r\n")

        # Each user's messages, as the client sent them, in the order they are filed.
        big = b"".join(f"line {i:06d} of a long message\r\n".encode() for i in range(12000))
        sent = {
            "alice": [message(1), message(2, big), message(3, b"\xc3\xa9t\xc3\xa9\r\n")],
            "bob": [message(4), message(5, big), message(6)],
            "carol": [message(6), message(7), message(8)],
        }
        names = {"alice": [f"MSG{n:05d}.bvn" for n in range(1, 4)]}
        for name, text in zip(names["alice"], sent["alice"]):
            (store / "alice" / name).write_bytes(stuffed(text))

        smtp_port, pop3_port = free_port(), free_port()
        server = subprocess.Popen(
            [BINARY, "--headless", "--address", "127.0.0.1", "--smtp-port", str(smtp_port),
             "--pop3-port", str(pop3_port), "--pause-ms", "0"], cwd=tmp,
            env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
        if not wait_for_port(pop3_port) or not wait_for_port(smtp_port):
            check(False, "the server listens")
            return 1

        # ---- delivery by smtplib ----
        for n, text, rcpts in [(4, message(4), ["bob"]), (5, message(5, big), ["bob"]),
                               (6, message(6), ["carol", "bob"]), (7, message(7), ["carol"]),
                               (8, message(8), ["carol"])]:
            with smtplib.SMTP("127.0.0.1", smtp_port, timeout=20) as smtp:
                refused = smtp.sendmail("sender@example.org", [f"{r}@brevin.test" for r in rcpts], text)
                check(refused == {}, f"smtplib delivers message {n} to {rcpts}")
        for user in ("bob", "carol"):
            folder = store / USERS[user][0]
            files = sorted(folder.glob("*.bvn"), key=lambda f: int(f.name[3:-4]))
            names[user] = [f.name for f in files]
            check([f.read_bytes() for f in files] == [stuffed(t) for t in sent[user]],
                  f"{user}'s mail is stored as sent, in delivery order")

        # ---- poplib ----
        pop = poplib.POP3("127.0.0.1", pop3_port, timeout=20)
        check(pop.getwelcome() == b"+OK Brevin SMTP/POP3 server", "poplib: the greeting")
        try:
            pop.capa()
            check(False, "poplib: CAPA is refused")
        except poplib.error_proto:
            check(True, "poplib: CAPA is refused and the session goes on")
        try:
            pop.stat()
            check(False, "poplib: STAT refused before login")
        except poplib.error_proto as error:
            check(b"not authenticated" in error.args[0], "poplib: STAT refused before login")
        pop.user("alice")
        started = time.monotonic()
        try:
            pop.pass_("wrong")
            check(False, "poplib: a wrong password is refused")
        except poplib.error_proto as error:
            waited = time.monotonic() - started
            check(error.args[0] == b"-ERR this is not the pwd!!!" and 1.0 <= waited < 10,
                  f"poplib: a wrong password is refused after a second ({waited:.2f} s)")
        pop.pass_("alice-pw")
        files = [store / "alice" / n for n in names["alice"]]
        count, first = pop.stat()
        check((count, first) == (3, files[0].stat().st_size), "poplib: STAT gives count and first size")
        _, listing, _ = pop.list()
        check(listing == [f"{i + 1} {f.stat().st_size}".encode() for i, f in enumerate(files)],
              "poplib: LIST gives every size")
        _, uidls, _ = pop.uidl()
        check(uidls == [f"{i + 1} ".encode() + base64.b64encode(n.encode())
                        for i, n in enumerate(names["alice"])],
              "poplib: UIDL ids are the Base64 of the file names")
        check(pop.uidl(2) == b"+OK " + base64.b64encode(names["alice"][1].encode()), "poplib: UIDL 2")
        for i, text in enumerate(sent["alice"]):
            response, lines, _ = pop.retr(i + 1)
            got = b"".join(l + b"\r\n" for l in lines)
            check(response == f"+OK {files[i].stat().st_size} bytes".encode() and got == text,
                  f"poplib: RETR {i + 1} gives the message byte for byte ({len(text)} bytes)")
        check(pop.dele(1) == b"+OK message deleted", "poplib: DELE 1")
        check(pop.stat()[0] == 3, "poplib: a marked message is still counted")
        check(pop.quit() == b"+OK Brevin server is closeing", "poplib: QUIT")
        check(wait_until(lambda: not files[0].exists()), "the marked message is gone once poplib has left")
        check(files[1].exists() and files[2].exists(), "the others stay")

        # ---- poplib on delivered mail ----
        pop = poplib.POP3("127.0.0.1", pop3_port, timeout=20)
        pop.user("bob")
        pop.pass_("b0b secret")
        _, uidls, _ = pop.uidl()
        check(uidls == [f"{i + 1} ".encode() + base64.b64encode(n.encode()) for i, n in enumerate(names["bob"])],
              "poplib: UIDL of delivered mail names the stored files")
        got = [b"".join(l + b"\r\n" for l in pop.retr(i + 1)[1]) for i in range(len(sent["bob"]))]
        check(got == sent["bob"], "poplib collects what smtplib delivered, byte for byte")
        pop.quit()

        # ---- curl ----
        for i, text in enumerate(sent["bob"]):
            result = subprocess.run(
                ["curl", "-sS", f"pop3://127.0.0.1:{pop3_port}/{i + 1}", "-u", "bob:b0b secret"],
                capture_output=True, timeout=60)
            # curl undoes the dot-stuffing and leaves out the final "." line.
            check(result.returncode == 0 and result.stdout == text,
                  f"curl pop3:// retrieves bob's message {i + 1} byte for byte")
        result = subprocess.run(["curl", "-sS", f"pop3://127.0.0.1:{pop3_port}/", "-u", "bob:b0b secret"],
                                capture_output=True, timeout=60)
        bob_files = [store / USERS["bob"][0] / n for n in names["bob"]]
        check(result.stdout == b"".join(f"{i + 1} {f.stat().st_size}\r\n".encode()
                                        for i, f in enumerate(bob_files)), "curl pop3:// lists bob's mailbox")
        result = subprocess.run(["curl", "-sS", f"pop3://127.0.0.1:{pop3_port}/1", "-u", "bob:nope"],
                                capture_output=True, timeout=60)
        check(result.returncode == 67 and result.stdout == b"", "curl: a wrong password gets no mail")

        # ---- mpop: collects everything and deletes it ----
        if shutil.which("mpop") is None:
            check(False, "mpop is installed (scripts/install-deps.sh test)")
        else:
            mbox = tmp / "carol.mbox"
            mbox.write_bytes(b"")
            result = subprocess.run(
                ["mpop", "--host=127.0.0.1", f"--port={pop3_port}", "--user=carol",
                 "--passwordeval=echo c", "--auth=user", "--tls=off", "--keep=off",
                 f"--uidls-file={tmp / 'carol.uidls'}", f"--delivery=mbox,{mbox}", "-q"],
                capture_output=True, timeout=60)
            check(result.returncode == 0, f"mpop collects carol's mail ({result.stderr.decode().strip()})")
            text = mbox.read_bytes()
            for n in range(6, 9):
                check(f"Subject: e2e {n}\r\n".encode() in text or f"Subject: e2e {n}\n".encode() in text,
                      f"mpop delivered message {n}")
            carol = store / "carol"
            check(wait_until(lambda: not any(carol.iterdir())), "mpop's deletions took effect")

        check(server.poll() is None, "the server is still running")
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)
    return check.summary()


if __name__ == "__main__":
    sys.exit(main())
