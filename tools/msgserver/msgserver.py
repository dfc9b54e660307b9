#!/usr/bin/env python3
# Messaging test server on loopback: sign-in, buddy list and presence, text and voice relay, stored items, faults.
"""Push-to-talk messaging test server.

Written from the protocol description alone (it shares no code with the client library), so a
fault on both sides cannot cancel out. Prints "PORT <n>" on its first line once it listens.

  msgserver.py --port 9999 --user 1001:alice:secret --user 1002:bob:secret

Fault switches: --drop-audio-to-client SEQ[,SEQ] (first sending of those audio packets to a
receiver is lost), --drop-audio-from-client SEQ[,SEQ] (first arrival from a sender is ignored),
--duplicate (every stream packet sent twice), --reorder (stream packets sent in swapped pairs),
--silent (answers nothing), --refuse (every sign-in refused), --no-audio-done, --no-keepalive-ack,
--ack-session-zero (acknowledgements carry session 0), --lose-connect-ack (the first acknowledgement of
a CONNECT_RESPONSE is ignored, so the response is resent to a client already online; stored items
wait for its acknowledgement, and the session ends when it is never acknowledged), --refuse-with-error (every sign-in answered by a session-0 SERVER_ERROR).

Chat-room robot (--robot UID, with --room KEY:NAME[:PASSWORD] for rooms that need a password; any
other key makes a room on its first START): a participant that runs each room as a thread, a virtual
user numbered UID*10+n. Commands travel as text "#@#NAME#field...":
  to UID      START#lead#nick#key#tail  joins room key (lead = its password); the room's thread answers
              from its own id with the client's own thread id: START#0#THUPDATE (the sender is the
              thread); it then sends LIST#uid,name#... (the others) with thread id "<thread>#"; the
              others get NOTIFY#1#uid,name. A wrong
              password is answered by UID with RESULT#13; a temporary group (no key) with RESULT#2.
  to thread   plain text goes to every other member with thread id "<thread>#<sender>", or to one
              member with "<thread>#SMSG#<sender>" when it came with thread id "<thread>#SMSG#<uid>";
              QUIT (and END) leaves: NOTIFY#2 to the others; KICK#uid... by the room's first member
              removes them (NOTIFY#7 to each, NOTIFY#3 to the rest, KICK#0 back; others get KICK#2);
              INVITE#text#uid... by a member invites those users: each gets from UID, with thread id
              "<thread>#", INVITE#<thread>,<inviter's nick>,<inviter's uid>,<text, else the room's name>.
              A voice message to a thread reaches the members the same way.
  to UID      ACCEPT#nick with thread id "<thread>#" from an invited user joins that room as START does
              (THUPDATE, LIST, NOTIFY#1); from anyone not invited it is answered with RESULT#2.
With --robot-control FILE the robot also obeys the lines appended to that file, each once:
  invite KEY UID   the first member of room KEY invites user UID, as if it had sent INVITE#...#UID.
"""
import argparse
import random
import select
import socket
import struct
import sys
import time

CONNECT_REQUEST, CONNECT_RESPONSE, SERVER_ERROR, KEEP_ALIVE = 1, 2, 6, 9
RECEIVED_TEXT, KX_ACK, DISCONNECT = 11, 12, 13
CLIENT_START_AUDIO, SERVER_START_AUDIO, END_AUDIO, AUDIO, PRESENCE_STATUS = 14, 15, 16, 17, 18
ALL_BUDDY_LIST_REQ, ALL_BUDDY_LIST_RESP = 22, 23
SEND_TEXT_2, SAF_REQ, ALL_BUDDY_PRESENCE = 49, 63, 70
CHANGE_VISIBILITY = 92
AUDIO_DONE, AUDIO_TERMINATE, AUDIO_NACK = 74, 75, 76

RESEND_AFTER = 1.0
MAX_TRIES = 10


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, file=sys.stderr, flush=True)


class Buf:
    """Big-endian reader; raises ValueError on any read past the end."""

    def __init__(self, data, pos=9):
        self.d, self.p = data, pos

    def take(self, n):
        if n < 0 or self.p + n > len(self.d):
            raise ValueError("short datagram")
        v = self.d[self.p:self.p + n]
        self.p += n
        return v

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def s16(self):
        return self.take(self.u16())

    def s8(self):
        return self.take(self.u8())


def s16(b):
    if isinstance(b, str):
        b = b.encode()
    return struct.pack(">H", len(b)) + b


def s8(b):
    if isinstance(b, str):
        b = b.encode()
    return struct.pack(">B", len(b)) + b


def wire_time():
    t = time.localtime()
    return struct.pack(">HBBBBB", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def unmask(masked, key):
    """Undo the credential masking: Latin-1-in-UTF-8 bytes, appended key bytes, XOR with the key."""
    raw = masked.decode("utf-8").encode("latin-1")
    k = key.to_bytes(4, "big")
    n = k[3] % 5
    if n:
        raw = raw[:-n]
    return bytes(b ^ k[i % 4] for i, b in enumerate(raw))


class User:
    def __init__(self, text):
        parts = text.split(":")
        self.id, self.name, self.password = int(parts[0]), parts[1], parts[2]
        self.display = parts[3] if len(parts) > 3 else parts[1].capitalize()
        self.pending = []  # stored items for when the user signs in


class Session:
    def __init__(self, addr, user, sid, first_seq):
        self.addr, self.user, self.sid = addr, user, sid
        self.next_seq = first_seq
        self.unacked = {}      # seq -> [data, last send, tries]
        self.seen = set()      # client sequence numbers handled
        self.clip_in = None    # the clip this client is sending
        self.clips_out = {}    # msg -> list of audio datagrams sent to this client
        self.held = None       # reorder: a packet waiting for its successor
        self.connect_seq = None  # sequence of the CONNECT_RESPONSE
        self.connect_ack_lost = False
        self.online = True
        self.visibility = 1    # what the others see: 0 hidden, 1 online, 2 busy


class Clip:
    def __init__(self, msg, sender, recipients, tag, subject, text):
        self.msg, self.sender, self.recipients = msg, sender, recipients
        self.tag, self.subject, self.text = tag, subject, text
        self.frames = {}
        self.last = None
        self.done = False
        self.nack_at = 0.0


class Who:
    def __init__(self, uid, display):
        self.id, self.display = uid, display


class Room:
    def __init__(self, key, name, thread, password=""):
        self.key, self.name, self.thread, self.password = key, name, thread, password
        self.members = {}  # uid -> display, in joining order
        self.invited = set()  # uids invited and not yet in
        self.who = Who(thread, name)


class Robot:
    """The chat-room robot: rooms as threads of virtual users, commands inside ordinary texts."""

    def __init__(self, server, uid, rooms):
        self.srv, self.id = server, uid
        self.who = Who(uid, "robot")
        self.rooms = {}
        self.threads = {}
        for text in rooms:
            parts = text.split(":")
            self.room(parts[0], parts[1] if len(parts) > 1 else parts[0], parts[2] if len(parts) > 2 else "")

    def room(self, key, name=None, password=""):
        if key not in self.rooms:
            r = Room(key, name or key, self.id * 10 + len(self.rooms) + 1, password)
            self.rooms[key] = r
            self.threads[r.thread] = r
        return self.rooms[key]

    def owns(self, uid):
        return self.id and (uid == self.id or uid in self.threads)

    def send(self, author, to, tag, text):
        payload = self.srv.received_text(random.randint(1, 65535), tag.encode(), author, [(0, to)], b"", text.encode())
        o = self.srv.session_of(to)
        if o:
            self.srv.stream(o, RECEIVED_TEXT, payload)
        elif to in self.srv.users:
            self.srv.users[to].pending.append(("text", payload))

    def message(self, sender, to, tag, text):
        tag, text = tag.decode("utf-8", "replace"), text.decode("utf-8", "replace")
        log("robot: %s to %d [%s] %s" % (sender.name, to, tag, text))
        fields = text[3:].split("#") if text.startswith("#@#") else None
        if to == self.id:
            if fields and fields[0] == "START":
                return self.start(sender, tag, fields)
            if fields and fields[0] == "ACCEPT":
                return self.accept(sender, tag, fields)
            return
        room = self.threads[to]
        if sender.id not in room.members:
            return self.send(room.who, sender.id, "%d#" % room.thread, "#@#RESULT#2")
        if fields and fields[0] in ("QUIT", "END"):
            return self.leave(room, sender.id, 2)
        if fields and fields[0] == "KICK":
            owner = next(iter(room.members))
            if sender.id != owner:
                return self.send(room.who, sender.id, "%d#" % room.thread, "#@#KICK#2")
            for uid in [int(f) for f in fields[1:] if f.strip().isdigit()]:
                if uid in room.members and uid != owner:
                    self.send(room.who, uid, "%d#" % room.thread, "#@#NOTIFY#7#%d,%s" % (uid, room.members[uid]))
                    self.leave(room, uid, 3)
            return self.send(room.who, sender.id, "%d#" % room.thread, "#@#KICK#0")
        if fields and fields[0] == "INVITE":
            return self.invite(room, sender.id, fields[1] if len(fields) > 1 else "",
                               [int(f) for f in fields[2:] if f.strip().isdigit()])
        if "SMSG#" in tag:
            target = int(tag.rsplit("#", 1)[1] or 0)
            if target in room.members:
                self.send(room.who, target, "%d#SMSG#%d" % (room.thread, sender.id), text)
            return
        for uid in room.members:
            if uid != sender.id:
                self.send(room.who, uid, "%d#%d" % (room.thread, sender.id), text)

    def start(self, sender, tag, fields):
        if len(fields) < 4 or not fields[3].strip():
            return self.send(self.who, sender.id, tag, "#@#RESULT#2")
        lead, nick, key = fields[1].strip(), fields[2].strip() or sender.display, fields[3].strip()
        room = self.room(key)
        if room.password and lead != room.password:
            return self.send(self.who, sender.id, tag, "#@#RESULT#13")
        self.join(room, sender, tag, nick)

    def join(self, room, sender, tag, nick):
        room.invited.discard(sender.id)
        room.members.pop(sender.id, None)
        others = list(room.members.items())
        room.members[sender.id] = nick
        self.send(room.who, sender.id, tag, "#@#START#0#THUPDATE")
        self.send(room.who, sender.id, "%d#" % room.thread,
                  "#@#LIST" + "".join("#%d,%s" % (uid, name) for uid, name in others))
        for uid, _ in others:
            self.send(room.who, uid, "%d#" % room.thread, "#@#NOTIFY#1#%d,%s" % (sender.id, nick))

    def invite(self, room, inviter, text, uids):
        """The member inviter asks the users in: each gets the invitation from the robot itself."""
        nick = room.members.get(inviter, "").replace(",", " ")
        text = (text.strip() or room.name).replace(",", " ")
        for uid in uids:
            if uid in room.members or uid not in self.srv.users:
                continue
            room.invited.add(uid)
            self.send(self.who, uid, "%d#" % room.thread, "#@#INVITE#%d,%s,%d,%s" % (room.thread, nick, inviter, text))

    def accept(self, sender, tag, fields):
        thread = tag.split("#", 1)[0]
        room = self.threads.get(int(thread)) if thread.isdigit() else None
        if room is None or sender.id not in room.invited:
            return self.send(self.who, sender.id, tag, "#@#RESULT#2")
        nick = (fields[1].strip() if len(fields) > 1 else "") or sender.display
        self.join(room, sender, tag, nick)

    def obey(self, line):
        """One line of the control file."""
        words = line.split()
        if len(words) == 3 and words[0] == "invite" and words[2].isdigit():
            room = self.rooms.get(words[1])
            if room is None or not room.members:
                return log("robot: no one in room", words[1], "to invite from")
            self.invite(room, next(iter(room.members)), "", [int(words[2])])
        else:
            log("robot: control line not understood:", line)

    def leave(self, room, uid, kind):
        name = room.members.pop(uid, None)
        if name is None:
            return
        for other in room.members:
            self.send(room.who, other, "%d#" % room.thread, "#@#NOTIFY#%d#%d,%s" % (kind, uid, name))

    def voice_recipients(self, sender, clip):
        """A clip to a thread goes to the room's other members, under the room's thread id."""
        out = []
        for uid in clip.recipients:
            room = self.threads.get(uid)
            if room is None:
                out.append(uid)
                continue
            tag = clip.tag.decode("utf-8", "replace") if isinstance(clip.tag, bytes) else clip.tag
            if "SMSG#" in tag:
                target = int(tag.rsplit("#", 1)[1] or 0)
                clip.tag = ("%d#SMSG#%d" % (room.thread, sender.id)).encode()
                out += [target] if target in room.members else []
            else:
                clip.tag = ("%d#%d" % (room.thread, sender.id)).encode()
                out += [m for m in room.members if m != sender.id]
        return out


class Server:
    def __init__(self, args):
        self.args = args
        self.users = {u.id: u for u in (User(s) for s in args.user)}
        self.robot = Robot(self, args.robot, args.room)
        self.control_at = 0  # bytes of --robot-control already obeyed
        self.sessions = {}  # addr -> Session
        self.items = {}     # stored clips by item id
        self.next_item = 1
        self.drop_to = set(int(x) for x in args.drop_audio_to_client.split(",") if x)
        self.drop_from = set(int(x) for x in args.drop_audio_from_client.split(",") if x)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", args.port))
        self.port = self.sock.getsockname()[1]

    # -- sending ---------------------------------------------------------------------------------
    def raw(self, addr, data):
        self.sock.sendto(data, addr)

    def ack(self, addr, seq, sess):
        if self.args.ack_session_zero:
            sess = 0
        self.raw(addr, struct.pack(">IIB", seq, sess, KX_ACK))

    def stream(self, s, ptype, payload, reliable=True):
        seq = s.next_seq
        s.next_seq = (s.next_seq + 1) & 0xFFFFFFFF
        data = struct.pack(">IIB", seq, s.sid, ptype) + payload
        if reliable:
            s.unacked[seq] = [data, time.monotonic(), 1]
        self.first_send(s, data)
        return seq

    def first_send(self, s, data):
        if self.args.reorder:
            if s.held is None:
                s.held = (data, time.monotonic())
                return
            self.raw(s.addr, data)
            data = s.held[0]
            s.held = None
        self.raw(s.addr, data)
        if self.args.duplicate:
            self.raw(s.addr, data)

    def session_of(self, user_id):
        for s in self.sessions.values():
            if s.online and s.user.id == user_id:
                return s
        return None

    # -- receiving -------------------------------------------------------------------------------
    def handle(self, data, addr):
        if self.args.silent or len(data) < 9:
            return
        seq, sess, ptype = struct.unpack(">IIB", data[:9])
        s = self.sessions.get(addr)
        if ptype == KX_ACK:
            if s and self.args.lose_connect_ack and seq == s.connect_seq and not s.connect_ack_lost:
                s.connect_ack_lost = True  # this one is "lost": the response goes again
                return
            if s and s.unacked.pop(seq, None) and seq == s.connect_seq and s.online and self.args.lose_connect_ack:
                self.deliver_pending(s)
            return
        if ptype == CONNECT_REQUEST:
            self.ack(addr, seq, sess)
            if s and s.online and ("connect", seq) in s.seen:
                return
            return self.connect(data, addr, seq, sess)
        if s is None or not s.online or sess != s.sid:
            log("drop type", ptype, "from", addr, "session", sess)
            return
        if ptype == AUDIO:
            return self.audio_in(s, data, seq)
        if ptype == AUDIO_NACK:
            return self.nack_in(s, data)
        if ptype == KEEP_ALIVE and self.args.no_keepalive_ack:
            return
        self.ack(addr, seq, sess)
        if seq in s.seen:
            return
        s.seen.add(seq)
        try:
            self.dispatch(s, ptype, data)
        except ValueError as e:
            log("malformed type", ptype, e)

    def connect(self, data, addr, seq, key):
        b = Buf(data)
        b.u8()
        b.u8()
        name = unmask(b.s16(), key).decode("utf-8", "replace")
        password = unmask(b.s16(), key).decode("utf-8", "replace")
        client = b.s16().decode("utf-8", "replace")
        visibility = b.u8()
        user = next((u for u in self.users.values() if u.name == name), None)
        old = self.sessions.get(addr)
        if old:
            old.online = False
        s = Session(addr, user, random.randint(1, 0x7FFFFFFF), random.randint(1000, 60000))
        s.seen.add(("connect", seq))
        s.visibility = visibility
        self.sessions[addr] = s
        if self.args.refuse_with_error:
            log("refused with an error", name, client)
            del self.sessions[addr]
            self.raw(addr, struct.pack(">IIB", random.randint(1, 0xFFFF), 0, SERVER_ERROR) + bytes([0]) +
                     s16("1:Service closed for maintenance"))
            return
        if user is None or user.password != password or self.args.refuse:
            log("refused", name, client)
            s.online = False
            self.stream(s, CONNECT_RESPONSE, bytes([1, 0, 0]) + s16("Bad user name or password"), reliable=False)
            return
        for other in list(self.sessions.values()):
            if other is not s and other.online and other.user.id == user.id:
                other.online = False
        log("signed in", name, "visibility", visibility, client)
        ts = time.strftime("TS=%Y%m%d %H%M%S")
        s.connect_seq = self.stream(s, CONNECT_RESPONSE,
                                    bytes([0, 0, self.args.keepalive]) + s16(ts) + s16("") + struct.pack(">H", 0))
        self.presence_to_others(user, self.presence_byte(user.id))
        if self.args.lose_connect_ack:
            return  # stored items wait for the acknowledgement of the response
        self.deliver_pending(s)

    def deliver_pending(self, s):
        for kind, item in s.user.pending:
            self.deliver_stored(s, kind, item)
        s.user.pending = []

    def presence_byte(self, user_id):
        """Presence 1 with the user's visibility in bits 4-6; a hidden or absent user is offline (0)."""
        s = self.session_of(user_id)
        if s is None or s.visibility & 0x07 == 0:
            return 0x00
        return ((s.visibility & 0x07) << 4) | 0x01

    def presence_to_others(self, user, byte):
        for o in self.sessions.values():
            if o.online and o.user.id != user.id:
                self.stream(o, PRESENCE_STATUS, struct.pack(">BI", byte, user.id))

    def dispatch(self, s, ptype, data):
        if ptype == KEEP_ALIVE:
            return
        if ptype == DISCONNECT:
            log("signed out", s.user.name)
            s.online = False
            self.presence_to_others(s.user, 0x00)
            return
        if ptype == ALL_BUDDY_LIST_REQ:
            return self.buddy_list(s, data)
        if ptype == CHANGE_VISIBILITY:
            s.visibility = Buf(data).u8()
            log("visibility", s.user.name, s.visibility)
            self.presence_to_others(s.user, self.presence_byte(s.user.id))
            return
        if ptype == SEND_TEXT_2:
            return self.text_in(s, data)
        if ptype == CLIENT_START_AUDIO:
            return self.start_audio_in(s, data)
        if ptype == END_AUDIO:
            return self.end_audio_in(s, data)
        if ptype == AUDIO_DONE:
            msg = Buf(data).u16()
            s.clips_out.pop(msg, None)
            return
        if ptype == SAF_REQ:
            b = Buf(data)
            b.u32()
            item = b.s16().decode()
            clip = self.items.get(item)
            if clip:
                self.stream_clip(s, clip)
            return
        log("request", ptype, "from", s.user.name, data[9:].hex())

    def buddy_list(self, s, data):
        b = Buf(data)
        b.u8()
        b.u32()
        lst = b.u8()
        others = [u for u in self.users.values() if u.id != s.user.id]
        body = bytes(4) + bytes([lst]) + struct.pack(">H", 1) + s16("Friends") + b"\0" + struct.pack(">H", len(others))
        for u in others:
            body += struct.pack(">BI", self.presence_byte(u.id), u.id) + s16(u.display) + s16(u.name)
        size = max(1, self.args.fragment)
        parts = [body[i:i + size] for i in range(0, len(body), size)]
        batch = random.randint(1, 65535)
        for i, part in enumerate(parts):
            self.stream(s, ALL_BUDDY_LIST_RESP, struct.pack(">HBB", batch, i + 1, len(parts)) + part)
        pres = bytes([lst]) + struct.pack(">H", len(others))
        for u in others:
            pres += struct.pack(">BI", self.presence_byte(u.id), u.id)
        self.stream(s, ALL_BUDDY_PRESENCE, struct.pack(">HBB", batch ^ 1, 1, 1) + pres)

    @staticmethod
    def parse_message(data, kinds):
        b = Buf(data)
        msg = b.u16()
        tag = b.s16()
        subs = []
        for _ in range(b.u8()):
            kind = b.u8() if kinds else 0
            subs.append((kind, b.u32()))
        addrs = []
        for _ in range(b.u8()):
            kind = b.u8() if kinds else 3
            count = b.u16()  # covers itself, "eml:" and the address
            addrs.append((kind, b.take(count - 2)))
        subject = b.s16()
        text = b.s16()
        attach = None
        if b.u8() == 1:
            kind = b.u8()
            mime = b.s8() if kind == 0 else b""
            attach = (kind, mime, b.s16())
        return msg, tag, subs, addrs, subject, text, attach

    def received_text(self, msg, tag, author, subs, subject, text, attach=None, addrs=()):
        p = struct.pack(">H", msg) + s16(tag) + struct.pack(">I", author.id if author else 0)
        p += s16(author.display if author else "")
        p += bytes([len(subs)])
        for kind, uid in subs:
            u = self.users.get(uid)
            p += struct.pack(">BI", kind, uid) + s16(u.name if u else "")
        p += s16(subject) + s16(text) + wire_time()
        p += bytes([len(addrs)])
        for kind, a in addrs:
            p += bytes([kind]) + s16(a)
        if attach is None:
            p += b"\0"
        elif attach[0] == 2:
            p += bytes([1, 2]) + s16(attach[2])
        else:
            p += bytes([1, attach[0]]) + s8(attach[1]) + s16(attach[2])
        return p

    def text_in(self, s, data):
        msg, tag, subs, addrs, subject, text, attach = self.parse_message(data, True)
        log("text from", s.user.name, "to", subs, text)
        self.stream(s, RECEIVED_TEXT, self.received_text(msg, tag, None, subs, subject, text, attach, addrs))
        for _, uid in subs:
            if self.robot.owns(uid):
                self.robot.message(s.user, uid, tag, text)
                continue
            payload = self.received_text(msg, tag, s.user, subs, subject, text, attach, addrs)
            o = self.session_of(uid)
            if o:
                self.stream(o, RECEIVED_TEXT, payload)
            elif uid in self.users:
                self.users[uid].pending.append(("text", payload))

    def deliver_stored(self, s, kind, item):
        if kind == "text":
            self.stream(s, RECEIVED_TEXT, item)
        else:
            clip = self.items[item]
            subs = [(0, uid) for uid in clip.recipients]
            self.stream(s, RECEIVED_TEXT, self.received_text(clip.msg, clip.tag, clip.sender, subs, clip.subject,
                                                             clip.text, (2, b"", item.encode())))

    def start_audio_in(self, s, data):
        msg, tag, subs, _, subject, text, _ = self.parse_message(data, False)
        s.clip_in = Clip(msg, s.user, [uid for _, uid in subs], tag, subject, text)
        if self.robot.id:
            s.clip_in.recipients = self.robot.voice_recipients(s.user, s.clip_in)
        log("clip", msg, "from", s.user.name, "to", s.clip_in.recipients)
        self.stream(s, RECEIVED_TEXT, self.received_text(msg, tag, None, subs, subject, text))

    def audio_in(self, s, data, seq):
        clip = s.clip_in
        b = Buf(data)
        msg, _, field, _ = b.u16(), b.u32(), b.u16(), b.u8()
        if clip is None or msg != clip.msg or field == 0 or field - 1 > len(data) - 18:
            return
        if seq in self.drop_from:
            self.drop_from.discard(seq)
            log("dropping audio", seq, "from", s.user.name)
            return
        clip.frames[seq] = data[18:18 + field - 1]
        self.check_clip(s)

    def end_audio_in(self, s, data):
        b = Buf(data)
        msg, _, last = b.u16(), b.u32(), b.u16()
        clip = s.clip_in
        if clip is None or clip.msg != msg:
            return
        clip.last = last
        clip.nack_at = 0.0
        self.check_clip(s)

    def missing(self, clip):
        return [q for q in range(1, (clip.last or 0) + 1) if q not in clip.frames]

    def check_clip(self, s):
        clip = s.clip_in
        if clip is None or clip.last is None or clip.done:
            return
        missing = self.missing(clip)
        if missing:
            if time.monotonic() >= clip.nack_at:
                clip.nack_at = time.monotonic() + 1.0
                log("asking", s.user.name, "for", missing)
                self.stream(s, AUDIO_NACK, struct.pack(">HIH", clip.msg, 0, len(missing)) +
                            b"".join(struct.pack(">I", q) for q in missing), reliable=False)
            return
        clip.done = True
        s.clip_in = None
        if not self.args.no_audio_done:
            self.stream(s, AUDIO_DONE, struct.pack(">HI", clip.msg, 0))
        item = "v%d" % self.next_item
        self.next_item += 1
        self.items[item] = clip
        for uid in clip.recipients:
            o = self.session_of(uid)
            if o:
                self.stream_clip(o, clip)
            elif uid in self.users:
                self.users[uid].pending.append(("clip", item))

    def stream_clip(self, o, clip):
        subs = b"".join(struct.pack(">I", uid) + s16(self.users[uid].name if uid in self.users else "")
                        for uid in clip.recipients)
        head = struct.pack(">H", clip.msg) + s16(clip.tag) + struct.pack(">I", clip.sender.id) + s16(clip.sender.display)
        head += bytes([len(clip.recipients)]) + subs + s16(clip.subject) + s16(clip.text) + wire_time() + b"\0"
        self.stream(o, SERVER_START_AUDIO, head)
        packets = []
        for q in range(1, (clip.last or 0) + 1):
            frames = clip.frames[q]
            d = struct.pack(">IIBHIHB", q, o.sid, AUDIO, clip.msg, clip.sender.id, len(frames) + 1, 0) + frames
            packets.append(d)
            if q in self.drop_to:
                self.drop_to.discard(q)
                log("dropping audio", q, "to", o.user.name)
                continue
            self.first_send(o, d)
        o.clips_out[clip.msg] = packets
        self.stream(o, END_AUDIO, struct.pack(">HIH", clip.msg, clip.sender.id, len(packets)))

    def nack_in(self, s, data):
        try:
            b = Buf(data)
            msg, _, count = b.u16(), b.u32(), b.u16()
            seqs = [b.u32() for _ in range(count)]
        except ValueError:
            return
        packets = s.clips_out.get(msg, [])
        for q in seqs:
            if 1 <= q <= len(packets):
                self.raw(s.addr, packets[q - 1])

    # -- loop ------------------------------------------------------------------------------------
    def housekeeping(self):
        now = time.monotonic()
        for s in list(self.sessions.values()):
            if s.held and now - s.held[1] > 0.05:
                data = s.held[0]
                s.held = None
                self.raw(s.addr, data)
            for seq, entry in list(s.unacked.items()):
                if now - entry[1] >= RESEND_AFTER:
                    if entry[2] >= MAX_TRIES:
                        log("giving up on", s.user.name if s.user else "?", "seq", seq)
                        s.unacked.pop(seq)
                        if seq == s.connect_seq:
                            s.online = False  # a sign-in never confirmed ends the session
                        continue
                    entry[1], entry[2] = now, entry[2] + 1
                    self.raw(s.addr, entry[0])
            if s.online and s.clip_in:
                self.check_clip(s)

    def robot_control(self):
        """New whole lines of --robot-control, each obeyed once."""
        try:
            with open(self.args.robot_control, "rb") as f:
                f.seek(self.control_at)
                data = f.read()
        except OSError:
            return
        end = data.rfind(b"\n") + 1
        self.control_at += end
        for line in data[:end].decode("utf-8", "replace").splitlines():
            if line.strip():
                self.robot.obey(line.strip())

    def run(self):
        print("PORT %d" % self.port, flush=True)
        while True:
            if self.args.robot_control:
                self.robot_control()
            ready, _, _ = select.select([self.sock], [], [], 0.02)
            if ready:
                data, addr = self.sock.recvfrom(65535)
                try:
                    self.handle(data, addr)
                except ValueError as e:
                    log("malformed datagram", e)
            self.housekeeping()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=9999)
    ap.add_argument("--user", action="append", default=[], help="id:name:password[:display]")
    ap.add_argument("--keepalive", type=int, default=1, help="keep-alive interval in tens of seconds")
    ap.add_argument("--fragment", type=int, default=48, help="bytes per buddy-list fragment")
    ap.add_argument("--drop-audio-to-client", default="")
    ap.add_argument("--drop-audio-from-client", default="")
    ap.add_argument("--duplicate", action="store_true")
    ap.add_argument("--reorder", action="store_true")
    ap.add_argument("--silent", action="store_true")
    ap.add_argument("--refuse", action="store_true")
    ap.add_argument("--no-audio-done", action="store_true")
    ap.add_argument("--no-keepalive-ack", action="store_true")
    ap.add_argument("--ack-session-zero", action="store_true")
    ap.add_argument("--lose-connect-ack", action="store_true")
    ap.add_argument("--refuse-with-error", action="store_true")
    ap.add_argument("--robot", type=int, default=0, help="user id of the chat-room robot (0: none)")
    ap.add_argument("--room", action="append", default=[], help="key:name[:password] of a room of the robot")
    ap.add_argument("--robot-control", default="", help="file whose appended lines the robot obeys (invite KEY UID)")
    args = ap.parse_args()
    if not args.user:
        args.user = ["1001:alice:secret:Alice", "1002:bob:secret:Bob"]
    try:
        Server(args).run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
