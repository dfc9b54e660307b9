#!/bin/sh
# Start-up figures of the program beside Twinkle, measured the same way in the same run under Xvfb: seconds
# to the first visible window, memory (peak and resident) at 10 s, that is after the sign-in, and CPU while
# idle from 10 s to 40 s. Tessaly signs in by itself as alice against the local test services. Each start is
# measured by window_measure.py beside this script; the figures of every run are kept in figures.txt.
# usage: bench/shell/window_start.sh [build] [runs]   (needs Xvfb, xdotool, x11-utils, imagemagick, kamailio,
# twinkle: tools/deps.sh installs them)
set -eu
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${2:-3}
measure=bench/shell/window_measure.py
[ -x "$build/tessaly" ] || { echo "build first: $build/tessaly is missing" >&2; exit 1; }
for tool in Xvfb xdotool xwininfo python3 twinkle /usr/sbin/kamailio; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: tools/deps.sh installs it" >&2; exit 1; }
done
out="$build/bench-shell"
rm -rf "$out" && mkdir -p "$out"
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM

# The services of the run command, on the same fixed ports.
proxy=5080
sed -n '/^cat > "$out\/kamailio.cfg" <<CFG/,/^CFG/p' tools/run.sh | sed '1d;$d' | sed "s/\$proxy/$proxy/g; s/\\\\\\$/\$/g" > "$out/kamailio.cfg"
/usr/sbin/kamailio -f "$out/kamailio.cfg" -DD -E -Y "$out" -w "$out" -m 32 -M 4 -a no >"$out/kamailio.log" 2>&1 &
pids="$pids $!"
python3 tools/msgserver/msgserver.py --port 9999 --user 1001:alice:secret:Alice --user 1002:bob:secret:Bob >"$out/msg.log" 2>&1 &
pids="$pids $!"
python3 tools/accessserver/accessserver.py --port 7100 >/dev/null 2>"$out/access.log" &
pids="$pids $!"
python3 tools/bootserver/bootserver.py --port 7000 --port 7001 >/dev/null 2>"$out/boot.log" &
pids="$pids $!"
python3 tools/updateserver/updateserver.py --port 7200 >/dev/null 2>"$out/update.log" &
pids="$pids $!"
sleep 1

n=120; while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n+1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
pids="$pids $!"
export DISPLAY=":$n"
sleep 1

# The default profile of a fresh home is ~/.config/tessaly: seed it with a saved automatic login.
# The run's installation folder: the build's files, with a settings file naming the test services.
install=$(cd "$out" && pwd)/app
python3 tools/profile/make_profile.py "$out/seed/.config/tessaly" --user alice --password alice123 \
  --app-folder "$install" --install "$build" >/dev/null
app=$(cd "$build" && pwd)/tessaly
i=1
while [ $i -le "$runs" ]; do
  OUT_DIR="$out" PRESEED="$out/seed" EXTRAENV="TESSALY_AUDIO=manual" python3 "$measure" tessaly $i $([ $i = 1 ] && echo 1 || echo 0) "$app" --app-folder "$install" /nosplash | tee -a "$out/figures.txt"
  OUT_DIR="$out" python3 "$measure" twinkle $i $([ $i = 1 ] && echo 1 || echo 0) "$(command -v twinkle)" | tee -a "$out/figures.txt"
  i=$((i+1))
done
# The range of each figure over the runs, per program.
python3 - "$out/figures.txt" <<'PY'
import re, sys
rows = {}
for line in open(sys.argv[1]):
    words = line.split()
    if not words:
        continue
    figs = dict(w.split("=", 1) for w in words[1:] if "=" in w and not w.startswith("windows="))
    rows.setdefault(words[0], []).append(figs)
keys = [("t_first_window", "first window shown (s)", 1), ("procs", "processes", 1), ("RSS10", "memory at 10 s, resident (MB)", 1024),
        ("HWM10", "memory at 10 s, peak (MB)", 1024), ("cpu0-10", "CPU in the first 10 s (s)", 1), ("cpu10-40", "CPU idle 10-40 s (s)", 1),
        ("cpuown10-40", "CPU idle 10-40 s, the first process alone (s)", 1),
        ("wakeups10-40", "idle wake-ups 10-40 s (per s)", 1)]
names = list(rows)
print("| figure | " + " | ".join(names) + " |")
print("|---" * (len(names) + 1) + "|")
for key, label, div in keys:
    cells = []
    for n in names:
        vals = []
        for figs in rows[n]:
            m = re.match(r"[0-9.]+", figs.get(key, ""))
            if m:
                vals.append(float(m.group()) / div)
        fmt = (lambda v: f"{v:.0f}") if div > 1 or key == "procs" else (lambda v: f"{v:.1f}") if key.startswith("wake") else (lambda v: f"{v:.2f}")
        lo, hi = (fmt(min(vals)), fmt(max(vals))) if vals else ("-", "-")
        cells.append(lo if lo == hi else f"{lo}-{hi}")
    print(f"| {label} | " + " | ".join(cells) + " |")
# Idle wake-ups per second of each thread (by name), as a range over the runs.
threads = {}
for n in names:
    for figs in rows[n]:
        for item in figs.get("wake", "").split(","):
            if ":" in item:
                t, r = item.rsplit(":", 1)
                threads.setdefault(t, {}).setdefault(n, []).append(float(r))
if threads:
    print()
    print("| idle wake-ups per second, per thread | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    order = sorted(threads, key=lambda t: -max(max(v) for v in threads[t].values()))
    for t in order:
        cells = []
        for n in names:
            v = threads[t].get(n)
            cells.append("-" if not v else (f"{min(v):.1f}" if min(v) == max(v) else f"{min(v):.1f}-{max(v):.1f}"))
        print(f"| {t} | " + " | ".join(cells) + " |")
PY
grep -h "Login state 6" "$out"/home-tessaly-*/.config/tessaly/tessaly.log >/dev/null 2>&1 \
  && echo "tessaly signed in during each run" || echo "tessaly: sign-in not seen in the logs under $out"
echo "screenshots and logs: $out"
