#!/usr/bin/env python3
# Attachment HTTP test server on loopback: downloads from /servlet/mailbox and multipart uploads, with faulty items.
"""Attachment test server.

  attachserver.py --port 7777 --dir /tmp/attachments

GET /servlet/mailbox?item=ID serves a stored item. Built-in items: "sample" (3000 bytes), and faulty
ones: "missing" (404 with a body), "zerolen" (Content-Length 0), "nolength" (no Content-Length),
"truncated" (announces 1000 bytes, sends 500 and closes), "huge" (announces 10^12 bytes), "slow"
(100000 bytes at 1000 bytes per 100 ms); "moved" redirects to "sample" and "offsite" to a file: URL.
POST /servlet/postattachment?phone=P stores the uploaded part and answers its download URL
(phone "fail" answers 500). The raw body of the last upload is kept in DIR/last_upload.bin and the
request head of the last request in DIR/last_request.txt. Prints "PORT <n>" once it listens.
"""
import argparse
import os
import sys
import tempfile
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = b"----olden-boundary-"
SAMPLE = bytes(i % 251 for i in range(3000))


class Handler(BaseHTTPRequestHandler):
    server_version = "attachserver"

    def log_message(self, fmt, *args):
        print("attachserver:", fmt % args, file=sys.stderr, flush=True)

    def record(self):
        with open(os.path.join(self.server.dir, "last_request.txt"), "w") as f:
            f.write(self.requestline + "\n" + str(self.headers))

    def reply(self, code, body, length=None):
        self.send_response(code)
        if length is not False:
            self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.record()
        url = urllib.parse.urlparse(self.path)
        if url.path != "/servlet/mailbox":
            return self.reply(404, b"no such servlet")
        item = urllib.parse.parse_qs(url.query).get("item", [""])[0]
        if item == "sample":
            return self.reply(200, SAMPLE)
        if item in ("moved", "offsite"):
            self.send_response(302)
            self.send_header("Location", "/servlet/mailbox?item=sample" if item == "moved" else "file:///etc/hostname")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if item == "zerolen":
            return self.reply(200, b"", 0)
        if item == "nolength":
            self.close_connection = True
            return self.reply(200, b"some bytes", False)
        if item == "truncated":
            self.close_connection = True
            return self.reply(200, b"x" * 500, 1000)
        if item == "huge":
            self.close_connection = True
            return self.reply(200, b"y" * 10, 10 ** 12)
        if item == "slow":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            try:
                for _ in range(100):
                    self.wfile.write(b"s" * 1000)
                    self.wfile.flush()
                    time.sleep(0.1)
            except OSError:
                pass
            return
        path = os.path.join(self.server.dir, "items", os.path.basename(item))
        if item and os.path.isfile(path):
            with open(path, "rb") as f:
                return self.reply(200, f.read())
        return self.reply(404, b"<html>not found</html>")

    def do_POST(self):
        self.record()
        url = urllib.parse.urlparse(self.path)
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with open(os.path.join(self.server.dir, "last_upload.bin"), "wb") as f:
            f.write(body)
        phone = urllib.parse.parse_qs(url.query).get("phone", [""])[0]
        if url.path != "/servlet/postattachment" or phone == "fail":
            return self.reply(500, b"upload refused")
        head_end = body.find(b"\r\n\r\n")
        tail = b"\r\n" + BOUNDARY + b"\r\n"
        if not body.startswith(BOUNDARY + b"\r\n") or head_end < 0 or not body.endswith(tail):
            return self.reply(400, b"bad multipart body")
        data = body[head_end + 4:len(body) - len(tail)]
        self.server.count += 1
        item = "u%d" % self.server.count
        os.makedirs(os.path.join(self.server.dir, "items"), exist_ok=True)
        with open(os.path.join(self.server.dir, "items", item), "wb") as f:
            f.write(data)
        self.reply(200, ("http://127.0.0.1/servlet/mailbox?item=%s" % item).encode())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=7777)
    ap.add_argument("--dir", default="")
    args = ap.parse_args()
    httpd = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    httpd.dir = args.dir or tempfile.mkdtemp(prefix="attachserver-")
    os.makedirs(httpd.dir, exist_ok=True)
    httpd.count = 0
    print("PORT %d" % httpd.server_address[1], flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
