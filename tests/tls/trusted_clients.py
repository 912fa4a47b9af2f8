#!/usr/bin/env python3
"""Clients that trust the office CA through the system's trust store, in their default settings,
on every TLS port, by host name, by `localhost` and by address. Each case runs in namespaces of
its own (`unshare -m -n -u`): a host name of its own, an /etc/hosts naming it, a second loopback
address, and /etc/ssl/certs rebuilt by update-ca-certificates with the CA added, as the README
tells administrators to do. Needs root; skipped (77) without it. One CTest test per case:

  python     ssl.create_default_context() with smtplib, poplib and imaplib on all seven ports,
             and the names the certificate carries
  curl, msmtp, mpop, fetchmail, mutt, ruby, mbsync
             each client on the ports of its protocols (mutt: sending, IMAP and POP3)
  renewal    the server renews its certificate while running; sessions under way go on, new
             ones see the new certificate and still verify, with no restart

Usage: trusted_clients.py BREVIN_BINARY CASE
"""

import os
import poplib
import imaplib
import ipaddress
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, run_case, wait_until  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
CASE = sys.argv[2]
HOST = "brevin-office"
LAN = "10.77.0.1"        # listened on: a client may use it
OTHER = "10.77.0.2"      # only on the interface: the certificate names it all the same
# The names a client may be given, with the address the server listens on for each.
NAMES = [HOST, "localhost", "127.0.0.1", LAN]
USERS = {"alice": ("alice", "alice-pw"), "bob": ("bob", "bob-pw")}
PORTS = ("smtp", "submission", "smtps", "pop3", "pop3s", "imap", "imaps")
PREFIX = "TLS: certificate SHA-256 fingerprint "


def message(tag, sender="alice@brevin.test"):
    return (f"From: {sender}\r\nTo: bob@brevin.test\r\nSubject: {tag}\r\n"
            f"Date: Wed, 09 Dec 2026 09:00:00 +0000\r\nMessage-ID: <{tag}@brevin.test>\r\n\r\n"
            f"Body of {tag}.\r\n").encode()


def run(args, what, limit=60, **kwargs):
    kwargs.setdefault("input", b"")  # CI has no standard input
    try:
        result = subprocess.run(args, capture_output=True, timeout=limit, **kwargs)
    except subprocess.TimeoutExpired as expired:
        seen = (expired.stdout or b"") + (expired.stderr or b"")
        print(f"      {what} timed out: {seen.decode(errors='replace')[-400:]!r}")
        return None, ""
    output = (result.stdout + result.stderr).decode(errors="replace").strip()
    if result.returncode != 0:
        print(f"      {what} exited {result.returncode}: {output[-500:]}")
    return result.returncode, output


def url_host(name):
    return f"[{name}]" if ":" in name else name


# ---- the namespaces ----


def enter_namespaces():
    """Runs this script again inside new mount, network and host-name namespaces; exits with
    its status, or 77 when they cannot be made here."""
    if shutil.which("unshare") is None or shutil.which("update-ca-certificates") is None:
        print("skipped: unshare or update-ca-certificates is missing")
        sys.exit(77)
    env = dict(os.environ, BREVIN_TRUSTED_INSIDE="1")
    try:
        done = subprocess.run(["unshare", "-m", "-n", "-u", "--propagation", "private",
                               sys.executable, __file__, BINARY, CASE], env=env, timeout=280)
    except (OSError, subprocess.TimeoutExpired) as error:
        print(f"skipped: cannot run in namespaces of its own ({error})")
        sys.exit(77)
    sys.exit(done.returncode)


def set_up_host(tmp):
    """Inside the namespaces: lo up with a second address, the host's name, /etc/hosts."""
    # Never outside them: what follows would change the machine's own files.
    if os.readlink("/proc/self/ns/mnt") == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        raise RuntimeError("not in a mount namespace of its own")
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "addr", "add", f"{LAN}/32", "dev", "lo"],
                    ["ip", "addr", "add", f"{OTHER}/32", "dev", "lo"],
                    ["hostname", HOST]):
        if subprocess.run(command, capture_output=True, timeout=10).returncode != 0:
            print(f"skipped: {' '.join(command)} is not permitted here")
            sys.exit(77)
    hosts = tmp / "hosts"
    hosts.write_text(f"127.0.0.1 localhost {HOST} {HOST}.local\n::1 localhost ip6-localhost\n")
    bind(hosts, "/etc/hosts")


def bind(source, target):
    if subprocess.run(["mount", "--bind", str(source), target], capture_output=True,
                      timeout=10).returncode != 0:
        print(f"skipped: cannot bind {source} over {target}")
        sys.exit(77)


def trust(ca, tmp):
    """Adds the CA to this namespace's system trust store the way the README says to: a copy
    of /etc/ssl/certs and an empty /usr/local/share/ca-certificates take the real ones' place."""
    certs, local = tmp / "certs", tmp / "local-ca"
    shutil.copytree("/etc/ssl/certs", certs, symlinks=True)
    local.mkdir()
    bind(certs, "/etc/ssl/certs")
    bind(local, "/usr/local/share/ca-certificates")
    shutil.copy(ca, "/usr/local/share/ca-certificates/brevin-office-ca.crt")
    code, output = run(["update-ca-certificates"], "update-ca-certificates")
    check(code == 0 and "1 added" in output, f"update-ca-certificates adds the CA ({output[-80:]!r})")


def start(tmp, *extra):
    server = Server(BINARY, tmp / "work", USERS, "--pause-ms", "0", "--address", "::1",
                    "--address", LAN, *extra, ports=PORTS)
    fingerprint = server.log_line(PREFIX)[len(PREFIX):].strip()
    if not fingerprint:
        server.stop()
        raise RuntimeError(f"no certificate: {server.stderr()[-400:]}")
    return server


def delivered(server, user, before, what):
    """Checks that a message came in over an encrypted session since `before` (the count)."""
    came = wait_until(lambda: len(server.messages(user)) > before, 5)
    newest = max(server.messages(user), key=lambda f: f.stat().st_mtime_ns) if came else None
    # The server's trace line names the protocol: ESMTPS or ESMTPSA only when encrypted.
    return check(came and b" with ESMTPS" in newest.read_bytes()[:600], f"{what}, encrypted")


# ---- Python ----


def python_session(server, port, name):
    """One session on `port` reached as `name`; the peer certificate's names."""
    context = ssl.create_default_context()
    number = server.ports[port]
    if port in ("smtp", "submission"):
        with smtplib.SMTP(name, number, timeout=20) as smtp:
            smtp.starttls(context=context)
            return smtp.sock.getpeercert()
    if port == "smtps":
        with smtplib.SMTP_SSL(name, number, timeout=20, context=context) as smtp:
            return smtp.sock.getpeercert()
    if port in ("pop3", "pop3s"):
        pop = (poplib.POP3(name, number, timeout=20) if port == "pop3"
               else poplib.POP3_SSL(name, number, timeout=20, context=context))
        if port == "pop3":
            pop.stls(context=context)
        seen = pop.sock.getpeercert()
        pop.quit()
        return seen
    imap = (imaplib.IMAP4(name, number, timeout=20) if port == "imap"
            else imaplib.IMAP4_SSL(name, number, timeout=20, ssl_context=context))
    if port == "imap":
        imap.starttls(ssl_context=context)
    seen = imap.sock.getpeercert()
    imap.logout()
    return seen


def case_python(server, tmp):
    for port in PORTS:
        failed = []
        for name in NAMES + ["::1", f"{HOST}.local"]:
            try:
                python_session(server, port, name)
            except (OSError, ssl.SSLError, smtplib.SMTPException, poplib.error_proto,
                    imaplib.IMAP4.error) as error:
                failed.append(f"{name}: {error}")
        check(not failed, f"Python verifies {port} by every name ({failed})")
    # Python writes IPv6 addresses in full ("0:0:0:0:0:0:0:1"): compare them as addresses.
    names = {(kind, str(ipaddress.ip_address(value)) if kind == "IP Address" else value)
             for kind, value in python_session(server, "imaps", "127.0.0.1")["subjectAltName"]}
    for wanted in (("DNS", HOST), ("DNS", f"{HOST}.local"), ("DNS", "localhost"),
                   ("IP Address", "127.0.0.1"), ("IP Address", "::1"), ("IP Address", LAN),
                   ("IP Address", OTHER)):
        check(wanted in names, f"the certificate names {wanted[1]}")


# ---- curl ----


def case_curl(server, tmp):
    data = tmp / "curl.txt"
    for port in PORTS:
        scheme = {"smtp": "smtp", "submission": "smtp", "smtps": "smtps", "pop3": "pop3",
                  "pop3s": "pop3s", "imap": "imap", "imaps": "imaps"}[port]
        for name in NAMES + ["::1"]:
            url = f"{scheme}://{url_host(name)}:{server.ports[port]}/"
            args = ["curl", "-sS", "--max-time", "20", "--ssl-reqd"]
            if scheme.startswith("smtp"):
                data.write_bytes(message(f"curl-{port}-{name}"))
                args += ["--mail-from", "alice@brevin.test", "--mail-rcpt", "bob@brevin.test",
                         "--upload-file", str(data)]
            if port != "smtp":
                args += ["--user", "alice:alice-pw"]
            code, _ = run(args + [url], f"curl {url}")
            check(code == 0, f"curl {url} verifies and is served")


# ---- msmtp and mpop (GnuTLS) ----


def case_msmtp(server, tmp):
    for port in ("smtp", "submission", "smtps"):
        for name in NAMES:
            args = ["msmtp", f"--host={name}", f"--port={server.ports[port]}", "--tls=on",
                    "--from=alice@brevin.test", "bob@brevin.test"]
            if port == "smtps":
                args.append("--tls-starttls=off")
            if port != "smtp":
                args += ["--auth=on", "--user=alice", "--passwordeval=echo alice-pw"]
            before = len(server.messages("bob"))
            code, _ = run(args, f"msmtp {name}:{port}", input=message(f"msmtp-{port}-{name}"))
            delivered(server, "bob", before, f"msmtp delivers on {port} to {name}") if code == 0 \
                else check(False, f"msmtp delivers on {port} to {name}")


def case_mpop(server, tmp):
    for port in ("pop3", "pop3s"):
        for name in NAMES:
            out = tmp / f"mpop-{port}-{name}.mbox"
            out.write_bytes(b"")
            args = ["mpop", f"--host={name}", f"--port={server.ports[port]}", "--tls=on",
                    "--user=alice", "--passwordeval=echo alice-pw", "--keep=on",
                    f"--uidls-file={tmp / 'uidls'}", f"--delivery=mbox,{out}"]
            if port == "pop3s":
                args.append("--tls-starttls=off")
            code, _ = run(args, f"mpop {name}:{port}")
            check(code == 0, f"mpop collects on {port} from {name}")


# ---- fetchmail ----


def case_fetchmail(server, tmp):
    env = dict(os.environ, HOME=str(tmp), FETCHMAILHOME=str(tmp))
    for protocol, port in (("pop3", "pop3"), ("pop3", "pop3s"), ("imap", "imap"),
                           ("imap", "imaps")):
        for name in NAMES:
            out = tmp / "fetched.mbox"
            rc = tmp / "fetchmailrc"
            # Nothing but the server, the login and where the mail goes: its defaults check the
            # certificate, and on the plain ports it upgrades whenever STARTTLS is offered.
            rc.write_text(f"set no syslog\npoll {name} protocol {protocol} port {server.ports[port]}\n"
                          f"  user alice there with password \"alice-pw\" keep\n"
                          + ("  ssl\n" if port.endswith("s") else "")
                          + f"  mda \"cat >> {out}\"\n")
            rc.chmod(0o600)
            code, output = run(["fetchmail", "-v", "-f", str(rc), "--idfile", str(tmp / "ids")],
                               f"fetchmail {name}:{port}", env=env)
            # 0: mail was collected, 1: there was none; both mean the session worked.
            check(code in (0, 1) and "SSL/TLS" in output
                  and "verification error" not in output.lower(),
                  f"fetchmail collects over {port} from {name}")


# ---- mutt ----


def case_mutt(server, tmp):
    env = dict(os.environ, HOME=str(tmp))
    for port, scheme in (("submission", "smtp"), ("smtps", "smtps")):
        for name in NAMES:
            muttrc = tmp / "muttrc"
            # Its defaults (with Debian's /etc/Muttrc): STARTTLS whenever offered, the system's
            # CA file.
            muttrc.write_text(f"set smtp_url=\"{scheme}://alice@{name}:{server.ports[port]}/\"\n"
                              "set smtp_pass=\"alice-pw\"\nset from=\"alice@brevin.test\"\n"
                              "set use_from=yes\nset copy=no\n")
            before = len(server.messages("bob"))
            code, _ = run(["mutt", "-F", str(muttrc), "-s", f"mutt {port} {name}",
                           "bob@brevin.test"], f"mutt {name}:{port}", input=b"Sent by mutt.\n",
                          env=env)
            delivered(server, "bob", before, f"mutt delivers on {port} to {name}") if code == 0 \
                else check(False, f"mutt delivers on {port} to {name}")
    # Reading needs a terminal: `script` gives it one, and mutt quits once the mailbox is open.
    # A certificate it doubted would stop it at a question until the timeout.
    (tmp / "Mail").mkdir(exist_ok=True)  # else it first asks to make its folder
    for port, scheme in (("imap", "imap"), ("imaps", "imaps"), ("pop3", "pop"), ("pop3s", "pops")):
        for name in NAMES:
            muttrc = tmp / "muttrc"
            muttrc.write_text(f"set imap_pass=\"alice-pw\"\nset pop_pass=\"alice-pw\"\n")
            url = f"{scheme}://alice@{name}:{server.ports[port]}/" + ("INBOX" if "imap" in scheme else "")
            command = f"mutt -F {muttrc} -f {url} -e 'push <quit>'"
            code, output = run(["script", "-qec", command, "/dev/null"], f"mutt {url}", limit=15,
                               env=dict(env, TERM="dumb"))
            check(code == 0 and "SSL/TLS connection using" in output,
                  f"mutt opens {url} over TLS")


# ---- Ruby's net-smtp ----


RUBY = """
require "net/smtp"
host, port, mode = ARGV[0], Integer(ARGV[1]), ARGV[2]
message = "From: alice@brevin.test\\r\\nTo: bob@brevin.test\\r\\nSubject: ruby #{mode} #{host}\\r\\n\\r\\nHi.\\r\\n"
options = mode == "smtps" ? {tls: true} : {}
options.merge!(user: "alice", secret: "alice-pw", authtype: :plain) unless mode == "smtp"
Net::SMTP.start(host, port, **options) do |smtp|
  raise "not encrypted" unless smtp.tls? || smtp.starttls?
  smtp.send_message(message, "alice@brevin.test", "bob@brevin.test")
end
"""


def case_ruby(server, tmp):
    if shutil.which("ruby") is None:
        check(False, "ruby is installed (scripts/install-deps.sh test)")
        return
    script = tmp / "send.rb"
    script.write_text(RUBY)
    for port in ("smtp", "submission", "smtps"):
        for name in NAMES:
            before = len(server.messages("bob"))
            code, _ = run(["ruby", str(script), name, str(server.ports[port]), port],
                          f"ruby {name}:{port}")
            delivered(server, "bob", before, f"net-smtp delivers on {port} to {name}") \
                if code == 0 else check(False, f"net-smtp delivers on {port} to {name}")


# ---- mbsync ----


def case_mbsync(server, tmp):
    for port, kind in (("imap", "STARTTLS"), ("imaps", "IMAPS")):
        for name in NAMES:
            near = tmp / f"mail-{port}-{name}"
            near.mkdir()
            rc = tmp / "mbsyncrc"
            rc.write_text(f"IMAPAccount office\nHost {name}\nPort {server.ports[port]}\n"
                          f"User alice\nPass alice-pw\nSSLType {kind}\n\n"
                          "IMAPStore remote\nAccount office\n\n"
                          f"MaildirStore local\nPath {near}/\nInbox {near}/INBOX\n\n"
                          "Channel office\nFar :remote:\nNear :local:\nPatterns INBOX\n"
                          "Create Near\nSyncState *\n")
            code, _ = run(["mbsync", "-c", str(rc), "office"], f"mbsync {name}:{port}",
                          env=dict(os.environ, HOME=str(tmp)))
            check(code == 0 and (near / "INBOX" / "cur").is_dir(),
                  f"mbsync synchronises over {port} with {name}")


# ---- renewal without a restart ----


def served_fingerprint(server, port, name="127.0.0.1"):
    with socket.create_connection((name, server.ports[port]), timeout=10) as raw:
        with ssl.create_default_context().wrap_socket(raw, server_hostname=name) as tls:
            tls.recv(200)
            der = tls.getpeercert(binary_form=True)
    return ssl.DER_cert_to_PEM_cert(der)


def case_renewal(server, tmp):
    renewals = lambda: server.stderr().count("change=renewed")
    before = served_fingerprint(server, "imaps")
    done = renewals()  # counted after: a renewal still to come is one the first session missed
    # A session under way, begun with the certificate before the renewal.
    imap = imaplib.IMAP4_SSL("127.0.0.1", server.ports["imaps"], timeout=20,
                             ssl_context=ssl.create_default_context())
    imap.login("alice", "alice-pw")
    renewed = wait_until(lambda: renewals() > done, 20, 0.2)
    check(renewed, "the server logs a renewal")
    after = served_fingerprint(server, "imaps")
    check(after != before, "new sessions get the new certificate")
    check(imap.select("INBOX")[0] == "OK" and imap.logout()[0] == "BYE",
          "the session begun before the renewal goes on")
    ca = (server.workdir / "brevin-ca.pem").read_text()
    failed = []
    for port in PORTS:
        for name in NAMES:
            try:
                python_session(server, port, name)
            except (OSError, ssl.SSLError, smtplib.SMTPException, poplib.error_proto,
                    imaplib.IMAP4.error) as error:
                failed.append(f"{port} {name}: {error}")
    check(not failed, f"after the renewal every port verifies by every name ({failed})")
    data = tmp / "after.txt"
    data.write_bytes(message("after-renewal"))
    code, _ = run(["curl", "-sS", "--max-time", "20", "--user", "alice:alice-pw",
                   f"smtps://{HOST}:{server.ports['smtps']}/", "--mail-from", "alice@brevin.test",
                   "--mail-rcpt", "bob@brevin.test", "--upload-file", str(data)], "curl")
    check(code == 0, "curl verifies the renewed certificate")
    code, _ = run(["msmtp", f"--host={HOST}", f"--port={server.ports['submission']}", "--tls=on",
                   "--auth=on", "--user=alice", "--passwordeval=echo alice-pw",
                   "--from=alice@brevin.test", "bob@brevin.test"], "msmtp",
                  input=message("msmtp-after"))
    check(code == 0, "msmtp verifies the renewed certificate")
    check((server.workdir / "brevin-ca.pem").read_text() == ca, "the CA stays the same")


def serve(tmp):
    if os.environ.get("BREVIN_TRUSTED_INSIDE") != "1":
        enter_namespaces()
    set_up_host(tmp)
    # Renewal: checked every second and renewed when less than 397 days less 3 s are left,
    # which a fresh certificate is after 3 s.
    extra = (["--tls-check-every", "1", "--tls-renew-within", str(397 * 86400 - 3)]
             if CASE == "renewal" else [])
    server = start(tmp, *extra)
    try:
        trust(server.workdir / "brevin-ca.pem", tmp)
        globals()[f"case_{CASE}"](server, tmp)
        check(server.process.poll() is None, "the server is still running")
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(run_case({f"case_{CASE}": serve}))
