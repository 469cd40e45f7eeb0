#!/usr/bin/env python3
"""A small HTTP/1.1 server that misbehaves on request, for the network tests.

Usage: fault_server.py [--address 127.0.0.1] [--port 0]
Prints "PORT <n>" on standard output once it listens, then serves until it
is terminated. A connection gets one response, chosen by the request path
(a proxy-style "http://host" prefix is ignored), and is then closed, except
after the persistent-connection paths (/ka/...), which keep it open for the
next request:

  /ok/<n>            200 with n bytes (byte i is i % 251), Content-Length n
  /echo...           200 whose body is the request head exactly as received
  /404               404 with a short body and its Content-Length
  /stall             header (Content-Length 100) and 10 bytes, then silence
  /stall-header      nothing at all, then silence
  /longer            Content-Length 10 but 20 body bytes, all in one write
  /nolength          200 without Content-Length, 50 bytes, then close
  /short             Content-Length 100, 40 bytes, then close
  /close             close at once without a byte
  /interim           "100 Continue" then a 200 (26 bytes), all in one write
  /interim-split     the same in two writes 50 ms apart
  /interim-length    an interim response that carries a Content-Length of 3,
                     then a 200 with 26 bytes
  /bytewise          a 200 with 300 bytes, header and body one byte per write
  /reset             Content-Length 100000, 1000 bytes, then a reset
  /repeat            a field sent twice (X-Mirror: first / second) and the
                     same Content-Length twice; body "hello"
  /conflict          two Content-Length fields that disagree (5 and 7)
  /shortstatus       status line "HTTP/1.1 200" (12 characters), body "hello"
  /shortstatus13     status line "HTTP/1.1 200 " (13 characters), body "hello"
  /badstatus         status line "HTTP/1.1 2x0 OK"
  /length/<text>     "Content-Length: <text>" (percent-decoded), body
                     "0123456789", then silence
  /lowercase         "content-length: 5" and "hello", then close
  /nospace           "Content-Length:5" (no blank) and "hello", then close
  /mixedconflict     "Content-Length: 5" and "content-length: 7", body "hello"
  /endless           a header line that never ends (200,000 bytes), then silence
  /bigheader         a valid header of about 40,000 bytes in short lines, body "hello"
  /trickle           Content-Length 15, one body byte every 200 ms
  /huge              Content-Length 10^15, then body bytes until the client goes
  /flood             200 without Content-Length, body bytes until the client goes
  /redirect          301 to /ok/10 with a short body
  /redirect-loop     302 to itself, with a short body
  /hop/<n>           302 to /hop/<n-1>, and /hop/1 to /ok/10: n redirects
  /goto/<url>        307 to <url> (percent-decoded), with a short body
  /redirect-relative 303 to "ok/12" (a path beside this one)
  /chunked           200 "Transfer-Encoding: chunked" and no length, the
                     body "hello" in chunks, then silence
  /accepts           200 whose body is the number of connections accepted
                     so far, this one included (decimal)

Persistent connections; "reused" means that the request came on a
connection that has already carried one:

  /ka/ok/<n>         200 with n bytes, no "Connection" field; stays open
  /ka/last/<n>       the same, but the server closes the connection right
                     after the response (as a server whose idle time-out
                     has run out does)
  /ka/drop/<n>       reused: closed without a byte of response; on a fresh
                     connection as /ka/ok/<n>
  /ka/cut/<n>        reused: the header and half of the n bytes, then the
                     connection is closed; on a fresh one as /ka/ok/<n>
  /ka/mute/<n>       reused: no answer at all (the connection is held open);
                     on a fresh one as /ka/ok/<n>
  /ka/closing/<n>    200 with n bytes and "Connection: close", then closed
  /ka/http10/<n>     "HTTP/1.0 200 OK" with n bytes and no "Connection"
                     field; stays open
  /ka/echo...        /echo that stays open
Silence lasts until the client closes or 120 s pass.
"""

import argparse
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse

HOLD_SECONDS = 120

accepted = 0
accepted_lock = threading.Lock()


def pattern(n):
    return bytes(i % 251 for i in range(n))


def response(status, body, fields=None, length=True, close=True, version="HTTP/1.1"):
    head = version + " " + status + "\r\n"
    for name, value in fields or []:
        head += name + ": " + value + "\r\n"
    if length:
        head += "Content-Length: %d\r\n" % len(body)
    if close:
        head += "Connection: close\r\n"
    head += "\r\n"
    return head.encode("latin-1") + body


class Handler(socketserver.BaseRequestHandler):
    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data and len(data) < 65536:
            try:
                chunk = self.request.recv(4096)
            except OSError:
                break  # reset by the client
            if not chunk:
                break
            data += chunk
        end = data.find(b"\r\n\r\n")
        return data[: end + 4] if end >= 0 else data

    def hold(self):
        """Keeps the connection open and silent until the client goes."""
        self.request.settimeout(HOLD_SECONDS)
        try:
            while self.request.recv(4096):
                pass
        except OSError:
            pass

    def send(self, data):
        self.request.sendall(data)

    def handle(self):
        global accepted
        with accepted_lock:
            accepted += 1
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        served = 0
        while True:
            head = self.read_head()
            if not head:
                return  # a readiness probe, or the client closed a kept connection
            if not self.serve(head, served > 0):
                return
            served += 1

    def serve_kept(self, path, head, reused):
        """The /ka/ paths. Returns whether the connection stays open."""
        what, _, count = path[len("/ka/"):].partition("/")
        if what == "echo" or what.startswith("echo"):
            self.send(response("200 OK", head, close=False))
            return True
        n = int(count) if count.isdigit() else 0
        if what == "ok":
            self.send(response("200 OK", pattern(n), close=False))
            return True
        if what == "last":
            self.send(response("200 OK", pattern(n), close=False))
            self.request.shutdown(socket.SHUT_RDWR)
            return False
        if what == "drop":
            if reused:
                return False
            self.send(response("200 OK", pattern(n), close=False))
            return True
        if what == "cut":
            if reused:
                whole = response("200 OK", pattern(n), close=False)
                self.send(whole[: len(whole) - (n - n // 2)])
                time.sleep(0.05)
                return False
            self.send(response("200 OK", pattern(n), close=False))
            return True
        if what == "mute":
            if reused:
                self.hold()
                return False
            self.send(response("200 OK", pattern(n), close=False))
            return True
        if what == "closing":
            self.send(response("200 OK", pattern(n)))
            return False
        if what == "http10":
            self.send(response("200 OK", pattern(n), close=False, version="HTTP/1.0"))
            return True
        self.send(response("404 Not Found", b"unknown fault\n"))
        return False

    def serve(self, head, reused):
        """Answers one request. Returns whether the connection stays open."""
        sock = self.request
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        target = parts[1] if len(parts) >= 2 else "/"
        if target.startswith("http://"):
            rest = target[len("http://"):]
            slash = rest.find("/")
            target = rest[slash:] if slash >= 0 else "/"
        path = target
        sys.stderr.write("fault_server: %s\n" % line)

        if path.startswith("/ka/"):
            return self.serve_kept(path, head, reused)
        if path == "/accepts":
            with accepted_lock:
                count = accepted
            self.send(response("200 OK", str(count).encode("ascii")))
        elif path.startswith("/ok/"):
            self.send(response("200 OK", pattern(int(path[4:]))))
        elif path.startswith("/echo"):
            self.send(response("200 OK", head))
        elif path == "/404":
            self.send(response("404 Not Found", b"There is no such file here.\n"))
        elif path == "/stall":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + pattern(10))
            self.hold()
        elif path == "/stall-header":
            self.hold()
        elif path == "/longer":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n" + pattern(20))
            self.hold()
        elif path == "/nolength":
            self.send(response("200 OK", pattern(50), length=False))
        elif path == "/short":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + pattern(40))
        elif path == "/close":
            pass
        elif path == "/interim":
            self.send(b"HTTP/1.1 100 Continue\r\n\r\n" + response("200 OK", b"abcdefghijklmnopqrstuvwxyz"))
            self.hold()
        elif path == "/interim-split":
            self.send(b"HTTP/1.1 100 Continue\r\n\r\n")
            time.sleep(0.05)
            self.send(response("200 OK", b"abcdefghijklmnopqrstuvwxyz"))
            self.hold()
        elif path == "/interim-length":
            self.send(b"HTTP/1.1 100 Continue\r\nContent-Length: 3\r\n\r\n")
            time.sleep(0.05)
            self.send(response("200 OK", b"abcdefghijklmnopqrstuvwxyz"))
            self.hold()
        elif path == "/bytewise":
            for b in response("200 OK", pattern(300)):
                self.send(bytes([b]))
                time.sleep(0.001)
            self.hold()
        elif path == "/reset":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + pattern(1000))
            time.sleep(0.05)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
        elif path == "/repeat":
            self.send(response("200 OK", b"hello",
                               [("X-Mirror", "first"), ("X-Mirror", "second"), ("Content-Length", "5")]))
        elif path == "/conflict":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\nhello")
            self.hold()
        elif path == "/shortstatus":
            self.send(b"HTTP/1.1 200\r\nContent-Length: 5\r\n\r\nhello")
            self.hold()
        elif path == "/shortstatus13":
            self.send(b"HTTP/1.1 200 \r\nContent-Length: 5\r\n\r\nhello")
            self.hold()
        elif path == "/badstatus":
            self.send(b"HTTP/1.1 2x0 OK\r\nContent-Length: 5\r\n\r\nhello")
            self.hold()
        elif path.startswith("/length/"):
            value = urllib.parse.unquote(path[len("/length/"):])
            self.send(("HTTP/1.1 200 OK\r\nContent-Length: %s\r\n\r\n" % value).encode("latin-1") + b"0123456789")
            self.hold()
        elif path == "/lowercase":
            self.send(b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello")
        elif path == "/nospace":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length:5\r\n\r\nhello")
        elif path == "/mixedconflict":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 7\r\n\r\nhello")
        elif path == "/endless":
            self.send(b"HTTP/1.1 200 OK\r\nX-Filler: " + b"a" * 200000)
            self.hold()
        elif path == "/bigheader":
            pad = [("X-Pad-%d" % i, "p") for i in range(3000)]
            self.send(response("200 OK", b"hello", pad))
            self.hold()
        elif path == "/trickle":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n")
            for b in b"slowly trickled":
                time.sleep(0.2)
                self.send(bytes([b]))
            self.hold()
        elif path in ("/huge", "/flood"):
            head = "HTTP/1.1 200 OK\r\n"
            if path == "/huge":
                head += "Content-Length: 1000000000000000\r\n"
            self.send((head + "\r\n").encode("latin-1"))
            block = pattern(65536)
            try:
                while True:
                    self.send(block)
            except OSError:
                pass
        elif path == "/nocontent":
            self.send(b"HTTP/1.1 204 No Content\r\nServer: fault\r\n\r\n")
            self.hold()
        elif path == "/notmodified":
            self.send(b"HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n")
            self.hold()
        elif path == "/redirect":
            self.send(response("301 Moved Permanently", b"moved\n", [("Location", "/ok/10")]))
            self.hold()
        elif path == "/redirect-loop":
            self.send(response("302 Found", b"around\n", [("Location", "/redirect-loop")]))
        elif path.startswith("/hop/"):
            n = int(path[5:])
            where = "/ok/10" if n <= 1 else "/hop/%d" % (n - 1)
            self.send(response("302 Found", b"hop\n", [("Location", where)]))
        elif path.startswith("/goto/"):
            where = urllib.parse.unquote(path[len("/goto/"):])
            self.send(response("307 Temporary Redirect", b"elsewhere\n", [("Location", where)]))
        elif path == "/redirect-relative":
            self.send(response("303 See Other", b"see\n", [("Location", "ok/12")]))
        elif path == "/chunked":
            self.send(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n")
            self.hold()
        else:
            self.send(response("404 Not Found", b"unknown fault\n"))
        return False


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    with Server((args.address, args.port), Handler) as server:
        print("PORT %d" % server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
