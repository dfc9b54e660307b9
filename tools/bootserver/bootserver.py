#!/usr/bin/env python3
# Bootstrap test server on loopback: answers where the profile, SIP and messaging services listen, over UDP and TCP.
"""Bootstrap test server.

Written from the protocol description alone (it shares no code with the client), so a misreading on
one side cannot hide in the other.

  bootserver.py --port 0 [--count 3] [--service KEY=HOST:PORT/TYPE[,PORT/TYPE...]] [--fault RULE]...
                [--control FILE] [--log FILE] [--ports-file FILE]

Ports: every port number serves UDP and TCP alike. "--port 0" (the default) takes --count free port
numbers; "--port N" given several times takes those numbers. The first stdout line is
"PORT a b c" (the ports in order, numbered p1, p2, p3 in fault rules); --ports-file gets the same
line, written through a rename once every socket listens. Nothing else goes to stdout.

Request (one XML document per datagram or per TCP connection, no framing; TCP is read until the
top element closes): root/UUID, LocalIP, ClientVersion, Service/ServiceItem/Account, ServiceKey.
ServiceKey 8890 asks for the profile (access) server, 8888 for the server of a SIP account, 8886 for
the server of a messaging account. The answer names the host in the first attribute "server" of
ServerItem/ServerIP and lists ServerPort elements (port, type) under it. A TCP answer is followed by
the server's close (the client reads until then).

Answers (--service, repeatable; "KEY/ACCOUNT=..." answers one account only):
  8890=127.0.0.1:7100/tcp   8888=127.0.0.1:5080/udp   8886=127.0.0.1:9999/udp   (defaults: the access
  server, kamailio and the messaging server at tools/run.sh's fixed ports)

Fault rules (--fault, repeatable, or the lines of --control FILE, which replace the command line's
rules whenever the file changes): WHAT:MODE[=ARG][*COUNT]. WHAT is "*", a port "p1".."pN", "udp",
"tcp", a service key ("8890") or an account name; COUNT limits the rule to its first COUNT requests.
  ok            answer normally (to let a limited rule pass later requests)
  silent        read the request, answer nothing (TCP: hold the connection until the client closes)
  refuse        TCP: a port refused from the start is bound but not listening (connect is refused);
                later, connections are reset on accept. UDP: nothing is answered.
  close         close without an answer (UDP: an empty datagram)
  malformed     an answer that is not well-formed XML
  truncated     the answer cut in the middle (TCP: then closed)
  split=N       the TCP answer in segments of N bytes (default 5)
  wrongroot     ServerIP outside ServerItem (nothing usable for the client)
  wrongattr     ServerIP whose first attribute is not "server"
  twoservers    two ServerIP elements, the first one is the scripted answer
  badports      adds ports 0 and 70000 and types "TCP" and "sctp" around the scripted ones
  big=N         the answer padded to exactly N bytes (default 4096)
  longhost=N    a host name of N characters (default 300)
  empty         a well-formed document without ServerItem
  keepopen      TCP: answer but keep the connection open for 20 s
  delay=S       answer normally after S seconds
Examples: "--fault p1:silent" (rotation to the next port), "--fault udp:silent*1" (the first UDP
datagram is lost, the client's re-send is answered), "--fault 8888:malformed".

Each request is logged to stderr and, with --log FILE, as one JSON line: transport, port index,
UUID, LocalIP, ClientVersion, Account, ServiceKey, the fault applied, the raw text.
"""
import argparse
import os
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr, escape

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "svccommon"))
import svccommon  # noqa: E402

NAME = "bootserver"
MODES = {"ok", "silent", "refuse", "close", "malformed", "truncated", "split", "wrongroot", "wrongattr",
         "twoservers", "badports", "big", "longhost", "empty", "keepopen", "delay"}
DEFAULT_SERVICES = ["8890=127.0.0.1:7100/tcp", "8888=127.0.0.1:5080/udp", "8886=127.0.0.1:9999/udp"]
UDP_MAX = 65507


def log(*args):
    svccommon.log(NAME, *args)


def parse_service(text):
    key, sep, value = text.partition("=")
    host, sep2, ports = value.rpartition(":")
    if not sep or not sep2 or not host:
        raise ValueError("bad --service %r (want KEY[/ACCOUNT]=HOST:PORT/TYPE[,...])" % text)
    entries = []
    for p in ports.split(","):
        port, _, kind = p.partition("/")
        entries.append((int(port), kind or "udp"))
    return key, (host, entries)


def parse_request(data):
    """Returns a dict of the request's fields; raises ValueError when it is not the expected shape."""
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        raise ValueError("not XML: %s" % e)
    if root.tag != "root":
        raise ValueError("root element is %r" % root.tag)
    item = root.find("Service/ServiceItem")
    fields = {}
    for name in ("UUID", "LocalIP", "ClientVersion"):
        el = root.find(name)
        if el is None:
            raise ValueError("no %s" % name)
        fields[name] = el.text or ""
    if item is None:
        raise ValueError("no Service/ServiceItem")
    for name in ("Account", "ServiceKey"):
        el = item.find(name)
        if el is None:
            raise ValueError("no ServiceItem/%s" % name)
        fields[name] = el.text or ""
    return fields


class Server:
    def __init__(self, args):
        self.args = args
        self.services = dict(parse_service(s) for s in (DEFAULT_SERVICES + args.service))
        self.rules = svccommon.Rules(args.fault, args.control, MODES)
        self.json = svccommon.JsonLog(args.log)
        self.ports = []     # [(number, udp socket, tcp socket, listening)]
        wanted = [p for p in args.port if p] or []
        zeros = len([p for p in args.port if not p])
        if not wanted:
            zeros = max(1, args.count)
        refused_at_start = {r.what for r in self.rules.rules if r.mode == "refuse" and not r.limited}
        for n in wanted:
            self.ports.append(self.bind_pair(n))
        for _ in range(zeros if not wanted else 0):
            self.ports.append(self.bind_free_pair())
        for i, (n, udp, tcp) in enumerate(self.ports):
            listening = not ({"p%d" % (i + 1), "tcp", "*"} & refused_at_start)
            if listening:
                tcp.listen(16)
            self.ports[i] = (n, udp, tcp, listening)

    @staticmethod
    def bind_pair(number):
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        tcp.bind(("127.0.0.1", number))
        n = tcp.getsockname()[1]
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            udp.bind(("127.0.0.1", n))
        except OSError:
            tcp.close()
            udp.close()
            raise
        return n, udp, tcp

    def bind_free_pair(self):
        for _ in range(100):
            try:
                return self.bind_pair(0)
            except OSError:
                continue
        raise OSError("no port number free for both UDP and TCP")

    # -- answers ---------------------------------------------------------------------------------
    def answer_for(self, req):
        key, account = req["ServiceKey"], req["Account"]
        return self.services.get("%s/%s" % (key, account)) or self.services.get(key)

    def build_answer(self, req, rule):
        mode = rule.mode if rule else "ok"
        target = self.answer_for(req)
        head = '<?xml version="1.0" encoding="UTF-8"?>\n'
        if target is None or mode == "empty":
            return (head + "<root><Result>no such service</Result></root>").encode()
        host, ports = target
        if mode == "longhost":
            n = int(rule.arg or 300)
            host = ("h" * n)[:n]
        entries = list(ports)
        if mode == "badports":
            entries = [(0, "udp"), (70000, "tcp")] + [(p, t.upper()) for p, t in entries] + [(ports[0][0], "sctp")]
        port_xml = "".join('<ServerPort port="%d" type=%s/>' % (p, quoteattr(t)) for p, t in entries)
        server = "<ServerIP server=%s>%s</ServerIP>" % (quoteattr(host), port_xml)
        if mode == "wrongattr":
            server = "<ServerIP name=\"x\" server=%s>%s</ServerIP>" % (quoteattr(host), port_xml)
        if mode == "twoservers":
            server += '<ServerIP server="192.0.2.1"><ServerPort port="1" type="tcp"/></ServerIP>'
        item = "<Account>%s</Account><ServiceKey>%s</ServiceKey>%s" % (
            escape(req["Account"]), escape(req["ServiceKey"]), server)
        body = "<root><Service><ServerItem>%s</ServerItem></Service></root>" % item
        if mode == "wrongroot":
            body = "<root><Service><Item>%s</Item></Service></root>" % item
        data = (head + body).encode("utf-8")
        if mode == "malformed":
            data = (head + "<root><Service><ServerItem><ServerIP server=\"127.0.0.1\"><ServerPort port=\"7\" "
                    "type=\"tcp\"></ServerIP></Service></root>").encode()
        elif mode == "truncated":
            data = data[:len(data) // 2]
        elif mode == "big":
            data = svccommon.pad_to(data, int(rule.arg or 4096))
        return data

    def request(self, data, transport, index, peer):
        """Parses and logs one request; returns (request fields or None, rule or None)."""
        keys = ["p%d" % (index + 1), transport]
        entry = {"transport": transport, "port": index + 1, "from": "%s:%d" % peer,
                 "raw": data.decode("utf-8", "replace")}
        try:
            req = parse_request(data)
        except ValueError as e:
            entry["error"] = str(e)
            log("bad request on", transport, "p%d" % (index + 1), e)
            self.json.write(entry)
            return None, None
        entry.update(req)
        rule = self.rules.take(NAME, keys + [req["ServiceKey"], req["Account"]])
        entry["fault"] = rule.text if rule else ""
        log("%s p%d UUID=%r LocalIP=%s Account=%r ServiceKey=%s%s" % (
            transport, index + 1, req["UUID"], req["LocalIP"], req["Account"], req["ServiceKey"],
            (" fault " + rule.text) if rule else ""))
        self.json.write(entry)
        return req, rule

    # -- UDP -------------------------------------------------------------------------------------
    def udp_loop(self, index, sock):
        while True:
            try:
                data, peer = sock.recvfrom(65535)
            except OSError:
                return
            threading.Thread(target=self.udp_one, args=(index, sock, data, peer), daemon=True).start()

    def udp_one(self, index, sock, data, peer):
        req, rule = self.request(data, "udp", index, peer)
        if req is None:
            return
        mode = rule.mode if rule else "ok"
        if mode in ("silent", "refuse"):
            return
        if mode == "delay":
            time.sleep(float(rule.arg or 1))
        answer = b"" if mode == "close" else self.build_answer(req, rule)
        try:
            sock.sendto(answer[:UDP_MAX], peer)
        except OSError as e:
            log("udp send failed", e)

    # -- TCP -------------------------------------------------------------------------------------
    def tcp_loop(self, index, sock):
        while True:
            try:
                conn, peer = sock.accept()
            except OSError:
                return
            threading.Thread(target=self.tcp_one, args=(index, conn, peer), daemon=True).start()

    def tcp_one(self, index, conn, peer):
        pre = self.rules.take(NAME, ["p%d" % (index + 1), "tcp"], only="refuse")
        if pre:
            log("tcp p%d connection reset (refuse)" % (index + 1))
            svccommon.reset_close(conn)
            return
        data, err = svccommon.read_document(conn, timeout=self.args.read_timeout)
        if err:
            log("tcp p%d request not read: %s" % (index + 1, err))
            if not data:
                conn.close()
                return
        req, rule = self.request(data, "tcp", index, peer)
        if req is None:
            conn.close()
            return
        mode = rule.mode if rule else "ok"
        if mode in ("silent", "refuse"):
            if mode == "refuse":
                svccommon.reset_close(conn)
                return
            svccommon.hold_open(conn, self.args.hold)
            conn.close()
            return
        if mode == "delay":
            time.sleep(float(rule.arg or 1))
        if mode != "close":
            segment = int(rule.arg or 5) if mode == "split" else 0
            svccommon.send_reply(conn, self.build_answer(req, rule), segment)
        if mode == "keepopen":
            svccommon.hold_open(conn, 20)
        conn.close()

    def run(self):
        for i, (n, udp, tcp, listening) in enumerate(self.ports):
            threading.Thread(target=self.udp_loop, args=(i, udp), daemon=True).start()
            if listening:
                threading.Thread(target=self.tcp_loop, args=(i, tcp), daemon=True).start()
            else:
                log("p%d tcp bound but not listening: connections are refused" % (i + 1))
        log("listening on", " ".join("p%d=%d" % (i + 1, p[0]) for i, p in enumerate(self.ports)))
        svccommon.announce([p[0] for p in self.ports], self.args.ports_file)
        while True:
            time.sleep(3600)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, action="append", default=[],
                    help="port number for UDP and TCP (repeatable); 0 takes --count free numbers")
    ap.add_argument("--count", type=int, default=3, help="how many free ports --port 0 takes")
    ap.add_argument("--service", action="append", default=[], help="KEY[/ACCOUNT]=HOST:PORT/TYPE[,PORT/TYPE]")
    ap.add_argument("--fault", action="append", default=[], help="WHAT:MODE[=ARG][*COUNT]")
    ap.add_argument("--control", help="file of fault rules, re-read when it changes")
    ap.add_argument("--log", help="append one JSON line per request to this file")
    ap.add_argument("--ports-file", help="write the 'PORT ...' line here once listening")
    ap.add_argument("--hold", type=float, default=60.0, help="seconds a silent TCP connection is held")
    ap.add_argument("--read-timeout", type=float, default=15.0, help="seconds to wait for a whole request")
    args = ap.parse_args()
    try:
        server = Server(args)
    except (ValueError, OSError) as e:
        print("bootserver: %s" % e, file=sys.stderr)
        sys.exit(2)
    try:
        server.run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
