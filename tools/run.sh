#!/bin/sh
# Runs the system against local test services on 127.0.0.1: a SIP registrar and proxy (kamailio), the
# messaging and attachment test servers and the sign-in services (bootstrap, access, update). The program
# tessaly starts with a profile that signs in by itself as a seeded user (TESSALY_USER, default alice;
# TESSALY_SECOND=bob starts a second copy with its own profile beside it). On a desktop the window stays
# until you close it; without a display it runs under Xvfb, signs in, leaves a screenshot of the signed-in
# window beside the logs and closes. Without a sound card that records, the program's calls speak and
# hear through WAV files. Then a voice call between two copies of the system's call control,
# SIP user agent and voice engine carries spoken audio both ways.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
peer="$build/tools/voicepeer/voicepeer"
app="$build/tessaly"
[ -x "$peer" ] || { echo "build first: $peer is missing" >&2; exit 1; }
[ -x "$app" ] || { echo "build first: $app is missing" >&2; exit 1; }
out="$build/run"
rm -rf "$out" && mkdir -p "$out/attachments"

pids=""
apps=""
cleanup() {
  trap - EXIT INT TERM
  # The programs first, while their display and services are still there, so that they sign out and close
  # as they would (at most 10 s), then the services and the display.
  for p in $apps; do kill -TERM "$p" 2>/dev/null || true; done
  i=0
  while [ $i -lt 100 ]; do
    alive=""
    for p in $apps; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ -z "$alive" ] && break
    sleep 0.1; i=$((i+1))
  done
  for p in $apps; do kill -KILL "$p" 2>/dev/null || true; done
  for p in $pids; do kill "$p" 2>/dev/null || true; done
}
# TERM or INT ends the run: the services and programs started here are stopped, nothing more is started.
trap cleanup EXIT
trap 'echo "stopped" >&2; cleanup; exit 143' TERM
trap 'echo "stopped" >&2; cleanup; exit 130' INT

# Local services.
proxy=5080
cat > "$out/kamailio.cfg" <<CFG
#!KAMAILIO
debug=1
log_stderror=yes
fork=no
disable_tcp=yes
auto_aliases=no
listen=udp:127.0.0.1:$proxy
mpath="/usr/lib/x86_64-linux-gnu/kamailio/modules/"
loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "auth.so"
modparam("usrloc", "db_mode", 0)
modparam("rr", "enable_full_lr", 1)
request_route {
  if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
  if (has_totag()) {
    if (loose_route()) { t_relay(); exit; }
    if (is_method("ACK")) { if (t_check_trans()) { t_relay(); } exit; }
    sl_send_reply("404", "Not here"); exit;
  }
  if (is_method("CANCEL")) { if (t_check_trans()) { t_relay(); } exit; }
  if (is_method("REGISTER")) {
    if (!pv_www_authenticate("\$td", "secret", "0")) { www_challenge("\$td", "1"); exit; }
    save("location"); exit;
  }
  if (is_method("INVITE")) {
    record_route();
    if (!lookup("location")) { sl_send_reply("404", "Not Found"); exit; }
    t_relay(); exit;
  }
  sl_send_reply("405", "Method Not Allowed");
}
CFG
/usr/sbin/kamailio -f "$out/kamailio.cfg" -DD -E -Y "$out" -w "$out" -m 32 -M 4 -a no >"$out/kamailio.log" 2>&1 &
pids="$pids $!"
python3 tools/msgserver/msgserver.py --port 9999 --user 1001:alice:secret:Alice --user 1002:bob:secret:Bob \
  --user 1003:zhangwei:secret:张伟 --user 1004:lina:secret:李娜 --user 1005:carol:secret:Carol \
  --robot 900 --room q-dev:开发讨论 --room q-family:家庭:1234 --room "q-lunch:Lunch club" \
  >"$out/msgserver.log" 2>&1 &
pids="$pids $!"
python3 tools/attachserver/attachserver.py --port 7777 --dir "$out/attachments" >"$out/attachserver.log" 2>&1 &
pids="$pids $!"
python3 tools/accessserver/accessserver.py --port 7100 --log "$out/accessserver.jsonl" >/dev/null 2>"$out/accessserver.log" &
pids="$pids $!"
python3 tools/bootserver/bootserver.py --port 7000 --port 7001 --log "$out/bootserver.jsonl" >/dev/null 2>"$out/bootserver.log" &
pids="$pids $!"
python3 tools/updateserver/updateserver.py --port 7200 >/dev/null 2>"$out/updateserver.log" &
pids="$pids $!"
sleep 1
echo "SIP registrar and proxy on 127.0.0.1:$proxy, messaging server on 127.0.0.1:9999, attachments on 127.0.0.1:7777"
echo "bootstrap on 127.0.0.1:7000 (udp) and 7001 (tcp), access server on 7100, update server on 7200"

# The program: one profile per user, each signing in by itself.
user=${TESSALY_USER:-alice}
second=${TESSALY_SECOND:-}
xvfb=""
if [ -z "${DISPLAY:-}" ]; then
  n=90; while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n+1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
  xvfb=$!; pids="$pids $xvfb"
  export DISPLAY=":$n"
  i=0; until [ -e "/tmp/.X11-unix/X$n" ] || [ $i -ge 50 ]; do sleep 0.1; i=$((i+1)); done
fi
# Calls from the window need a microphone. On a machine with no sound card that records, each copy
# speaks a spoken WAV file (over and over) and records what it hears into another (see README).
file_audio=""
whole=$(cd "$out" && pwd)  # the program works in its installation folder: whole paths
if [ -z "${TESSALY_AUDIO:-}" ] && ! grep -qs capture /proc/asound/pcm; then
  file_audio=1
  echo "no sound card that records: calls from the window speak $out/<user>_speaks.wav and record $out/<user>_hears.wav"
fi
apps=""
left=100
for u in $user $second; do
  # Each copy's own installation folder: the build's files, with a settings file naming these services.
  python3 tools/profile/make_profile.py "$out/profile-$u" --user "$u" --password "${u}123" --left $left \
    --app-folder "$whole/app-$u" --install "$build"
  left=$((left+420))
  set --
  if [ -n "$file_audio" ]; then
    set -- env TESSALY_AUDIO=file TESSALY_WAVE_OUT="$whole/${u}_hears.wav"
    if espeak-ng -w "$whole/${u}_speaks.wav" "Hello, this is $u, talking to you over Tessaly." >/dev/null 2>&1; then
      set -- "$@" TESSALY_WAVE_IN="$whole/${u}_speaks.wav" TESSALY_WAVE_IN_LOOP=1
    fi
  fi
  "$@" "$app" --app-folder "$whole/app-$u" --profile "$out/profile-$u" /nosplash >"$out/tessaly-$u.out" 2>&1 &
  apps="$apps $!"; pids="$pids $!"
done
for u in $user $second; do
  i=0; until grep -q "Login state 6" "$out/profile-$u/tessaly.log" 2>/dev/null || [ $i -ge 400 ]; do sleep 0.1; i=$((i+1)); done
  if grep -q "Login state 6" "$out/profile-$u/tessaly.log"; then echo "tessaly: $u signed in (log: $out/profile-$u/tessaly.log)"
  else echo "tessaly: $u did not sign in; see $out/profile-$u/tessaly.log" >&2; fi
done
if [ -n "$xvfb" ]; then
  sleep 2
  if command -v import >/dev/null; then
    import -window root "$out/tessaly-signed-in.png" 2>>"$out/xvfb.log" && echo "screenshot: $out/tessaly-signed-in.png"
  fi
  for p in $apps; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $apps; do wait "$p" 2>/dev/null || true; done
  echo "tessaly closed"
else
  echo "close the Tessaly window(s) to go on to the voice-call demo"
  for p in $apps; do wait "$p" 2>/dev/null || true; done
fi

# Two voices, spoken into WAV files.
espeak-ng -w "$out/a.wav" "Hello Bob, this is Alice calling over Tessaly." >/dev/null 2>&1
espeak-ng -w "$out/b.wav" "Hi Alice, I hear you clearly. Goodbye." >/dev/null 2>&1
sox "$out/a.wav" -r 48000 -c 1 -b 16 "$out/alice_says.wav"
sox "$out/b.wav" -r 48000 -c 1 -b 16 "$out/bob_says.wav"

# Bob answers; Alice registers, calls bob through the proxy, talks, sends DTMF and hangs up.
"$peer" call --sip-port 5070 --user bob --remote-port $proxy --in "$out/bob_says.wav" \
  --out "$out/bob_heard.wav" --seconds 14 >"$out/bob.log" 2>&1 &
bob=$!
pids="$pids $bob"
i=0; until grep -q ready "$out/bob.log" 2>/dev/null || [ $i -ge 100 ]; do sleep 0.1; i=$((i+1)); done
# Each side runs in the background so that a TERM or INT stops the run at once.
"$peer" call --sip-port 5072 --user alice --remote-port $proxy --call bob --in "$out/alice_says.wav" \
  --out "$out/alice_heard.wav" --seconds 8 --dtmf 2580 --dtmf-at 6500 --dtmf-gap 300 >"$out/alice.log" 2>&1 &
alice=$!
pids="$pids $alice"
wait $alice || true
cat "$out/alice.log"
wait $bob || true
echo "--- bob"; cat "$out/bob.log"
echo
echo "What each side heard: $out/alice_heard.wav and $out/bob_heard.wav (logs beside them)."
