#!/usr/bin/env python3
# One start of a desktop program measured as a user meets it, under the X server on $DISPLAY.
"""Starts a program in a fresh home and prints one line of figures:

  t_first_window  seconds from the start to its first visible top-level window
  procs           the program and its descendants at 10 s
  HWM10 / RSS10   peak and resident memory at 10 s, summed over those processes (kB)
  HWM40           the same peak at 40 s
  cpu0-10         CPU seconds (user + system) of the process tree in its first 10 s
  cpu10-40        CPU seconds of the process tree while idle from 10 s to 40 s
  cpuown10-40     the same of the started process alone (without the browser engine's helper processes)
  wakeups10-40    wake-ups per second of the process tree while idle from 10 s to 40 s (context switches of
                  all its threads), and wake=NAME:RATE,... the same per thread name (threads of one name summed)

usage: window_measure.py NAME RUN SHOT(0/1) command [args...]
environment: OUT_DIR (logs, homes and screenshots; a temporary folder when unset), PRESEED (a folder copied
into the fresh home first), EXTRAENV (NAME=VALUE words added to the program's environment).
Needs xdotool; x11-utils and imagemagick for the window sizes and screenshots; dbus-daemon when present
gives each run a private session bus.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HZ = os.sysconf("SC_CLK_TCK")


def tree(pid):
    """The process and all its descendants (a child started by any thread of a process counts)."""
    parent = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    out, todo = [], [pid] if pid in parent else []
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(c for c, pp in parent.items() if pp == p)
    return out


def cpu_ticks(pids):
    total = 0
    for p in pids:
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return total


def mem_kb(pids, key):
    total = 0
    for p in pids:
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith(key + ":"):
                        total += int(line.split()[1])
                        break
        except (OSError, ValueError):
            pass
    return total


def switches(pids):
    """Context switches per thread {(pid, tid): (name, count)}: each time a thread runs after waiting counts once."""
    out = {}
    for p in pids:
        try:
            tids = os.listdir(f"/proc/{p}/task")
        except OSError:
            continue
        for t in tids:
            name, count = "?", 0
            try:
                with open(f"/proc/{p}/task/{t}/status") as f:
                    for line in f:
                        if line.startswith("Name:"):
                            name = line.split(None, 1)[1].strip() if len(line.split()) > 1 else "?"
                        elif line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                            count += int(line.split()[1])
            except (OSError, ValueError):
                continue
            out[(p, t)] = (name, count)
    return out


def wakeup_rates(before, after, seconds):
    """Whole-tree and per-thread-name wake-ups per second between two readings of switches()."""
    per_name = {}
    for key, (name, count) in after.items():
        delta = count - before.get(key, (name, 0))[1]
        per_name[name] = per_name.get(name, 0) + max(delta, 0)
    total = sum(per_name.values())
    return total / seconds, {n: c / seconds for n, c in per_name.items()}


def root_window():
    out = subprocess.run(["xwininfo", "-root"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if "Window id:" in line:
            return int(line.split()[3], 16)
    return None


def visible_windows(root):
    r = subprocess.run(["xdotool", "search", "--maxdepth", "1", "--onlyvisible", "--name", ""],
                       capture_output=True, text=True)
    return [w for w in r.stdout.split() if w.strip() and int(w) != root]


def describe(w):
    name = subprocess.run(["xdotool", "getwindowname", w], capture_output=True, text=True).stdout.strip()
    geo = subprocess.run(["xwininfo", "-id", w], capture_output=True, text=True).stdout
    width = height = "?"
    for line in geo.splitlines():
        line = line.strip()
        if line.startswith("Width:"):
            width = line.split()[1]
        elif line.startswith("Height:"):
            height = line.split()[1]
    return f"[{name}|{width}x{height}]"


def main(argv):
    if len(argv) < 5:
        sys.stderr.write(__doc__)
        return 2
    name, run, shot, command = argv[1], argv[2], argv[3] == "1", argv[4:]
    if not os.environ.get("DISPLAY"):
        sys.stderr.write("window_measure: no DISPLAY\n")
        return 2
    base = os.environ.get("OUT_DIR") or tempfile.mkdtemp(prefix="window-measure-")
    home = os.path.join(base, f"home-{name}-{run}")
    shutil.rmtree(home, ignore_errors=True)
    preseed = os.environ.get("PRESEED")
    if preseed:
        shutil.copytree(preseed, home, symlinks=True)
    rundir = os.path.join(home, "run")
    os.makedirs(rundir, exist_ok=True)
    os.chmod(rundir, 0o700)
    log = open(os.path.join(base, f"log-{name}-{run}.txt"), "wb")

    env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "DISPLAY": os.environ["DISPLAY"], "HOME": home,
           "XDG_RUNTIME_DIR": rundir, "PULSE_SERVER": "unix:/nonexistent/pulse", "LANG": "C.UTF-8",
           "USER": os.environ.get("USER", "root")}
    for word in os.environ.get("EXTRAENV", "").split():
        if "=" in word:
            k, v = word.split("=", 1)
            env[k] = v
    bus = None
    if shutil.which("dbus-daemon"):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                f"--address=unix:path={rundir}/bus"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(f"{rundir}/bus"):
                break
            time.sleep(0.01)
        env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={rundir}/bus"

    root = root_window()
    t0 = time.monotonic()
    proc = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    first = "NA"
    while time.monotonic() - t0 < 60:
        if visible_windows(root):
            first = f"{time.monotonic() - t0:.2f}"
            break
        if proc.poll() is not None:
            first = "exited"
            break
        time.sleep(0.02)

    def until(t):
        left = t - (time.monotonic() - t0)
        if left > 0:
            time.sleep(left)

    if shot and shutil.which("import"):
        until(8)
        subprocess.run(["import", "-window", "root", os.path.join(base, f"shot-{name}.png")], stderr=log)
        for i, w in enumerate(visible_windows(root), 1):
            subprocess.run(["import", "-window", w, os.path.join(base, f"shot-{name}-win{i}.png")], stderr=log)
    until(10)
    pids = tree(proc.pid)
    hwm10, rss10, cpu10, nproc = mem_kb(pids, "VmHWM"), mem_kb(pids, "VmRSS"), cpu_ticks(pids), len(pids)
    own10 = cpu_ticks([proc.pid])
    sw10 = switches(pids)
    until(40)
    pids = tree(proc.pid)
    hwm40, cpu40, own40 = mem_kb(pids, "VmHWM"), cpu_ticks(pids), cpu_ticks([proc.pid])
    wake_total, wake_names = wakeup_rates(sw10, switches(pids), 30.0)
    busiest = sorted(wake_names.items(), key=lambda kv: -kv[1])
    wake = ",".join(f"{n.replace(' ', '_').replace(',', '_')}:{r:.1f}" for n, r in busiest if r >= 0.05) or "-"
    windows = "".join(describe(w) for w in visible_windows(root))
    print(f"{name} run={run} t_first_window={first}s procs={nproc} HWM10={hwm10}kB RSS10={rss10}kB "
          f"HWM40={hwm40}kB cpu0-10={cpu10 / HZ:.2f}s cpu10-40={(cpu40 - cpu10) / HZ:.2f}s "
          f"cpuown10-40={(own40 - own10) / HZ:.2f}s "
          f"wakeups10-40={wake_total:.1f}/s wake={wake} windows={windows}",
          flush=True)

    # Stop: TERM to the whole tree (the program signs out and closes), then KILL what is left.
    for p in reversed(tree(proc.pid)):
        try:
            os.kill(p, signal.SIGTERM)
        except OSError:
            pass
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()
    if bus:
        bus.terminate()
        bus.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
