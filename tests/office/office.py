#!/usr/bin/env python3
"""Aliases, distribution lists and quotas against the real program, set up with its own
`brevin alias|group|quota` commands while it runs:

  names   mail to an alias, a list, a nested list; a user named twice gets one copy; a loop is
          refused when saved; a user sends as their alias, never as another's
  quota   a message that fits, one that would not (452 for that user alone, nothing filed),
          the notice once, APPEND over quota, GETQUOTAROOT, room again after POP3 and IMAP
          deletions

Usage: office.py BREVIN_BINARY CASE
"""

import imaplib
import os
import smtplib
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, run_case  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
USERS = {"anna": ("anna", "anna-pw"), "bob": ("bob", "bob-pw"), "carol": ("carol", "carol-pw")}


def admin(server, *args):
    """`brevin ARGS` in the server's working folder: (exit status, what it said)."""
    done = subprocess.run([BINARY, *args], cwd=server.workdir, capture_output=True, text=True,
                          timeout=30)
    return done.returncode, done.stdout + done.stderr


def message(subject, size=0):
    return (f"From: boss@office.test\r\nTo: team@office.test\r\nSubject: {subject}\r\n\r\n"
            + "x" * size + "\r\n").encode()


def case_names(work):
    server = Server(BINARY, work, USERS, ports=("smtp", "pop3"))
    check(admin(server, "alias", "set", "info", "anna")[0] == 0, "an alias is saved")
    check(admin(server, "group", "set", "ufficio", "anna", "bob")[0] == 0, "a list is saved")
    check(admin(server, "group", "set", "tutti", "ufficio", "carol", "info")[0] == 0,
          "a list holding a list and an alias is saved")
    status, said = admin(server, "group", "set", "ufficio", "tutti")
    check(status == 1 and "loop" in said, f"a loop is refused when saved ({said.strip()})")
    status, said = admin(server, "alias", "set", "bob", "anna")
    check(status == 1 and "is a user" in said, "a name is a user or an alias, never both")
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=10) as s:
        s.sendmail("boss@office.test", ["info@office.test"], message("to the alias"))
        s.sendmail("boss@office.test", ["tutti@office.test", "anna@office.test"],
                   message("to everyone"))
        refused = s.sendmail("boss@office.test", ["nobody@office.test", "ufficio@office.test"],
                             message("half known"))
    counts = {user: len(server.messages(user)) for user in USERS}
    check(counts == {"anna": 3, "bob": 2, "carol": 1},
          f"one copy each through alias, lists and a name given twice ({counts})")
    check(list(refused) == ["nobody@office.test"], "an unknown name is still refused alone")
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=10) as s:
        s.login("anna", "anna-pw")
        s.sendmail("info@office.test", ["bob@office.test"], message("from my alias")
                   .replace(b"boss@office.test", b"info@office.test"))
        try:
            s.sendmail("bob@office.test", ["carol@office.test"], message("as bob"))
            forged = False
        except smtplib.SMTPSenderRefused:
            forged = True
    check(len(server.messages("bob")) == 3 and forged,
          "anna sends as her alias, and may not send as bob")
    server.stop()


def case_quota(work):
    server = Server(BINARY, work, USERS, ports=("smtp", "pop3", "imap"))
    check(admin(server, "quota", "set", "anna", "1")[0] == 0, "a quota of 1 MiB is saved")
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=10) as s:
        s.sendmail("boss@office.test", ["anna@office.test"], message("fits", 600_000))
        s.sendmail("boss@office.test", ["anna@office.test"], message("still fits", 400_000))
        big = message("too big", 200_000)
        refused = s.sendmail("boss@office.test", ["anna@office.test", "bob@office.test"], big,
                             mail_options=[f"SIZE={len(big)}"])
        again = s.sendmail("boss@office.test", ["anna@office.test", "bob@office.test"], big,
                           mail_options=[f"SIZE={len(big)}"])
    check(refused.get("anna@office.test", (0,))[0] == 452 and b"4.2.2" in refused[
        "anna@office.test"][1], f"a message that would not fit: 452 4.2.2 for anna ({refused})")
    check(len(server.messages("bob")) == 2 and "anna@office.test" in again,
          "and the other recipient still gets it")
    notices = [m for m in server.stored("anna") if b"Subject: Your mailbox is nearly full" in m]
    check(len(server.messages("anna")) == 3 and len(notices) == 1,
          "nothing more was filed for anna but one notice, once")

    imap = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    imap.login("anna", "anna-pw")
    typ, data = imap._simple_command("GETQUOTAROOT", "INBOX")
    quota = imap.untagged_responses.pop("QUOTA", [b""])[0]
    check(typ == "OK" and quota.startswith(b'"" (STORAGE ') and quota.endswith(b" 1024)"),
          f"GETQUOTAROOT tells the usage in KiB ({quota!r})")
    typ, data = imap.append("Drafts", None, None, message("draft", 100_000))
    check(typ == "NO" and b"OVERQUOTA" in data[0], "APPEND over quota: NO [OVERQUOTA]")
    imap.select("INBOX")
    imap.store("1", "+FLAGS", "(\\Deleted)")
    imap.expunge()
    imap.logout()
    pop = server.pop("anna")
    pop.dele(1)
    pop.quit()
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=10) as s:
        accepted = s.sendmail("boss@office.test", ["anna@office.test"], big,
                              mail_options=[f"SIZE={len(big)}"])
    check(accepted == {}, "after IMAP and POP3 deletions there is room again")
    server.stop()


if __name__ == "__main__":
    sys.exit(run_case(globals()))
