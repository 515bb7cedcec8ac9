#!/usr/bin/python3
"""A read-only FTP mirror for skiff players with pyftpdlib (python3-pyftpdlib).

Players log in as "update" (isp0.dat field 5; "anonymous" works too) with the
updater's fixed password "x". Nothing can be uploaded, renamed or deleted:
the permissions "elr" only change into, list and read. Run it as an
unprivileged user that can read the release folder; a port below 1024 needs
CAP_NET_BIND_SERVICE. See docs/MIRRORS.md.

Placeholders: the release folder that skiff-publish push fills, this server's
address and port, and the passive ports (open them in the firewall).
"""
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

RELEASE = "/srv/skiff/release"
ADDRESS = "203.0.113.10"
PORT = 21
PASSIVE_PORTS = range(40000, 40050)

authorizer = DummyAuthorizer()
authorizer.add_user("update", "x", RELEASE, perm="elr")
authorizer.add_anonymous(RELEASE, perm="elr")

FTPHandler.authorizer = authorizer
FTPHandler.passive_ports = PASSIVE_PORTS
FTPHandler.timeout = 600  # between commands: longer than a player looks at the plan
DTPHandler.timeout = 120  # a stalled transfer: the updater gives up after 60 s itself
FTPServer.max_cons_per_ip = 8  # players behind one NAT router share its address
FTPServer.max_cons = 500

FTPServer((ADDRESS, PORT), FTPHandler).serve_forever()
