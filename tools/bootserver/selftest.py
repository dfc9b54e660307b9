#!/usr/bin/env python3
# Self-test of the bootstrap test server: requests over UDP and TCP, the answers and the faults.
import json
import os
import socket
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "svccommon"))
import svccommon  # noqa: E402


def request(key, account=""):
    return ('<?xml version="1.0" encoding="UTF-8"?><root><UUID>alice</UUID><LocalIP>127.0.0.1</LocalIP>'
            "<ClientVersion>0.2</ClientVersion><Service><ServiceItem><Account>%s</Account>"
            "<ServiceKey>%s</ServiceKey></ServiceItem></Service></root>" % (account, key)).encode()


def udp(port, data, timeout=0.5):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(data, ("127.0.0.1", port))
        try:
            return s.recvfrom(65535)[0]
        except socket.timeout:
            return None


def answer(data):
    """(host, [(port, type)]) of the first ServerItem/ServerIP, the way the protocol reads it."""
    root = ET.fromstring(data)
    for item in root.iter("ServerItem"):
        ip = item.find("ServerIP")
        if ip is not None:
            first = next(iter(ip.attrib), None)
            if first != "server":
                return None, []
            return ip.get("server"), [(int(p.get("port")), p.get("type")) for p in ip.iter("ServerPort")]
    return None, []


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)


def main():
    tmp = tempfile.mkdtemp(prefix="bootserver_test")
    logf, control, ports = (os.path.join(tmp, n) for n in ("log.jsonl", "control", "ports"))
    args = ["--log", logf, "--control", control, "--ports-file", ports, "--fault", "p1:refuse",
            "--service", "8886/bob=10.0.0.9:9000/udp,9001/tcp"]
    with svccommon.Started(os.path.join(HERE, "bootserver.py"), *args) as srv:
        check(len(srv.ports) == 3 and open(ports).read().split()[1:] == [str(p) for p in srv.ports],
              "three ports announced and written")
        p1, p2, p3 = srv.ports
        try:
            svccommon.tcp_exchange(p1, request(8890))
            refused = False
        except ConnectionRefusedError:
            refused = True
        check(refused, "a refused port refuses TCP")
        check(udp(p1, request(8890)) is None, "and ignores UDP")
        for junk in (b"\x00\xff<<", b"<root/>", b"<other><UUID/></other>"):
            udp(p2, junk, timeout=0.05)
            try:
                svccommon.tcp_exchange(p2, junk, timeout=0.5)
            except OSError:
                pass
        check(answer(svccommon.tcp_exchange(p2, request(8890))) == ("127.0.0.1", [(7100, "tcp")]), "profile over TCP")
        check(answer(udp(p3, request(8888, "alice"))) == ("127.0.0.1", [(5080, "udp")]), "SIP over UDP")
        check(answer(udp(p2, request(8886, "bob")))[1] == [(9000, "udp"), (9001, "tcp")], "per-account answer")

        def rule(text):
            with open(control + ".tmp", "w") as f:
                f.write(text + "\n")
            os.replace(control + ".tmp", control)

        rule("udp:silent*1")
        check(udp(p2, request(8890)) is None and udp(p2, request(8890)) is not None, "first datagram lost")
        rule("*:big")
        check(len(svccommon.tcp_exchange(p2, request(8890))) == 4096, "a 4096-byte answer")
        rule("*:wrongattr")
        check(answer(udp(p2, request(8890))) == (None, []), "wrongattr")
        rule("*:wrongroot")
        check(answer(udp(p2, request(8890))) == (None, []), "wrongroot")
        rule("*:twoservers")
        check(answer(udp(p2, request(8890)))[0] == "127.0.0.1", "twoservers: the first counts")
        rule("*:badports")
        check(len(answer(udp(p2, request(8890)))[1]) == 4, "badports")
        rule("*:split=4")
        check(answer(svccommon.tcp_exchange(p2, request(8890)))[0] == "127.0.0.1", "split answer joins up")
        for mode in ("malformed", "truncated"):
            rule("*:" + mode)
            try:
                ET.fromstring(svccommon.tcp_exchange(p2, request(8890)))
                ok = False
            except ET.ParseError:
                ok = True
            check(ok, mode)
        rule("*:close")
        check(svccommon.tcp_exchange(p2, request(8890)) == b"", "close")
        os.remove(control)
        check(answer(svccommon.tcp_exchange(p3, request(8890)))[0] == "127.0.0.1", "rules gone with the file")
    lines = [json.loads(x) for x in open(logf, encoding="utf-8")]
    check(any(e.get("ServiceKey") == "8886" and e.get("Account") == "bob" for e in lines), "requests logged")


if __name__ == "__main__":
    main()
