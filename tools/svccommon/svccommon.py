# Shared pieces of the sign-in test services: port announcement, reading one XML document off a
# TCP stream, sending a reply whole or in small segments, fault rules and the per-test control file.
import os
import socket
import sys
import tempfile
import threading
import time
import xml.parsers.expat


def log(name, *args):
    print(time.strftime("%H:%M:%S"), name + ":", *args, file=sys.stderr, flush=True)


def announce(ports, ports_file=None):
    """Print "PORT a [b ...]" as the first and only stdout line (the tests read it, then close the pipe)
    and write the same line to ports_file through a temp file and a rename, so a reader never sees half."""
    line = "PORT " + " ".join(str(p) for p in ports)
    if ports_file:
        folder = os.path.dirname(os.path.abspath(ports_file))
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".ports")
        with os.fdopen(fd, "w") as f:
            f.write(line + "\n")
        os.replace(tmp, ports_file)
    try:
        print(line, flush=True)
        sys.stdout.close()
    except OSError:
        pass
    # Nothing is written to stdout after this line: the reader may have closed it.
    sys.stdout = sys.stderr


class DocumentReader:
    """Feeds received bytes to an incremental XML parser until the top element closes. The client
    neither prefixes a length nor half-closes, so the end of the document is the only end marker."""

    def __init__(self):
        self.depth = 0
        self.done = False
        self.error = None
        self.data = b""
        self.p = xml.parsers.expat.ParserCreate()
        self.p.StartElementHandler = self._start
        self.p.EndElementHandler = self._end

    def _start(self, name, attrs):
        self.depth += 1

    def _end(self, name):
        self.depth -= 1
        if self.depth == 0:
            self.done = True

    def feed(self, chunk):
        if self.done or self.error:
            return
        self.data += chunk
        try:
            self.p.Parse(chunk, False)
        except xml.parsers.expat.ExpatError as e:
            self.error = str(e)


def read_document(conn, timeout=30.0, limit=1 << 20):
    """Reads one XML document from a TCP connection. Returns (bytes, error text or None)."""
    reader = DocumentReader()
    deadline = time.monotonic() + timeout
    while not reader.done and not reader.error:
        left = deadline - time.monotonic()
        if left <= 0:
            return reader.data, "timed out waiting for the end of the request"
        conn.settimeout(left)
        try:
            chunk = conn.recv(65536)
        except socket.timeout:
            return reader.data, "timed out waiting for the end of the request"
        except OSError as e:
            return reader.data, "receive failed: %s" % e
        if not chunk:
            return reader.data, "peer closed before the request ended"
        reader.feed(chunk)
        if len(reader.data) > limit:
            return reader.data, "request too long"
    return reader.data, reader.error


def send_reply(conn, data, segment=0, gap=0.005):
    """Sends data whole, or in segments of `segment` bytes with a short pause so each leaves as its own
    TCP segment (Nagle off)."""
    try:
        if segment <= 0:
            conn.sendall(data)
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i in range(0, len(data), segment):
            conn.sendall(data[i:i + segment])
            time.sleep(gap)
    except OSError:
        pass


def drip(conn, data, gap, endless=True):
    """Sends data one byte every `gap` seconds, then (endless) a space every `gap` seconds, until the
    peer goes."""
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    i = 0
    try:
        while endless or i < len(data):
            conn.sendall(data[i:i + 1] if i < len(data) else b" ")
            i += 1
            time.sleep(gap)
    except OSError:
        pass


def stream_endless(conn, head, piece):
    """Sends head, then piece after piece without end, until the peer goes."""
    block = piece * max(1, 65536 // len(piece))
    try:
        conn.sendall(head)
        while True:
            conn.sendall(block)
    except OSError:
        pass


def reset_close(conn):
    """Closes with a reset instead of an orderly end."""
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass
    conn.close()


def hold_open(conn, seconds):
    """Keeps a connection open without answering until the peer closes or the time is up."""
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            conn.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                if not conn.recv(4096):
                    return
            except socket.timeout:
                return
    except OSError:
        return


def pad_to(text, size):
    """Pads an XML document with a comment before its end so that it is exactly `size` bytes long
    (when it is shorter than that)."""
    data = text.encode("utf-8") if isinstance(text, str) else text
    room = size - len(data)
    if room <= 0:
        return data
    if room < 7:
        return data + b" " * room
    return data + b"<!--" + b"x" * (room - 7) + b"-->"


class Rule:
    """One fault rule: "WHAT:MODE[=ARG][*COUNT]". WHAT is a selector (a command name, a service key, a
    port index, or "*"); COUNT limits the rule to the first COUNT matching requests (0: every one)."""

    def __init__(self, text):
        self.text = text.strip()
        what, sep, rest = self.text.partition(":")
        if not sep or not what or not rest:
            raise ValueError("bad rule %r (want WHAT:MODE[=ARG][*COUNT])" % text)
        count = 0
        if "*" in rest:
            rest, _, c = rest.rpartition("*")
            count = int(c)
        mode, _, arg = rest.partition("=")
        self.what, self.mode, self.arg, self.left = what, mode.strip().lower(), arg, count
        self.limited = count > 0

    def matches(self, keys):
        return self.what == "*" or self.what in keys


class Rules:
    """The current fault rules: those from the command line, replaced by the control file's lines
    whenever that file changes (written by a test between steps; '#' starts a comment), and back to
    the command line's when the file is removed."""

    def __init__(self, texts, control=None, modes=()):
        self.modes = set(modes)
        self.lock = threading.Lock()
        self.texts = list(texts)
        self.rules = self._parse(texts)
        self.control = control
        self.stamp = None

    def _parse(self, texts):
        rules = []
        for t in texts:
            t = t.split("#", 1)[0].strip()
            if not t:
                continue
            r = Rule(t)
            if self.modes and r.mode not in self.modes:
                raise ValueError("unknown mode %r in %r" % (r.mode, t))
            rules.append(r)
        return rules

    def _reload(self, name):
        if not self.control:
            return
        try:
            st = os.stat(self.control)
        except OSError:
            if self.stamp is not None:
                # The file is gone: back to the command line's rules.
                self.stamp = None
                self.rules = self._parse(self.texts)
                log(name, "control file removed: %d rule(s)" % len(self.rules))
            return
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        if stamp == self.stamp:
            return
        try:
            with open(self.control, encoding="utf-8") as f:
                rules = self._parse(f.read().splitlines())
        except (OSError, ValueError) as e:
            log(name, "control file ignored:", e)
            return
        self.stamp = stamp
        self.rules = rules
        log(name, "control file: %d rule(s)" % len(rules))

    def take(self, name, keys, only=None):
        """The first rule that matches one of keys (and has mode `only`, when given), spending one of
        its uses; None when none."""
        with self.lock:
            self._reload(name)
            for r in self.rules:
                if only and r.mode != only:
                    continue
                if r.matches(keys) and (not r.limited or r.left > 0):
                    if r.limited:
                        r.left -= 1
                    return r
        return None


class JsonLog:
    """Appends one JSON object per line to a file, so tests can assert what the client sent."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, obj):
        if not self.path:
            return
        import json
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(obj, ensure_ascii=False) + "\n")


class Started:
    """A server started for a self-test: python3 SCRIPT --port 0 ARGS..., its first line read."""

    def __init__(self, script, *args):
        import subprocess
        self.proc = subprocess.Popen([sys.executable, script, "--port", "0", *args], stdout=subprocess.PIPE,
                                     stderr=None if os.environ.get("SVC_SERVER_LOG") else subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        self.proc.stdout.close()
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("%s did not announce its port: %r" % (script, line))
        self.ports = [int(p) for p in line.split()[1:]]
        self.port = self.ports[0]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def tcp_exchange(port, data, timeout=5.0):
    """Sends data on a new connection and reads until the server closes; returns the bytes read."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk
