#!/bin/sh
# Runs what the system can do so far against local test services on 127.0.0.1: a SIP registrar and
# proxy (kamailio), the messaging and attachment test servers, the sign-in services (bootstrap, access,
# update), and a voice call between two copies of
# the system's call control, SIP user agent and voice engine, carrying spoken audio both ways.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
peer="$build/tools/voicepeer/voicepeer"
[ -x "$peer" ] || { echo "build first: $peer is missing" >&2; exit 1; }
out="$build/run"
rm -rf "$out" && mkdir -p "$out/attachments"

pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM

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
  >"$out/msgserver.log" 2>&1 &
pids="$pids $!"
# Sign-in services: the access server, the bootstrap server (it points at the access server, kamailio
# and the messaging server above) and the update server, with the settings file that names them.
python3 tools/accessserver/accessserver.py --port 7100 --log "$out/access.jsonl" >"$out/accessserver.log" 2>&1 &
pids="$pids $!"
python3 tools/bootserver/bootserver.py --port 7000 --port 7001 --log "$out/boot.jsonl" >"$out/bootserver.log" 2>&1 &
pids="$pids $!"
python3 tools/updateserver/updateserver.py --port 7200 --log "$out/update.jsonl" >"$out/updateserver.log" 2>&1 &
pids="$pids $!"
cat > "$out/tessaly.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<tessaly>
  <common><update>127.0.0.1:7200</update></common>
  <bootstrap server="127.0.0.1"><ServerPort port="7000" type="udp"/><ServerPort port="7001" type="tcp"/></bootstrap>
</tessaly>
XML
python3 tools/attachserver/attachserver.py --port 7777 --dir "$out/attachments" >"$out/attachserver.log" 2>&1 &
pids="$pids $!"
sleep 1
echo "SIP registrar and proxy on 127.0.0.1:$proxy, messaging server on 127.0.0.1:9999, attachments on 127.0.0.1:7777"
echo "bootstrap on 127.0.0.1:7000 (udp, tcp) and 7001, access server on 7100, update server on 7200; settings: $out/tessaly.xml"
echo "sign-ins: alice/alice123, bob/bob123, zhangwei/zhangwei123, lina/lina123, carol/carol123"

# A sign-in through them: bootstrap, access-server log-in and synchronisation, SIP registration at
# kamailio (the messaging sign-in is stood in for until the presence core exists), update check, sign-off.
if [ -x "$build/tools/signin/signin" ]; then
  "$build/tools/signin/signin" --settings "$out/tessaly.xml" --usrcfg "$out/usrcfg.ini" --sip-port 5074 \
    2>"$out/signin.trace" | tee "$out/signin.log" || echo "sign-in demo failed (see $out/signin.log)"
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
"$peer" call --sip-port 5072 --user alice --remote-port $proxy --call bob --in "$out/alice_says.wav" \
  --out "$out/alice_heard.wav" --seconds 8 --dtmf 2580 --dtmf-at 6500 --dtmf-gap 300 | tee "$out/alice.log"
wait $bob || true
echo "--- bob"; cat "$out/bob.log"
echo
echo "What each side heard: $out/alice_heard.wav and $out/bob_heard.wav (logs beside them)."
