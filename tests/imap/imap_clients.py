#!/usr/bin/env python3
"""IMAP against the real program on loopback, with Python's imaplib. One CTest test per case:

  python   STARTTLS on 143 and implicit TLS on 993: login, the special-use folders, SELECT,
           FETCH of envelopes and bodies, STORE, APPEND (APPENDUID), COPY and MOVE (COPYUID),
           folders made, renamed and deleted, SEARCH
  idle     two sessions of one user: one IDLEs while SMTP delivers and the other flags and
           expunges; the idle one hears EXISTS, FETCH and EXPUNGE
  pop3     POP3 and IMAP on one INBOX: what IMAP expunges is gone for POP3, what POP3
           deletes leaves the index and the IMAP session hears it
  hostile  bad input gets a tagged answer and the session goes on; only a logged-in session
           may idle longer than the server's idle timeout
  resync   CONDSTORE and QRESYNC: conditional STORE, VANISHED as it happens, and a client
           that comes back learns what vanished and what changed since its last visit
  lan      from an address that is not loopback (a network namespace of the test's own):
           LOGINDISABLED and no login before STARTTLS, a login after it
  fetchmail, curl
           the client with its default settings and the certificate pinned (or, for curl,
           trusted) collects over IMAP

Usage: imap_clients.py BREVIN_BINARY CASE      (exit 77: the case cannot run here)
"""

import atexit
import hashlib
import imaplib
import os
import poplib
import re
import smtplib
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, run_case, wait_until, on_lan_address  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
USERS = {"ann": ("ann", "ann-pw"), "bob": ("bob", "bob-pw")}


def message(tag):
    return (f"From: Boss <boss@brevin.test>\r\nTo: ann@brevin.test\r\nSubject: {tag}\r\n"
            f"Date: Tue, 08 Dec 2026 09:00:00 +0000\r\nMessage-ID: <{tag}@brevin.test>\r\n\r\n"
            f"Body of {tag}.\r\n.leading dot\r\n").encode()


SERVERS = []


@atexit.register
def stop_servers():
    """A case that fails half-way leaves no server behind to hold CTest's pipe open."""
    for server in SERVERS:
        if server.process and server.process.poll() is None:
            server.stop()


def start(work, *extra):
    server = Server(BINARY, work, USERS, *extra, ports=("smtp", "pop3", "imap", "imaps"))
    SERVERS.append(server)
    return server


def send(server, *tags):
    with smtplib.SMTP("127.0.0.1", server.ports["smtp"], timeout=10) as s:
        for tag in tags:
            s.sendmail("boss@brevin.test", ["ann@brevin.test"], message(tag))


def case_python(work):
    server = start(work)
    send(server, "first", "second")
    context = ssl.create_default_context(cafile=server.ca)
    imap = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    check("STARTTLS" in imap.capabilities and "IMAP4REV2" in imap.capabilities,
          "143 offers STARTTLS and IMAP4rev2")
    imap.starttls(ssl_context=context)
    imap.login("ann", "ann-pw")
    _, listing = imap.list()
    names = b"\n".join(listing).decode()
    check(all(f"\\{use}" in names for use in ("Sent", "Drafts", "Trash", "Junk")),
          "the first login made the special-use folders")
    typ, data = imap.select("INBOX")
    check(typ == "OK" and data[0] == b"2", "SELECT INBOX: 2 messages")
    typ, data = imap.uid("FETCH", "1:*", "(UID FLAGS RFC822.SIZE ENVELOPE)")
    envelopes = b" ".join(part if isinstance(part, bytes) else b"".join(part) for part in data)
    check(typ == "OK" and b'"first"' in envelopes and b'"boss" "brevin.test"' in envelopes,
          "UID FETCH of envelopes names subject and sender")
    typ, data = imap.fetch("1", "(BODY[])")
    body = data[0][1]
    check(body == message("first") or body.endswith(message("first")),
          "BODY[] is the message as sent, its leading dot unstuffed")
    _, data = imap.fetch("1", "(FLAGS)")
    check(b"\\Seen" in data[0], "reading the body marked it \\Seen")
    imap.store("2", "+FLAGS", "(\\Flagged $Work)")
    _, data = imap.search(None, "FLAGGED")
    check(data[0] == b"2", "SEARCH FLAGGED finds the flagged message")
    _, data = imap.search(None, 'SUBJECT "second"')
    check(data[0] == b"2", "SEARCH SUBJECT reads the header")
    typ, data = imap.append("Drafts", "(\\Draft)", None, message("draft"))
    check(typ == "OK" and b"APPENDUID" in data[0], "APPEND answers APPENDUID")
    typ, data = imap.copy("1", "Trash")
    check(typ == "OK" and b"COPYUID" in data[0], "COPY answers COPYUID")
    typ, data = imap.create("Work/2026")
    check(typ == "OK", "CREATE makes a nested folder")
    typ, _ = imap.rename("Work", "Projects")
    _, listing = imap.list('""', "Projects/*")
    check(typ == "OK" and b"Projects/2026" in b"".join(listing), "RENAME moves the children along")
    typ, data = imap._simple_command("MOVE", "2", "Projects/2026")
    check(typ == "OK", "MOVE into the renamed child")
    _, data = imap.select("Projects/2026")
    _, flags = imap.fetch("1", "(FLAGS)")
    check(data[0] == b"1" and b"\\Flagged" in flags[0] and b"$Work" in flags[0],
          "the moved message kept its flags, keyword included")
    check(imap.delete("Trash")[0] == "OK" and imap.select("INBOX")[1][0] == b"1",
          "DELETE of a folder; INBOX keeps what was not moved")
    imap.logout()

    secure = imaplib.IMAP4_SSL("127.0.0.1", server.ports["imaps"], ssl_context=context, timeout=10)
    secure.login("ann", "ann-pw")
    typ, data = secure.status("Drafts", "(MESSAGES UIDNEXT)")
    check(typ == "OK" and b"MESSAGES 1" in data[0], "993: STATUS of Drafts counts the draft")
    typ, _ = secure._simple_command("LIST", '""', "*", "RETURN", "(STATUS (MESSAGES UNSEEN))")
    statuses = secure.untagged_responses.pop("STATUS", [])
    check(typ == "OK" and b'"Drafts" (MESSAGES 1 UNSEEN 1)' in statuses and len(statuses) == 6, "LIST RETURN (STATUS): a STATUS for every folder listed")
    secure.logout()
    server.stop()
    log = server.stderr()
    check("imap login user=ann" in log and "ann-pw" not in log, "logins are logged, passwords never")


def case_idle(work):
    server = start(work)
    send(server, "old")
    watcher = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    watcher.login("ann", "ann-pw")
    watcher.select("INBOX")
    tag = watcher._new_tag().decode()
    watcher.send(f"{tag} IDLE\r\n".encode())
    check(watcher.readline().startswith(b"+"), "IDLE is accepted")
    sent = time.monotonic()
    send(server, "new")
    line = watcher.readline()
    heard = time.monotonic() - sent
    check(line.strip() == b"* 2 EXISTS" and heard < 5, f"new mail is pushed during IDLE ({heard:.3f} s)")
    other = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    other.login("ann", "ann-pw")
    other.select("INBOX")
    other.store("1", "+FLAGS", "(\\Deleted)")
    line = watcher.readline()
    check(b"FETCH" in line and b"\\Deleted" in line, "another session's flags reach the idle one")
    other.expunge()
    line = watcher.readline()
    check(line.strip() == b"* 1 EXPUNGE", "and its expunge")
    watcher.send(b"DONE\r\n")
    check(watcher.readline().startswith(f"{tag} OK".encode()), "DONE ends IDLE")
    for client in (other, watcher):
        client.logout()
    server.stop()


def case_pop3(work):
    server = start(work)
    send(server, "a", "b", "c")
    pop = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=10)
    pop.user("ann")
    pop.pass_("ann-pw")
    uidls = pop.uidl()[1]
    imap = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    imap.login("ann", "ann-pw")
    imap.select("INBOX")
    imap.store("1", "+FLAGS", "(\\Deleted)")
    imap.expunge()
    check(len(pop.list()[1]) == 3, "a POP3 session keeps its numbering while IMAP expunges")
    pop.dele(1 + 1)  # the second message, "b"
    pop.quit()
    imap.noop()
    _, data = imap.fetch("1:*", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
    subjects = [part[1] for part in data if isinstance(part, tuple)]
    check(subjects == [b"Subject: c\r\n\r\n"], "POP3's deletion reached the IMAP session")
    pop = poplib.POP3("127.0.0.1", server.ports["pop3"], timeout=10)
    pop.user("ann")
    pop.pass_("ann-pw")
    check(pop.uidl()[1] == [b"1 " + uidls[2].split()[1]],
          "the next POP3 login sees the one message left, with its old UIDL")
    pop.quit()
    imap.logout()
    server.stop()


def case_hostile(work):
    server = start(work)
    s = socket.create_connection(("127.0.0.1", server.ports["imap"]), timeout=10)
    f = s.makefile("rb")
    f.readline()

    def ask(data, tag):
        s.sendall(data)
        while True:
            line = f.readline()
            if not line or line.startswith(tag.encode() + b" "):
                return line

    check(ask(b"a0 APPEND INBOX {5000000}\r\n", "a0").startswith(b"a0 BAD"),
          "a stranger's APPEND may not send a message-sized literal")
    check(ask(b"a1 LOGIN ann ann-pw\r\n", "a1").startswith(b"a1 OK"), "login")
    check(ask(b"a2 SELECT INBOX\r\n", "a2").startswith(b"a2 OK"), "select")
    nested = b"a3 SEARCH " + b"(" * 10000 + b"ALL" + b")" * 10000 + b"\r\n"
    check(ask(nested, "a3").startswith(b"a3 BAD"), "10,000 nested parentheses: BAD")
    check(ask(b"a4 FETCH 1:x (FLAGS)\r\n", "a4").startswith(b"a4 BAD"), "a malformed set: BAD")
    check(ask(b"a5 APPEND INBOX {999999999999}\r\n", "a5").startswith(b"a5 NO [TOOBIG]"),
          "an APPEND beyond the message size: NO [TOOBIG]")
    check(ask(b"a6 NOOP\r\n", "a6").startswith(b"a6 OK"), "the session goes on")
    check(ask(b"a7 FETCH 1 (BODY[\x80])\r\n", "a7").startswith(b"a7 BAD"), "8-bit in an atom: BAD")
    mixed = (b"Subject: parts\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n"
             b"\r\n--b\r\nContent-Type: text/plain\r\n\r\nplain\r\n--b\r\n"
             b"Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: x-uuencode\r\n"
             b"\r\nbegin 644 x\r\n--b--\r\n")
    ask(b"a8 APPEND INBOX {%d+}\r\n%s\r\n" % (len(mixed), mixed), "a8")
    check(ask(b"a9 FETCH 1 (BINARY[2])\r\n", "a9").startswith(b"a9 NO [UNKNOWN-CTE]"),
          "BINARY of a part in an unknown encoding: NO [UNKNOWN-CTE]")
    s.sendall(b"a10 FETCH 1 (BINARY.SIZE[7])\r\n")
    check(f.readline().startswith(b"* 1 FETCH (BINARY.SIZE[7] 0)") and
          f.readline().startswith(b"a10 OK"), "BINARY of a part that does not exist is empty")
    s.close()
    server.stop()

    # A logged-in client may idle for half an hour; a stranger only for the server's timeout.
    server = start(work / "idle", "--idle-timeout", "2")
    stranger = socket.create_connection(("127.0.0.1", server.ports["imap"]), timeout=10)
    stranger_lines = stranger.makefile("rb")
    stranger_lines.readline()
    s = socket.create_connection(("127.0.0.1", server.ports["imap"]), timeout=10)
    f = s.makefile("rb")
    f.readline()
    ask(b"b1 LOGIN ann ann-pw\r\n", "b1")
    time.sleep(3.5)
    check(stranger_lines.readline() == b"", "a stranger who says nothing is let go")
    check(ask(b"b2 NOOP\r\n", "b2").startswith(b"b2 OK"), "a logged-in session outlives that")
    s.close()
    stranger.close()
    server.stop()


class Raw:
    """One IMAP conversation line by line: `ask` sends a command and returns every line up to
    its tagged reply."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rb")
        self.file.readline()
        self.count = 0

    def ask(self, command):
        self.count += 1
        tag = f"r{self.count}"
        self.sock.sendall(f"{tag} {command}\r\n".encode())
        lines = []
        while True:
            line = self.file.readline().decode(errors="replace").rstrip("\r\n")
            lines.append(line)
            if not line or line.startswith(tag + " "):
                return lines

    def close(self):
        self.sock.close()


def case_resync(work):
    server = start(work)
    send(server, "one", "two", "three")
    laptop = Raw(server.ports["imap"])
    laptop.ask("LOGIN ann ann-pw")
    check(laptop.ask("ENABLE QRESYNC")[0] == "* ENABLED QRESYNC", "ENABLE QRESYNC")
    selected = "\n".join(laptop.ask("SELECT INBOX"))
    validity = re.search(r"UIDVALIDITY (\d+)", selected).group(1)
    modseq = int(re.search(r"HIGHESTMODSEQ (\d+)", selected).group(1))
    reply = laptop.ask(f"UID STORE 1 (UNCHANGEDSINCE {modseq}) +FLAGS.SILENT (\\Flagged)")
    check(reply[-1].endswith("OK STORE completed") and "MODSEQ" in reply[0],
          "a silent conditional STORE still tells the new mod-sequence")
    reply = laptop.ask(f"UID STORE 1 (UNCHANGEDSINCE {modseq}) +FLAGS (\\Seen)")
    check("[MODIFIED 1]" in reply[-1], "a STORE on a message changed since is refused: MODIFIED")
    phone = Raw(server.ports["imap"])
    phone.ask("LOGIN ann ann-pw")
    phone.ask("SELECT INBOX")
    phone.ask("STORE 2 +FLAGS (\\Deleted)")
    phone.ask("EXPUNGE")
    check(any(line == "* VANISHED 2" for line in laptop.ask("NOOP")),
          "the other device's expunge reaches a QRESYNC session as VANISHED")
    laptop.close()
    phone.close()

    back = Raw(server.ports["imap"])
    back.ask("LOGIN ann ann-pw")
    check(back.ask(f"SELECT INBOX (QRESYNC ({validity} {modseq}))")[-1].startswith("r2 BAD"),
          "QRESYNC parameters need ENABLE QRESYNC first")
    back.ask("ENABLE QRESYNC")
    lines = back.ask(f"SELECT INBOX (QRESYNC ({validity} {modseq} 1:3))")
    check("* VANISHED (EARLIER) 2" in lines and any(
        "UID 1 FLAGS (\\Flagged)" in line and "MODSEQ" in line for line in lines)
        and not any("UID 3 " in line for line in lines),
          "coming back: what vanished and what changed since, nothing else")
    lines = back.ask(f"UID FETCH 1:* (FLAGS) (CHANGEDSINCE {modseq} VANISHED)")
    check(lines[0] == "* VANISHED (EARLIER) 2" and len(lines) == 3 and "MODSEQ" in lines[1],
          "UID FETCH CHANGEDSINCE with VANISHED")
    lines = back.ask(f"SEARCH MODSEQ {modseq + 1}")
    check(re.fullmatch(r"\* SEARCH 1 \(MODSEQ \d+\)", lines[0]) is not None,
          "SEARCH MODSEQ names the highest mod-sequence found")
    back.close()
    server.stop()


def case_lan(work):
    address = on_lan_address(__file__, BINARY, "lan")
    server = Server(BINARY, work, USERS, ports=("smtp", "imap"), address=address)
    SERVERS.append(server)
    imap = imaplib.IMAP4(address, server.ports["imap"], timeout=10)
    check("LOGINDISABLED" in imap.capabilities and "AUTH=PLAIN" not in imap.capabilities,
          "a LAN client is told LOGINDISABLED before STARTTLS")
    try:
        imap.login("ann", "ann-pw")
        refused = False
    except imaplib.IMAP4.error as error:
        refused = "PRIVACYREQUIRED" in str(error)
    check(refused, "and its LOGIN in the clear is refused")
    imap.starttls(ssl_context=ssl.create_default_context(cafile=server.ca))
    check("AUTH=PLAIN" in imap.capabilities and imap.login("ann", "ann-pw")[0] == "OK",
          "after STARTTLS it logs in")
    imap.logout()
    server.stop()


def case_fetchmail(work):
    server = start(work)
    send(server, "one", "two")
    der = ssl.PEM_cert_to_DER_cert(server.cert.read_text())
    digest = hashlib.md5(der).hexdigest().upper()
    md5 = ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))
    out, rc = work / "fetched.mbox", work / "fetchmailrc"
    # fetchmail pins only an MD5 of the certificate, and checks the chain unless told not to.
    rc.write_text(f"set no syslog\npoll 127.0.0.1 protocol IMAP port {server.ports['imap']}\n"
                  f"  user ann there with password \"ann-pw\"\n"
                  f"  sslfingerprint \"{md5}\" no sslcertck\n  mda \"cat >> {out}\"\n")
    rc.chmod(0o600)
    result = subprocess.run(["fetchmail", "-v", "-f", str(rc), "--idfile", str(work / "ids")],
                            capture_output=True, text=True, timeout=60, input="",
                            env=dict(os.environ, HOME=str(work), FETCHMAILHOME=str(work)))
    fetched = out.read_bytes() if out.exists() else b""
    check(result.returncode == 0 and "STARTTLS" in result.stdout
          and b"Subject: one" in fetched and b"Subject: two" in fetched,
          "fetchmail collects both messages over IMAP after STARTTLS")
    imap = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    imap.login("ann", "ann-pw")
    check(imap.select("INBOX")[1][0] == b"0", "and expunged them, as it does by default")
    imap.logout()
    server.stop()


def case_curl(work):
    server = start(work)
    send(server, "curl")
    base = f"imaps://127.0.0.1:{server.ports['imaps']}/"

    def curl(*args):
        return subprocess.run(["curl", "-sS", "--max-time", "20", "--cacert", str(server.ca),
                               "--user", "ann:ann-pw", *args], capture_output=True, timeout=60)

    listing = curl(base)
    check(listing.returncode == 0 and b"\\Sent" in listing.stdout, "curl lists the folders")
    fetched = curl(base + "INBOX;UID=1")
    check(fetched.returncode == 0 and message("curl") in fetched.stdout, "and fetches the message")
    server.stop()


if __name__ == "__main__":
    sys.exit(run_case(globals()))
