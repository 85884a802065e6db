"""The Quenvale service as the lab plays it: one set of rules and one set of
books for every distribution, whatever its kind. A distribution's network
brings it the requests: the real kind's servers over HTTP and TLS
(kinds/real/network.py), the busybox kind's spool server
(kinds/busybox/network.py).

Whatever the origin (http://203.0.113.10, https://quenvale.com,
https://www.quenvale.com):
  GET  /install.sh            STATE/service/install.sh
  POST /api/v1/nodes/enroll   body: token LF name LF; the token is claimed
                              once from STATE/service/issued (401
                              E_TOKEN_UNKNOWN, then 409 E_TOKEN_USED), the
                              node recorded in STATE/service/enrolled as
                              node TAB origin TAB name, the name byte for byte

While a node enrolls, every process of the distribution (every process whose
root is the distribution's root) is looked at: a command line that carries
the token is recorded in STATE/service/leaks.

The setting service (STATE/network.conf, read at every request, so that
lab.sh set changes it at once):
  ok     as above
  error  enrollment fails with 500 E_SERVICE_ERROR
  down   every request fails with 503 E_SERVICE_UNAVAILABLE
"""

import contextlib
import fcntl
import hashlib
import os
import sys


class Service:
    def __init__(self, state):
        self.state = state
        self.books = os.path.join(state, "service")
        self.network_conf = os.path.join(state, "network.conf")
        sys.path.insert(0, os.path.join(state, "lib"))
        from settings import read_conf
        self.read_conf = read_conf

    def setting(self, key, default):
        return self.read_conf(self.network_conf).get(key, default)

    def _lines(self, name):
        try:
            with open(os.path.join(self.books, name), "rb") as f:
                return f.read().split(b"\n")
        except FileNotFoundError:
            return []

    @contextlib.contextmanager
    def _locked_books(self):
        """The books are one distribution's network server's at a time."""
        with open(os.path.join(self.books, "lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def _append(self, name, data):
        with open(os.path.join(self.books, name), "ab") as f:
            f.write(data)

    @staticmethod
    def command_lines_carrying(token, root):
        """The processes under ROOT whose command line holds TOKEN."""
        found = []
        root = os.path.realpath(root)
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                if os.readlink(os.path.join("/proc", pid, "root")) != root:
                    continue
                with open(os.path.join("/proc", pid, "cmdline"), "rb") as f:
                    words = f.read()
            except OSError:
                continue
            if token in words:
                found.append(pid.encode() + b" " + words.replace(b"\0", b" ").strip())
        return found

    def answer(self, method, origin, path, body, root):
        """(status, body, content type) for one request from the
        distribution whose root file system is ROOT."""
        if self.setting("service", "ok") == "down":
            return 503, b"E_SERVICE_UNAVAILABLE\n", "text/plain"
        if method in ("GET", "HEAD") and path == "/install.sh":
            with open(os.path.join(self.books, "install.sh"), "rb") as f:
                return 200, f.read(), "text/x-shellscript"
        if method == "POST" and path == "/api/v1/nodes/enroll":
            return self._enroll(origin, body, root)
        return 404, b"Not Found\n", "text/plain"

    def _enroll(self, origin, body, root):
        token, _, rest = body.partition(b"\n")
        name = rest[:-1] if rest.endswith(b"\n") else rest
        leaks = self.command_lines_carrying(token, root) if token else []
        with self._locked_books():
            for leak in leaks:
                self._append("leaks", leak + b"\n")
            if not token or token not in self._lines("issued"):
                return 401, b"E_TOKEN_UNKNOWN\n", "text/plain"
            if token in self._lines("used"):
                return 409, b"E_TOKEN_USED\n", "text/plain"
            if self.setting("service", "ok") == "error":
                return 500, b"E_SERVICE_ERROR\n", "text/plain"
            self._append("used", token + b"\n")
            node = b"node-" + hashlib.md5(token).hexdigest()[:8].encode()
            self._append("enrolled", node + b"\t" + origin.encode() + b"\t" + name + b"\n")
            return 200, b"ok " + node + b"\n", "text/plain"
