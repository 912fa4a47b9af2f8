#!/usr/bin/env python3
"""The program's certificates, run the way a user runs it, headless on loopback.

  generated  the first start makes the office CA and a certificate from it (keys mode 0600)
             that later starts reuse; the implicit-TLS ports serve it; `brevin tls fingerprint`
             and the start-up line name the certificate the clients see, `brevin tls ca` prints
             the CA; each file's rename is flushed to the folder
  upgrade    an earlier version's self-signed pair is replaced by one from a new CA, and said
             so; a certificate the administrator gives is served as it is, and no CA is made
  admin      a missing certificate, or a key that does not match it, given by the
             administrator: exit 1 with a clear message
  unwritable a certificate that cannot be written is reported, and the server runs plain

Usage: tls_program.py BREVIN_BINARY CASE
"""

import hashlib
import os
import re
import shutil
import socket
import ssl
import stat
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from mailtest import Server, check, run_case, wait_for_port  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
PREFIX = "TLS: certificate SHA-256 fingerprint "


def start(workdir, *extra):
    """The program on all four ports, not waited for."""
    server = Server(BINARY, workdir, {}, "--pause-ms", "0", *extra,
                    ports=("smtp", "pop3", "smtps", "pop3s"), start=False)
    server.start(wait=False)
    return server


def served_fingerprint(port, cafile, greeting):
    """The certificate's fingerprint as a client sees it, with the server's greeting checked.
    Only the office CA is trusted; the certificate must name the address it is reached on."""
    context = ssl.create_default_context(cafile=cafile)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            banner = tls.recv(200)
            check(banner.startswith(greeting), f"port {port} greets {greeting!r} after the handshake")
            der = tls.getpeercert(binary_form=True)
    digest = hashlib.sha256(der).hexdigest().upper()
    return ":".join(digest[i : i + 2] for i in range(0, len(digest), 2))


def case_generated(workdir):
    server = start(workdir)
    ports = server.ports
    first = server.log_line(PREFIX)
    check(first.startswith(PREFIX) and len(first) == len(PREFIX) + 95, "start-up names a fingerprint")
    check(wait_for_port(ports["smtps"]) and wait_for_port(ports["pop3s"]), "implicit-TLS ports listen")
    for name in ("brevin-key.pem", "brevin-ca-key.pem"):
        check(stat.S_IMODE((workdir / name).stat().st_mode) == 0o600,
              f"{name} is readable by its owner only")
    seen = served_fingerprint(ports["smtps"], server.ca, b"220 ")
    check(served_fingerprint(ports["pop3s"], server.ca, b"+OK ") == seen, "both ports serve it")
    check(first == PREFIX + seen, "the start-up line names the certificate clients see")
    server.stop()

    command = subprocess.run([BINARY, "tls", "fingerprint"], cwd=workdir, capture_output=True,
                             text=True, timeout=30)
    check(command.returncode == 0 and command.stdout.strip() == first,
          "`brevin tls fingerprint` prints the same line")
    command = subprocess.run([BINARY, "tls", "ca"], cwd=workdir, capture_output=True,
                             text=True, timeout=30)
    check(command.returncode == 0 and command.stdout == server.ca.read_text()
          and command.stdout.startswith("-----BEGIN CERTIFICATE-----"),
          "`brevin tls ca` prints the CA's certificate")

    server = start(workdir)
    check(server.log_line(PREFIX) == first, "a restart reuses the certificate")
    server.stop()
    check_renames_flushed(workdir)


def check_renames_flushed(workdir):
    """Making the files under strace: a power cut after the start-up line must not take back
    the key or the certificate, so each rename is followed by a flush of their folder."""
    if shutil.which("strace") is None:
        check(False, "strace is installed (scripts/install-deps.sh test)")
        return
    fresh = workdir / "fresh"
    fresh.mkdir()
    trace = subprocess.run(["strace", "-f", "-y", "-e", "trace=fsync,rename,renameat,renameat2",
                            BINARY, "tls", "fingerprint"], cwd=fresh, capture_output=True,
                           text=True, timeout=60)
    calls = [line for line in trace.stderr.splitlines() if re.search(r"\b(fsync|rename)", line)]
    renames = [i for i, line in enumerate(calls) if "rename" in line] + [len(calls)]
    flush = re.compile(r"fsync\(\d+<" + re.escape(os.path.realpath(fresh)) + r">\)")
    for name in ("brevin-ca-key.pem", "brevin-ca.pem", "brevin-key.pem", "brevin-cert.pem"):
        renamed = [i for i in renames[:-1] if f'{name}"' in calls[i]]
        check(len(renamed) == 1, f"{name} is renamed into place once")
        # Before the next rename: what follows is the next file's business.
        after = calls[renamed[0] + 1 : renames[renames.index(renamed[0]) + 1]] if renamed else []
        check(any(flush.search(line) for line in after),
              f"the folder is flushed after {name} takes its name ({after})")


def self_signed(folder, name):
    """A self-signed pair as earlier versions and administrators make them."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-subj", f"/CN={name}", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-days", "30", "-keyout", str(folder / "brevin-key.pem"),
                    "-out", str(folder / "brevin-cert.pem")], capture_output=True, check=True,
                   timeout=30)


def case_upgrade(workdir):
    self_signed(workdir, "earlier")
    old = (workdir / "brevin-cert.pem").read_text()
    server = start(workdir)
    check(server.log_line(PREFIX) != "", "the server starts with a certificate")
    check(wait_for_port(server.ports["smtps"]), "the implicit-TLS port listens")
    log = server.stderr()
    check("change=replaced-self-signed" in log and "ca=made" in log,
          "the log says the self-signed certificate was replaced and a CA made")
    check("trust the CA once" in log, "the administrator is told what clients must do")
    check((workdir / "brevin-cert.pem").read_text() != old, "brevin-cert.pem is new")
    served_fingerprint(server.ports["smtps"], server.ca, b"220 ")
    server.stop()

    admin = workdir / "admin"
    admin.mkdir()
    self_signed(admin, "mail.example.test")
    server = start(admin, "--tls-cert", "brevin-cert.pem", "--tls-key", "brevin-key.pem")
    check(wait_for_port(server.ports["smtps"]), "with --tls-cert the implicit-TLS port listens")
    seen = served_fingerprint(server.ports["smtps"], admin / "brevin-cert.pem", b"220 ")
    check(server.log_line(PREFIX) == PREFIX + seen, "the administrator's certificate is served")
    check(not (admin / "brevin-ca.pem").exists(), "and no CA is made")
    server.stop()


def case_admin(workdir):
    other = workdir / "other"
    other.mkdir()
    for folder in (workdir, other):
        subprocess.run([BINARY, "tls", "fingerprint"], cwd=folder, capture_output=True, timeout=30)
    for what, args, words in (
            ("missing certificate", ["--tls-cert", "missing.pem", "--tls-key", "brevin-key.pem"],
             "cannot read the TLS certificate missing.pem"),
            ("mismatched key", ["--tls-cert", "brevin-cert.pem", "--tls-key", "other/brevin-key.pem"],
             "does not match the certificate")):
        server = start(workdir, *args)
        try:
            status = server.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.stop()
            status = None
        message = server.stderr()
        check(status == 1, f"{what}: exit status 1 (got {status})")
        check(words in message, f"{what}: the message says {words!r} ({message.strip()!r})")


def case_unwritable(workdir):
    (workdir / "brevin-key.pem.new").mkdir()  # in the way of the key, even for root
    server = start(workdir)
    check(wait_for_port(server.smtp_port), "the plain port listens all the same")
    with socket.create_connection(("127.0.0.1", server.smtp_port), timeout=10) as plain:
        check(plain.recv(200).startswith(b"220 "), "plain clients are served")
    server.stop()
    message = server.stderr()
    check("cannot write" in message and "running without encryption" in message,
          f"the failure is reported ({message.strip()!r})")
    check("not started : SMTPS port" in message, "the implicit-TLS ports say why they are missing")


if __name__ == "__main__":
    sys.exit(run_case(globals()))
