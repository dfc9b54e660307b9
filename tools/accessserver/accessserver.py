#!/usr/bin/env python3
# Access (profile) test server on loopback: one XML request per TCP connection, the password-digest chain, 29 commands.
"""Access test server.

Written from the protocol description alone (it shares no code with the client), so a misreading on
one side cannot hide in the other.

  accessserver.py --port 0 [--db FILE] [--fault RULE]... [--control FILE] [--log FILE] [--ports-file FILE]

The first stdout line is "PORT n" (--ports-file gets the same line through a rename once listening).
Nothing else goes to stdout; the server logs to stderr.

Exchange: the client connects, sends one UTF-8 XML document (no length, no half-close: the end of its
top element ends the request) and reads until the server closes. Request:
  <CMD Trid="n"><UID>user</UID><PWD>32 lower-case hex</PWD>...command children...</CMD>
Reply: <CMD Trid="n" Rcd="code">...</CMD>, then close.

Password digest chain, per user, over the password's bytes in code page 936 (GB18030 for what GBK
lacks), as the client holds its texts: LGN carries md5hex(password) and is answered Rcd="101" with a fresh
32-character <CHG>; every later request carries md5hex(password + C) where C is the current challenge,
and C becomes that digest. A digest out of step (or no log-in yet) is answered Rcd="101" with a new
<CHG>; the client builds the request once more over it. LGT ends the chain.

Result codes: 0 success; 1 request not understood (children missing, out of order, or unknown command:
the log line says which); 300 wrong password; 301 no such user; ADD 200 no such user, 201 already a
buddy, 207 adding oneself; REM/REB/BLK/UBLK/MVB 206 no such buddy; group commands 202 no such group;
JNQ/QTQ 401 no such chat room, 402 not a member, 403 not allowed (wrong room password, founder quits).

Users (--db, default userdb.json beside this file; changes made by commands live until the server
ends): profile log-ins alice/alice123, bob/bob123, zhangwei/zhangwei123 (张伟), lina/lina123 (李娜),
carol/carol123. Each has a SIP account (SRVID 8888) and a messaging account (SRVID 8886) named like
the user with password "secret" (kamailio of tools/run.sh takes any user with "secret"; the
messaging server needs "--user 1001:alice:secret:Alice --user 1002:bob:secret:Bob
--user 1003:zhangwei:secret:张伟 --user 1004:lina:secret:李娜 --user 1005:carol:secret:Carol").
Alice has groups 朋友, 同事 and its sub-group 开发组, buddies bob, carol (blocked), zhangwei and lina,
the cards 家人 and Dentist, two profiles, and sits in the chat rooms 开发讨论 (her own) and Lunch club;
家庭 is a room with password 1234.

Fault rules (--fault, repeatable, or the lines of --control FILE, which replace the command line's
rules whenever the file changes): WHAT:MODE[=ARG][*COUNT]. WHAT is "*", a command name (SYN) or a
user id; COUNT limits the rule to its first COUNT matching requests. The digest chain is kept in step
before a fault is applied, as a real server that answered badly would.
  ok            answer normally (to let a limited rule pass later requests)
  silent        read the request, answer nothing, hold the connection until the client closes
  refuse        reset the connection at once (from the command line with WHAT "*": the port is
                bound but not listening, so connecting is refused)
  close         read the request and close without an answer
  malformed     a reply that is not well-formed XML
  truncated     the reply cut after its start tag and part of its body, then closed
  split=N       the reply in TCP segments of N bytes (default 7)
  wrongroot     the reply's top element in lower case ("syn")
  wrongtrid     the reply's Trid is not the request's
  notrid        the reply carries no Trid
  norcd         the reply carries no Rcd
  renew         Rcd 101 with a fresh valid CHG ("SYN:renew*2" is 101 twice: the client gives up)
  nochg         Rcd 101 without CHG
  badchg        Rcd 101 with a CHG of 31 characters
  code=N        Rcd N and no body
  empty         Rcd 0 and no body (a SYN with nothing in it; ADG, ADL, SUD without their one element)
  big=N         the reply padded to exactly N bytes (default 4096)
  long=N        every text and attribute value of the reply's body stretched to N characters
                (default 1000; numbers stay numbers), for the client's bounds on fixed-size fields
  delay=S       answer normally after S seconds
  drip=S        the reply one byte every S seconds (default 1), then a space every S seconds: it never
                ends, until the client closes
  endless       the reply's start tag, then elements without end, as fast as the client reads, until
                the client closes

Each request is logged to stderr and, with --log FILE, as one JSON line: cmd, trid, uid, pwd, auth
("login", "chain", "renew", "badpwd", "nouser"), children (tag, text, attributes, children), the
reply code, the fault applied and the raw request text.
"""
import argparse
import hashlib
import json
import os
import re
import secrets
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "svccommon"))
import svccommon  # noqa: E402

NAME = "accessserver"
MODES = {"ok", "silent", "refuse", "close", "malformed", "truncated", "split", "wrongroot", "wrongtrid",
         "notrid", "norcd", "renew", "nochg", "badchg", "code", "big", "long", "empty", "delay", "drip",
         "endless"}

# Children after UID and PWD, in order; "?" optional, "*" repeated (0 or more).
REQUEST = {
    "LGN": [], "LGT": [], "SYN": [], "SYQ": ["QID", "SQID"], "SQI": ["QNAME"], "SQN": ["QDNAME"],
    "JNQ": ["SQID", "QID", "PFID", "QPWD?"], "QTQ": ["QID", "SQID"], "SYJQ": [], "REA": ["DNAME"],
    "ADD": ["BUID"], "REM": ["BUID", "GID"], "REB": ["BUID", "NNAME"], "BLK": ["BUID"], "UBLK": ["BUID"],
    "MVB": ["BUID", "GID", "SRCGID"], "ADG": ["GNAME", "PGID"], "RMG": ["GID"], "MVG": ["GID", "PGID"],
    "RNG": ["GID", "GNAME"], "ADL": ["LNAME", "CTI*"], "RML": ["LID"], "UDL": ["LID", "LNAME", "CTI*"],
    "SRB": ["BUID"], "SRUL": ["DNAME"], "GCR": [], "SND": ["SRC", "DEST*", "MSG"], "SUD": ["SRVID", "SRVACCT"],
    "REL": ["LOGO"],
}
SIP_KEY, MSG_KEY = 8888, 8886


def log(*args):
    svccommon.log(NAME, *args)


def md5hex(data):
    return hashlib.md5(data).hexdigest()


def new_challenge():
    return secrets.token_hex(16)


def match_children(children, spec):
    """Checks the request's children (after UID and PWD) against the spec; returns an error text or None."""
    i = 0
    for item in spec:
        name, flag = item.rstrip("?*"), item[-1] if item[-1] in "?*" else ""
        if flag == "*":
            while i < len(children) and children[i].tag == name:
                i += 1
        elif i < len(children) and children[i].tag == name:
            i += 1
        elif flag != "?":
            return "missing %s" % name
    if i < len(children):
        return "unexpected %s" % children[i].tag
    return None


def to_json(el):
    return [el.tag, el.text or "", dict(el.attrib), [to_json(c) for c in el]]


def sub(parent, tag, text=None, **attrs):
    el = ET.SubElement(parent, tag, {k: str(v) for k, v in attrs.items()})
    if text is not None:
        el.text = str(text)
    return el


def stretch(el, n):
    """Repeats every non-numeric text and attribute value below el up to n characters."""
    def longer(text):
        return (text * (n // len(text) + 1))[:n] if text and not text.isdigit() else text
    for e in el.iter():
        e.text = longer(e.text)
        for k in e.attrib:
            e.attrib[k] = longer(e.attrib[k])


class Reply(Exception):
    """Ends a command with a result code."""

    def __init__(self, code, why=""):
        super().__init__(why)
        self.code, self.why = code, why


class Database:
    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            raw = json.load(f)
        self.users = raw["users"]
        self.queues = {q["qid"]: q for q in raw.get("queues", [])}
        self.next_id = 1
        for u in self.users.values():
            for b in u["buddies"]:
                b.setdefault("nname", "")
                b.setdefault("blocked", False)

    def fresh(self, prefix):
        self.next_id += 1
        return "%s-%d" % (prefix, self.next_id)

    def user(self, uid):
        u = self.users.get(uid)
        if u is None:
            raise Reply(200, "no user %s" % uid)
        return u


class Server:
    def __init__(self, args):
        self.args = args
        self.db = Database(args.db)
        self.rules = svccommon.Rules(args.fault, args.control, MODES)
        self.json = svccommon.JsonLog(args.log)
        self.lock = threading.Lock()
        self.chain = {}     # uid -> current challenge (absent: not logged in)
        self.sms = []       # accepted SMS: (uid, numbers, text)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", args.port))
        self.port = self.sock.getsockname()[1]
        self.refusing = any(r.what == "*" and r.mode == "refuse" and not r.limited for r in self.rules.rules)
        if not self.refusing:
            self.sock.listen(16)

    # -- authentication -----------------------------------------------------------------------------
    def authenticate(self, cmd, uid, pwd):
        """Returns (auth outcome, challenge to hand out or None). Keeps the per-user chain."""
        user = self.db.users.get(uid)
        if user is None:
            return "nouser", None
        secret = user["password"].encode("gb18030")
        held = self.chain.get(uid)
        if cmd == "LGN":
            if pwd == md5hex(secret) or (held and pwd == md5hex(secret + held.encode())):
                chg = new_challenge()
                self.chain[uid] = chg
                return "login", chg
            self.chain.pop(uid, None)
            return "badpwd", None
        if held and pwd == md5hex(secret + held.encode()):
            self.chain[uid] = pwd
            return "chain", None
        chg = new_challenge()
        self.chain[uid] = chg
        return "renew", chg

    # -- commands -------------------------------------------------------------------------------------
    def buddy_element(self, parent, tag, me, b, id_tag):
        other = self.db.users.get(b["uid"], {})
        el = sub(parent, tag) if tag else parent
        sub(el, id_tag, b["uid"])
        sub(el, "NNAME", b.get("nname", ""))
        sub(el, "DNAME", other.get("dname", b["uid"]))
        sub(el, "LOGO", other.get("logo", ""))
        sub(el, "GID", b["gid"])
        sub(el, "LSTTYPE", 1 if b.get("blocked") else 0)
        for key, acct, _ in other.get("services", []):
            s = sub(el, "SRV")
            sub(s, "SRVID", key)
            sub(s, "SRVACCT", acct)
        for kind, value in other.get("cti", []):
            sub(el, "CTI", CTIType=kind, CTIValue=value)
        return el

    def queue_entry(self, parent, q, uid):
        e = sub(parent, "LSQ")
        sub(e, "QID", q["qid"])
        sub(e, "QDNAME", q["dname"])
        sub(e, "QNAME", q["name"])
        sub(e, "ISCREATOR", 1 if q["founder"] == uid else 0)
        sub(e, "CTYPE", q["type"])
        sub(e, "MNUM", len(q["members"]))

    @staticmethod
    def queue_fields(parent, q):
        sub(parent, "QID", q["qid"])
        sub(parent, "SQID", q["sqid"])
        sub(parent, "DES", q["des"])
        sub(parent, "QNAME", q["name"])
        sub(parent, "QDNAME", q["dname"])
        sub(parent, "FNAME", q["founder"])
        sub(parent, "CTYPE", q["type"])
        sub(parent, "MNUM", len(q["members"]))

    def find_buddy(self, me, buid):
        for b in me["buddies"]:
            if b["uid"] == buid:
                return b
        raise Reply(206, "no buddy %s" % buid)

    def group_ids(self, me):
        return {g[0] for g in me["groups"]}

    def need_group(self, me, gid):
        if gid not in self.group_ids(me):
            raise Reply(202, "no group %s" % gid)

    def queue(self, qid):
        q = self.db.queues.get(qid)
        if q is None:
            raise Reply(401, "no chat room %s" % qid)
        return q

    def run_command(self, cmd, uid, req, out):
        """Fills the reply element `out` for a request whose digest was accepted; raises Reply for a code."""
        me = self.db.users[uid]
        t = {c.tag: (c.text or "") for c in req}
        if cmd == "LGT":
            self.chain.pop(uid, None)
        elif cmd == "SYN":
            for key, acct, pwd in me["services"]:
                s = sub(out, "SRV")
                sub(s, "SRVID", key)
                sub(s, "SRVACCT", acct)
                sub(s, "SRVPWD", pwd)
            for gid, name, pgid in me["groups"]:
                g = sub(out, "LSG")
                sub(g, "GID", gid)
                sub(g, "GNAME", name)
                sub(g, "PGID", pgid)
            for lid, name, ctis in me["lists"]:
                el = sub(out, "LSL")
                sub(el, "LID", lid)
                sub(el, "LNAME", name)
                for kind, value in ctis:
                    sub(el, "CTI", CTIType=kind, CTIValue=value)
            for kind, value in me["cti"]:
                sub(out, "CTI", CTIType=kind, CTIValue=value)
            for b in me["buddies"]:
                self.buddy_element(out, "LST", me, b, "UID")
            for q in self.db.queues.values():
                if uid in q["members"]:
                    self.queue_entry(out, q, uid)
            sub(out, "DNAME", me["dname"])
            sub(out, "LOGO", me["logo"])
            sub(out, "PFID", me["pfid"])
            for pfid, name, logo in me["profiles"]:
                p = sub(out, "LSP")
                sub(p, "PFID", pfid)
                sub(p, "PFNAME", name)
                sub(p, "LOGO", logo)
        elif cmd == "SYQ":
            q = self.queue(t["QID"])
            e = sub(out, "LSQ")
            sub(e, "SQID", q["sqid"])
            sub(e, "QDNAME", q["dname"])
            sub(e, "QNAME", q["name"])
            sub(e, "CTYPE", q["type"])
            sub(e, "MNUM", len(q["members"]))
            for m in q["members"]:
                other = self.db.users.get(m, {})
                el = sub(out, "LST")
                sub(el, "UID", m)
                sub(el, "NNAME", other.get("dname", m))
                for i, (key, acct, _) in enumerate(other.get("services", [])):
                    s = sub(el, "SRV")
                    sub(s, "SRVID", key)
                    sub(s, "SRVACCT", acct)
                    sub(s, "FCID", other.get("msgid", 0) if key == MSG_KEY else 0)
        elif cmd == "SQI":
            for q in self.db.queues.values():
                if q["name"] == t["QNAME"]:
                    self.queue_fields(out, q)
                    break
        elif cmd == "SQN":
            found = [q for q in self.db.queues.values() if t["QDNAME"] in q["dname"] or t["QDNAME"] in q["name"]]
            sub(out, "SNTOL", len(found))
            sub(out, "SNCUR", len(found))
            for q in found:
                self.queue_fields(sub(out, "LSQ"), q)
        elif cmd == "JNQ":
            q = self.queue(t["QID"])
            if q["sqid"] != t["SQID"]:
                raise Reply(401, "no sub-room %s" % t["SQID"])
            if q["type"] == 1 and t.get("QPWD") != q["password"]:
                raise Reply(403, "wrong room password")
            if uid not in q["members"]:
                q["members"].append(uid)
        elif cmd == "QTQ":
            q = self.queue(t["QID"])
            if uid not in q["members"]:
                raise Reply(402, "not in %s" % q["qid"])
            if q["founder"] == uid:
                raise Reply(403, "the founder stays")
            q["members"].remove(uid)
        elif cmd == "SYJQ":
            for q in self.db.queues.values():
                if uid in q["members"]:
                    self.queue_entry(out, q, uid)
        elif cmd == "REA":
            me["dname"] = t["DNAME"]
        elif cmd == "ADD":
            buid = t["BUID"]
            if buid == uid:
                raise Reply(207, "adding oneself")
            if buid not in self.db.users:
                raise Reply(200, "no user %s" % buid)
            if any(b["uid"] == buid for b in me["buddies"]):
                raise Reply(201, "%s already a buddy" % buid)
            if not me["groups"]:
                me["groups"].append(["g-default", "Buddies", "0"])
            b = {"uid": buid, "gid": me["groups"][0][0], "nname": "", "blocked": False}
            me["buddies"].append(b)
            self.buddy_element(out, None, me, b, "BUID")
        elif cmd == "REM":
            b = self.find_buddy(me, t["BUID"])
            me["buddies"].remove(b)
        elif cmd == "REB":
            self.find_buddy(me, t["BUID"])["nname"] = t["NNAME"]
        elif cmd in ("BLK", "UBLK"):
            self.find_buddy(me, t["BUID"])["blocked"] = cmd == "BLK"
        elif cmd == "MVB":
            b = self.find_buddy(me, t["BUID"])
            self.need_group(me, t["GID"])
            if b["gid"] != t["SRCGID"]:
                raise Reply(202, "%s is not in %s" % (b["uid"], t["SRCGID"]))
            b["gid"] = t["GID"]
        elif cmd == "ADG":
            if t["PGID"] != "0":
                self.need_group(me, t["PGID"])
            gid = self.db.fresh("g")
            me["groups"].append([gid, t["GNAME"], t["PGID"]])
            sub(out, "GID", gid)
        elif cmd == "RMG":
            self.need_group(me, t["GID"])
            gone = {t["GID"]}
            while True:
                more = {g[0] for g in me["groups"] if g[2] in gone} - gone
                if not more:
                    break
                gone |= more
            me["groups"] = [g for g in me["groups"] if g[0] not in gone]
            me["buddies"] = [b for b in me["buddies"] if b["gid"] not in gone]
        elif cmd == "MVG":
            self.need_group(me, t["GID"])
            if t["PGID"] != "0":
                self.need_group(me, t["PGID"])
            for g in me["groups"]:
                if g[0] == t["GID"]:
                    g[2] = t["PGID"]
        elif cmd == "RNG":
            self.need_group(me, t["GID"])
            for g in me["groups"]:
                if g[0] == t["GID"]:
                    g[1] = t["GNAME"]
        elif cmd in ("ADL", "UDL"):
            ctis = [[int(c.get("CTIType", "0") or 0), c.get("CTIValue", "")] for c in req.findall("CTI")]
            if cmd == "ADL":
                lid = self.db.fresh("l")
                me["lists"].append([lid, t["LNAME"], ctis])
                sub(out, "LID", lid)
            else:
                for entry in me["lists"]:
                    if entry[0] == t["LID"]:
                        entry[1], entry[2] = t["LNAME"], ctis
                        break
                else:
                    raise Reply(202, "no list %s" % t["LID"])
        elif cmd == "RML":
            before = len(me["lists"])
            me["lists"] = [entry for entry in me["lists"] if entry[0] != t["LID"]]
            if len(me["lists"]) == before:
                raise Reply(202, "no list %s" % t["LID"])
        elif cmd == "SRB":
            other = self.db.users.get(t["BUID"])
            if other is not None:
                sub(out, "BUID", t["BUID"])
                sub(out, "DNAME", other["dname"])
        elif cmd == "SRUL":
            key = t["DNAME"].lower()
            for name, other in self.db.users.items():
                if key and (key in name.lower() or key in other["dname"].lower()):
                    el = sub(out, "LST")
                    sub(el, "UID", name)
                    sub(el, "NNAME", other["dname"])
        elif cmd == "GCR":
            for q in self.db.queues.values():
                el = sub(out, "LCR", CTYPE=q["type"])
                sub(el, "QID", q["qid"])
                sub(el, "QNAME", q["dname"])
                sub(el, "CTYPE", q["type"])
        elif cmd == "SND":
            # SMS acceptance: every number 1 to 18 digits (a leading "+"
            # allowed), the text not empty and at most 512 characters; anything else is refused whole.
            dests = [(d.text or "").strip() for d in req.findall("DEST")]
            if not dests or any(not re.fullmatch(r"\+?[0-9]{1,18}", d) for d in dests):
                raise Reply(1, "SND with bad numbers %s" % dests)
            if not (t["MSG"] or "").strip() or len(t["MSG"]) > 512:
                raise Reply(1, "SND with an empty or long text")
            self.sms.append((uid, dests, t["MSG"]))
            log("SND from %s to %s: %s" % (t["SRC"], dests, t["MSG"]))
        elif cmd == "SUD":
            count = sum(len(u["buddies"]) for u in self.db.users.values())
            sub(sub(out, "COUNT"), "UDOU", 1000 + count)
        elif cmd == "REL":
            me["logo"] = t["LOGO"]

    # -- one exchange ----------------------------------------------------------------------------------
    @staticmethod
    def opened(data, tag):
        """The reply with its top element as a start tag, and the length of everything up to that tag's end."""
        if data.endswith(b" />"):
            data = data[:-3] + b"></" + tag.encode() + b">"
        return data, data.index(b">", data.index(b"<" + tag.encode())) + 1

    def reply_text(self, cmd, trid, code, chg, out, rule):
        mode = rule.mode if rule else "ok"
        root = ET.Element(cmd.lower() if mode == "wrongroot" else cmd)
        if trid is not None and mode != "notrid":
            root.set("Trid", str(trid + 1000 if mode == "wrongtrid" else trid))
        if mode != "norcd":
            root.set("Rcd", str(code))
        if chg is not None:
            sub(root, "CHG", chg)
        elif code == 0:
            if mode == "long":
                stretch(out, int(rule.arg or 1000))
            if mode != "empty":
                root.extend(list(out))
        text = '<?xml version="1.0" encoding="UTF-8"?>' + ET.tostring(root, encoding="unicode")
        data = text.encode("utf-8")
        if mode in ("malformed", "truncated", "endless"):
            # The top element opened as a start tag, whatever its body.
            data, head = self.opened(data, root.tag)
            if mode == "endless":
                data = data[:head]
            elif mode == "malformed":
                data = data[:head] + b"<A>text</B>" + data[head:]
            else:
                end = len(data) - len(root.tag) - 3
                data = data[:head + (end - head) // 2]
        elif mode == "big":
            data = svccommon.pad_to(data, int(rule.arg or 4096))
        return data

    def exchange(self, data):
        """Handles one request text; returns (reply bytes or None, rule)."""
        entry = {"raw": data.decode("utf-8", "replace")}
        try:
            req = ET.fromstring(data)
        except ET.ParseError as e:
            entry["error"] = "not XML: %s" % e
            log("bad request:", e)
            self.json.write(entry)
            return None, None
        cmd = req.tag
        trid_text = req.get("Trid")
        trid = int(trid_text) if trid_text is not None and trid_text.lstrip("-").isdigit() else None
        kids = list(req)
        uid = (kids[0].text or "") if len(kids) > 0 and kids[0].tag == "UID" else None
        pwd = (kids[1].text or "") if len(kids) > 1 and kids[1].tag == "PWD" else None
        entry.update(cmd=cmd, trid=trid, uid=uid, pwd=pwd, children=[to_json(c) for c in kids[2:]])
        problem = None
        if cmd not in REQUEST:
            problem = "unknown command"
        elif trid is None:
            problem = "no decimal Trid (%r)" % trid_text
        elif uid is None or pwd is None:
            problem = "UID and PWD must come first"
        elif len(pwd) != 32 or pwd != pwd.lower() or any(ch not in "0123456789abcdef" for ch in pwd):
            problem = "PWD is not 32 lower-case hex digits"
        chg, code, auth = None, 1, ""
        out = ET.Element("out")
        rule = self.rules.take(NAME, [cmd, uid or ""])
        mode = rule.mode if rule else "ok"
        # A scripted 101 or error code stands for a server that did not carry the command out.
        execute = mode not in ("renew", "nochg", "badchg", "code")
        if not problem:
            # The digest is checked before the children so that the chain stays in step with the
            # client, which moves its challenge on with every request it builds.
            auth, chg = self.authenticate(cmd, uid, pwd)
            code = {"nouser": 301, "badpwd": 300, "login": 101, "renew": 101}.get(auth, 0)
            if auth == "chain":
                problem = match_children(kids[2:], REQUEST[cmd])
                if problem:
                    code = 1
                elif execute:
                    try:
                        self.run_command(cmd, uid, req, out)
                    except Reply as r:
                        code, problem = r.code, r.why
                    except (KeyError, ValueError) as e:
                        code, problem = 1, "bad request: %s" % e
        if mode == "renew":
            code, chg = 101, new_challenge()
            self.chain[uid] = chg
        elif mode in ("nochg", "badchg"):
            code = 101
            chg = None if mode == "nochg" else new_challenge()[:31]
            if cmd == "LGN":
                self.chain.pop(uid, None)
        elif mode == "code":
            code, chg = int(rule.arg or 1), None
        elif cmd == "LGN" and mode in ("silent", "refuse", "close", "malformed", "truncated", "wrongroot",
                                       "wrongtrid"):
            self.chain.pop(uid, None)   # the challenge never reached the client
        entry.update(auth=auth, rcd=code, fault=rule.text if rule else "")
        if problem:
            entry["error"] = problem
        log("%s Trid=%s UID=%s auth=%s -> Rcd %d%s%s" % (cmd, trid_text, uid, auth or "-", code,
                                                         (" (%s)" % problem) if problem else "",
                                                         (" fault " + rule.text) if rule else ""))
        self.json.write(entry)
        return self.reply_text(cmd, trid, code, chg, out, rule), rule

    def connection(self, conn):
        with conn:
            pre = self.rules.take(NAME, ["*"], only="refuse")
            if pre:
                log("connection reset (refuse)")
                svccommon.reset_close(conn)
                return
            data, err = svccommon.read_document(conn, timeout=self.args.read_timeout)
            if err:
                log("request not read:", err)
                if not data:
                    return
            with self.lock:
                reply, rule = self.exchange(data)
            mode = rule.mode if rule else "ok"
            if reply is None or mode == "close":
                return
            if mode == "refuse":
                svccommon.reset_close(conn)
                return
            if mode == "silent":
                svccommon.hold_open(conn, self.args.hold)
                return
            if mode == "delay":
                time.sleep(float(rule.arg or 1))
            if mode == "drip":
                svccommon.drip(conn, reply, float(rule.arg or 1))
                return
            if mode == "endless":
                svccommon.stream_endless(conn, reply, b"<DNAME>" + b"x" * 1000 + b"</DNAME>")
                return
            segment = int(rule.arg or 7) if mode == "split" else 0
            svccommon.send_reply(conn, reply, segment)
            try:
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def run(self):
        if self.refusing:
            log("port %d bound but not listening: connections are refused" % self.port)
        else:
            log("listening on port", self.port)
        svccommon.announce([self.port], self.args.ports_file)
        if self.refusing:
            while True:
                time.sleep(3600)
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError as e:
                log("accept failed:", e)
                time.sleep(0.1)
                continue
            threading.Thread(target=self.connection, args=(conn,), daemon=True).start()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--db", default=os.path.join(here, "userdb.json"), help="seed users (JSON)")
    ap.add_argument("--fault", action="append", default=[], help="WHAT:MODE[=ARG][*COUNT]")
    ap.add_argument("--control", help="file of fault rules, re-read when it changes")
    ap.add_argument("--log", help="append one JSON line per request to this file")
    ap.add_argument("--ports-file", help="write the 'PORT n' line here once listening")
    ap.add_argument("--hold", type=float, default=60.0, help="seconds a silent connection is held")
    ap.add_argument("--read-timeout", type=float, default=30.0, help="seconds to wait for a whole request")
    args = ap.parse_args()
    try:
        server = Server(args)
    except (ValueError, OSError, KeyError) as e:
        print("accessserver: %s" % e, file=sys.stderr)
        sys.exit(2)
    try:
        server.run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
