#!/usr/bin/python3
"""Records what a real FTP server (pyftpdlib, from the test packages) answers
to the commands the FTP fuzz target's client sends, and writes each byte
stream as a seed for that target: one option byte (the login variant, as
tests/fuzz/fuzz_ftp_reply.cpp reads it) followed by the server's bytes.

    fuzz-ftp-replies.py <folder>   -> <folder>/seed-<variant>
"""
import os
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "net", "ftp_server.py")


def reply(f):
    """One reply, multi-line ones whole, as bytes."""
    first = f.readline()
    out = first
    if len(first) >= 4 and first[3:4] == b"-":
        while True:
            line = f.readline()
            out += line
            if not line or (line[:3] == first[:3] and line[3:4] == b" "):
                break
    return out


def session(port, commands):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        f = s.makefile("rb")
        got = reply(f)
        for c in commands:
            s.sendall(c.encode() + b"\r\n")
            got += reply(f)
        return got


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as root:
        os.mkdir(os.path.join(root, "pub"))
        srv = subprocess.Popen(["/usr/bin/python3", SERVER, root, "user", "secret"],
                               stdout=subprocess.PIPE, text=True)
        try:
            port = int(srv.stdout.readline())
            tail = ["TYPE A", "CWD pub", "PWD", "SITE CHMOD 644 x", "QUIT"]
            variants = {
                # option byte: bit 0 firewall login, bits 1-2 proxy kind, bit 3
                # failure handler, bit 4 empty password
                "login": (0x00, ["USER user", "PASS secret"] + tail),
                "wrong-password": (0x08, ["USER user", "PASS nope", "QUIT"]),
                "firewall": (0x01, ["USER fw", "PASS fwpass", "USER user", "PASS secret"] + tail),
                "proxy-user": (0x02, ["USER user@127.0.0.1", "PASS secret"] + tail),
                "proxy-open": (0x04, ["OPEN 127.0.0.1", "USER user", "PASS secret"] + tail),
                "proxy-site": (0x06, ["SITE 127.0.0.1", "USER user", "PASS late"] + tail),
            }
            for name, (option, commands) in variants.items():
                with open(os.path.join(out, "seed-" + name), "wb") as f:
                    f.write(bytes([option]) + session(port, commands))
        finally:
            srv.terminate()
            srv.wait()


if __name__ == "__main__":
    main()
