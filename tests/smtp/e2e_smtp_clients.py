#!/usr/bin/env python3
"""Real SMTP clients deliver to the real program on loopback.

Python's smtplib (which opens with EHLO and falls back to HELO) and curl's smtp:// send
messages to build/brevin running headless in a temporary working folder; every stored file
must hold exactly the bytes the client put on the wire, ending in CR LF "." CR LF.

Usage: e2e_smtp_clients.py BREVIN_BINARY
"""

import os
import shutil
import signal
import smtplib
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import check, free_port, stuffed, wait_for_port, write_profile  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
USERS = {"ann": "ann", "bob": "bob", "cy": "office/cy"}


def stored_files(store, folder):
    return sorted(Path(store, folder).iterdir())


def take_stored(store, folder):
    """The contents of every file in a user's folder, which are then removed."""
    files = stored_files(store, folder)
    contents = [f.read_bytes() for f in files]
    for f in files:
        f.unlink()
    return files, contents


def message(tag):
    return (
        f"From: sender@example.org\r\nSubject: {tag}\r\n\r\n"
        f"Body of {tag}.\r\n.a line that begins with a dot\r\n..two dots\r\n.\r\n"
        "\xe9t\xe9 in Latin-1\r\n".encode("latin-1")
        + b"x" * 5000
        + b"\r\nlast line\r\n"
    )


def smtplib_checks(port, store):
    data = message("smtplib-one")
    with smtplib.SMTP("127.0.0.1", port, timeout=20) as smtp:
        refused = smtp.sendmail("sender@example.org", ["ann@brevin.test"], data)
        check(refused == {}, "smtplib delivers to one recipient")
        check(smtp.helo_resp is not None, "smtplib fell back to HELO after EHLO was refused")
        files, contents = take_stored(store, "ann")
        check(len(files) == 1 and files[0].name.endswith(".bvn"), f"one message file ({files})")
        check(contents == [stuffed(data)], "the stored file holds exactly what smtplib sent")
        check(contents and contents[0].endswith(b"\r\n.\r\n"), "it ends in CR LF . CR LF")

        # A second message on the same connection, to three users, one of them twice.
        data = message("smtplib-many")
        rcpts = ["ann@brevin.test", "bob@brevin.test", "cy@brevin.test", "Bob@brevin.test"]
        refused = smtp.sendmail("sender@example.org", rcpts, data)
        check(refused == {}, "smtplib delivers to several recipients")
        for user, count in (("ann", 1), ("bob", 2), ("cy", 1)):
            _, contents = take_stored(store, USERS[user])
            check(contents == [stuffed(data)] * count, f"{user} holds {count} exact copies")

        # Unknown recipients are refused one by one; the others still get the message.
        data = message("smtplib-partly")
        refused = smtp.sendmail("s@example.org", ["nobody@brevin.test", "ann@brevin.test"], data)
        check(list(refused) == ["nobody@brevin.test"], f"only the unknown user is refused ({refused})")
        _, contents = take_stored(store, "ann")
        check(contents == [stuffed(data)], "ann still gets the message")
        try:
            smtp.sendmail("s@example.org", ["nobody@brevin.test"], b"x\r\n")
            check(False, "a message for no known user is refused")
        except smtplib.SMTPRecipientsRefused:
            check(True, "a message for no known user is refused")
        smtp.quit()


def curl_checks(port, store, tmp):
    data = message("curl")
    path = Path(tmp, "curl-message.txt")
    path.write_bytes(data)
    result = subprocess.run(
        ["curl", "-sS", "--max-time", "30", f"smtp://127.0.0.1:{port}",
         "--mail-from", "a@x", "--mail-rcpt", "bob@y", "--mail-rcpt", "cy@y",
         "--upload-file", str(path)],
        capture_output=True, timeout=60)
    check(result.returncode == 0, f"curl smtp:// delivers ({result.stderr.decode().strip()})")
    for user in ("bob", "cy"):
        _, contents = take_stored(store, USERS[user])
        check(contents == [stuffed(data)], f"{user}'s file holds exactly what curl sent")

    result = subprocess.run(
        ["curl", "-sS", "--max-time", "30", f"smtp://127.0.0.1:{port}",
         "--mail-from", "a@x", "--mail-rcpt", "nobody@y", "--upload-file", str(path)],
        capture_output=True, timeout=60)
    check(result.returncode != 0, "curl reports an unknown recipient as an error")


def main():
    tmp = tempfile.mkdtemp(prefix="brevin-e2e-smtp-")
    store = Path(tmp, "store")
    write_profile(tmp, store, {name: (folder, f"pw-{name}") for name, folder in USERS.items()})
    smtp_port, pop3_port = free_port(), free_port()
    server = subprocess.Popen(
        [BINARY, "--headless", "--address", "127.0.0.1", "--smtp-port", str(smtp_port),
         "--pop3-port", str(pop3_port), "--pause-ms", "0"], cwd=tmp)
    try:
        if not wait_for_port(smtp_port):
            check(False, "the server listens")
            return
        smtplib_checks(smtp_port, store)
        curl_checks(smtp_port, store, tmp)
        leftovers = [p for p in store.rglob("*") if p.is_file()]
        check(leftovers == [], f"no file is left behind ({leftovers})")
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
    print(f"{check.failed} failure(s)")
    sys.exit(1 if check.failed else 0)
