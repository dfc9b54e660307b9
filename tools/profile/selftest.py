#!/usr/bin/env python3
# Self-test of the profile maker: the run's installation folder links the installation's files, and the
# settings file it holds carries everything the installation's does, with the test services' ports, and
# names the chat robot the run command starts the messaging server with.
import os
import re
import shlex
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
INSTALLED = os.path.join(ROOT, "ui", "shell", "install", "tessaly.xml")


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)


def make(folder, install, *extra):
    app = folder + "-app"
    subprocess.run([sys.executable, os.path.join(HERE, "make_profile.py"), folder, "--user", "alice",
                    "--password", "alice123", "--app-folder", app, "--install", install, *extra], check=True)
    path = os.path.join(app, "tessaly.xml")
    return ET.parse(path).getroot(), open(path, encoding="utf-8").read()


def fake_install(folder):
    """An installation as the build folder holds it, with a build tree and other files beside it."""
    for sub in ("skin/default", "language", "res", "CMakeFiles", "ui/CMakeFiles"):
        os.makedirs(os.path.join(folder, sub))
    for name, text, mode in (("tessaly", "#!/bin/sh\n", 0o755), ("usrcfg.ini", "[common]\n", 0o644),
                             ("tessaly.xml", open(INSTALLED, encoding="utf-8").read(), 0o644),
                             ("build.ninja", "", 0o644), ("skin/default/corvina.ini", "", 0o644)):
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(os.path.join(folder, name), mode)
    return folder


def elements(root):
    """Every element as its path of tag names, with its text (ports listed by their attributes)."""
    out = {}

    def walk(e, path):
        path = path + "/" + e.tag
        if e.tag == "ServerPort":
            path += "[%s]" % e.get("type")
        out[path] = (e.text or "").strip()
        for c in e:
            walk(c, path)
    walk(root, "")
    return out


def run_sh_robot():
    """The --robot the run command starts the messaging server with (0: none)."""
    text = open(os.path.join(ROOT, "tools", "run.sh"), encoding="utf-8").read().replace("\\\n", " ")
    line = next(l for l in text.splitlines() if "tools/msgserver/msgserver.py" in l)
    args = shlex.split(line.split(">")[0])
    return int(args[args.index("--robot") + 1]) if "--robot" in args else 0


def main():
    installed = elements(ET.parse(INSTALLED).getroot())
    with tempfile.TemporaryDirectory(prefix="profile_test") as tmp:
        install = fake_install(os.path.join(tmp, "build"))
        # As the run command makes it.
        root, text = make(os.path.join(tmp, "run"), install)
        app = os.path.join(tmp, "run-app")
        linked = sorted(n for n in os.listdir(app) if os.path.islink(os.path.join(app, n)))
        check(linked == ["language", "res", "skin", "tessaly", "usrcfg.ini"],
              "the run's installation links the installed files and folders, not the build's (%s)" % linked)
        check(all(os.path.realpath(os.path.join(app, n)) == os.path.realpath(os.path.join(install, n)) for n in linked),
              "each link leads to the installation's own")
        check(not os.path.islink(os.path.join(app, "tessaly.xml")), "the settings file is the run's own")
        check(not os.path.exists(os.path.join(tmp, "run", "tessaly.xml")), "the profile holds no settings file")
        root, text = make(os.path.join(tmp, "run"), install)  # again over the same folders
        check(sorted(n for n in os.listdir(app) if os.path.islink(os.path.join(app, n))) == linked, "made again alike")
        made = elements(root)
        missing = sorted(set(installed) - set(made))
        check(not missing, "every element of the installation's settings file is there (missing: %s)" % missing)
        changed = sorted(k for k in installed if k in made and installed[k] != made[k])
        check(not changed, "with the installation's values (changed: %s)" % changed)
        robot = int(root.findtext("common/robot") or 0)
        check(robot > 0 and robot == run_sh_robot(),
              "the robot %d is the one the run command's messaging server runs (%d)" % (robot, run_sh_robot()))
        check(re.search(r'<bootstrap\s+server=', text) is not None, "the bootstrap server is the element's first attribute")

        # Ports and addresses of services on other ports, and a robot of another id.
        root, _ = make(os.path.join(tmp, "other"), install, "--boot-udp", "41000", "--boot-tcp", "41001", "--update",
                       "127.0.0.1:41002", "--robot", "77")
        ports = [(p.get("port"), p.get("type")) for p in root.iter("ServerPort")]
        check(ports == [("41000", "udp"), ("41001", "tcp")], "the bootstrap ports are the given ones, once each")
        check(root.findtext("common/update") == "127.0.0.1:41002", "the update address is the given one")
        check(root.findtext("common/robot") == "77", "a given robot replaces the installation's")
        check(root.findtext("common/portal") == ET.parse(INSTALLED).getroot().findtext("common/portal"),
              "the rest stays the installation's")
    return 0


if __name__ == "__main__":
    sys.exit(main())
