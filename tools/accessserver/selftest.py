#!/usr/bin/env python3
# Self-test of the access test server: a small client walks the digest chain, the commands and the faults.
import hashlib
import json
import os
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "svccommon"))
import svccommon  # noqa: E402

SERVER = os.path.join(HERE, "accessserver.py")


class Client:
    """Independent of the program's client: the chain as the protocol describes it."""

    def __init__(self, port, uid, password):
        self.port, self.uid, self.password = port, uid, password.encode("gb18030")
        self.trid, self.chg = 0, None

    def build(self, cmd, children=()):
        root = ET.Element(cmd, Trid=str(self.trid))
        self.trid += 1
        ET.SubElement(root, "UID").text = self.uid
        pwd = hashlib.md5(self.password + (self.chg.encode() if self.chg else b"")).hexdigest()
        if self.chg:
            self.chg = pwd
        ET.SubElement(root, "PWD").text = pwd
        for tag, text, attrs in children:
            el = ET.SubElement(root, tag, attrs)
            if text:
                el.text = text
        return root.get("Trid"), b'<?xml version="1.0" encoding="UTF-8"?>' + ET.tostring(root)

    def once(self, cmd, children=()):
        trid, data = self.build(cmd, children)
        raw = svccommon.tcp_exchange(self.port, data)
        reply = ET.fromstring(raw)
        assert reply.tag == cmd, (cmd, raw)
        assert reply.get("Trid") in (None, trid), (trid, raw)
        return int(reply.get("Rcd", "0")), reply, raw

    def call(self, cmd, *children):
        """Sends a command; follows one renewal like the client does. Returns (code, reply element)."""
        for attempt in range(2):
            code, reply, _ = self.once(cmd, children)
            if code != 101:
                return code, reply
            chg = reply.findtext("CHG") or ""
            assert len(chg) == 32, reply
            self.chg = chg
            if cmd == "LGN":
                return 0, reply
        return -100, reply


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)


def check_seed(path):
    """The seed must make sense to the program: accounts that kamailio and the messaging server
    accept, buddies in groups that exist, group parents that exist, rooms of known users."""
    db = json.load(open(path, encoding="utf-8"))
    users = db["users"]
    ids = [u["msgid"] for u in users.values()]
    for name, u in users.items():
        kinds = {key: (acct, pwd) for key, acct, pwd in u["services"]}
        check(kinds.get(8888) == (name, "secret") and kinds.get(8886) == (name, "secret"),
              "%s has SIP and messaging accounts with the run's password" % name)
        gids = {"0"} | {g[0] for g in u["groups"]}
        check(all(g[2] in gids for g in u["groups"]), "%s's groups hang under groups" % name)
        check(all(b["uid"] in users and b["gid"] in gids for b in u["buddies"]), "%s's buddies are users in groups" % name)
        check(any(p[0] == u["pfid"] for p in u["profiles"]), "%s's profile is listed" % name)
    check(len(set(ids)) == len(ids), "messaging ids are unique")
    check(all(q["founder"] in users and set(q["members"]) <= set(users) for q in db["queues"]), "rooms of known users")


def main():
    check_seed(os.path.join(HERE, "userdb.json"))
    tmp = tempfile.mkdtemp(prefix="accessserver_test")
    logf, control = os.path.join(tmp, "log.jsonl"), os.path.join(tmp, "control")
    with svccommon.Started(SERVER, "--log", logf, "--control", control) as srv:
        bad = Client(srv.port, "alice", "wrong")
        check(bad.call("LGN")[0] == 300, "wrong password gives 300")
        check(Client(srv.port, "nobody", "x").call("LGN")[0] == 301, "unknown user gives 301")

        for junk in (b"\x00\xff<<", b"<LGN><UID>alice</UID></LGN>", b"<LGN Trid='x'/>"):
            try:
                svccommon.tcp_exchange(srv.port, junk, timeout=1)
            except OSError:
                pass
        check(Client(srv.port, "bob", "bob123").call("LGN")[0] == 0, "still serving after junk")

        c = Client(srv.port, "alice", "alice123")
        check(c.call("LGN")[0] == 0 and c.chg, "LGN answered 101 with a challenge")
        code, syn = c.call("SYN")
        check(code == 0, "SYN over the chain")
        check([s.findtext("SRVACCT") for s in syn.findall("SRV")] == ["alice", "alice"], "SYN services")
        check("开发组" in [g.findtext("GNAME") for g in syn.findall("LSG")], "SYN groups in UTF-8")
        check(len(syn.findall("LST")) == 4 and len(syn.findall("LSQ")) == 2 and syn.findtext("PFID") == "pf-alice",
              "SYN buddies, chat rooms and profile")
        code, add = c.call("ADG", ("GNAME", "新组", {}), ("PGID", "0", {}))
        check(code == 0 and add.findtext("GID"), "ADG returns the new group id")
        check(c.call("ADD", ("BUID", "alice", {}))[0] == 207, "ADD of oneself gives 207")
        check(c.call("ADD", ("BUID", "bob", {}))[0] == 201, "ADD of a buddy gives 201")
        check(c.call("REM", ("BUID", "bob", {}))[0] == 1, "a missing child gives 1")
        check(c.call("REM", ("GID", "g-friends", {}), ("BUID", "bob", {}))[0] == 1, "children out of order give 1")
        check(c.call("SYQ", ("QID", "q-dev", {}), ("SQID", "sq-dev", {}))[1].find("LST/SRV/FCID") is not None,
              "SYQ members with services")
        check(c.call("JNQ", ("SQID", "sq-family", {}), ("QID", "q-family", {}), ("PFID", "pf-alice", {}))[0] == 403,
              "JNQ without the room password gives 403")
        check(c.call("SUD", ("SRVID", "8888", {}), ("SRVACCT", "alice", {}))[1].find(".//UDOU") is not None, "SUD")
        c.chg = "0" * 32
        check(c.call("GCR")[0] == 0, "a digest out of step is renewed and the re-send accepted")

        def faulty(rule, cmd="SYN"):
            with open(control + ".tmp", "w") as f:
                f.write(rule + "\n")
            os.replace(control + ".tmp", control)
            trid, data = c.build(cmd)
            try:
                return trid, svccommon.tcp_exchange(srv.port, data)
            finally:
                os.remove(control)

        trid, raw = faulty("SYN:wrongtrid")
        check(ET.fromstring(raw).get("Trid") != trid, "wrongtrid")
        check(ET.fromstring(faulty("SYN:wrongroot")[1]).tag == "syn", "wrongroot")
        for mode in ("malformed", "truncated"):
            raw = faulty("SYN:" + mode)[1]
            try:
                ET.fromstring(raw)
                ok = False
            except ET.ParseError:
                ok = raw.startswith(b'<?xml version="1.0" encoding="UTF-8"?><SYN ')
            check(ok, mode + " keeps a valid start tag")
        check(faulty("SYN:close")[1] == b"", "close")
        check(len(faulty("GCR:big=4096", "GCR")[1]) == 4096, "a 4096-byte answer")
        check(b"<CHG>" not in faulty("SYN:nochg")[1], "nochg")
        check(len(ET.fromstring(faulty("SYN:empty")[1])) == 0, "empty")
        check(len(ET.fromstring(faulty("SYN:long=5000")[1]).findtext("SRV/SRVACCT")) == 5000, "long texts")
        check(ET.fromstring(faulty("SYN:split=40")[1]).get("Rcd") == "0", "split reply joins up")
        with open(control, "w") as f:
            f.write("ADG:renew*1\n")
        code, reply = c.call("ADG", ("GNAME", "Once", {}), ("PGID", "0", {}))
        gid = reply.findtext("GID")
        os.remove(control)
        groups = [g.findtext("GID") for g in c.call("SYN")[1].findall("LSG")]
        check(code == 0 and groups.count(gid) == 1 and len(groups) == 5, "a renewed command is carried out once")
        with open(control, "w") as f:
            f.write("SYN:renew*2\n")
        check(c.call("SYN")[0] == -100, "101 twice ends the command")
        os.remove(control)
        check(c.call("SYN")[0] == 0, "the chain recovers after the faults")
        check(c.call("LGT")[0] == 0, "LGT")
    entries = [json.loads(line) for line in open(logf, encoding="utf-8")]
    check(any(e.get("cmd") == "ADG" and e["children"][0][1] == "新组" for e in entries), "requests logged")
    with svccommon.Started(SERVER, "--fault", "*:refuse") as srv:
        try:
            svccommon.tcp_exchange(srv.port, b"<LGN/>")
            refused = False
        except ConnectionRefusedError:
            refused = True
        check(refused, "refuse from the start refuses connections")


if __name__ == "__main__":
    main()
