# A pyftpdlib server for the FTP client tests: one user with a password,
# rooted in the folder given, on 127.0.0.1 (or --address) and a free port
# that it prints.
#
# With --tls CERT (certificate and key in one PEM file) it takes AUTH TLS;
# --tls-required refuses a login and data connections in the clear;
# --require-reuse refuses a data connection that does not resume the
# control connection's TLS session (the default of vsftpd); --events FILE
# gets one line per data connection: "data tls reused", "data tls new" or
# "data clear", and one per USER/PASS: "login tls" or "login clear";
# --tls12 keeps TLS to version 1.2 (sessions resumed by their id, no tickets).
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
parser.add_argument("root")
parser.add_argument("user")
parser.add_argument("password")
parser.add_argument("--address", default="127.0.0.1")
parser.add_argument("--tls")
parser.add_argument("--tls-required", action="store_true")
parser.add_argument("--require-reuse", action="store_true")
parser.add_argument("--tls12", action="store_true")
parser.add_argument("--events")
args = parser.parse_args()

logging.basicConfig(level=logging.CRITICAL)
authorizer = DummyAuthorizer()
authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")


def event(text):
    if args.events:
        with open(args.events, "a") as f:
            f.write(text + "\n")


if args.tls:
    from OpenSSL._util import lib
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class DataHandler(TLS_DTPHandler):
        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            if not cmd_channel._prot:
                event("data clear")

        def handle_ssl_established(self):
            reused = lib.SSL_session_reused(self.socket._ssl) == 1
            event("data tls reused" if reused else "data tls new")
            if args.require_reuse and not reused:
                self.cmd_channel.respond("522 SSL connection failed: session reuse required")
                self.close()

    class Handler(TLS_FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            if cmd in ("USER", "PASS"):
                event("login tls" if self._ssl_established else "login clear")
            return super().pre_process_command(line, cmd, arg)

    Handler.dtp_handler = DataHandler
    Handler.certfile = args.tls
    if args.tls12:
        from OpenSSL import SSL

        Handler.ssl_options |= SSL.OP_NO_TLSv1_3 | SSL.OP_NO_TICKET
    Handler.tls_control_required = args.tls_required
    Handler.tls_data_required = args.tls_required
else:

    class Handler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            if cmd in ("USER", "PASS"):
                event("login clear")
            return super().pre_process_command(line, cmd, arg)


Handler.authorizer = authorizer
Handler.banner = "pyftpdlib ready"
server = FTPServer((args.address, 0), Handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
