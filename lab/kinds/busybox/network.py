"""The network of one running busybox distribution: its stand-in curl
leaves each request to the Quenvale service in ROOT/var/lib/qvlab/spool as
ID.request (the method, the origin and the path a line each, then the body)
and waits for ID.reply (the status on the first line, then the body), which
this server writes from the lab's one service (lab/service/service.py). The
reply belongs to the request's owner, who removes both.

    network.py STATE NAME      started by the busybox kind's boot, on the
                               host in the distribution's cgroups, until
                               the distribution stops
"""

import os
import sys
import time

STATE, NAME = sys.argv[1:3]
sys.path.insert(0, os.path.join(STATE, "lib", "service"))
from service import Service  # noqa: E402

ROOT = os.path.join(STATE, "distros", NAME, "root")
SPOOL = os.path.join(ROOT, "var", "lib", "qvlab", "spool")


def handle(service, request):
    with open(request, "rb") as f:
        method, origin, path, body = (f.read().split(b"\n", 3) + [b""] * 4)[:4]
    status, answer, _ = service.answer(method.decode(), origin.decode(), path.decode(), body, ROOT)
    owner = os.stat(request)
    reply = request[:-len(".request")] + ".reply"
    with open(reply + ".new", "wb") as f:
        f.write(b"%d\n" % status + answer)
    os.chown(reply + ".new", owner.st_uid, owner.st_gid)
    os.chmod(reply + ".new", 0o600)
    os.rename(reply + ".new", reply)


def main():
    service = Service(STATE)
    while True:
        try:
            names = os.listdir(SPOOL)
        except FileNotFoundError:
            return
        for name in names:
            if name.endswith(".request") and not os.path.exists(os.path.join(SPOOL, name[:-8] + ".reply")):
                try:
                    handle(service, os.path.join(SPOOL, name))
                except OSError as error:
                    sys.stderr.write("%s: %s\n" % (name, error))
        time.sleep(0.02)


main()
