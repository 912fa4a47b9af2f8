#!/usr/bin/env python3
"""What an administrator relies on, against the real program:
  events    a real SMTP and POP3 session log every kind of event, parsed as key=value
  secrets   no password in any log line, at quiet, normal and debug
  fail2ban  dist/fail2ban's filter, through fail2ban-regex, matches the failed logins the
            server logged and none of its other lines
  address   in a private network namespace with a loopback host name, the server listens on
            the veth address; with --address 0.0.0.0 on every address
  ipv6      in a private network namespace: smtplib, poplib and curl over ::1 and over a
            unique-local address the server picked itself, the per-address limit counting a
            /64, and fail2ban reading an IPv6 client off a line the server wrote
  sigterm   SIGTERM ends the desktop like File > Esci: a marked message stays, a message in
            the middle of DATA leaves no file, the stop event is logged
  nodisplay a display that is named but cannot be opened: one line says so, mail is served
            without windows, and SIGTERM ends it with status 0

Usage: operations.py BREVIN_BINARY CASE
"""

import base64
import os
import poplib
import re
import shlex
import smtplib
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
import mailtest  # noqa: E402
from mailtest import check, run_case, wait_for_port, wait_until  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
ROOT = Path(__file__).resolve().parent.parent.parent
FILTER = ROOT / "dist" / "fail2ban" / "filter.d" / "brevin.conf"
SECRET = "s3cret-Pw"


def parse(line):
    """`service event key=value ...` -> (service, event, {key: value}); quotes undone."""
    head, event, rest = (line.split(" ", 2) + ["", ""])[:3]
    return head, event, {k: re.sub(r"\\(.)", r"\1", q) if q else v
                         for k, q, v in re.findall(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|(\S*))', rest)}


class Server(mailtest.Server):
    """The program for ann, without a pause; `address` None lets it choose."""

    def __init__(self, workdir, *extra, **options):
        super().__init__(BINARY, workdir, {"ann": ("ann", SECRET)}, "--pause-ms", "0", *extra,
                         **options)
        self.smtp, self.pop3 = self.smtp_port, self.pop3_port

    def events(self):
        return [parse(l) for l in self.lines() if l.split(" ", 1)[0] in ("smtp", "pop3", "brevin")]

    def fail2ban(self, what):
        """What fail2ban-regex finds in the log with the shipped filter: "msg" or "ip"."""
        return subprocess.run(["fail2ban-regex", "-o", what, str(self.log), str(FILTER)],
                              capture_output=True, text=True, timeout=120)


def traffic(server, password=SECRET):
    """One delivery (one good and one unknown recipient), a good and a bad POP3 login."""
    with smtplib.SMTP("127.0.0.1", server.smtp, timeout=10) as s:
        s.sendmail("boss@lan", ["ann@lan", "nobody@lan"], b"Subject: t\r\n\r\nhello\r\n")
    for good in (True, False):
        p = poplib.POP3("127.0.0.1", server.pop3, timeout=10)
        p.user("ann")
        try:
            p.pass_(password if good else password + "-wrong")
            p.retr(1)
            p.dele(1)
        except poplib.error_proto:
            if good:
                raise
        p.quit()


def case_events(work):
    server = Server(work)
    traffic(server)
    check(server.stop() == 0, "SIGTERM ends the server cleanly")
    events = server.events()
    kinds = {(s, e) for s, e, _ in events}
    for kind in [("brevin", "start"), ("brevin", "stop"), ("smtp", "connect"),
                 ("smtp", "helo"), ("smtp", "sender"), ("smtp", "recipient"),
                 ("smtp", "filed"), ("smtp", "reply"), ("smtp", "close"),
                 ("pop3", "connect"), ("pop3", "login"), ("pop3", "retrieve"),
                 ("pop3", "quit"), ("pop3", "close")]:
        check(kind in kinds, f"event {' '.join(kind)} logged")
    get = lambda s, e: [f for s2, e2, f in events if (s2, e2) == (s, e)]
    start = get("brevin", "start")[0]
    check(start["smtp"] == str(server.smtp) and start["address"] == "127.0.0.1"
          and start["store"].endswith("store") and "version" in start, "start: ports, store")
    check([f["accepted"] for f in get("smtp", "recipient")] == ["yes", "no"],
          "one recipient accepted, one refused")
    refusal = get("smtp", "reply")[0]
    check(refusal["command"] == "RCPT" and refusal["reply"].startswith("550")
          and refusal["failed"] == "yes", "the refusal carries its reply")
    filed = get("smtp", "filed")[0]
    check(filed["recipients"] == "1" and filed["files"].startswith("ann/"),
          "filed: recipients and file name")
    talked = {f["session"] for f in get("smtp", "helo")}
    closes = [c for c in get("smtp", "close") if c["session"] in talked]
    check(len(closes) == 1 and int(closes[0]["bytes_in"]) > 100
          and int(closes[0]["bytes_out"]) > 100 and "duration_ms" in closes[0],
          "close: bytes both ways and duration")
    logins = get("pop3", "login")
    check(len(logins) == 2 and "failed" not in logins[0] and logins[1]["failed"] == "yes"
          and logins[1]["user"] == "ann" and logins[1]["client"].startswith("127.0.0.1:"),
          "login success, then failure with user and client")
    quit_ = get("pop3", "quit")[0]
    check(quit_["retrieved"] == "1" and quit_["deleted"] == "1", "quit: retrieved, deleted")
    check(not server.messages("ann"), "the retrieved message was deleted at QUIT")


def case_secrets(tmp):
    for level in ("quiet", "normal", "debug"):
        server = Server(tmp / level, "--log-level", level)
        traffic(server)
        # Secrets where they do not belong: a tab after PASS, PASS and AUTH sent to SMTP.
        for port, lines in ((server.pop3, f"USER ann\r\nPASS\t{SECRET}\r\nQUIT\r\n"),
                            (server.smtp, f"PASS {SECRET}\r\nAUTH PLAIN {SECRET}\r\nQUIT\r\n")):
            with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
                c.recv(100)
                c.sendall(lines.encode())
                while c.recv(1000):
                    pass
        server.stop()
        text = server.stderr()
        check(SECRET not in text, f"{level}: no password in the log")
        if level == "debug":
            check("PASS ***" in text, "debug: the PASS line is there, masked")
        if level == "quiet":
            lines = [l for l in server.lines() if l.startswith(("smtp ", "pop3 "))]
            check(lines and all(l.endswith("failed=yes") for l in lines),
                  "quiet: failures only")


def case_fail2ban(work):
    server = Server(work, "--max-sessions", "2")
    traffic(server)
    traffic(server)
    with smtplib.SMTP("127.0.0.1", server.smtp, timeout=30) as smtp:  # a wrong SMTP login
        smtp.ehlo()
        check(smtp.docmd("AUTH", "PLAIN " + base64.b64encode(b"\0ann\0wrong").decode())[0] == 535,
              "a wrong AUTH is refused")
    # One session more than the limit allows: refused, and logged for fail2ban.
    held = [socket.create_connection(("127.0.0.1", server.smtp), timeout=10) for _ in range(3)]
    check(held[2].recv(100).startswith(b"421"), "the third session is refused")
    for s in held:
        s.close()
    server.stop()
    lines = server.lines()
    failed_logins = [l for l in lines if l.startswith(("pop3 login", "smtp login")) and "failed=yes" in l]
    refused = [l for l in lines if " refused " in f" {l}" and "failed=yes" in l]
    out = server.fail2ban("msg")
    matched = [l for l in out.stdout.splitlines() if l.strip()]
    check(out.returncode == 0 and len(failed_logins) == 3, "three failed logins logged, one SMTP")
    check(len(refused) >= 1, "the refusal is logged")
    check(len(matched) == len(failed_logins) + len(refused),
          f"fail2ban matches {len(matched)} lines, the failed logins and the refusals")
    check(all("failed=yes" in m and ("login" in m or "refused" in m) for m in matched),
          "every match is a failed login or a refusal")
    check(server.fail2ban("ip").stdout.split() == ["127.0.0.1"] * len(matched),
          "the client address is what fail2ban bans")


def in_namespace(setup, *inner):
    """Runs this script with `inner` as its arguments in a new network and UTS namespace, after
    the `setup` (sh) there: a loopback host name, and a veth pair whose one end has addresses."""
    if os.geteuid() != 0:
        print(f"{inner[0]}: needs root for unshare -n; skipped")
        sys.exit(77)
    script = ("hostname localhost; ip link set lo up; " + setup + "exec " +
              " ".join(shlex.quote(a) for a in (sys.executable, __file__, BINARY, *inner)))
    r = subprocess.run(["unshare", "-n", "-u", "sh", "-ec", script], capture_output=True,
                       text=True, timeout=60)
    sys.stdout.write(r.stdout)
    check(r.returncode == 0, f"{' '.join(inner)}: {r.stderr.strip()[-300:]}")


def veth(*addresses):
    return ("ip link add brv0 type veth peer name brv1; ip addr add 10.213.7.1/24 dev brv0; " +
            "".join(f"ip addr add {a} nodad; " for a in addresses) +
            "ip link set brv0 up; ip link set brv1 up; ")


def case_address(tmp):
    for mode in ("default", "any", "loopback"):
        in_namespace(veth() if mode != "loopback" else "", "address-inside", mode)


def reachable(host, port):
    try:
        return mailtest.Conversation(port, host, 2, greeted=True).banner.startswith("220")
    except OSError:
        return False


def case_address_inside(work, mode):
    server = Server(work, address="0.0.0.0" if mode == "any" else None)
    wait_until(lambda: any(e == "start" for _, e, _ in server.events()))
    start = [f for _, e, f in server.events() if e == "start"]
    try:
        if mode == "default":
            check(start and start[0]["address"] == "10.213.7.1", "the veth address is used")
            check(any("10.213.7.1 (brv0)" in l for l in server.lines()),
                  "start-up says so on stderr")
            check(reachable("10.213.7.1", server.smtp), "reachable on it")
        elif mode == "any":
            check(start and start[0]["address"] == "0.0.0.0", "every address")
            check(start and set(start[0]["reachable"].split(",")) >= {"127.0.0.1", "10.213.7.1"},
                  "each address is listed")
            check(reachable("10.213.7.1", server.smtp) and reachable("127.0.0.1", server.smtp),
                  "reachable on loopback and on the veth address")
        else:
            check(start and start[0]["address"].startswith("127."), "no LAN: loopback")
    finally:
        server.stop()


def case_ipv6(tmp):
    if not socket.has_ipv6 or not Path("/proc/net/if_inet6").exists():
        print("ipv6: this kernel has no IPv6; skipped")
        sys.exit(77)
    # The server's end of the veth pair has the IPv4 address the server picks and a
    # unique-local IPv6 one; the other end two more addresses of the same /64.
    in_namespace(veth("fd00:bee::1/64 dev brv0", "fd00:bee::2/64 dev brv1",
                      "fd00:bee::3/64 dev brv1"), "ipv6-inside")


def deliver_and_collect(server, host, source, subject):
    """smtplib delivers from `source` to `host`, poplib collects the message and deletes it."""
    with smtplib.SMTP(host, server.smtp, timeout=10, source_address=(source, 0)) as s:
        s.sendmail("boss@lan", ["ann@lan"], f"Subject: {subject}\r\n\r\nhi\r\n".encode())
    p = poplib.POP3(host, server.pop3, timeout=10)
    p.user("ann")
    p.pass_(SECRET)
    got = b"\n".join(p.retr(1)[1])
    p.dele(1)
    p.quit()
    return subject.encode() in got


def v6(source, port):
    """A socket from `source` connected to the server's unique-local address."""
    return socket.create_connection(("fd00:bee::1", port), timeout=10, source_address=(source, 0))


def case_ipv6_inside(work):
    server = Server(work, "--max-per-address", "2", address=None)
    try:
        check(wait_for_port(server.smtp, host="::1"), "listening on ::1")
        start = [f for _, e, f in server.events() if e == "start"]
        check(start and {"10.213.7.1", "::1", "fd00:bee::1"} <= set(
            start[0]["reachable"].split(",")), "IPv4, ::1 and the unique-local address listed")
        check(deliver_and_collect(server, "::1", "::1", "over loopback"),
              "smtplib and poplib over ::1")
        check(deliver_and_collect(server, "fd00:bee::1", "fd00:bee::2", "over the LAN"),
              "smtplib and poplib over the unique-local address")
        message = work / "message.txt"
        message.write_bytes(b"Subject: by curl\r\n\r\ncurl was here\r\n")
        sent = subprocess.run(["curl", "-s", "-6", f"smtp://[fd00:bee::1]:{server.smtp}",
                               "--mail-from", "boss@lan", "--mail-rcpt", "ann@lan",
                               "-T", str(message)], timeout=30)
        got = subprocess.run(["curl", "-s", "-6", f"pop3://[::1]:{server.pop3}/1",
                              "-u", f"ann:{SECRET}"], capture_output=True, timeout=30)
        check(sent.returncode == 0 and b"curl was here" in got.stdout,
              "curl delivers over the LAN address and collects over ::1")

        # Two sessions from one address of the /64 fill it; a third from another is refused.
        held = [v6(source, server.smtp) for source in ("fd00:bee::2", "fd00:bee::2", "fd00:bee::3")]
        banners = [s.recv(200) for s in held]
        check(banners[0].startswith(b"220") and banners[1].startswith(b"220"),
              "two sessions admitted")
        check(banners[2].startswith(b"421") and b"your address" in banners[2],
              "a third from the same /64 is refused")
        for s in held:
            s.close()
        time.sleep(0.2)
        with v6("fd00:bee::3", server.pop3) as s:  # poplib cannot pick its source
            s.sendall(b"USER ann\r\nPASS wrong\r\n")
            replies = b""
            while replies.count(b"\r\n") < 3:
                replies += s.recv(200)
            check(replies.split(b"\r\n")[2].startswith(b"-ERR"), "a wrong password from IPv6")
    finally:
        server.stop()
    check(any("client=[fd00:bee::2]:" in l for l in server.lines()),
          "the log writes an IPv6 client in brackets")
    ips = server.fail2ban("ip").stdout.split()
    check("fd00:bee::3" in ips, f"fail2ban bans the IPv6 client ({ips})")


def case_sigterm(work):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", DISPLAY=os.environ.get("DISPLAY", ":0"))
    server = Server(work, env=env, headless=False)
    with smtplib.SMTP("127.0.0.1", server.smtp, timeout=10) as s:
        s.sendmail("boss@lan", ["ann@lan"], b"Subject: keep\r\n\r\nkeep me\r\n")
    folder = work / "store" / "ann"
    kept = sorted(p.name for p in folder.iterdir())  # the message; the folder's index comes later
    p = poplib.POP3("127.0.0.1", server.pop3, timeout=10)
    p.user("ann")
    p.pass_(SECRET)
    p.dele(1)  # marked, never expunged: no QUIT
    s = socket.create_connection(("127.0.0.1", server.smtp), timeout=10)
    for command in (b"HELO x\r\n", b"MAIL FROM:<a@b>\r\n", b"RCPT TO:<ann@lan>\r\n",
                    b"DATA\r\n"):
        s.sendall(command)
        s.recv(1000)
    s.sendall(b"Subject: half\r\n\r\nhalf a message")
    time.sleep(0.3)
    check(any(p.name.endswith(".tmp") for p in folder.iterdir()),
          "the half message has a temporary file")
    check(server.stop() == 0, "SIGTERM ends the desktop with status 0")
    check(sorted(p.name for p in folder.iterdir() if p.name != ".brevin") == kept,
          "the marked message stays and no temporary file is left")
    check(any(e == "stop" for _, e, _ in server.events()), "the stop event is logged")
    s.close()


def case_nodisplay(work):
    env = {k: v for k, v in os.environ.items() if k not in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY")}
    server = Server(work, env=dict(env, DISPLAY=":987"), headless=False)
    check(server.lines()[:1] == ["brevin: cannot open the display; running without windows"],
          f"one line says so first ({server.lines()[:1]})")
    with socket.create_connection(("127.0.0.1", server.smtp), timeout=10) as c:
        check(c.recv(100) == b"220 Ok. Brevin Server ready \r\n", "it serves without windows")
        # The session still open is closed at exit, so a leak checker stays quiet.
        check(server.stop() == 0, "SIGTERM ends it with status 0")


if __name__ == "__main__":
    case, *rest = sys.argv[2:]  # "-inside" cases run again in a namespace, with what it needs
    sys.exit(run_case({f"case_{case}": lambda tmp: globals()[f"case_{case.replace('-', '_')}"](
        tmp, *rest)}))
