#!/usr/bin/env python3
"""A local HTTPS server for the update tests; listens on 127.0.0.1 only.

    feed_server.py CERT KEY CONTROL_DIR

Prints its port on the first line of standard output. Before answering each
request it reads CONTROL_DIR/mode, one of:
  serve        200 with the bytes of CONTROL_DIR/body
  status N     status N with a small HTML page
  html         200 with an HTML page instead of a feed
  truncated    200 declaring the body's full length but sending half of it, then closing
  stall-head   reads the request and never answers
  stall-body   200 declaring the full length, sends half, then sends nothing more
  endless      200 without a length, then zero bytes until the client goes away
When CONTROL_DIR/queue has lines, the first is taken (and removed) as the
mode of this request instead. Each request line and its headers are appended to CONTROL_DIR/requests.log.
"""
import http.server
import os
import socketserver
import ssl
import sys
import threading
import time

cert, key, control = sys.argv[1], sys.argv[2], sys.argv[3]
lock = threading.Lock()


def read(name, default=b""):
    try:
        with open(os.path.join(control, name), "rb") as f:
            return f.read()
    except OSError:
        return default


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(os.path.join(control, "requests.log"), "ab") as log:
            log.write((self.requestline + "\n" + str(self.headers)).encode())
        mode = None
        with lock:
            queue = read("queue").decode().splitlines()
            if queue:
                mode = queue[0].split()
                with open(os.path.join(control, "queue"), "w") as f:
                    f.write("\n".join(queue[1:]))
        if not mode:
            mode = read("mode", b"serve").decode().split()
        body = read("body")
        try:
            if mode[0] == "serve":
                self.reply(200, body, "application/octet-stream")
            elif mode[0] == "status":
                self.reply(int(mode[1]), b"<html><body>error</body></html>", "text/html")
            elif mode[0] == "html":
                self.reply(200, b"<!DOCTYPE html><html><body>Welcome</body></html>\n", "text/html")
            elif mode[0] in ("truncated", "stall-body"):
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                if mode[0] == "stall-body":
                    time.sleep(120)
                self.close_connection = True
            elif mode[0] == "stall-head":
                time.sleep(120)
            elif mode[0] == "endless":
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                chunk = bytes(65536)
                while True:
                    self.wfile.write(chunk)
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def reply(self, status, body, kind):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server = Server(("127.0.0.1", 0), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
