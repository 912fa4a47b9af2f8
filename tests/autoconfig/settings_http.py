#!/usr/bin/env python3
"""The settings responder of the shipped program, read as the clients that use it read it.

  documents    Thunderbird's XML (both paths, with and without an address), Outlook's
               Autodiscover answer, the Apple profile (plistlib; its certificate is the
               server's), the page, the certificate, HEAD and keep-alive, 404s
  command      `brevin client-config` prints the same documents headless
  badinput     malformed, oversized, a body too large, a path with "..": a status and a close
  trickle      a request trickling in byte by byte is closed at the command timeout while
               another client is served
  connections  1,000 connections at once on loopback (exempt from the per-address limit):
               each gets its answer
  peraddress   in a network namespace of its own, from a LAN address: past --max-per-address
               the client hears 429 and is closed

Usage: settings_http.py BREVIN_BINARY CASE      (exit 77: the case cannot run here)
"""

import os
import plistlib
import resource
import selectors
import socket
import ssl
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, free_port, run_case, on_lan_address  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
PORTS = ("smtp", "pop3", "pop3s", "submission", "smtps", "imap", "imaps", "autoconfig")
AUTODISCOVER = ("http://schemas.microsoft.com/exchange/autodiscover/outlook/responseschema/2006a")
REQUEST = """<?xml version="1.0" encoding="utf-8"?>
<Autodiscover xmlns="http://schemas.microsoft.com/exchange/autodiscover/outlook/requestschema/2006">
  <Request>
    <EMailAddress>ann@office.example</EMailAddress>
    <AcceptableResponseSchema>{}</AcceptableResponseSchema>
  </Request>
</Autodiscover>""".format(AUTODISCOVER)


STARTED = []


def start(tmp, *extra, ports=PORTS, **options):
    """The program with user ann; stopped at the end even when a check raised."""
    server = Server(BINARY, tmp, {"ann": ("ann", "secret")}, *extra, ports=ports, **options)
    STARTED.append(server)
    return server


def exchange(port, data, host="127.0.0.1", timeout=5.0, source=None):
    """Sends `data`, reads until the server closes or `timeout`; (bytes, closed)."""
    s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect((host, port))
    s.sendall(data)
    got, closed = b"", False
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                closed = True
                break
            got += chunk
    except socket.timeout:
        pass
    except ConnectionResetError:
        closed = True
    s.close()
    return got, closed


def responses(data):
    """The responses in `data`: [(status, headers dict (lower-case names), body)]."""
    found = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = dict((k.strip().lower(), v.strip()) for k, v in
                       (l.split(":", 1) for l in lines[1:] if ":" in l))
        length = int(headers.get("content-length", "0"))
        status = int(lines[0].split()[1])
        if status != 100:  # the invitation to send a body, before the answer
            found.append((status, headers, rest[:length]))
        data = rest[length:]
    return found


def get(server, path, method="GET", body=b"", extra=""):
    request = (f"{method} {path} HTTP/1.1\r\nHost: mail.example\r\nConnection: close\r\n{extra}"
               f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    got, _ = exchange(server.ports["autoconfig"], request)
    get.raw = got
    return responses(got)[0]


def servers(root, element):
    return [(s.get("type"), s.findtext("port"), s.findtext("socketType"),
             s.findtext("authentication"), s.findtext("username"), s.findtext("hostname"))
            for s in root.iter(element)]


def case_documents(tmp):
    server = start(tmp)
    p = server.ports
    status, headers, body = get(server, "/mail/config-v1.1.xml?emailaddress=ann%40office.example")
    check(status == 200 and headers["content-type"].startswith("text/xml"), "Thunderbird's XML")
    root = ET.fromstring(body)
    provider = root.find("emailProvider")
    check(root.tag == "clientConfig" and root.get("version") == "1.1"
          and provider.findtext("domain") == "office.example", "clientConfig 1.1 for the domain")
    incoming = servers(root, "incomingServer")
    check([(t, int(port), sock) for t, port, sock, *_ in incoming]
          == [("imap", p["imaps"], "SSL"), ("imap", p["imap"], "STARTTLS"),
              ("pop3", p["pop3s"], "SSL"), ("pop3", p["pop3"], "STARTTLS")],
          f"incoming: IMAP SSL, IMAP STARTTLS, POP3 SSL, POP3 STARTTLS ({incoming})")
    outgoing = servers(root, "outgoingServer")
    check([(t, int(port), sock) for t, port, sock, *_ in outgoing]
          == [("smtp", p["smtps"], "SSL"), ("smtp", p["submission"], "STARTTLS")],
          "outgoing: SMTP SSL, then STARTTLS")
    check(all(s[3] == "password-cleartext" and s[4] == "ann" and s[5]
              for s in incoming + outgoing), "password-cleartext, username ann, a host name")
    host = incoming[0][5]

    status, _, body = get(server, "/.well-known/autoconfig/mail/config-v1.1.xml")
    root = ET.fromstring(body)
    check(status == 200 and {s[4] for s in servers(root, "incomingServer")} == {"%EMAILLOCALPART%"}
          and root.find("emailProvider").findtext("domain") == "%EMAILDOMAIN%",
          "without an address (Thunderbird for Android): placeholders")

    status, headers, body = get(server, "/autodiscover/autodiscover.xml", "POST", REQUEST.encode(),
                                "Content-Type: text/xml\r\nExpect: 100-continue\r\n")
    check(get.raw.startswith(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 "), "Expect: 100-continue")
    ns = {"r": AUTODISCOVER}
    root = ET.fromstring(body)
    protocols = {pr.findtext("r:Type", namespaces=ns): pr
                 for pr in root.iterfind(".//r:Account/r:Protocol", ns)}
    check(status == 200 and set(protocols) == {"IMAP", "POP3", "SMTP"}, "Autodiscover: IMAP, POP3, SMTP")
    check(all(protocols[t].findtext("r:Port", namespaces=ns) == str(p[n])
              and protocols[t].findtext("r:SSL", namespaces=ns) == "on"
              and protocols[t].findtext("r:AuthRequired", namespaces=ns) == "on"
              and protocols[t].findtext("r:LoginName", namespaces=ns) == "ann"
              and protocols[t].findtext("r:Server", namespaces=ns) == host
              for t, n in (("IMAP", "imaps"), ("POP3", "pop3s"), ("SMTP", "smtps"))),
          "each with its SSL port, SSL on, AuthRequired on, LoginName ann")
    check(get(server, "/Autodiscover/Autodiscover.xml", "POST", b"<not xml")[0] == 400,
          "a body that is no Autodiscover request: 400")

    status, headers, body = get(server, "/profile/ann.mobileconfig")
    profile = plistlib.loads(body)
    kinds = {payload["PayloadType"]: payload for payload in profile["PayloadContent"]}
    check(status == 200 and headers["content-type"] == "application/x-apple-aspen-config"
          and profile["PayloadType"] == "Configuration"
          and set(kinds) == {"com.apple.security.root", "com.apple.mail.managed"},
          "the profile parses and holds a root certificate and a mail account")
    pem = (tmp / "brevin-ca.pem") if (tmp / "brevin-ca.pem").exists() else tmp / "brevin-cert.pem"
    check(kinds["com.apple.security.root"]["PayloadContent"]
          == ssl.PEM_cert_to_DER_cert(pem.read_text()), f"its certificate is {pem.name}")
    mail = kinds["com.apple.mail.managed"]
    check((mail["IncomingMailServerPortNumber"], mail["OutgoingMailServerPortNumber"])
          == (p["imaps"], p["smtps"]) and mail["IncomingMailServerUseSSL"]
          and mail["OutgoingMailServerUseSSL"] and mail["IncomingMailServerUsername"] == "ann"
          and mail["EmailAccountType"] == "EmailTypeIMAP" and "IncomingPassword" not in mail,
          "IMAP over SSL and SMTP over SSL for ann, no password")
    check(get(server, "/profile/nobody.mobileconfig")[0] == 404, "an unknown user's profile: 404")
    status, headers, _ = get(server, "/profile?user=Ann")
    check(status == 303 and headers["location"] == "/profile/ann.mobileconfig",
          "the page's form leads to the profile")

    status, headers, body = get(server, "/")
    fingerprint = server.log_line("brevin start").split("tls=")[-1].split()[0].strip('"')
    check(status == 200 and headers["content-type"].startswith("text/html")
          and fingerprint.encode() in body and b'href="/brevin-ca.pem"' in body
          and f"{p['imaps']}".encode() in body, "the page: ports, fingerprint, certificate link")
    status, headers, body = get(server, "/brevin-ca.pem")
    check(status == 200 and headers["content-type"] == "application/x-x509-ca-cert"
          and body == pem.read_bytes(), "the certificate to trust")
    status, headers, body = get(server, "/", "HEAD")
    check(status == 200 and body == b"" and int(headers["content-length"]) > 0, "HEAD: no body")
    check(get(server, "/etc/passwd")[0] == 404 and get(server, "/", "DELETE")[0] == 501
          and get(server, "/", "POST")[0] == 405, "anything else: 404, 501, 405")

    # Two requests on one connection, the second after the first's answer.
    got, closed = exchange(p["autoconfig"], b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"
                           b"GET /mail/config-v1.1.xml HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
    check([r[0] for r in responses(got)] == [200, 200] and closed, "keep-alive, then close")
    server.stop()


def case_command(tmp):
    server = start(tmp, ports=("smtp", "pop3", "imaps", "smtps"), start=True)
    server.stop()  # the certificate exists now, as after a first start
    args = [f"--{n}-port={port}" for n, port in server.ports.items()]
    args += ["--imap-port=0", "--submission-port=0"]
    run = lambda *a: subprocess.run([BINARY, "client-config", *a, *args], cwd=tmp,
                                    capture_output=True, timeout=30)
    done = run("ann", "--format", "mobileconfig")
    profile = plistlib.loads(done.stdout)
    mail = [x for x in profile["PayloadContent"] if x["PayloadType"] == "com.apple.mail.managed"]
    check(done.returncode == 0 and mail and mail[0]["IncomingMailServerPortNumber"]
          == server.ports["imaps"], "client-config prints the profile")
    root = ET.fromstring(run("ann@office.example").stdout)
    check([s[1] for s in servers(root, "incomingServer")] == [str(server.ports["imaps"]),
                                                              str(server.ports["pop3"])],
          "and Thunderbird's XML by default, with the ports given")
    done = run("ann", "--format", "autodiscover")
    check(done.returncode == 0 and b"<LoginName>ann</LoginName>" in done.stdout, "and Autodiscover")
    check(run("nobody", "--format", "mobileconfig").returncode == 1
          and run("ann", "--format", "vcard").returncode == 2, "unknown user: 1, bad format: 2")
    help = subprocess.run([BINARY, "client-config", "--help"], capture_output=True, timeout=30)
    check(help.returncode == 0 and b"--format" in help.stdout, "--help")


def case_badinput(tmp):
    server = start(tmp, ports=("smtp", "pop3", "autoconfig"))
    port = server.ports["autoconfig"]
    cases = [
        ("oversized header", b"GET / HTTP/1.1\r\nHost: a\r\nX: " + b"x" * 20000 + b"\r\n\r\n", 431),
        ("many headers", b"GET / HTTP/1.1\r\nHost: a\r\n" + b"X-A: b\r\n" * 2000 + b"\r\n", 431),
        ("a long target", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: a\r\n\r\n", 414),
        ("a path with ..", b"GET /profile/../brevin.INI HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("an encoded ..", b"GET /%2e%2e/brevin.INI HTTP/1.1\r\nHost: a\r\n\r\n", 400),
        ("garbage", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 400),
        ("no Host", b"GET / HTTP/1.1\r\n\r\n", 400),
        ("folded header", b"GET / HTTP/1.1\r\nHost: a\r\nX: a\r\n b\r\n\r\n", 400),
        ("two lengths", b"POST /autodiscover/autodiscover.xml HTTP/1.1\r\nHost: a\r\n"
                        b"Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400),
        ("chunked", b"POST /autodiscover/autodiscover.xml HTTP/1.1\r\nHost: a\r\n"
                    b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501),
        ("a body too large", b"POST /autodiscover/autodiscover.xml HTTP/1.1\r\nHost: a\r\n"
                             b"Content-Length: 1000000\r\n\r\n", 413),
        ("HTTP/2.0", b"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505),
    ]
    for what, data, expected in cases:
        got, closed = exchange(port, data)
        found = responses(got) if got.startswith(b"HTTP/1.1 ") else [(None, {}, b"")]
        check(len(found) == 1 and found[0][0] == expected and closed,
              f"{what}: {expected} and a close ({got[:40]!r}, closed={closed})")
    check(get(server, "/")[0] == 200, "the server still answers")
    check('http reply' in server.stderr() or 'status=431' in server.stderr(), "refusals are logged")
    server.stop()


def case_trickle(tmp):
    server = start(tmp, "--command-timeout", "2", ports=("smtp", "pop3", "autoconfig"))
    port = server.ports["autoconfig"]
    slow = socket.create_connection(("127.0.0.1", port), timeout=0.3)
    begun, closed_after, served = time.monotonic(), None, True
    request = b"GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: trickling along, one byte at a time\r\n"
    for byte in request * 3:
        served = served and get(server, "/mail/config-v1.1.xml")[0] == 200
        try:
            slow.send(bytes([byte]))
            if slow.recv(100) == b"":
                closed_after = time.monotonic() - begun
                break
        except socket.timeout:
            pass
        except OSError:
            closed_after = time.monotonic() - begun
            break
        if time.monotonic() - begun > 15:
            break
    check(closed_after is not None and 1.9 <= closed_after < 8,
          f"the trickling request is closed at the command timeout ({closed_after})")
    check(served, "another client is served meanwhile")
    slow.close()
    server.stop()


def many(port, count, host="127.0.0.1", source=None, limit=60.0):
    """`count` connections open at once, each sending a request; the first bytes each got."""
    sel, answers = selectors.DefaultSelector(), {}
    socks = []
    for i in range(count):
        s = socket.socket(socket.AF_INET)
        if source:
            s.bind((source, 0))
        s.settimeout(10)
        s.connect((host, port))
        s.setblocking(False)
        socks.append(s)
    for i, s in enumerate(socks):
        s.send(b"GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        sel.register(s, selectors.EVENT_READ, i)
        answers[i] = b""
    deadline, open_ = time.monotonic() + limit, count
    while open_ and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=1):
            try:
                chunk = key.fileobj.recv(65536)
            except OSError:
                chunk = b""
            answers[key.data] += chunk
            if not chunk:
                sel.unregister(key.fileobj)
                key.fileobj.close()
                open_ -= 1
    for s in socks:
        s.close()
    return [answers[i] for i in range(count)]


def case_connections(tmp):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 1200:
        print(f"skipped: 1,000 connections need more descriptors than {hard}")
        sys.exit(77)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    server = start(tmp, ports=("smtp", "pop3", "autoconfig"))
    got = many(server.ports["autoconfig"], 1000)
    statuses = [a[9:12] for a in got]
    check(statuses.count(b"200") == 1000, f"1,000 at once: each gets its page "
          f"({ {s: statuses.count(s) for s in set(statuses)} })")
    check(get(server, "/")[0] == 200, "and the server answers afterwards")
    server.stop()


def case_peraddress(tmp):
    address = on_lan_address(__file__, BINARY, "peraddress")
    server = start(tmp, "--max-per-address", "5", ports=("smtp", "pop3", "autoconfig"),
                   address=address)
    port = server.ports["autoconfig"]
    time.sleep(0.5)  # the start-up probes of the other ports have left
    held = [socket.create_connection((address, port), timeout=5) for _ in range(5)]
    time.sleep(0.3)
    got, closed = exchange(port, b"GET / HTTP/1.1\r\nHost: a\r\n\r\n", address)
    check(got.startswith(b"HTTP/1.1 429 ") and closed, f"the sixth from one address: 429 ({got[:30]!r})")
    loop = many(port, 20, address, source="127.0.0.1")
    check(all(a.startswith(b"HTTP/1.1 200") for a in loop), "loopback clients are exempt")
    for s in held:
        s.close()
    server.stop()


if __name__ == "__main__":
    status = run_case(globals())
    for started in STARTED:
        started.stop()
    sys.exit(status)
