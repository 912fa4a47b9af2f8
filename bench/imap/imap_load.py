#!/usr/bin/env python3
"""IMAP against the real program on loopback, and against Debian's dovecot beside it where it
is installed (/usr/sbin/dovecot), with the same messages and the same client.

1. SELECT plus UID FETCH 1:* (UID FLAGS RFC822.SIZE INTERNALDATE ENVELOPE) of 10,000 messages,
   warm, on the plain port: the median of five runs, the servers taking turns.
2. FETCH 1 BODY[] of a 10 MiB message over implicit TLS: the median rate of five.
3. 1,000 IDLE sessions over implicit TLS, ten on each of 100 mailboxes: the server's memory per
   session, and how long after a delivery each session hears EXISTS.
4. 100 clients, each syncing its own 1,000-message folder the way a desktop client does on
   first sight, ten at a time: the wall time of all of them.

The client reads raw bytes and only counts lines until the tagged one, skipping literals by
their length, so that it is not what is measured. Nothing is asserted: tables only.

Usage: imap_load.py BREVIN_BINARY
"""

import asyncio
import atexit
import os
import random
import re
import resource
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from collections import deque
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "support"))
from mailtest import Server, free_port, wait_for_port  # noqa: E402

DOVECOT = "/usr/sbin/dovecot"
PASSWORD = "bench-pw"
BIG_COUNT = 10_000
SYNC_USERS = 100
SYNC_COUNT = 1_000
IDLE_PER_MAILBOX = 10
SYNC_AT_ONCE = 10
DELIVER_AT_ONCE = 5
# The whole run stays within six minutes on a busy 2-core machine: past this, the timed
# repetitions and deliveries still to come are left out (and said so).
BUDGET = 300.0
RUNS = 5
# Every wait of the load is bounded: no step of a session may take longer than this.
STEP_TIMEOUT = 60.0
NOBODY = 65534

started = []  # (what, Popen) of every server this script started, stopped at exit


def stop_all():
    for _, process in reversed(started):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)


atexit.register(stop_all)


# ---- messages ----

WORDS = ("mail server folder meeting invoice draft report quarter budget office printer "
         "coffee lunch backup schedule holiday project client review notes minutes agenda "
         "update status please thanks regards tomorrow friday monday attached figures").split()
NAMES = ("Ann Smith", "Bob Jones", "Carla Diaz", "Dev Patel", "Eve Martin", "Farid Haddad",
         "Grace Lee", "Hugo Berg", "Ines Costa", "Jon Olsen")


def message(rng, i):
    """A plain office message of 0.7 to 4 KiB, CR LF lines, none beginning with "."."""
    sender = rng.choice(NAMES)
    when = 1_700_000_000 + i * 600
    date = time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(when))
    subject = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 7)))
    head = [f"From: \"{sender}\" <{sender.split()[0].lower()}@example.org>",
            "To: Office <office@brevin.test>"]
    if rng.random() < 0.3:
        head.append(f"Cc: \"{rng.choice(NAMES)}\" <cc{i % 7}@example.org>")
    head += [f"Subject: {subject}", f"Date: {date}", f"Message-ID: <{i}.{when}@example.org>"]
    if rng.random() < 0.4:
        head += [f"In-Reply-To: <{i - 1}.{when - 600}@example.org>",
                 f"References: <{i - 1}.{when - 600}@example.org>"]
    head += ["MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
             "Content-Transfer-Encoding: 8bit"]
    body = []
    for _ in range(rng.randint(8, 50)):
        body.append(" ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 12))))
    return ("\r\n".join(head) + "\r\n\r\n" + "\r\n".join(body) + "\r\n").encode(), when


def large_message(size):
    """A message of about `size` bytes: a short text and a base64 attachment."""
    rng = random.Random(7)
    raw = rng.randbytes(size * 3 // 4 - 1024)
    import base64
    encoded = base64.encodebytes(raw).replace(b"\n", b"\r\n")
    head = (b"From: \"Ann Smith\" <ann@example.org>\r\nTo: Office <office@brevin.test>\r\n"
            b"Subject: the scans\r\nDate: Tue, 14 Nov 2023 22:13:20 +0000\r\n"
            b"Message-ID: <scans@example.org>\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
            b"--b1\r\nContent-Type: text/plain\r\n\r\nThe scans.\r\n"
            b"--b1\r\nContent-Type: application/pdf; name=\"scans.pdf\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n")
    return head + encoded + b"--b1--\r\n", 1_700_000_000


# ---- seeding the stores ----

def seed_brevin(folder, messages):
    """Files as delivery names them: MSGnnnnn.bvn, the SMTP data ending in "." CR LF (no line
    needs a stuffed dot), the client's size as an attribute, the mtime as the arrival."""
    folder.mkdir(parents=True, exist_ok=True)
    for number, (data, when) in enumerate(messages, 1):
        path = folder / f"MSG{number:05d}.bvn"
        with open(path, "wb") as f:
            f.write(data + b".\r\n")
            os.setxattr(f.fileno(), "user.brevin.size", str(len(data)).encode())
        os.utime(path, (when, when))


def seed_maildir(folder, messages):
    """The same bytes in cur/, named as a delivery agent names them, sizes in the name."""
    for sub in ("cur", "new", "tmp"):
        (folder / sub).mkdir(parents=True, exist_ok=True)
    for number, (data, when) in enumerate(messages, 1):
        path = folder / "cur" / f"{when}.M{number}P1.bench,S={len(data)},W={len(data)}:2,"
        path.write_bytes(data)
        os.utime(path, (when, when))


# ---- dovecot ----

def stored_hash(profile, user):
    """The password hash Brevin's first start wrote for `user`, without its scheme prefix."""
    for line in profile.read_text().splitlines():
        if line.startswith(f"{user}=") and "$" in line:
            return line[line.index("$"):]
    raise SystemExit(f"no hash for {user} in {profile}")


class Dovecot:
    """dovecot with a configuration of its own in `root`: plain passwords until `use_hash`,
    every user the unprivileged nobody, maildirs under root/mail, IMAP only, on free loopback
    ports."""

    def __init__(self, root, users):
        self.root = root
        self.imap, self.imaps = free_port(), free_port()
        for sub in ("run", "state", "mail", "home"):
            (root / sub).mkdir(parents=True, exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", str(root / "key.pem"),
                        "-out", str(root / "cert.pem"), "-days", "2", "-subj", "/CN=localhost"],
                       check=True, capture_output=True)
        (root / "passwd").write_text("".join(f"{u}:{{PLAIN}}{PASSWORD}\n" for u in users))
        self.users = users
        self.conf = root / "dovecot.conf"
        self.conf.write_text(f"""\
base_dir = {root}/run
state_dir = {root}/state
protocols = imap
listen = 127.0.0.1
log_path = {root}/dovecot.log
ssl = yes
ssl_cert = <{root}/cert.pem
ssl_key = <{root}/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain
passdb {{
  driver = passwd-file
  args = username_format=%n {root}/passwd
}}
userdb {{
  driver = static
  args = uid={NOBODY} gid={NOBODY} home={root}/home/%n
}}
mail_location = maildir:{root}/mail/%n
# Every IDLE process past the kernel's inotify instances for one uid (128 by default) looks
# at its folder this often instead of being woken.
mailbox_idle_check_interval = 1 secs
default_client_limit = 2200
protocol imap {{
  mail_max_userip_connections = 100
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap}
  }}
  inet_listener imaps {{
    address = 127.0.0.1
    port = {self.imaps}
    ssl = yes
  }}
  # The high-performance mode: a few long-lived login processes proxy every TLS session.
  service_count = 0
  process_min_avail = 2
  client_limit = 1100
}}
service imap {{
  process_limit = 1100
}}
""")
        self.process = None

    def folder(self, user):
        return self.root / "mail" / user

    def use_hash(self, crypted):
        """Every user's password as this crypt(3) hash (dovecot reads the file anew)."""
        (self.root / "passwd").write_text(
            "".join(f"{u}:{{CRYPT}}{crypted}\n" for u in self.users))

    def start(self):
        subprocess.run(["chown", "-R", f"{NOBODY}:{NOBODY}", str(self.root / "mail"),
                        str(self.root / "home")], check=True)
        self.process = subprocess.Popen([DOVECOT, "-F", "-c", str(self.conf)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(("dovecot", self.process))
        if not (wait_for_port(self.imap) and wait_for_port(self.imaps)):
            raise RuntimeError("dovecot did not start: " + self.log()[-600:])

    def log(self):
        path = self.root / "dovecot.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)

    def deliver(self, user, data, number):
        """As a delivery agent files a message: written in tmp/, renamed into new/."""
        folder = self.folder(user)
        name = f"{int(time.time())}.D{number}P1.bench,S={len(data)},W={len(data)}"
        temporary = folder / "tmp" / name
        with open(temporary, "wb") as f:
            f.write(data)
            os.fchown(f.fileno(), NOBODY, NOBODY)
        os.rename(temporary, folder / "new" / name)


class Brevin:
    def __init__(self, binary, work, users, folders):
        """`folders`: user -> messages to put in the folder before the start."""
        profile_users = {u: (u, PASSWORD) for u in users}
        self.server = Server(binary, work, profile_users, "--pause-ms", "0",
                             ports=("smtp", "pop3", "imap", "imaps"), start=False)
        for user, messages in folders.items():
            seed_brevin(self.server.store / user, messages)
        self.imap, self.imaps = self.server.ports["imap"], self.server.ports["imaps"]
        self.smtp = self.server.ports["smtp"]

    def start(self):
        self.server.start()
        started.append(("brevin", self.server.process))

    def stop(self):
        self.server.stop()

    @property
    def pid(self):
        return self.server.process.pid


# ---- reading responses ----

class Scanner:
    """Cuts server bytes into response lines as they arrive; a literal's bytes are skipped by
    its length (and counted), its line continues after it."""

    def __init__(self):
        self.buffer = b""
        self.pending = b""
        self.skip = 0
        self.literal_bytes = 0

    def feed(self, data):
        out = []
        if self.skip:
            if len(data) <= self.skip:
                self.skip -= len(data)
                return out
            data = data[self.skip:]
            self.skip = 0
        buffer = self.buffer + data if self.buffer else data
        pos, end = 0, len(buffer)
        find = buffer.find
        while True:
            eol = find(b"\r\n", pos)
            if eol < 0:
                break
            line = buffer[pos:eol]
            pos = eol + 2
            if line.endswith(b"}"):
                brace = line.rfind(b"{")
                length = int(line[brace + 1:-1])
                self.literal_bytes += length
                self.pending += line
                if pos + length > end:
                    self.skip = pos + length - end
                    pos = end
                    break
                pos += length
                continue
            if self.pending:
                line = self.pending + line
                self.pending = b""
            out.append(line)
        self.buffer = buffer[pos:]
        return out


class ImapError(Exception):
    pass


class SyncImap:
    """A blocking raw client: one command at a time, the answer counted to its tagged line."""

    def __init__(self, port, tls=False):
        sock = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls:
            sock = client_tls().wrap_socket(sock)
        self.sock = sock
        self.scan = Scanner()
        self.lines = deque()
        self.tag = 0
        self.line()  # greeting

    def line(self):
        while not self.lines:
            data = self.sock.recv(1 << 20)
            if not data:
                raise ConnectionError("closed")
            self.lines.extend(self.scan.feed(data))
        return self.lines.popleft()

    def command(self, text, keep=False):
        """The untagged lines (or their count) of `text`'s answer; ImapError unless OK."""
        self.tag += 1
        tag = f"s{self.tag} ".encode()
        self.sock.sendall(tag + text.encode() + b"\r\n")
        kept, count = [], 0
        while True:
            line = self.line()
            if line.startswith(tag):
                if not line[len(tag):].startswith(b"OK"):
                    raise ImapError(line.decode("latin-1"))
                return kept if keep else count
            count += 1
            if keep:
                kept.append(line)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class AsyncImap:
    """The same client for asyncio: many sessions in one process."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer
        self.scan = Scanner()
        self.lines = deque()
        self.tag = 0

    @classmethod
    async def open(cls, port, tls=False):
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port, ssl=client_tls() if tls else None,
                                    limit=1 << 20), STEP_TIMEOUT)
        session = cls(reader, writer)
        await session.line()
        return session

    async def line(self, timeout=STEP_TIMEOUT):
        while not self.lines:
            data = await asyncio.wait_for(self.reader.read(1 << 18), timeout)
            if not data:
                raise ConnectionError("closed")
            self.lines.extend(self.scan.feed(data))
        return self.lines.popleft()

    async def command(self, text, keep=False):
        self.tag += 1
        tag = f"a{self.tag} ".encode()
        self.writer.write(tag + text.encode() + b"\r\n")
        kept, count = [], 0
        while True:
            line = await self.line()
            if line.startswith(tag):
                if not line[len(tag):].startswith(b"OK"):
                    raise ImapError(line.decode("latin-1"))
                return kept if keep else count
            count += 1
            if keep:
                kept.append(line)

    def close(self):
        self.writer.close()


_tls = None


def client_tls():
    global _tls
    if _tls is None:
        # Loopback to self-signed certificates: what is measured is the session, not trust.
        _tls = ssl.create_default_context()
        _tls.check_hostname = False
        _tls.verify_mode = ssl.CERT_NONE
    return _tls


# ---- measuring ----

def vm_rss(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def tree_pss(root_pid):
    """The proportional set size of a process and all its descendants, in bytes: a fair sum
    over many processes sharing their libraries."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    total, todo = 0, [root_pid]
    while todo:
        pid = todo.pop()
        todo += children.get(pid, [])
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
                        break
        except OSError:
            pass
    return total


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, -(-len(ordered) * p // 100) - 1))]


def login(session, user):
    return session.command(f"LOGIN {user} {PASSWORD}")


def select_and_fetch(port, user):
    """Seconds for SELECT and the listing FETCH, a fresh session logged in beforehand."""
    c = SyncImap(port)
    try:
        login(c, user)
        start = time.monotonic()
        c.command("SELECT INBOX")
        fetched = c.command("UID FETCH 1:* (UID FLAGS RFC822.SIZE INTERNALDATE ENVELOPE)")
        elapsed = time.monotonic() - start
        c.command("LOGOUT")
        return elapsed, fetched
    finally:
        c.close()


def body_rates(port, user, runs):
    """MB/s of FETCH 1 BODY[] over TLS, one session: a warming fetch, then `runs` timed."""
    c = SyncImap(port, tls=True)
    try:
        login(c, user)
        c.command("SELECT INBOX")
        c.command("FETCH 1 BODY[]")
        rates, size = [], 0
        for _ in range(runs):
            before = c.scan.literal_bytes
            start = time.monotonic()
            c.command("FETCH 1 BODY[]")
            elapsed = time.monotonic() - start
            size = c.scan.literal_bytes - before
            rates.append(size / elapsed / 1e6)
        c.command("LOGOUT")
        return rates, size
    finally:
        c.close()


HEADER_FIELDS = ("FROM TO CC BCC SUBJECT DATE MESSAGE-ID PRIORITY X-PRIORITY REFERENCES "
                 "NEWSGROUPS IN-REPLY-TO CONTENT-TYPE REPLY-TO")
UID_RE = re.compile(rb"UID (\d+)")


async def sync_client(port, user, bodies=10, store=True):
    """A desktop client's first look at a folder; its seconds."""
    start = time.monotonic()
    c = await AsyncImap.open(port)
    try:
        await login(c, user)
        await c.command("SELECT INBOX")
        lines = await c.command("UID FETCH 1:* (UID FLAGS)", keep=True)
        uids = [int(m.group(1)) for m in map(UID_RE.search, lines) if m]
        await c.command(f"UID FETCH 1:* (UID RFC822.SIZE FLAGS BODY.PEEK[HEADER.FIELDS "
                        f"({HEADER_FIELDS})])")
        if bodies:
            step = max(1, len(uids) // bodies)
            for uid in uids[::step][:bodies]:
                await c.command(f"UID FETCH {uid} BODY.PEEK[]")
                if store:
                    await c.command(f"UID STORE {uid} +FLAGS (\\Seen)")
        await c.command("LOGOUT")
    finally:
        c.close()
    return time.monotonic() - start


async def sync_all(port, users, bodies=10, store=True):
    gate = asyncio.Semaphore(SYNC_AT_ONCE)
    times = []

    async def one(user):
        async with gate:
            times.append(await sync_client(port, user, bodies, store))

    start = time.monotonic()
    await asyncio.gather(*(one(u) for u in users))
    return time.monotonic() - start, times


async def idle_session(port, user, sessions):
    c = await AsyncImap.open(port, tls=True)
    await login(c, user)
    await c.command("SELECT INBOX")
    c.tag += 1
    c.writer.write(f"a{c.tag} IDLE\r\n".encode())
    while not (await c.line()).startswith(b"+"):
        pass
    sessions.append((user, c))


async def smtp_deliver(port, user, data):
    """One SMTP transaction; the moment its 250 after DATA was read."""
    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port),
                                            STEP_TIMEOUT)
    try:
        async def reply():
            line = await asyncio.wait_for(reader.readline(), STEP_TIMEOUT)
            while line[3:4] == b"-":
                line = await asyncio.wait_for(reader.readline(), STEP_TIMEOUT)
            return line

        await reply()
        for command, want in ((b"HELO bench", b"250"), (b"MAIL FROM:<ann@example.org>", b"250"),
                              (f"RCPT TO:<{user}@brevin>".encode(), b"250"), (b"DATA", b"354")):
            writer.write(command + b"\r\n")
            if not (await reply()).startswith(want):
                raise RuntimeError(f"SMTP {command!r} refused")
        writer.write(data + b".\r\n")
        answer = await reply()
        at = time.monotonic()
        if not answer.startswith(b"250"):
            raise RuntimeError(f"SMTP DATA refused: {answer!r}")
        writer.write(b"QUIT\r\n")
        return at
    finally:
        writer.close()


async def idle_load(port, users, memory, deliver, deadline_at):
    """1,000 IDLE sessions (ten per user), then one delivery to each user at a time: memory
    per session from `memory()` before and after, and each session's delay to EXISTS after
    the delivery's moment (`deliver(user)` returns it)."""
    sessions = []
    before = memory()
    start = time.monotonic()
    gate = asyncio.Semaphore(50)

    async def open_one(user):
        async with gate:
            await idle_session(port, user, sessions)

    # The first session of each account before the other nine: a fresh account's first
    # logins are spaced out against guessers until one succeeds from this host.
    await asyncio.gather(*(open_one(u) for u in users))
    await asyncio.gather(*(open_one(u) for u in users for _ in range(IDLE_PER_MAILBOX - 1)))
    opened = time.monotonic() - start
    await asyncio.sleep(1.0)
    after = memory()

    by_user = {}
    for user, c in sessions:
        by_user.setdefault(user, []).append(c)
    delays, missing, early = [], 0, 0

    async def deliver_one(user):
        nonlocal missing, early
        heard = {}

        async def listen(c):
            deadline = time.monotonic() + 5.0
            while time.monotonic() < deadline:
                try:
                    line = await c.line(timeout=max(0.01, deadline - time.monotonic()))
                except asyncio.TimeoutError:
                    return
                if line.endswith(b" EXISTS"):
                    heard[id(c)] = time.monotonic()
                    return

        listeners = [asyncio.create_task(listen(c)) for c in by_user[user]]
        moment = await deliver(user)
        await asyncio.gather(*listeners)
        for c in by_user[user]:
            if id(c) in heard:
                delay = heard[id(c)] - moment
                early += delay < 0
                delays.append(max(0.0, delay))
            else:
                missing += 1

    # A few mailboxes at once, and none once the time allowed is over.
    for group in range(0, len(users), DELIVER_AT_ONCE):
        if time.monotonic() > deadline_at:
            missing += sum(len(by_user[u]) for u in users[group:])
            break
        await asyncio.gather(*(deliver_one(u) for u in users[group:group + DELIVER_AT_ONCE]))
    for _, c in sessions:
        c.close()
    await asyncio.sleep(0.2)
    return {"sessions": len(sessions), "opened": opened, "per_session": (after - before) / len(sessions),
            "delays": delays, "missing": missing, "early": early}


# ---- tables ----

def table(title, rows):
    print(f"\n### {title}\n")
    print("| measurement | Brevin | peer | ratio | goal |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


def ratio(text):
    return text if text else "—"


def main():
    binary = sys.argv[1]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    peer = os.path.exists(DOVECOT)
    began = time.monotonic()

    work = Path(tempfile.mkdtemp(prefix="brevin-bench-imap-"))
    # dovecot's mail processes run as nobody and must reach their folders.
    os.chmod(work, 0o755)
    try:
        rng = random.Random(1)
        messages = [message(rng, i) for i in range(BIG_COUNT)]
        large = large_message(10 << 20)
        sync_users = [f"u{n:03d}" for n in range(SYNC_USERS)]

        dovecot = None
        if peer:
            dovecot = Dovecot(work / "dovecot", ["big", "large"] + sync_users)
            seed_maildir(dovecot.folder("big"), messages)
            seed_maildir(dovecot.folder("large"), [large])
            for user in sync_users:
                seed_maildir(dovecot.folder(user), messages[:SYNC_COUNT])
            dovecot.start()

        first = Brevin(binary, work / "brevin-1", ["big", "large"],
                       {"big": messages, "large": [large]})
        first.start()
        if peer:
            # Both check the same yescrypt hash at every login, as Brevin stores passwords.
            dovecot.use_hash(stored_hash(work / "brevin-1" / "brevin.INI", "big"))
        seeded = time.monotonic() - began

        # 1. The listing of 10,000, warm: one untimed pass, then the servers take turns.
        targets = [("Brevin", first.imap)] + ([("peer", dovecot.imap)] if peer else [])
        listing = {name: [] for name, _ in targets}
        counts = {}
        for name, port in targets:
            counts[name] = select_and_fetch(port, "big")[1]
        for _ in range(RUNS):
            if time.monotonic() > began + BUDGET / 2:
                break
            for name, port in targets:
                listing[name].append(select_and_fetch(port, "big")[0])

        # 2. One 10 MiB body over TLS.
        tls_targets = [("Brevin", first.imaps)] + ([("peer", dovecot.imaps)] if peer else [])
        rates, body_size = {}, 0
        for name, port in tls_targets:
            rates[name], body_size = body_rates(port, "large", RUNS)
        first.stop()

        # 4 first, then 3 on the same server: the IDLE sessions find the folders loaded,
        # so their memory is the sessions' own.
        second = Brevin(binary, work / "brevin-2", sync_users,
                        {u: messages[:SYNC_COUNT] for u in sync_users})
        second.start()
        sync_targets = [("Brevin", second.imap)] + ([("peer", dovecot.imap)] if peer else [])
        sync = {}
        for name, port in sync_targets:
            asyncio.run(sync_all(port, sync_users, bodies=0))  # warm: indexes and headers
        for name, port in sync_targets:
            sync[name] = asyncio.run(sync_all(port, sync_users))

        note = message(random.Random(2), BIG_COUNT)[0]
        idle = {}
        counter = iter(range(1, 1_000_000))

        async def brevin_deliver(user):
            return await smtp_deliver(second.smtp, user, note)

        async def dovecot_deliver(user):
            dovecot.deliver(user, note, next(counter))
            return time.monotonic()

        idle["Brevin"] = asyncio.run(idle_load(second.imaps, sync_users,
                                               lambda: vm_rss(second.pid), brevin_deliver,
                                               began + BUDGET))
        if peer:
            idle["peer"] = asyncio.run(idle_load(dovecot.imaps, sync_users,
                                                 lambda: tree_pss(dovecot.process.pid),
                                                 dovecot_deliver, began + BUDGET + 30))
        second.stop()
        if peer:
            dovecot.stop()
        inotify_fallbacks = dovecot.log().count("Inotify instance limit") if peer else 0
    finally:
        stop_all()
        shutil.rmtree(work, ignore_errors=True)

    def both(values, fmt):
        return fmt(values["Brevin"]), (fmt(values["peer"]) if peer else "not installed")

    # Tables.
    b, p = both({k: statistics.median(v) for k, v in listing.items()}, lambda v: f"{v:.3f} s")
    r = ""
    if peer:
        x = statistics.median(listing["peer"]) / statistics.median(listing["Brevin"])
        r = f"{x:.2f}× faster" if x >= 1 else f"{1 / x:.2f}× slower"
    spread = {k: f"{min(v):.3f}–{max(v):.3f} s" for k, v in listing.items()}
    table(f"1. SELECT + UID FETCH 1:* (UID FLAGS RFC822.SIZE INTERNALDATE ENVELOPE), "
          f"{BIG_COUNT:,} messages, warm, plain port", [
              (f"median of {len(listing['Brevin'])} (login not timed)", b, p, ratio(r), "Brevin ≥ 2× faster"
               + (f": {'met' if peer and x >= 2 else 'missed'}" if peer else "")),
              ("range", spread["Brevin"], spread.get("peer", "—"), "—", "—"),
              ("FETCH lines", f"{counts['Brevin']:,}", f"{counts['peer']:,}" if peer else "—",
               "—", "—")])

    b, p = both({k: statistics.median(v) for k, v in rates.items()}, lambda v: f"{v:.0f} MB/s")
    r = ""
    if peer:
        x = statistics.median(rates["Brevin"]) / statistics.median(rates["peer"])
        r = f"{x:.2f}×"
    table(f"2. FETCH 1 BODY[] of a {body_size / 2**20:.1f} MiB message over TLS "
          f"(implicit TLS port, {RUNS} runs after one warming)", [
              ("median rate (MB = 10⁶ bytes)", b, p, ratio(r), "≥ the peer's"
               + (f": {'met' if peer and x >= 1 else 'missed'}" if peer else "")),
              ("range", *(f"{min(v):.0f}–{max(v):.0f} MB/s" for v in rates.values()),
               *(["—"] if not peer else []), "—", "—")])

    bi = idle["Brevin"]
    pi = idle.get("peer")

    def ms(v):
        return f"{v * 1e3:.1f} ms"

    def dist(result, p):
        return ms(percentile(result["delays"], p)) if result and result["delays"] else "—"

    rows = [
        (f"memory per session ({bi['sessions']:,} sessions; Brevin: VmRSS, peer: PSS of all its "
         "processes)", f"{bi['per_session'] / 1024:.1f} KiB",
         f"{pi['per_session'] / 1024:.1f} KiB" if pi else "not installed",
         f"{pi['per_session'] / bi['per_session']:.1f}× less" if pi and bi['per_session'] > 0 else "—",
         f"≤ 64 KiB: {'met' if bi['per_session'] <= 65536 else 'missed'}"),
        ("sessions opened (TLS, LOGIN, SELECT, IDLE; 50 at a time)", f"{bi['opened']:.1f} s",
         f"{pi['opened']:.1f} s" if pi else "—", "—", "—"),
    ]
    for label, pct in (("p50", 50), ("p99", 99), ("max", 100)):
        goal = "—"
        if pct == 99:
            value = percentile(bi["delays"], 99) if bi["delays"] else float("inf")
            goal = f"≤ 100 ms: {'met' if value <= 0.1 and not bi['missing'] else 'missed'}"
        rows.append((f"delivery → * N EXISTS, {label}", dist(bi, pct), dist(pi, pct) if pi else "—",
                     "—", goal))
    rows.append(("EXISTS heard / missed within 5 s", f"{len(bi['delays'])} / {bi['missing']}",
                 f"{len(pi['delays'])} / {pi['missing']}" if pi else "—", "—", "—"))
    rows.append(("EXISTS before the moment of delivery (counted as 0)", str(bi["early"]),
                 str(pi["early"]) if pi else "—", "—", "—"))
    table(f"3. {SYNC_USERS * IDLE_PER_MAILBOX:,} IDLE sessions over TLS, {IDLE_PER_MAILBOX} on "
          f"each of {SYNC_USERS} mailboxes of {SYNC_COUNT:,}", rows)
    print(f"\nBrevin: delivered by SMTP to {DELIVER_AT_ONCE} mailboxes at a time, the moment is its 250 after DATA; "
          "--pause-ms 0, no limit options needed (loopback is exempt from --max-per-address, "
          f"--max-sessions follows the descriptor limit, {hard:,} here).")
    if peer:
        print("peer: the message written in the maildir's tmp/ and renamed into new/, the moment "
              "is the rename; high-performance login mode (service_count = 0); "
              f"mailbox_idle_check_interval = 1 s, {inotify_fallbacks} IDLE processes found the "
              "kernel's inotify instances for their uid used up and looked once a second.")

    bs = sync["Brevin"]
    ps = sync.get("peer")
    r = ""
    if ps:
        x = ps[0] / bs[0]
        r = f"{x:.2f}× faster" if x >= 1 else f"{1 / x:.2f}× slower"
    table(f"4. {SYNC_USERS} clients syncing their own folder of {SYNC_COUNT:,} "
          f"({SYNC_AT_ONCE} at a time, plain port, warm)", [
              ("all done (LOGIN, SELECT, flags, headers, 10 × BODY.PEEK[] + STORE, LOGOUT)",
               f"{bs[0]:.2f} s", f"{ps[0]:.2f} s" if ps else "not installed", ratio(r),
               "Brevin ≤ the peer" + (f": {'met' if ps and bs[0] <= ps[0] else 'missed'}"
                                     if ps else "")),
              ("one client, median / max", f"{statistics.median(bs[1]):.2f} / {max(bs[1]):.2f} s",
               f"{statistics.median(ps[1]):.2f} / {max(ps[1]):.2f} s" if ps else "—", "—", "—")])
    print(f"\nSeeding and starting took {seeded:.1f} s; everything {time.monotonic() - began:.1f} s.")


if __name__ == "__main__":
    main()
