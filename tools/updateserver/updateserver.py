#!/usr/bin/env python3
# Software-update test server on loopback: serves the version document over HTTP in its good and faulty forms.
"""Update test server.

Written from the protocol description alone (it shares no code with the client), so a misreading on
one side cannot hide in the other.

  updateserver.py --port 0 [--fault RULE]... [--control FILE] [--log FILE] [--ports-file FILE]

The first stdout line is "PORT n" (--ports-file gets the same line through a rename once listening).
Nothing else goes to stdout; the server logs to stderr.

Every GET is answered with the version document, whatever the path (the client asks for
"/version_cn.xml" below the update address); GET of a path ending in ".zip" gets a small archive
body. A path below "/web/" (the service's pages that the settings file names: service, prepay,
share, help) gets a small HTML page naming it, so that a program shows a page rather than XML. The
document, with the version of the program being 0.9.6:
  <VersionInfo><MajorVersion>0</MajorVersion><MinorVersion>9</MinorVersion><BuildNumber>7</BuildNumber>
  <MajorChanges>...</MajorChanges><DownloadZip>http://127.0.0.1:PORT/tessaly-0.9.7.zip</DownloadZip>
  <UpdateNeedUpdate>1</UpdateNeedUpdate><EnforceUpdate>0</EnforceUpdate></VersionInfo>

Variants (--fault, repeatable, or the lines of --control FILE, which replace the command line's rules
whenever the file changes): WHAT:MODE[=ARG][*COUNT]; WHAT is "*" or the request path
("/version_cn.xml"); COUNT limits the rule to its first COUNT requests. Without a rule: newer.
  newer         0.9.7, update needed, not enforced
  same          0.9.6, no update needed
  enforced      1.0.0, update needed and enforced
  version=A.B.C that version, update needed, not enforced
  nozip         a complete document without DownloadZip
  malformed     not well-formed before DownloadZip
  brokentail    not well-formed after DownloadZip
  status=N      HTTP status N with a short HTML body (default 404)
  redirect      302 to /moved/version_cn.xml, which always serves "newer" (a client that followed
                it would succeed)
  split=N       the body in writes of N bytes (default 64), Nagle off
  straddle      0.9.17, padded so that the text of BuildNumber ("17") crosses the 4096-byte mark
                of the body (a reader of 4096-byte pieces gets "1" and "7" apart)
  nolength      no Content-Length header (the body ends with the close)
  drop          announces the whole body, sends half of it and closes
  silent        reads the request and answers nothing (held up to --hold seconds)
  refuse        resets the connection (from the command line with WHAT "*": the port is bound but
                not listening, so connecting is refused)
  delay=S       answers normally after S seconds
  drip=S        the headers at once, then the body one byte every S seconds (default 0.5)

Each request is logged to stderr and, with --log FILE, as one JSON line: method, path, User-Agent,
the other headers and the variant served; tests count these lines to see that a client asked once.
"""
import argparse
import json
import os
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "svccommon"))
import svccommon  # noqa: E402

NAME = "updateserver"
MODES = {"newer", "same", "enforced", "version", "nozip", "malformed", "brokentail", "status", "redirect",
         "split", "straddle", "nolength", "drop", "silent", "refuse", "delay", "drip"}
CHANGES = "Voice calls over the new codec; 聊天室可以设置密码; fewer dropped sign-ins."


def log(*args):
    svccommon.log(NAME, *args)


def document(port, major, minor, build, need, enforce, zip_=True, changes=CHANGES):
    zip_el = ("<DownloadZip>http://127.0.0.1:%d/tessaly-%d.%d.%d.zip</DownloadZip>" % (port, major, minor, build)
              if zip_ else "")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<VersionInfo>\n'
            "  <MajorVersion>%d</MajorVersion>\n  <MinorVersion>%d</MinorVersion>\n"
            "  <BuildNumber>%d</BuildNumber>\n  <MajorChanges>%s</MajorChanges>\n  %s\n"
            "  <UpdateNeedUpdate>%d</UpdateNeedUpdate>\n  <EnforceUpdate>%d</EnforceUpdate>\n</VersionInfo>\n"
            % (major, minor, build, escape(changes), zip_el, need, enforce)).encode("utf-8")


def straddled(port):
    """A newer document whose BuildNumber text ("17") and MajorChanges text cross byte 4096."""
    head = '<?xml version="1.0" encoding="UTF-8"?>\n<VersionInfo>\n<!--'
    before = "-->\n  <MajorVersion>0</MajorVersion>\n  <MinorVersion>9</MinorVersion>\n  <BuildNumber>1"
    pad = 4096 - len((head + before).encode())
    text = head + "x" * pad + before + "7</BuildNumber>\n"
    data = text.encode()
    assert data[4095:4097] == b"17"
    changes = "Build 0.9.17: " + "更好的声音 " * 10
    rest = ("  <MajorChanges>%s</MajorChanges>\n  <DownloadZip>http://127.0.0.1:%d/tessaly-0.9.17.zip</DownloadZip>\n"
            "  <UpdateNeedUpdate>1</UpdateNeedUpdate>\n  <EnforceUpdate>0</EnforceUpdate>\n</VersionInfo>\n"
            % (changes, port))
    data += rest.encode("utf-8")
    return data


class Handler(BaseHTTPRequestHandler):
    server_version = "updateserver"

    def log_message(self, fmt, *args):
        log(fmt % args)

    def body_for(self, mode, arg):
        port = self.server.server_address[1]
        if mode == "same":
            return document(port, 0, 9, 6, 0, 0)
        if mode == "enforced":
            return document(port, 1, 0, 0, 1, 1)
        if mode == "version":
            major, minor, build = (int(x) for x in arg.split("."))
            return document(port, major, minor, build, 1, 0)
        if mode == "nozip":
            return document(port, 0, 9, 7, 1, 0, zip_=False)
        if mode == "malformed":
            return b'<?xml version="1.0" encoding="UTF-8"?>\n<VersionInfo><MajorVersion>0</MinorVersion>' \
                   b"<DownloadZip>x.zip</DownloadZip></VersionInfo>"
        if mode == "straddle":
            return straddled(port)
        data = document(port, 0, 9, 7, 1, 0)
        if mode == "brokentail":
            data = data.replace(b"<UpdateNeedUpdate>", b"<UpdateNeedUpdate><<")
        return data

    def do_GET(self):
        # The redirect's target is always the plain document, so a client that followed it would succeed.
        rule = None if self.path.startswith("/moved/") else self.server.rules.take(NAME, [self.path])
        mode, arg = (rule.mode, rule.arg) if rule else ("newer", "")
        self.server.json.write({"method": "GET", "path": self.path, "agent": self.headers.get("User-Agent", ""),
                                "headers": dict(self.headers.items()), "fault": rule.text if rule else ""})
        log("GET %s agent=%r variant=%s" % (self.path, self.headers.get("User-Agent", ""), mode))
        if mode == "refuse":
            svccommon.reset_close(self.connection)
            self.close_connection = True
            return
        if mode == "silent":
            svccommon.hold_open(self.connection, self.server.hold)
            self.close_connection = True
            return
        if mode == "delay":
            time.sleep(float(arg or 1))
        if self.path.startswith("/web/") and mode == "newer":
            name = escape(self.path[5:].split("?")[0] or "index")
            page = ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
                    "<body><h1>%s</h1><p>Test service page.</p></body></html>" % (name, name))
            return self.send(200, page.encode("utf-8"), "text/html; charset=utf-8")
        if self.path.endswith(".zip"):
            return self.send(200, b"PK\x05\x06" + bytes(18), "application/zip")
        if mode == "status":
            code = int(arg or 404)
            return self.send(code, b"<html><body>%d</body></html>" % code, "text/html")
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.1:%d/moved/version_cn.xml" % self.server.server_address[1])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = self.body_for(mode, arg)
        if mode == "split":
            return self.send(200, body, segment=int(arg or 64))
        if mode == "drip":
            self.close_connection = True
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.flush()
            svccommon.drip(self.connection, body, float(arg or 0.5), endless=False)
            return
        if mode == "nolength":
            self.close_connection = True
            return self.send(200, body, length=False)
        if mode == "drop":
            self.close_connection = True
            return self.send(200, body[:len(body) // 2], length=len(body))
        self.send(200, body)

    def send(self, code, body, ctype="text/xml; charset=utf-8", length=None, segment=0):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        if length is not False:
            self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.flush()
        svccommon.send_reply(self.connection, body, segment)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--fault", action="append", default=[], help="WHAT:MODE[=ARG][*COUNT]")
    ap.add_argument("--control", help="file of rules, re-read when it changes")
    ap.add_argument("--log", help="append one JSON line per request to this file")
    ap.add_argument("--ports-file", help="write the 'PORT n' line here once listening")
    ap.add_argument("--hold", type=float, default=30.0, help="seconds a silent connection is held")
    args = ap.parse_args()
    try:
        rules = svccommon.Rules(args.fault, args.control, MODES)
    except ValueError as e:
        print("updateserver: %s" % e, file=sys.stderr)
        sys.exit(2)
    if any(r.what == "*" and r.mode == "refuse" and not r.limited for r in rules.rules):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", args.port))
        log("port %d bound but not listening: connections are refused" % sock.getsockname()[1])
        svccommon.announce([sock.getsockname()[1]], args.ports_file)
        while True:
            time.sleep(3600)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.rules, server.json, server.hold = rules, svccommon.JsonLog(args.log), args.hold
    log("listening on port", server.server_address[1])
    svccommon.announce([server.server_address[1]], args.ports_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
