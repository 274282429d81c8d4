#!/usr/bin/env python3
"""A router that answers UPnP searches with a description the mapper must
refuse: garbage, a huge one, or one whose control point is another host.
Records every control request it gets in the file named by argv[3]."""
import http.server
import socket
import struct
import sys
import threading

MODE, LAN, LOG = sys.argv[1], sys.argv[2], sys.argv[3]
LOCATION = "http://%s:5000/rootDesc.xml" % LAN

DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>%s</friendlyName>
<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>%s</controlURL>
<eventSubURL>/evt/IPConn</eventSubURL>
<SCPDURL>/WANIPCn.xml</SCPDURL>
</service></serviceList></device></deviceList></device></deviceList></device></root>
"""


def body():
    if MODE == "garbage":
        return b"<<<\x00\xff not a description " * 2000
    if MODE == "huge":
        return (DESCRIPTION % ("x" * (8 << 20), "/ctl/IPConn")).encode()
    # elsewhere: the control point on a host that is not the gateway
    return (DESCRIPTION % ("router", "http://192.168.50.77:5000/ctl/IPConn")).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        data = body()
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        with open(LOG, "a") as f:
            f.write("POST %s\n" % self.path)
        self.send_response(500)
        self.end_headers()

    def log_message(self, *args):
        pass


def ssdp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", 1900))
    group = struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton(LAN))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, group)
    while True:
        data, peer = s.recvfrom(4096)
        if not data.startswith(b"M-SEARCH"):
            continue
        st = b"urn:schemas-upnp-org:device:InternetGatewayDevice:1"
        for line in data.split(b"\r\n"):
            if line.upper().startswith(b"ST:"):
                st = line[3:].strip()
        reply = (b"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nEXT:\r\n"
                 b"LOCATION: " + LOCATION.encode() + b"\r\nSERVER: lab UPnP/1.1\r\n"
                 b"ST: " + st + b"\r\nUSN: uuid:lab::" + st + b"\r\n\r\n")
        s.sendto(reply, peer)


server = http.server.ThreadingHTTPServer((LAN, 5000), Handler)
threading.Thread(target=ssdp, daemon=True).start()
server.serve_forever()
