#!/usr/bin/env python3
"""Writes a Tessaly profile folder for the local test services, usrInfo.xml holding one saved login
(password protected as the program does) with automatic sign-in, so that the program signs in by itself
at start; and an installation folder for the run (the program's --app-folder) with the settings file
tessaly.xml for those services.

The program reads tessaly.xml only from its installation folder. The run's installation folder holds a
symbolic link to each of the installation's files and folders (INSTALL, the build folder) but its own
tessaly.xml: the installation's file (ui/shell/install/tessaly.xml) with only the bootstrap ports, the
update address and, when given, the chat robot replaced; every other element (portal, register, robot,
...) stays as the installation has it.

usage: make_profile.py FOLDER --user alice --password alice123 --app-folder APP --install BUILD
                       [--boot-udp 7000] [--boot-tcp 7001] [--update 127.0.0.1:7200] [--robot UID]
                       [--no-auto] [--lang eng|chs]
"""
import argparse
import hashlib
import os
import sys
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
INSTALLED = os.path.join(HERE, "..", "..", "ui", "shell", "install", "tessaly.xml")


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for b in data:
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def protect(password):
    # 40-bit key from MD5 of the pass phrase: 5 key bytes and 11 zero salt bytes.
    key = hashlib.md5(b"Kestrelin 1987").digest()[:5] + bytes(11)
    return rc4(key, password.encode("utf-8")).hex()


def write_atomic(path, text, mode=0o600):
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def settings_xml(boot_udp, boot_tcp, update, robot=None, installed=INSTALLED):
    """The installation's settings file with the test services' ports, update address and robot."""
    root = ET.parse(installed).getroot()
    common = root.find("common")
    if common is None:
        common = ET.SubElement(root, "common")

    def put(name, text):
        e = common.find(name)
        if e is None:
            e = ET.SubElement(common, name)
        e.text = text

    put("update", update)
    if robot is not None:
        put("robot", str(robot))
    boot = root.find(".//bootstrap")
    if boot is None:
        boot = ET.SubElement(root, "bootstrap")
    # The reader takes the server only from the element's first attribute.
    host = boot.get("server", "127.0.0.1")
    boot.attrib.clear()
    boot.set("server", host)
    for port in list(boot):
        boot.remove(port)
    ET.SubElement(boot, "ServerPort", port=str(boot_udp), type="udp")
    ET.SubElement(boot, "ServerPort", port=str(boot_tcp), type="tcp")
    ET.indent(root, "  ")
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def link_installation(app, install):
    """APP gets a link to each installed file and folder of INSTALL but tessaly.xml (written by the caller):
    its folders (not the build's own trees, nor one holding APP), its .ini and .xml files and its programs."""
    os.makedirs(app, exist_ok=True)
    here = os.path.realpath(app)
    for name in sorted(os.listdir(install)):
        path = os.path.join(install, name)
        target = os.path.realpath(path)
        if name.startswith(".") or name == "tessaly.xml":
            continue
        if os.path.isdir(target):
            if name in ("CMakeFiles", "Testing", "gallery") or os.path.exists(os.path.join(target, "CMakeFiles")):
                continue
            if here == target or here.startswith(target + os.sep):
                continue
        elif not os.path.isfile(target) or not (name.endswith((".ini", ".xml")) or os.access(target, os.X_OK)):
            continue
        link = os.path.join(app, name)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(target, link)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--app-folder", required=True, help="the run's installation folder, made here")
    ap.add_argument("--install", required=True, help="the installation it links to (the build folder)")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--boot-udp", type=int, default=7000)
    ap.add_argument("--boot-tcp", type=int, default=7001)
    ap.add_argument("--update", default="127.0.0.1:7200")
    ap.add_argument("--robot", type=int, default=None, help="user id of the chat-room robot (default: the installation's)")
    ap.add_argument("--no-auto", action="store_true")
    ap.add_argument("--lang", default="")
    ap.add_argument("--left", type=int, default=None, help="window position, for copies side by side")
    a = ap.parse_args()
    if not os.path.exists(os.path.join(a.install, "tessaly")):
        print(f"make_profile.py: {a.install} holds no installed program", file=sys.stderr)
        return 2
    os.makedirs(a.folder, exist_ok=True)
    link_installation(a.app_folder, a.install)
    write_atomic(os.path.join(a.app_folder, "tessaly.xml"), settings_xml(a.boot_udp, a.boot_tcp, a.update, a.robot), 0o644)
    auto = '' if a.no_auto else ' autologin="true"'
    write_atomic(os.path.join(a.folder, "usrInfo.xml"),
                 '<?xml version="1.0" encoding="UTF-8"?>\n<logInfo>\n'
                 f'  <config save="true"{auto}/>\n'
                 f'  <brindle><user id={quoteattr(a.user)} pwd="{protect(a.password)}"/></brindle>\n'
                 f'  <lastlogin><user id={quoteattr(a.user)} type="0"/></lastlogin>\n</logInfo>\n')
    if a.lang or a.left is not None:
        cfg = os.path.join(a.folder, "usrcfg.ini")
        seed = os.path.join(HERE, "..", "..", "ui", "shell", "install", "usrcfg.ini")
        text = open(seed, encoding="utf-8").read() if os.path.exists(seed) else "[common]\nlangtype=\n"
        if a.lang:
            text = text.replace("langtype=\n", f"langtype={a.lang}\n")
        if a.left is not None:
            text += f"\n[position]\nleft={a.left}\ntop=100\n"
        write_atomic(cfg, text, 0o644)
    return 0


if __name__ == "__main__":
    sys.exit(main())
