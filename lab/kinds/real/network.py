"""The network of one real distribution: the servers it reaches inside its
network namespace.

    network.py STATE CACHE ROOT READY SETTINGS HTTP HTTPS ARCHIVE DNS

Started by vm-init.sh inside the distribution's namespaces (on the host's
file system, not in the root); it creates the file READY once it listens.
It answers on four addresses that exist only in that namespace (kind.sh's):

  HTTP:80       the service's plain-HTTP base, http://HTTP
  HTTPS:443     https://quenvale.com and https://www.quenvale.com, with
                CACHE/service.pem, issued by the lab CA
  ARCHIVE:80    http://deb.debian.org/debian, the package archive
                CACHE/archive/debian
  DNS:53        DNS (UDP), the root's only name server, where WSL's DNS
                tunnelling puts it: quenvale.com and www.quenvale.com at
                HTTPS, deb.debian.org at ARCHIVE

What the service answers is the lab's one service (lab/service/service.py).
The PC's network settings (SETTINGS, the lab's network.conf) are read at
every request, so that `lab.sh set` changes them while the distribution runs:
  archive=ok|slow|broken|clock-behind
                          slow: the Release file comes after 20 s;
                          broken: every .deb arrives with one byte changed;
                          clock-behind: the Release file is dated ahead of
                          the distribution's clock (STATE/service/ahead/debian/
                          dists/SUITE/InRelease, re-signed by the lab)
  dns=up|down             down: every query fails (SERVFAIL)
  tls=ok|intercepted      intercepted: HTTPS shows CACHE/intercept.pem, from
                          an authority the distribution does not trust
Whether an address can be reached at all (network=down, archive=down) is
up to the lab: real_addresses (kind.sh) takes the address away.
"""

import http.server
import os
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

STATE, CACHE, ROOT, READY, SETTINGS, HTTP, HTTPS, ARCHIVE, DNS = sys.argv[1:10]
sys.path.insert(0, os.path.join(STATE, "lib"))
sys.path.insert(0, os.path.join(STATE, "lib", "service"))
from service import Service  # noqa: E402
from settings import read_conf  # noqa: E402

SERVICE = Service(STATE)


def setting(key, default):
    return read_conf(SETTINGS).get(key, default)


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
        else:
            self.reply(*SERVICE.answer(self.command, self.origin(), self.path, b"", ROOT))

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.server.role != "service":
            self.reply(404, b"Not Found\n")
            return
        self.reply(*SERVICE.answer("POST", self.origin(), self.path, body, ROOT))

    def archive(self):
        host = self.headers.get("Host", "").split(":")[0]
        path = os.path.normpath(urllib.parse.unquote(self.path.split("?")[0])).lstrip("/")
        file = os.path.join(CACHE, "archive", path)
        if host != "deb.debian.org" or path.startswith("..") or not os.path.isfile(file):
            self.reply(404, b"Not Found\n")
            return
        with open(file, "rb") as f:
            data = f.read()
        if setting("archive", "ok") == "slow" and os.path.basename(path) == "InRelease":
            time.sleep(20)
        ahead = os.path.join(STATE, "service", "ahead", path)
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


NAMES = {b"quenvale.com": HTTPS, b"www.quenvale.com": HTTPS, b"deb.debian.org": ARCHIVE}


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
        Server((HTTP, 80), "service", "http"),
        Server((HTTPS, 443), "service", "https"),
        DnsServer((DNS, 53), Resolver),
        Server((ARCHIVE, 80), "archive", "http"),
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
