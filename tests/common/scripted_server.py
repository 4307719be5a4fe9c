#!/usr/bin/env python3
"""A tiny HTTP server for tests that answers with exactly the bytes a script says.

    python3 scripted_server.py --routes ROUTES.json --port-file PORTFILE [--request-log FILE]
                               [--transfer-log FILE] [--host 127.0.0.1|::1]
                               [--tls-cert CERT.pem --tls-key KEY.pem]

With --tls-cert every connection speaks TLS first (https); the actions then run inside
it, and a cut or reset ends the connection without TLS's closing alert.

ROUTES maps a request path (query string included; the path without its query is the
fallback) to a list of actions run in order on the connection, or to
{"sequence": [ACTIONS, ACTIONS, ...]}: the n-th request of that path gets the n-th list,
every request after the last gets the last one. The actions:

    {"send": "text"}                      code points 0-255 sent as latin-1 bytes
    {"send_b64": "..."}                   base64-decoded bytes
    {"send_file": "path"}                 the bytes of a file
    {"send_repeat": "x", "count": N}      "x" repeated N times, sent in large blocks
    {"sleep": seconds}
    {"copy_file": "path", "to": "path"}   copy a file (no bytes sent)
    {"trickle": "text", "interval": s}    one byte, then a pause, and so on
    {"reset": true}                       abort the connection with a TCP reset
    {"close": true}                       close the connection now
    {"http": 200, "body": "text", "headers": {...}}
                                          a well-formed response with Content-Length
    {"resource_b64": "...", "etag": "\"v1\"", "cut_after": N, "ignore_range": false,
     "ignore_if_range": false,
     "piece": bytes, "interval": seconds}    (or "resource_file": path)
                                          a resource that honours "Range: bytes=N-" and
                                          If-Range (206, or 416 past its end, else 200
                                          with the whole body); ETag sent when given;
                                          cut_after closes the connection after N body
                                          bytes of this answer; piece and interval
                                          send the body slowly

After the actions the connection is closed. An unknown path gets a small 404 page.
The transfer log gets one JSON line when a request arrives ({"id", "target", "range",
"if_range"}) and one when its connection ends ({"id", "sent"}: bytes sent, head and all).
The port is written to PORTFILE once the server listens on --host (127.0.0.1 unless
given; ::1 for IPv6 tests). No other address is accepted.
"""

import argparse
import base64
import http.client
import json
import os
import shutil
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

BLOCK = 64 * 1024


def latin1(text):
    return text.encode("latin-1")


def header_fields(head):
    """The fields of a request head by lower-case name (the last of a repeated one)."""
    fields = {}
    for line in head.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]:
        name, sep, value = line.decode("latin-1").partition(":")
        if sep:
            fields[name.strip().lower()] = value.strip()
    return fields


def http_response(status, body, headers):
    reason = http.client.responses.get(status, "Unknown")
    data = latin1(body)
    head = "HTTP/1.1 %d %s\r\n" % (status, reason)
    names = {k.lower() for k in headers}
    if "content-length" not in names:
        head += "Content-Length: %d\r\n" % len(data)
    if "connection" not in names:
        head += "Connection: close\r\n"
    for name, value in headers.items():
        head += "%s: %s\r\n" % (name, value)
    return latin1(head + "\r\n") + data


NOT_FOUND = http_response(404, "<html><body>404 Not Found</body></html>\n",
                          {"Content-Type": "text/html"})


class Handler(socketserver.BaseRequestHandler):
    def read_head(self):
        data = b""
        deadline = time.monotonic() + 30
        self.request.settimeout(30)
        while b"\r\n\r\n" not in data and time.monotonic() < deadline:
            piece = self.request.recv(4096)
            if not piece:
                break
            data += piece
            if len(data) > 1024 * 1024:
                break
        return data

    def handle(self):
        if self.server.tls:
            try:
                self.request = self.server.tls.wrap_socket(self.request, server_side=True)
            except (ssl.SSLError, OSError):
                return  # the client refused the certificate, or went away
        head = self.read_head()
        if not head:
            return
        request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        server = self.server
        if server.request_log:
            with server.log_lock, open(server.request_log, "a", encoding="latin-1") as log:
                log.write(request_line + "\n")
        parts = request_line.split(" ")
        target = parts[1] if len(parts) >= 2 else "/"
        self.fields = header_fields(head)
        self.sent = 0
        key = target if target in server.routes else target.split("?", 1)[0]
        route = server.routes.get(key)
        with server.log_lock:
            count = server.counts.get(key, 0)
            server.counts[key] = count + 1
            server.next_id += 1
            self.id = server.next_id
        if isinstance(route, dict):
            steps = route["sequence"]
            route = steps[min(count, len(steps) - 1)]
        self.log_transfer({"id": self.id, "target": target, "range": self.fields.get("range", ""),
                           "if_range": self.fields.get("if-range", "")})
        sock = self.request
        sock.settimeout(None)
        try:
            if route is None:
                self.send(NOT_FOUND)
                return
            for action in route:
                if not self.run(sock, action):
                    return
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            self.log_transfer({"id": self.id, "sent": self.sent})

    def log_transfer(self, record):
        server = self.server
        if server.transfer_log:
            with server.log_lock, open(server.transfer_log, "a", encoding="utf-8") as log:
                log.write(json.dumps(record) + "\n")

    def send(self, data):
        self.request.sendall(data)
        self.sent += len(data)

    def resource(self, action):
        """A resource answering ranged requests; False when cut off."""
        if "resource_file" in action:
            with open(action["resource_file"], "rb") as f:
                body = f.read()
        else:
            body = base64.b64decode(action["resource_b64"])
        etag = action.get("etag")
        wanted = self.fields.get("range", "")
        condition = self.fields.get("if-range")
        start = None
        if wanted.startswith("bytes=") and wanted.endswith("-") and not action.get("ignore_range"):
            digits = wanted[len("bytes="):-1]
            honoured = condition is None or condition == etag or action.get("ignore_if_range")
            if digits.isdigit() and honoured:
                start = int(digits)
        extra = "ETag: %s\r\n" % etag if etag else ""
        if start is not None and start >= len(body):
            self.send(latin1("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */%d\r\n"
                             "Content-Length: 0\r\nConnection: close\r\n%s\r\n" % (len(body), extra)))
            return True
        if start is not None:
            head = ("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\n"
                    % (start, len(body) - 1, len(body)))
            body = body[start:]
        else:
            head = "HTTP/1.1 200 OK\r\n"
        head += "Content-Length: %d\r\nConnection: close\r\n%s\r\n" % (len(body), extra)
        self.send(latin1(head))
        cut = action.get("cut_after")
        if cut is not None:
            body = body[:int(cut)]
        piece = int(action.get("piece", 0)) or len(body) or 1
        for at in range(0, len(body), piece):
            if at:
                time.sleep(float(action.get("interval", 0)))
            self.send(body[at:at + piece])
        return cut is None

    def run(self, sock, action):
        """Runs one action; False when the connection is gone."""
        if "send" in action:
            self.send(latin1(action["send"]))
        elif "send_b64" in action:
            self.send(base64.b64decode(action["send_b64"]))
        elif "send_file" in action:
            with open(action["send_file"], "rb") as f:
                while True:
                    block = f.read(BLOCK)
                    if not block:
                        break
                    self.send(block)
        elif "send_repeat" in action:
            unit = latin1(action["send_repeat"])
            count = int(action["count"])
            per_block = max(1, BLOCK // max(1, len(unit)))
            while count > 0:
                n = min(count, per_block)
                self.send(unit * n)
                count -= n
        elif "sleep" in action:
            time.sleep(float(action["sleep"]))
        elif "copy_file" in action:
            shutil.copyfile(action["copy_file"], action["to"])
        elif "trickle" in action:
            interval = float(action.get("interval", 1))
            for i, byte in enumerate(latin1(action["trickle"])):
                if i:
                    time.sleep(interval)
                self.send(bytes([byte]))
        elif "reset" in action:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
            return False
        elif "close" in action:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
            return False
        elif "resource_b64" in action or "resource_file" in action:
            if not self.resource(action):
                sock.close()
                return False
        elif "http" in action:
            self.send(http_response(int(action["http"]), action.get("body", ""),
                                       action.get("headers", {})))
        else:
            raise ValueError("unknown action: %r" % (action,))
        return True

    def finish(self):
        try:
            self.request.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class Server6(Server):
    address_family = socket.AF_INET6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--routes", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--request-log")
    parser.add_argument("--transfer-log")
    parser.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()

    with open(args.routes, encoding="utf-8") as f:
        routes = json.load(f)

    server = (Server6 if args.host == "::1" else Server)((args.host, 0), Handler)
    server.routes = routes
    server.tls = None
    if args.tls_cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tls_cert, args.tls_key)
    server.request_log = args.request_log
    server.transfer_log = args.transfer_log
    server.counts = {}
    server.next_id = 0
    server.log_lock = threading.Lock()

    # Write the port atomically so a reader never sees half a number.
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(tmp, args.port_file)
    try:
        server.serve_forever(poll_interval=0.5)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
