#!/usr/bin/env python3
"""Real IMAP clients against the real program on loopback, each with the case's folder as HOME
and the server's self-signed certificate trusted. One CTest test per case:

  mbsync       a two-way sync of every folder with a Maildir; then a flag and a deletion on
               each side and a folder made locally; two more runs and both sides agree
  offlineimap  a sync into a Maildir; a flag set locally reaches the server on the next run
  neomutt, mutt
               driven in a terminal: read a message, flag it, save it to a folder it makes,
               quit; the server has it there, read and flagged, and no longer in INBOX
  getmail      IMAPS retrieval of both messages into a Maildir

Usage: imap_real_clients.py BREVIN_BINARY CASE
"""

import email
import imaplib
import os
import shutil
import socket
import subprocess
import sys

from imap_clients import send, start  # also puts mailtest on the path
from mailtest import check, run_case  # noqa: E402

# Maildir's info letters for the system flags.
LETTERS = {"\\Answered": "R", "\\Deleted": "T", "\\Draft": "D", "\\Flagged": "F", "\\Seen": "S"}


def client(work, *command, timeout=60, **env):
    """`command` with HOME at `work`, and of the caller's environment only PATH, so no user's
    configuration leaks in."""
    env.update(PATH=os.environ.get("PATH", "/usr/bin:/bin"), HOME=str(work), LANG="C.UTF-8")
    result = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=timeout)
    if result.returncode != 0:
        output = (result.stdout + result.stderr)[-3000:]
        print(f"{command[0]} exited {result.returncode}:\n{output}")
    return result


def login(server):
    imap = imaplib.IMAP4("127.0.0.1", server.ports["imap"], timeout=10)
    imap.login("ann", "ann-pw")
    return imap


def subject(data: bytes):
    return email.message_from_bytes(data)["Subject"]


def on_server(server, folder="INBOX"):
    """{subject: its flags as Maildir letters} of `folder`; None when it does not exist."""
    imap = login(server)
    try:
        if imap.select(folder)[0] != "OK":
            return None
        _, data = imap.fetch("1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        found = {}
        for part in data:
            if isinstance(part, tuple):
                flags = [f.decode() for f in imaplib.ParseFlags(part[0])]
                found[subject(part[1])] = "".join(sorted(LETTERS[f] for f in flags if f in LETTERS))
        return found
    finally:
        imap.logout()


def maildir_files(folder):
    return [f for sub in ("cur", "new") if (folder / sub).is_dir()
            for f in sorted((folder / sub).iterdir()) if f.is_file()]


def on_disk(folder):
    """{subject: its Maildir flag letters} of the Maildir `folder`."""
    return {subject(f.read_bytes()): "".join(sorted(f.name.partition(":2,")[2]))
            for f in maildir_files(folder)}


def local_file(folder, tag):
    return next(f for f in maildir_files(folder) if subject(f.read_bytes()) == tag)


def set_local_flags(file, letters):
    """Moves a Maildir message to cur/ with `letters` as its info, as a mail reader does."""
    base = file.name.partition(":2,")[0]
    file.rename(file.parent.parent / "cur" / f"{base}:2,{letters}")


def case_mbsync(work):
    server = start(work)
    send(server, "flag-here", "delete-here", "seen-there", "delete-there")
    mail = work / "Mail"
    mail.mkdir()
    rc = work / "mbsyncrc"
    rc.write_text(f"IMAPAccount brevin\nHost 127.0.0.1\nPort {server.ports['imaps']}\n"
                  f"User ann\nPass ann-pw\nSSLType IMAPS\nCertificateFile {server.cert}\n\n"
                  "IMAPStore remote\nAccount brevin\n\n"
                  f"MaildirStore local\nPath {mail}/\nInbox {mail}/INBOX\nSubFolders Verbatim\n\n"
                  "Channel brevin\nFar :remote:\nNear :local:\nPatterns *\n"
                  "Create Both\nExpunge Both\nSync All\nSyncState *\n")
    sync = lambda: client(work, "mbsync", "-c", str(rc), "-a").returncode == 0
    check(sync() and len(on_disk(mail / "INBOX")) == 4 and (mail / "Sent" / "cur").is_dir(),
          "mbsync brings INBOX's four messages and makes the special-use folders locally")

    set_local_flags(local_file(mail / "INBOX", "flag-here"), "F")
    local_file(mail / "INBOX", "delete-here").unlink()
    for sub in ("cur", "new", "tmp"):
        (mail / "Projects" / sub).mkdir(parents=True)
    (mail / "Projects" / "cur" / "1.local:2,S").write_bytes(
        b"From: ann@brevin.test\nSubject: planned\n\nMade offline.\n")
    imap = login(server)
    imap.select("INBOX")
    _, seen = imap.search(None, 'SUBJECT "seen-there"')
    _, gone = imap.search(None, 'SUBJECT "delete-there"')
    imap.store(seen[0].decode(), "+FLAGS", "(\\Seen)")
    imap.store(gone[0].decode(), "+FLAGS", "(\\Deleted)")
    imap.expunge()
    imap.logout()

    runs = [sync(), sync()]
    want = {"flag-here": "F", "seen-there": "S"}
    check(all(runs) and on_disk(mail / "INBOX") == want,
          f"locally: the server's flag and deletion arrived ({on_disk(mail / 'INBOX')})")
    check(on_server(server) == want,
          f"on the server: the local flag and deletion arrived ({on_server(server)})")
    check(on_server(server, "Projects") == {"planned": "S"},
          "a folder made locally is created on the server, its message appended with its flag")
    server.stop()


def case_offlineimap(work):
    server = start(work)
    send(server, "one", "two")
    # offlineimap matches the certificate's DNS names only, never its IP address: connect by
    # the host name the certificate was made for.
    host = socket.gethostname()
    check(socket.gethostbyname(host) == "127.0.0.1", f"the host name {host} is 127.0.0.1")
    mail = work / "Mail"
    rc = work / "offlineimaprc"
    rc.write_text("[general]\naccounts = brevin\n\n"
                  "[Account brevin]\nlocalrepository = local\nremoterepository = remote\n\n"
                  f"[Repository local]\ntype = Maildir\nlocalfolders = {mail}\n\n"
                  f"[Repository remote]\ntype = IMAP\nremotehost = {host}\n"
                  f"remoteport = {server.ports['imaps']}\nremoteuser = ann\nremotepass = ann-pw\n"
                  f"ssl = yes\nsslcacertfile = {server.ca}\n")
    sync = lambda: client(work, "offlineimap", "-c", str(rc), "-o", "-u", "basic").returncode == 0
    check(sync() and on_disk(mail / "INBOX") == {"one": "", "two": ""},
          "offlineimap brings both messages, unread")
    set_local_flags(local_file(mail / "INBOX", "two"), "FS")
    check(sync() and on_server(server) == {"one": "", "two": "FS"},
          f"a local flag reaches the server on the next run ({on_server(server)})")
    server.stop()


def drive_mutt(work, program):
    server = start(work)
    send(server, "keep", "archive-me")
    (work / "muttrc").write_text(
        f'set folder="imaps://ann@127.0.0.1:{server.ports["imaps"]}/"\nset imap_pass="ann-pw"\n'
        f'set spoolfile="+INBOX"\nset certificate_file="{server.cert}"\n'
        # No prompts left to answer: make the folder, expunge on quit, stay on the message.
        "set confirmcreate=no\nset confirmappend=no\nset delete=yes\nset move=no\n"
        "set resolve=no\nset wait_key=no\nset sort=mailbox-order\n"
        'set header_cache=""\nset message_cachedir=""\n')
    # The second message: read it, flag it, save it to =Archive, quit.
    keys = "<last-entry><display-message><exit><flag-message><save-message>=Archive<enter><quit>"
    # Under script for a terminal; in its foreground, or the reader stops at its first read.
    command = f"timeout --foreground 30 {program} -n -F {work / 'muttrc'} -e 'push {keys}'"
    result = client(work, "script", "-qec", command, "/dev/null", timeout=60,
                    TERM="vt100", LINES="24", COLUMNS="80")
    check(result.returncode == 0, f"{program} quits by itself")
    check(on_server(server, "Archive") == {"archive-me": "FS"},
          f"{program} saved the message to a new folder, read and flagged "
          f"({on_server(server, 'Archive')})")
    check(on_server(server) == {"keep": ""}, f"and expunged it from INBOX ({on_server(server)})")
    server.stop()


def case_neomutt(work):
    drive_mutt(work, "neomutt")


def case_mutt(work):
    drive_mutt(work, "mutt")


def case_getmail(work):
    server = start(work)
    send(server, "one", "two")
    mail = work / "Mail"
    for sub in ("cur", "new", "tmp"):
        (mail / sub).mkdir(parents=True)
    user = ""
    if os.geteuid() == 0:
        # getmail will not deliver as root: it delivers as the Maildir's owner, given here.
        user = "user = nobody\n"
        work.chmod(0o711)
        for folder in (mail, *mail.iterdir()):
            shutil.chown(folder, "nobody")
    rc = work / "getmailrc"
    rc.write_text(f"[retriever]\ntype = SimpleIMAPSSLRetriever\nserver = 127.0.0.1\n"
                  f"port = {server.ports['imaps']}\nusername = ann\npassword = ann-pw\n"
                  f"ca_certs = {server.ca}\n\n"
                  f"[destination]\ntype = Maildir\npath = {mail}/\n{user}")
    result = client(work, "getmail", "--getmaildir", str(work), "--rcfile", str(rc))
    got = {subject(f.read_bytes()): f.read_bytes() for f in maildir_files(mail)}
    check(result.returncode == 0 and sorted(got) == ["one", "two"],
          "getmail retrieves both messages into the Maildir")
    check(all(b"\n.leading dot\n" in data for data in got.values()),
          "their bodies arrive whole, the leading dot unstuffed")
    server.stop()


if __name__ == "__main__":
    sys.exit(run_case(globals()))
