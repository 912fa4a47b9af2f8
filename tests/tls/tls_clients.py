#!/usr/bin/env python3
"""Real clients over TLS against the program, headless on loopback, with the certificate it
generates on its first start. One CTest test per case:

  python     smtplib SMTP_SSL delivers, poplib POP3_SSL collects
  pipelined  commands sent in the same write as STARTTLS / STLS are never carried out
  require    --require-tls: plain sessions are refused mail and logins, upgraded ones are not
  fetchmail, mpop, msmtp, curl, swaks
             the client with its default settings and only the certificate pinned (or, for
             curl, trusted) delivers or collects

Usage: tls_clients.py BREVIN_BINARY CASE
"""

import hashlib
import os
import poplib
import smtplib
import socket
import ssl
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, run_case, stuffed, without_trace  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
HOST = "127.0.0.1"
USERS = {"alice": ("alice", "alice-pw"), "bob": ("bob", "b0b pw")}
PREFIX = "TLS: certificate SHA-256 fingerprint "


def message(tag, sender="sender@example.org"):
    return (f"From: {sender}\r\nTo: alice@brevin.test\r\nSubject: {tag}\r\n"
            f"Date: Sun, 06 Dec 2026 12:00:00 +0000\r\nMessage-ID: <{tag}@brevin.test>\r\n\r\n"
            f"Body of {tag}.\r\n.leading dot\r\n").encode()


class TlsServer(Server):
    """The program with all four ports and its fingerprint; its certificate is made on start."""

    def __init__(self, workdir, *extra):
        super().__init__(BINARY, workdir, USERS, "--pause-ms", "0", *extra,
                         ports=("smtp", "pop3", "submission", "smtps", "pop3s"))
        self.fingerprint = self.log_line(PREFIX)[len(PREFIX):].strip()
        if not self.fingerprint:
            self.stop()
            raise SystemExit("FAIL  the server did not start with a certificate")

    def context(self):
        return ssl.create_default_context(cafile=self.ca)

    def md5(self):
        """The certificate's MD5 as fetchmail wants it (upper case, colons)."""
        der = ssl.PEM_cert_to_DER_cert(self.cert.read_text())
        digest = hashlib.md5(der).hexdigest().upper()
        return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))

    def stored(self, user="alice"):
        return sorted(super().stored(user))

    def deliver_plain(self, data):
        with smtplib.SMTP(HOST, self.ports["smtp"], timeout=20) as smtp:
            smtp.sendmail("sender@example.org", ["alice@brevin.test"], data)


def run(args, what, **kwargs):
    kwargs.setdefault("input", b"")  # CI has no standard input
    result = subprocess.run(args, capture_output=True, timeout=60, **kwargs)
    output = (result.stdout + result.stderr).decode(errors="replace").strip()
    if result.returncode != 0:
        print(f"      {what} exited {result.returncode}: {output[-600:]}")
    return result.returncode == 0, output


# ---- Python's own clients ----


def case_python(server, tmp):
    # STARTTLS and STLS with smtplib and poplib are the business of --require-tls.
    sent = [message("implicit", "alice@brevin.test"), message("implicit-2", "alice@brevin.test")]
    for data in sent:
        with smtplib.SMTP_SSL(HOST, server.ports["smtps"], timeout=20, context=server.context()) as smtp:
            smtp.login("alice", "alice-pw")  # submission: the sender logs in
            smtp.sendmail("alice@brevin.test", ["alice@brevin.test"], data)
    check(server.stored() == sorted(stuffed(m) for m in sent), "smtplib SMTP_SSL delivers")
    pop = server.pop("alice", context=server.context())
    got = [without_trace(b"\r\n".join(pop.retr(n)[1]) + b"\r\n") for n in (1, 2)]
    pop.quit()
    check(sorted(got) == sorted(sent), "poplib POP3_SSL collects byte for byte")


# ---- pipelined commands after the upgrade request ----


def read_reply(sock):
    """One reply, all its lines, read a byte at a time so that nothing after it is taken."""
    lines = [b""]
    while len(lines) < 100 and len(lines[-1]) < 1000:
        byte = sock.recv(1)
        lines[-1] += byte
        if not byte or byte == b"\n" and lines[-1][3:4] != b"-":
            break
        if byte == b"\n":
            lines.append(b"")
    return lines


def upgrade(server, port, before, request, ready):
    """Sends `before` line by line, then `request` in one write; returns the TLS socket once the
    reply `ready` came (None when the handshake failed: stray plain bytes would make it fail)."""
    raw = socket.create_connection((HOST, port), timeout=20)
    for line in [b"", *before, request]:
        raw.sendall(line)
        answer = read_reply(raw)[0]  # the greeting first
    try:
        if answer.startswith(ready):
            return server.context().wrap_socket(raw, server_hostname=HOST)
        print(f"      {request!r} was answered {answer!r}")
    except (ssl.SSLError, OSError) as error:
        print(f"      after {answer!r} the handshake failed: {error}")
    raw.close()
    return None


def case_pipelined(server, tmp):
    # Had the pipelined MAIL been carried out, its one-line reply would come before EHLO's
    # several lines, and the fresh MAIL would be refused; without the pipelined USER, PASS alone
    # is refused.
    for port, before, request, ready, lines, expected, what in (
            ("smtp", [b"EHLO client\r\n"], b"STARTTLS\r\nMAIL FROM:<x@y>\r\n", b"220 ",
             (b"EHLO client\r\n", b"MAIL FROM:<a@b.test>\r\n", b"QUIT\r\n"),
             [b"250-", b"250 ", b"221 "], "SMTP: the MAIL pipelined after STARTTLS is not answered"),
            ("pop3", [], b"STLS\r\nUSER alice\r\n", b"+OK",
             (b"PASS alice-pw\r\n", b"USER alice\r\n", b"PASS alice-pw\r\n", b"QUIT\r\n"),
             [b"-ERR", b"+OK ", b"+OK ", b"+OK "], "POP3: the USER pipelined after STLS is forgotten")):
        tls = upgrade(server, server.ports[port], before, request, ready)
        firsts = []
        if tls is not None:
            for line in lines:
                tls.sendall(line)
                firsts.append(read_reply(tls)[0][:4])
            tls.close()
        check(firsts == expected, f"{what}, a fresh one works ({firsts})")


# ---- --require-tls ----


def case_require(server, tmp):
    with smtplib.SMTP(HOST, server.ports["smtp"], timeout=20) as smtp:
        smtp.ehlo()
        plain = set(smtp.esmtp_features)
        refused = smtp.docmd("MAIL FROM:<a@b.test>")[0]
        skipped = smtp.docmd("RCPT TO:<alice@brevin.test>")[0]
        check(plain == {"pipelining", "starttls"} and refused == 530 and skipped == 530,
              f"SMTP plain: EHLO offers {sorted(plain)}, MAIL gets {refused}, RCPT {skipped}")
        smtp.starttls(context=server.context())
        smtp.ehlo()
        check("size" in smtp.esmtp_features, "SMTP: EHLO offers SIZE after the upgrade")
        smtp.sendmail("sender@example.org", ["alice@brevin.test"], message("required"))
    check(server.stored() == [stuffed(message("required"))], "SMTP: mail is accepted after the upgrade")

    pop = poplib.POP3(HOST, server.ports["pop3"], timeout=20)
    plain = pop.capa()
    try:
        pop.user("alice")
        answer = "accepted"
    except poplib.error_proto as error:
        answer = error.args[0].decode()
    check("USER" not in plain and "STLS" in plain
          and answer == "-ERR Brevin server: encryption required, send STLS first",
          f"POP3 plain: CAPA {sorted(plain)}, USER gets {answer!r}")
    pop.stls(context=server.context())
    check("USER" in pop.capa(), "POP3: CAPA lists USER after the upgrade")
    pop.user("alice")
    pop.pass_("alice-pw")
    check(pop.stat()[0] == 1, "POP3: login works after the upgrade")
    pop.quit()


# ---- other clients, defaults plus the certificate ----


def case_fetchmail(server, tmp):
    server.deliver_plain(message("fetchmail"))
    out = tmp / "fetched.mbox"
    rc = tmp / "fetchmailrc"
    # fetchmail pins only an MD5 of the certificate, and checks the chain unless told not to
    # (the pin still holds); the delivery command is not about TLS.
    rc.write_text(f"set no syslog\npoll {HOST} protocol pop3 port {server.ports['pop3']}\n"
                  f"  user alice there with password \"alice-pw\"\n"
                  f"  sslfingerprint \"{server.md5()}\" no sslcertck\n"
                  f"  mda \"cat >> {out}\"\n")
    rc.chmod(0o600)
    env = dict(os.environ, HOME=str(tmp), FETCHMAILHOME=str(tmp))
    ok, output = run(["fetchmail", "-v", "-f", str(rc), "--idfile", str(tmp / "ids")], "fetchmail",
                     env=env)
    check(ok and "STLS" in output and "fingerprints match" in output
          and b"Subject: fetchmail" in (out.read_bytes() if out.exists() else b""),
          "fetchmail collects over STLS with the MD5 pinned")


def case_mpop(server, tmp):
    server.deliver_plain(message("mpop"))
    out = tmp / "mpop.mbox"
    out.write_bytes(b"")
    ok, _ = run(["mpop", f"--host={HOST}", f"--port={server.ports['pop3']}", "--user=alice",
                 "--passwordeval=echo alice-pw", "--tls=on",
                 f"--tls-fingerprint={server.fingerprint}",
                 f"--uidls-file={tmp / 'uidls'}", f"--delivery=mbox,{out}"], "mpop")
    check(ok and b"Subject: mpop" in out.read_bytes(), "mpop collects over STLS with SHA-256 pinned")


def case_msmtp(server, tmp):
    ok, _ = run(["msmtp", f"--host={HOST}", f"--port={server.ports['smtp']}", "--tls=on",
                 f"--tls-fingerprint={server.fingerprint}", "--from=sender@example.org",
                 "alice@brevin.test"], "msmtp", input=message("msmtp"))
    check(ok and server.stored() == [stuffed(message("msmtp"))],
          "msmtp delivers over STARTTLS with SHA-256 pinned")


def case_curl(server, tmp):
    data = tmp / "curl.txt"
    data.write_bytes(message("curl"))
    ok_send, _ = run(["curl", "-sS", "--ssl-reqd", "--cacert", str(server.ca),
                      f"smtp://{HOST}:{server.ports['smtp']}", "--mail-from", "sender@example.org",
                      "--mail-rcpt", "alice@brevin.test", "--upload-file", str(data)], "curl smtp")
    ok_get, got = run(["curl", "-sS", "--ssl-reqd", "--cacert", str(server.ca), "-u",
                       "alice:alice-pw", f"pop3://{HOST}:{server.ports['pop3']}/1"], "curl pop3")
    check(ok_send and ok_get and without_trace(got.encode() + b"\r\n") == message("curl").rstrip(b"\r\n") + b"\r\n",
          "curl --ssl-reqd delivers over STARTTLS and collects over STLS")


def case_swaks(server, tmp):
    ok, output = run(["swaks", "--server", f"{HOST}:{server.ports['smtp']}", "--tls",
                      "--from", "sender@example.org", "--to", "alice@brevin.test",
                      "--header", "Subject: swaks"], "swaks")
    check(ok and "TLS started" in output and len(server.stored()) == 1
          and b"Subject: swaks" in server.stored()[0], "swaks --tls delivers over STARTTLS")


# ---- submission: the clients log in as the sender ----


def case_submission(server, tmp):
    sub, smtps = server.ports["submission"], server.ports["smtps"]
    with smtplib.SMTP(HOST, sub, timeout=20) as smtp:
        smtp.starttls(context=server.context())
        smtp.login("alice", "alice-pw")
        smtp.sendmail("alice@brevin.test", ["bob@brevin.test"], message("smtplib", "alice@brevin.test"))
        try:
            smtp.sendmail("boss@brevin.test", ["bob@brevin.test"], message("forged-envelope"))
            envelope = "accepted"
        except smtplib.SMTPSenderRefused as error:
            envelope = error.smtp_code
        try:
            smtp.sendmail("alice@brevin.test", ["bob@brevin.test"], message("forged-from"))
            header = "accepted"
        except smtplib.SMTPDataError as error:
            header = error.smtp_code
    check(envelope == 553 and header == 550,
          f"smtplib logged in: a forged MAIL FROM gets {envelope}, a forged From: {header}")

    clients = {
        "msmtp 587": ["msmtp", f"--host={HOST}", f"--port={sub}", "--tls=on", "--auth=on",
                      f"--tls-fingerprint={server.fingerprint}", "--user=alice",
                      "--passwordeval=echo alice-pw", "--from=alice@brevin.test", "bob@brevin.test"],
        "msmtp 465": ["msmtp", f"--host={HOST}", f"--port={smtps}", "--tls=on", "--tls-starttls=off",
                      "--auth=on", f"--tls-fingerprint={server.fingerprint}", "--user=alice",
                      "--passwordeval=echo alice-pw", "--from=alice@brevin.test", "bob@brevin.test"],
        "curl 587": ["curl", "-sS", "--ssl-reqd", "--cacert", str(server.ca), "--user",
                     "alice:alice-pw", f"smtp://{HOST}:{sub}", "--mail-from", "alice@brevin.test",
                     "--mail-rcpt", "bob@brevin.test", "--upload-file", "-"],
        "curl 465": ["curl", "-sS", "--cacert", str(server.ca), "--user", "alice:alice-pw",
                     f"smtps://{HOST}:{smtps}", "--mail-from", "alice@brevin.test",
                     "--mail-rcpt", "bob@brevin.test", "--upload-file", "-"],
    }
    for auth, tls in (("PLAIN", "--tls"), ("LOGIN", "--tlsc")):
        clients[f"swaks {auth} {tls}"] = [
            "swaks", "--server", f"{HOST}:{sub if tls == '--tls' else smtps}", tls, "--auth", auth,
            "--auth-user", "alice", "--auth-password", "alice-pw", "--from", "alice@brevin.test",
            "--to", "bob@brevin.test", "--header", f"From: alice@brevin.test", "--data", "-"]
    for name, args in clients.items():
        before = len(server.stored("bob"))
        ok, _ = run(args, name, input=message(name, "alice@brevin.test"))
        check(ok and len(server.stored("bob")) == before + 1, f"{name} logs in and delivers")

    # git send-email as a developer sets it up: smtpUser, smtpPass, smtpEncryption.
    repo = tmp / "repo"
    git = ["git", "-C", str(repo), "-c", "user.name=Alice", "-c", "user.email=alice@brevin.test"]
    subprocess.run(["git", "init", "-q", str(repo)], check=True)
    (repo / "file").write_text("change\n")
    subprocess.run([*git, "add", "file"], check=True)
    subprocess.run([*git, "commit", "-q", "-m", "A change"], check=True)
    before = len(server.stored("bob"))
    ok, _ = run([*git, "-c", f"sendemail.smtpServer={HOST}", "-c", f"sendemail.smtpServerPort={sub}",
                 "-c", "sendemail.smtpEncryption=tls", "-c", "sendemail.smtpUser=alice",
                 "-c", "sendemail.smtpPass=alice-pw", "-c", f"sendemail.smtpSslCertPath={server.ca}",
                 "send-email", "--confirm=never", "--to=bob@brevin.test", "-1"], "git send-email",
                env=dict(os.environ, HOME=str(tmp)))
    check(ok and len(server.stored("bob")) == before + 1, "git send-email logs in and delivers")

    # mutt: smtp_url and smtp_pass, trusting the office CA's certificate file.
    muttrc = tmp / "muttrc"
    muttrc.write_text(f"set smtp_url=\"smtp://alice@{HOST}:{sub}/\"\nset smtp_pass=\"alice-pw\"\n"
                      f"set ssl_starttls=yes\nset ssl_force_tls=yes\nset certificate_file=\"{server.ca}\"\n"
                      "set from=\"alice@brevin.test\"\nset use_from=yes\nset copy=no\n")
    before = len(server.stored("bob"))
    ok, _ = run(["mutt", "-n", "-F", str(muttrc), "-s", "mutt", "bob@brevin.test"], "mutt",
                input=b"Sent by mutt.\n", env=dict(os.environ, HOME=str(tmp)))
    check(ok and len(server.stored("bob")) == before + 1, "mutt logs in and delivers")



def serve(tmp):
    case = sys.argv[2]
    server = TlsServer(tmp, *(["--require-tls"] if case == "require" else []))
    try:
        globals()[f"case_{case}"](server, tmp)
        check(server.process.poll() is None, "the server is still running")
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(run_case({f"case_{sys.argv[2]}": serve}))
