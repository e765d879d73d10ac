#!/usr/bin/env python3
"""A static web server on loopback for the update library's tests, with faults on request.

  DefinitionsServer.py ROOT PORT_FILE [PORT]

Serves the files under ROOT on 127.0.0.1 at PORT, or at a free port when none is given, and
writes the port into PORT_FILE once it listens. Each request's path is appended to
ROOT/requests.log. ROOT/faults.json, read on every request, maps a
request path to {"first": [fault, ...], "always": fault}: the n-th request for that path gets
first[n] while there is one, then "always" if given, else the plain file. A fault is one of
  {"status": 503}      that status and no file
  {"truncate": N}      announces the whole file but sends only N bytes, then closes
  {"short": N}         sends only the first N bytes, announced as the whole answer
  {"extra": N}         sends the file and N more bytes
  {"corrupt": true}    sends the file with its first byte changed
  {"stall": true}      announces the file, sends half of it, then waits without sending
  {"trickle": N}       sends the file N bytes at a time, ten times a second
  {"header": N, "lines": K}  sends K (default 1) extra header lines of N bytes each
  {}                   the plain file
"""
import http.server
import json
import os
import sys
import threading
import time

root = os.path.abspath(sys.argv[1])
counts = {}
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *arguments):
        pass

    def fault(self):
        with lock:
            with open(os.path.join(root, "requests.log"), "a") as log:
                log.write(self.path + "\n")
            seen = counts.get(self.path, 0)
            counts[self.path] = seen + 1
            try:
                with open(os.path.join(root, "faults.json")) as stream:
                    rule = json.load(stream).get(self.path)
            except FileNotFoundError:
                rule = None
        if not rule:
            return {}
        first = rule.get("first", [])
        return first[seen] if seen < len(first) else rule.get("always", {})

    def do_GET(self):
        fault = self.fault()
        path = os.path.normpath(os.path.join(root, self.path.lstrip("/")))
        if "status" in fault or not path.startswith(root + os.sep) or not os.path.isfile(path):
            self.send_response(fault.get("status", 404))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(path, "rb") as stream:
            body = stream.read()
        if fault.get("corrupt") and body:
            body = bytes([body[0] ^ 0xFF]) + body[1:]
        body += b"x" * fault.get("extra", 0)
        if "short" in fault:
            body = body[: fault["short"]]
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        for _ in range(fault.get("lines", 1) if "header" in fault else 0):
            self.send_header("X-Filler", "f" * fault["header"])
        try:
            self.end_headers()
        except ConnectionError:
            return
        if "truncate" in fault:
            self.wfile.write(body[: fault["truncate"]])
            self.wfile.flush()
            self.close_connection = True
            return
        if fault.get("stall"):
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(3600)
        if "trickle" in fault:
            step = fault["trickle"]
            try:
                for start in range(0, len(body), step):
                    self.wfile.write(body[start : start + step])
                    self.wfile.flush()
                    time.sleep(0.1)
            except ConnectionError:
                self.close_connection = True
            return
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that gives up on a faulty answer is what the faults are for.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


port = int(sys.argv[3]) if len(sys.argv) > 3 else 0
server = Server(("127.0.0.1", port), Handler)
server.daemon_threads = True
with open(sys.argv[2] + ".part", "w") as stream:
    stream.write(str(server.server_address[1]))
os.rename(sys.argv[2] + ".part", sys.argv[2])
server.serve_forever()
