"""Helpers shared by the Python scripts that run the real program: checks with a summary,
loopback ports, the bytes an SMTP client sends for a message, and the profile file.

Standard library only. A script in a folder next to this one imports it so:

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
    from mailtest import check, free_port, stuffed, wait_for_port, write_profile
"""

import socket
import time
from pathlib import Path


class Checks:
    """Counts checks, prints "ok    WHAT" or "FAIL  WHAT" for each, and sums them up."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def __call__(self, ok, what):
        if ok:
            self.passed += 1
            print(f"ok    {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL  {what}", flush=True)
        return ok

    def summary(self):
        """Prints the final "N passed, M failed" line; returns the exit status."""
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        return 0 if self.failed == 0 else 1


# The checks of the running script.
check = Checks()


def free_port():
    """A loopback TCP port that is free at the moment of asking."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, host="127.0.0.1", limit=10.0):
    """True once something accepts connections on host:port, False after `limit` seconds."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def stuffed(message: bytes) -> bytes:
    """What an SMTP client puts on the wire for `message`, and so what the store holds: every
    line that begins with "." gets a second one, the last line ends in CR LF, then "." CR LF."""
    if not message.endswith(b"\r\n"):
        message += b"\r\n"
    lines = message.split(b"\r\n")[:-1]
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines) + b".\r\n"


def write_profile(workdir, store, users, newline="\n"):
    """Writes brevin.INI into `workdir` for `users` (name -> (folder, password)) with its
    store at `store`, and makes each user's folder. Returns the profile's path."""
    store = Path(store)
    lines = ["[BREVIN]", f"store={store}", "[USERS]"]
    lines += [f"{name}={folder}" for name, (folder, _) in users.items()]
    lines += ["[PWD]"] + [f"{name}={password}" for name, (_, password) in users.items()]
    profile = Path(workdir) / "brevin.INI"
    profile.write_text(newline.join(lines) + newline)
    for folder, _ in users.values():
        (store / folder).mkdir(parents=True, exist_ok=True)
    return profile
