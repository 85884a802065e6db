"""The servers a real distribution reaches inside its network namespace.

    services.py STATE CACHE ROOT READY SETTINGS

Started by vm-init.sh inside the distribution's namespaces (on the host's
file system, not in the root); it creates the file READY once it listens.
It answers on four addresses that exist only in that namespace:

  203.0.113.10:80      http://203.0.113.10, the service's plain-HTTP base
  198.51.100.43:443    https://quenvale.com and https://www.quenvale.com,
                       with CACHE/service.pem, issued by the lab CA
  198.51.100.80:80     http://deb.debian.org/debian, the package archive
                       CACHE/archive/debian
  10.255.255.254:53    DNS (UDP), the root's only name server, where WSL's
                       DNS tunnelling puts it: quenvale.com and
                       www.quenvale.com, deb.debian.org

The service, whatever its origin:
  GET  /install.sh            STATE/service/install.sh
  POST /api/v1/nodes/enroll   body: token LF name LF; the token is claimed
                              once from STATE/service/issued (used: .../used),
                              the node recorded in .../enrolled as node TAB
                              origin TAB name, the name byte for byte

While a node enrolls, the service also looks at every process of the
distribution: a command line that carries the token is recorded in
STATE/service/leaks.

The scenario's settings (SETTINGS, the lab's service.conf) are read at
every request through the lab's one settings reader (conf.sh), as the
simulated tools read them, so that `lab.sh set` changes them while the
distribution runs:
  service=ok|error|down   error: enrollment fails with 500; down: 503 always
  archive=ok|broken|clock-behind
                          broken: every .deb arrives with one byte changed;
                          clock-behind: the Release file is dated ahead of
                          the distribution's clock (STATE/service/ahead/debian/
                          dists/SUITE/InRelease, re-signed by the lab)
  dns=up|down             down: every query fails (SERVFAIL)
  tls=ok|intercepted      intercepted: HTTPS shows CACHE/intercept.pem, from
                          an authority the distribution does not trust
Whether an address can be reached at all (network=down, archive=down) is
up to the lab: real_network_apply (distro.sh) takes the address away.
"""

import hashlib
import http.server
import os
import socketserver
import ssl
import subprocess
import sys
import threading
import urllib.parse

STATE, CACHE, ROOT, READY, SETTINGS = sys.argv[1:6]
SERVICE = os.path.join(STATE, "service")
CONF_SH = os.path.join(STATE, "lib", "conf.sh")
books = threading.Lock()


def setting(key, default):
    """A setting of service.conf, read by the lab's conf_get."""
    return subprocess.run(
        ["sh", "-c", '. "$0"; conf_get "$1" "$2" "$3"', CONF_SH,
         SETTINGS, key, default],
        capture_output=True, check=False).stdout.decode().strip()


def lines_of(name):
    try:
        with open(os.path.join(SERVICE, name), "rb") as f:
            return f.read().split(b"\n")
    except FileNotFoundError:
        return []


def append(name, data):
    with open(os.path.join(SERVICE, name), "ab") as f:
        f.write(data)


def command_lines_carrying(token):
    """The distribution's processes whose command line holds the token."""
    found = []
    proc = os.path.join(ROOT, "proc")
    for pid in os.listdir(proc):
        if not pid.isdigit():
            continue
        try:
            with open(os.path.join(proc, pid, "cmdline"), "rb") as f:
                words = f.read()
        except OSError:
            continue
        if token in words:
            found.append(pid.encode() + b" " + words.replace(b"\0", b" ").strip())
    return found


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "QuenvaleLab/1"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.origin(), fmt % args))

    def origin(self):
        return self.server.scheme + "://" + self.headers.get("Host", "").split(":")[0]

    def reply(self, status, body, content_type="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        if self.server.role == "archive":
            self.archive()
        elif setting("service", "ok") == "down":
            self.reply(503, b"E_SERVICE_UNAVAILABLE\n")
        elif self.path == "/install.sh":
            with open(os.path.join(SERVICE, "install.sh"), "rb") as f:
                self.reply(200, f.read(), "text/x-shellscript")
        else:
            self.reply(404, b"Not Found\n")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.server.role != "service" or self.path != "/api/v1/nodes/enroll":
            self.reply(404, b"Not Found\n")
            return
        if setting("service", "ok") == "down":
            self.reply(503, b"E_SERVICE_UNAVAILABLE\n")
            return
        token, _, rest = body.partition(b"\n")
        name = rest[:-1] if rest.endswith(b"\n") else rest
        leaks = command_lines_carrying(token) if token else []
        with books:
            for leak in leaks:
                append("leaks", leak + b"\n")
            if not token or token not in lines_of("issued"):
                self.reply(401, b"E_TOKEN_UNKNOWN\n")
            elif token in lines_of("used"):
                self.reply(409, b"E_TOKEN_USED\n")
            elif setting("service", "ok") == "error":
                self.reply(500, b"E_SERVICE_ERROR\n")
            else:
                append("used", token + b"\n")
                node = b"node-" + hashlib.md5(token).hexdigest()[:8].encode()
                append("enrolled", node + b"\t" + self.origin().encode() + b"\t" + name + b"\n")
                self.reply(200, b"ok " + node + b"\n")

    def archive(self):
        host = self.headers.get("Host", "").split(":")[0]
        path = os.path.normpath(urllib.parse.unquote(self.path.split("?")[0])).lstrip("/")
        file = os.path.join(CACHE, "archive", path)
        if host != "deb.debian.org" or path.startswith("..") or not os.path.isfile(file):
            self.reply(404, b"Not Found\n")
            return
        with open(file, "rb") as f:
            data = f.read()
        ahead = os.path.join(SERVICE, "ahead", path)
        if setting("archive", "ok") == "clock-behind" and os.path.isfile(ahead):
            with open(ahead, "rb") as f:
                data = f.read()
        if file.endswith(".deb") and setting("archive", "ok") == "broken":
            middle = len(data) // 2
            data = data[:middle] + bytes([data[middle] ^ 0xFF]) + data[middle + 1:]
        self.reply(200, data, "application/octet-stream")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, address, role, scheme):
        super().__init__(address, Handler)
        self.role = role
        self.scheme = scheme


NAMES = {b"quenvale.com": "198.51.100.43", b"www.quenvale.com": "198.51.100.43",
         b"deb.debian.org": "198.51.100.80"}


class Resolver(socketserver.BaseRequestHandler):
    """One DNS query: A records for the lab's names, no other records,
    NXDOMAIN for any other name, SERVFAIL for everything while dns=down."""

    def handle(self):
        query, sock = self.request
        if len(query) < 17:
            return
        labels, at = [], 12
        while at < len(query) and query[at] != 0:
            labels.append(query[at + 1:at + 1 + query[at]])
            at += 1 + query[at]
        question = query[12:at + 5]
        qtype = query[at + 1:at + 3]
        name = b".".join(labels).lower()
        answers = b""
        if setting("dns", "up") == "down":
            rcode = 2
        elif name not in NAMES:
            rcode = 3
        else:
            rcode = 0
            if qtype == b"\x00\x01":
                answers = (b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04" +
                           bytes(int(part) for part in NAMES[name].split(".")))
        flags = 0x8180 | rcode
        header = query[:2] + flags.to_bytes(2, "big") + b"\x00\x01" + \
            (1 if answers else 0).to_bytes(2, "big") + b"\x00\x00\x00\x00"
        sock.sendto(header + question + answers, self.client_address)


class DnsServer(socketserver.ThreadingMixIn, socketserver.UDPServer):
    daemon_threads = True


def main():
    servers = [
        Server(("203.0.113.10", 80), "service", "http"),
        Server(("198.51.100.43", 443), "service", "https"),
        DnsServer(("10.255.255.254", 53), Resolver),
        Server(("198.51.100.80", 80), "archive", "http"),
    ]
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(os.path.join(CACHE, "service.pem"), os.path.join(CACHE, "service.key"))
    # An interceptor answers in the service's place with its own certificate.
    intercepted = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    intercepted.load_cert_chain(os.path.join(CACHE, "intercept.pem"), os.path.join(CACHE, "intercept.key"))

    def pick(connection, _name, _context):
        if setting("tls", "ok") == "intercepted":
            connection.context = intercepted
    tls.sni_callback = pick
    servers[1].socket = tls.wrap_socket(servers[1].socket, server_side=True)
    for server in servers[:-1]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(READY, "w"):
        pass
    servers[-1].serve_forever()


main()
