#!/bin/sh
# Start-up figures of the program beside Twinkle, measured the same way in the same run under Xvfb: seconds
# to the first visible window, memory (peak and resident) at 10 s, that is after the sign-in, and CPU while
# idle from 10 s to 40 s. Tessaly signs in by itself as alice against the local test services.
# usage: bench/shell/window_start.sh [build] [runs]   (needs Xvfb, xdotool, imagemagick, twinkle)
set -eu
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${2:-3}
measure=${WINDOW_START:-/work/shared/tools/window-start.sh}
[ -x "$build/tessaly" ] || { echo "build first: $build/tessaly is missing" >&2; exit 1; }
[ -f "$measure" ] || { echo "the measuring script is missing: $measure (set WINDOW_START)" >&2; exit 1; }
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
python3 tools/profile/make_profile.py "$out/seed/.config/tessaly" --user alice --password alice123 >/dev/null
app=$(cd "$build" && pwd)/tessaly
i=1
while [ $i -le "$runs" ]; do
  OUT_DIR="$out" PRESEED="$out/seed" EXTRAENV="TESSALY_AUDIO=manual" bash "$measure" tessaly $i $([ $i = 1 ] && echo 1 || echo 0) "$app" /nosplash
  OUT_DIR="$out" bash "$measure" twinkle $i $([ $i = 1 ] && echo 1 || echo 0) /usr/bin/twinkle
  i=$((i+1))
done
grep -h "Login state 6" "$out"/home-tessaly-*/.config/tessaly/tessaly.log >/dev/null 2>&1 \
  && echo "tessaly signed in during each run" || echo "tessaly: sign-in not seen in the logs under $out"
echo "screenshots and logs: $out"
