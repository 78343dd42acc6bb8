#!/usr/bin/env python3
"""A quarantine server for tests: takes packages sent by HTTP POST.

Usage: quarantine_server.py MODE PORTFILE BODYFILE
  MODE      accept (answer 200), refuse (answer 500) or stall (read the
            request, then never answer)
  PORTFILE  receives the port the server listens on (127.0.0.1, chosen by
            the system), written when the server is ready
  BODYFILE  receives the last request's path, a newline and its body
            (accept and refuse), written before the answer

Runs until it is killed.
"""
import http.server
import os
import sys
import time

MODE, PORTFILE, BODYFILE = sys.argv[1], sys.argv[2], sys.argv[3]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if MODE == "stall":
            time.sleep(3600)
            return
        temp = BODYFILE + ".tmp"
        with open(temp, "wb") as out:
            out.write(self.path.encode() + b"\n" + body)
        os.replace(temp, BODYFILE)
        self.send_response(200 if MODE == "accept" else 500)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(PORTFILE + ".tmp", "w") as out:
    out.write(str(server.server_address[1]))
os.replace(PORTFILE + ".tmp", PORTFILE)
server.serve_forever()
