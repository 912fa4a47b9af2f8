#!/usr/bin/env python3
"""The protocol as real clients use it, on 127.0.0.1 with port options and the default pause.

  inject     a message crafted to forge a POP3 reply after a bare LF, sent by a raw socket:
             poplib and mpop get exactly what was sent, and nothing forged
  ehlo       smtplib sees the extensions; 8-bit and UTF-8 mail arrive byte for byte
  size       --max-message-size 100000: EHLO offers it; a bigger message gets 552, nothing
             stays, the session goes on
  fetchmail  keep + uidl, run twice: everything once, then nothing new; no length warnings
  mutt       batch sending over smtp://, reading and deleting over pop:// (under script(1))

Deliveries write whole transactions in one piece (pipelining); inject checks every reply in
order. The exact replies (TOP, LIST after DELE, RSET) are the POP3 tests' business.

Usage: e2e_protocol.py BREVIN_BINARY [CASE ...]
"""

import email.policy
import os
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
from email.message import EmailMessage
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, stuffed, without_trace, without_trace_lines  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
HOST = "127.0.0.1"
USERS = ["inject", "intl", "big", "fetch", "mutt"]
PASSWORD = "pw 1"
CLIENT_TIMEOUT = 60  # seconds any one client run may take

# A client that splits lines on LF alone would take "hi\n." for the end of the retrieval and
# the following lines for the server's next reply: a whole forged message.
CRAFTED = (b"From: outsider@example.org\r\nSubject: crafted\r\n\r\nhi\n.\r\n"
           b"+OK 61 octets\r\nFrom: boss@example.org\r\nSubject: forged\r\n\r\nforged body\n.\r\n"
           b"tail line\r\n")
REAL = b"From: friend@example.org\r\nSubject: real letter\r\n\r\nstill here\r\n.dotted\r\n"


def start(workdir, *options):
    return Server(BINARY, workdir, {u: (u, PASSWORD) for u in USERS}, *options)


def deliver(server, user, *messages):
    """Writes a whole session for `messages` in one piece; the reply codes until the close."""
    script = b"HELO e2e\r\n" + b"".join(
        f"MAIL FROM:<sender@example.org>\r\nRCPT TO:<{user}@brevin.test>\r\nDATA\r\n".encode()
        + stuffed(m) for m in messages) + b"QUIT\r\n"
    with socket.create_connection((HOST, server.smtp_port), timeout=20) as s:
        s.sendall(script)
        replies = b""
        while chunk := s.recv(65536):
            replies += chunk
    return [r[:3] for r in replies.decode("latin-1").split("\r\n")[:-1]]


def lf_lines(data):
    """The lines a client that splits on LF sees, line ends dropped."""
    return [l[:-1] if l.endswith(b"\r") else l for l in data.split(b"\n")[:-1]]


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=CLIENT_TIMEOUT, **kwargs)


# ---- cases ----

def case_inject(server, tmp):
    codes = deliver(server, "inject", CRAFTED, REAL)
    check(codes == ["220", "250", "250", "250", "354", "250", "250", "250", "354", "250", "221"],
          f"inject: both messages accepted by SMTP ({codes})")
    check(server.stored("inject") == [CRAFTED + b".\r\n", stuffed(REAL)],
          "inject: SMTP did not end the data at the bare LF; both files hold what was sent")

    pop = server.pop("inject")
    check(pop.stat()[0] == 2, "inject: poplib sees two messages, no forged third")
    got = [without_trace_lines(pop.retr(n)[1]) for n in (1, 2)]
    check(got == [lf_lines(CRAFTED), lf_lines(REAL)],
          "inject: poplib gets the crafted message whole, then the real letter")
    pop.quit()
    check(len(server.stored("inject")) == 2, "inject: poplib deleted nothing, both stay")

    box = tmp / "mpop"
    box.mkdir()
    result = run(["mpop", f"--host={HOST}", f"--port={server.pop3_port}", "--user=inject",
                  f"--passwordeval=echo '{PASSWORD}'", "--auth=user", "--tls=off", "--keep=off",
                  f"--uidls-file={tmp / 'mpop.uidls'}", f"--delivery=mda,cat > {box}/msg.$$",
                  "-q"])
    check(result.returncode == 0, f"inject: mpop ran ({result.stderr.decode().strip()})")
    # mpop adds a Received header of three lines and writes LF line ends.
    held = sorted(b"".join(l + b"\n" for l in without_trace_lines(f.read_bytes().split(b"\n")[3:-1]))
                  for f in box.iterdir())
    expected = sorted(m.replace(b"\r\n", b"\n") for m in (CRAFTED, REAL))
    check(held == expected, f"inject: mpop's mailbox holds exactly the two messages ({len(held)})")
    check(server.stored("inject") == [], "inject: mpop deleted what it collected")


def case_ehlo(server, tmp):
    with smtplib.SMTP(HOST, server.smtp_port, timeout=20) as smtp:
        code, _ = smtp.ehlo()
        check(code == 250 and smtp.does_esmtp, "ehlo: smtplib's EHLO is answered 250")
        features = {k: smtp.esmtp_features[k] for k in ("pipelining", "size", "8bitmime", "smtputf8")
                    if smtp.has_extn(k)}
        check(features == {"pipelining": "", "size": "52428800", "8bitmime": "", "smtputf8": ""},
              f"ehlo: PIPELINING, SIZE 52428800, 8BITMIME, SMTPUTF8 offered ({features})")

        # Non-ASCII only in a header and an 8-bit body: smtplib encodes the header itself.
        msg = EmailMessage()
        msg["From"] = "Jürgen Groß <sender@example.org>"
        msg["To"] = "intl@brevin.test"
        msg["Subject"] = "Grüße ☃"
        msg.set_content("Grüße aus Köln ☃\n.Zeile mit Punkt\n", cte="8bit")
        check(smtp.send_message(msg) == {}, "ehlo: smtplib send_message with an 8-bit body")
        sent_8bit = msg.as_bytes(policy=email.policy.SMTP)

        # Raw UTF-8 in the headers as well, declared with SMTPUTF8 and BODY=8BITMIME.
        msg.replace_header("Subject", "Überall UTF-8 ✓")
        sent_utf8 = msg.as_bytes(policy=email.policy.SMTPUTF8)
        check(b"\xc3\x9cberall" in sent_utf8, "ehlo: the second message carries raw UTF-8 headers")
        check(smtp.sendmail("sender@example.org", ["intl@brevin.test"], sent_utf8,
                            mail_options=["SMTPUTF8", "BODY=8BITMIME"]) == {},
              "ehlo: smtplib sendmail with SMTPUTF8 and BODY=8BITMIME")
    check(server.stored("intl") == [stuffed(sent_8bit), stuffed(sent_utf8)],
          "ehlo: both stored byte for byte")
    pop = server.pop("intl")
    check([without_trace(b"".join(l + b"\r\n" for l in pop.retr(n)[1])) for n in (1, 2)] == [sent_8bit, sent_utf8],
          "ehlo: poplib retrieves both byte for byte")
    pop.quit()

    # msmtp reading the EHLO reply and delivering is the TLS suite's business.


def case_size(tmp):
    """A message of exactly the limit, wherever the reads cut it, is the SMTP tests' business."""
    server = start(tmp / "limited", "--max-message-size", "100000")
    try:
        big = b"Subject: big\r\n\r\n" + b"x" * 76 + b"\r\n"
        big = big * (200000 // len(big))
        small = b"Subject: small\r\n\r\nfits\r\n"
        with smtplib.SMTP(HOST, server.smtp_port, timeout=20) as smtp:
            smtp.ehlo()
            check(smtp.esmtp_features.get("size") == "100000", "size: EHLO offers SIZE 100000")
        with smtplib.SMTP(HOST, server.smtp_port, timeout=20) as smtp:
            smtp.helo()  # no extensions, so no SIZE: the server finds out while reading
            try:
                smtp.sendmail("s@example.org", ["big@brevin.test"], big)
                code = 250
            except smtplib.SMTPDataError as e:
                code = e.smtp_code
            check(code == 552, f"size: an undeclared message over the limit gets 552 after the data")
            check(smtp.sendmail("s@example.org", ["big@brevin.test"], small) == {},
                  "size: the session goes on after it")
        check(server.stored("big") == [stuffed(small)], "size: nothing of the big message stays")
    finally:
        server.stop()


def case_fetchmail(server, tmp):
    letters = [(f"Date: Sun, 06 Dec 2026 12:00:00 +0000\r\nFrom: a@example.org\r\nSubject: fetch {n}\r\n"
                f"Message-ID: <fetch-{n}@e2e>\r\n\r\nbody {n}\r\n.leading dot\r\n..two dots\r\n.\r\n"
                "last\r\n").encode() for n in range(3)]
    deliver(server, "fetch", *letters)
    home, out = tmp / "fetchmail-home", tmp / "fetchmail-out"
    home.mkdir()
    out.mkdir()
    rc = home / ".fetchmailrc"
    rc.write_text(
        "set no syslog\n"
        f"poll {HOST} port {server.pop3_port} protocol pop3 uidl\n"
        f'  user "fetch" there with password "{PASSWORD}" is "root" here\n'
        "  keep\n"
        "  sslproto ''\n"  # no encryption: a later change switches it on
        f"  mda \"/bin/sh -c 'cat > {out}/msg.$$'\"\n")
    rc.chmod(0o600)
    env = dict(os.environ, HOME=str(home))
    command = ["fetchmail", "--pidfile", str(tmp / "fetchmail.pid")]
    first = run(command, env=env, stdin=subprocess.DEVNULL)
    log = (first.stdout + first.stderr).decode()
    check(first.returncode == 0 and len(list(out.iterdir())) == 3,
          f"fetchmail: the first run fetches all three ({' '.join(log.split())[-160:]})")
    check("not the expected length" not in log, "fetchmail: no length warning for dotted lines")
    bodies = sorted(f.read_bytes().split(b"\n\n", 1)[1] for f in out.iterdir())
    check(bodies == sorted(m.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n") for m in letters),
          "fetchmail: the bodies arrive whole, dots and all")
    second = run(command, env=env, stdin=subprocess.DEVNULL)
    check(second.returncode == 1 and len(list(out.iterdir())) == 3,
          f"fetchmail: the second run finds nothing new (uidl; status {second.returncode})")
    check(len(server.stored("fetch")) == 3, "fetchmail: keep leaves the messages on the server")


def case_mutt(server, tmp):
    home = tmp / "mutt-home"
    home.mkdir()
    muttrc = home / "muttrc"
    muttrc.write_text(
        f'set smtp_url="smtp://{HOST}:{server.smtp_port}/"\n'
        "set ssl_starttls=no\nset ssl_force_tls=no\n"  # no encryption: a later change switches it on
        f'set from="mutt@example.org"\nset folder="{home}"\nset record=""\nset copy=no\n'
        f'set pop_pass="{PASSWORD}"\nset confirmcreate=no\nset confirmappend=no\n'
        "set move=no\nset quit=yes\nset delete=yes\n")
    env = dict(os.environ, HOME=str(home), TERM="xterm")
    bodies = [b"Hello from mutt.\n.leading dot\nbye\n", b"Second one.\n"]
    for n, body in enumerate(bodies):
        sent = run(["mutt", "-F", str(muttrc), "-s", f"mutt {n}", "mutt@brevin.test"],
                   input=body, env=env)
        check(sent.returncode == 0, f"mutt: batch send {n} over smtp:// ({sent.stderr.decode().strip()})")
    stored = server.stored("mutt")
    check(len(stored) == 2 and b"\r\n\r\nHello from mutt.\r\n..leading dot\r\nbye\r\n.\r\n" in stored[0]
          and stored[1].endswith(b"\r\n\r\nSecond one.\r\n.\r\n"),
          "mutt: both messages stored with their bodies, CR LF and dot-stuffed")

    def interactive(keys):
        # mutt's index needs a terminal: script(1) gives it one; the keys come from a file.
        (home / "keys.rc").write_text(f'push "{keys}"\n')
        inner = (f"mutt -F {muttrc} -f pop://mutt@{HOST}:{server.pop3_port}/ "
                 f"-e 'source {home / 'keys.rc'}'")
        return run(["script", "-qec", inner, "/dev/null"], env=env, stdin=subprocess.DEVNULL)

    mbox = tmp / "mutt.mbox"
    result = interactive(f"<tag-pattern>~A<enter><tag-prefix><copy-message>{mbox}<enter><quit>")
    text = mbox.read_bytes() if mbox.exists() else b""
    check(result.returncode == 0 and text.count(b"\nFrom ") + text.startswith(b"From ") == 2,
          "mutt: reading pop:// copies both messages to an mbox")
    check(all(s.split(b"\r\n\r\n", 1)[1][:-3].replace(b"\r\n", b"\n").replace(b"\n..", b"\n.") in text
              for s in stored), "mutt: the bodies arrive whole")
    check(len(server.stored("mutt")) == 2, "mutt: copying deleted nothing on the server")
    result = interactive("<delete-pattern>~s 'mutt 0'<enter><quit>")
    left = server.stored("mutt")
    check(result.returncode == 0 and left == stored[1:],
          f"mutt: deleting one message and quitting removes it from the server ({len(left)} left)")


CASES = {"inject": case_inject, "ehlo": case_ehlo, "fetchmail": case_fetchmail, "mutt": case_mutt}


def main():
    wanted = sys.argv[2:] or [*CASES, "size"]
    tmp = Path(tempfile.mkdtemp(prefix="brevin-e2e-protocol-"))
    try:
        server = start(tmp / "server")
        try:
            for name in (n for n in wanted if n in CASES):
                CASES[name](server, tmp)
            check(server.process.poll() is None, "the server is still running")
        finally:
            server.stop()
        if "size" in wanted:
            case_size(tmp)
        return check.summary()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
