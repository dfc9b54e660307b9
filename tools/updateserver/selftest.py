#!/usr/bin/env python3
# Self-test of the update test server: each variant as a plain HTTP client sees it.
import http.client
import json
import os
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "svccommon"))
import svccommon  # noqa: E402


def get(port, path="/version_cn.xml"):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    c.request("GET", path, headers={"User-Agent": "Brindle Update"})
    r = c.getresponse()
    return r.status, r.getheader("Location"), r.read()


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)


def version(body):
    root = ET.fromstring(body)
    return (tuple(int(root.findtext(k)) for k in ("MajorVersion", "MinorVersion", "BuildNumber")),
            root.findtext("DownloadZip"), root.findtext("EnforceUpdate"))


def main():
    tmp = tempfile.mkdtemp(prefix="updateserver_test")
    logf, control = os.path.join(tmp, "log.jsonl"), os.path.join(tmp, "control")
    with svccommon.Started(os.path.join(HERE, "updateserver.py"), "--log", logf, "--control", control) as srv:
        def variant(rule):
            with open(control + ".tmp", "w") as f:
                f.write(rule + "\n")
            os.replace(control + ".tmp", control)
            return get(srv.port)

        status, _, body = get(srv.port)
        check(status == 200 and version(body)[0] == (0, 9, 7) and version(body)[1], "newer by default")
        check(version(variant("*:same")[2])[0] == (0, 9, 6), "same")
        check(version(variant("*:enforced")[2])[2] == "1", "enforced")
        check(version(variant("*:version=1.2.3")[2])[0] == (1, 2, 3), "version=")
        check(version(variant("*:nozip")[2])[1] is None, "nozip")
        for mode in ("malformed", "brokentail"):
            try:
                ET.fromstring(variant("*:" + mode)[2])
                ok = False
            except ET.ParseError:
                ok = True
            check(ok, mode)
        check(variant("*:status=500")[0] == 500, "status")
        status, where, _ = variant("*:redirect")
        check(status == 302 and where and get(srv.port, where.split(str(srv.port), 1)[1])[0] == 200, "redirect")
        body = variant("*:straddle")[2]
        check(body[4095:4097] == b"17" and version(body)[0] == (0, 9, 17), "straddle")
        check(version(variant("*:split=50")[2])[0] == (0, 9, 7), "split")
        check(version(variant("*:nolength")[2])[0] == (0, 9, 7), "nolength")
        try:
            variant("*:drop")
            dropped = False
        except http.client.IncompleteRead:
            dropped = True
        check(dropped, "drop")
    lines = [json.loads(x) for x in open(logf, encoding="utf-8")]
    check(len(lines) >= 12 and lines[0]["agent"] == "Brindle Update", "requests logged")


if __name__ == "__main__":
    main()
