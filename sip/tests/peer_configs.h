// Configurations of the real peers the tests start: kamailio as registrar and proxy with Digest
// and no database, and baresip as a SIP phone; all on 127.0.0.1.
#pragma once

#include <fstream>
#include <map>
#include <string>

namespace siptest {

// A kamailio configuration: registrar with Digest (one password for every user, realm = To
// domain, qop=auth), loose-routing proxy that record-routes INVITEs, users found in its location
// table, or at a fixed address for the users listed in `fixed`.
inline std::string KamailioConfig(int port, const std::string& password, const std::map<std::string, int>& fixed = {}) {
    std::string cfg =
        "#!KAMAILIO\n"
        "debug=2\n"
        "log_stderror=yes\n"
        "fork=yes\n"
        "children=1\n"
        "disable_tcp=yes\n"
        "auto_aliases=no\n"
        "listen=udp:127.0.0.1:" + std::to_string(port) + "\n";
    // Modules come from kamailio's own module path.
    for (const char* m : {"tm", "sl", "rr", "pv", "maxfwd", "usrloc", "registrar", "textops", "siputils", "auth", "xlog"}) {
        cfg += std::string("loadmodule \"") + m + ".so\"\n";
    }
    cfg +=
        "modparam(\"usrloc\", \"db_mode\", 0)\n"
        "modparam(\"rr\", \"enable_full_lr\", 1)\n"
        "request_route {\n"
        "    xlog(\"L_INFO\", \"$rm $ru from $si:$sp\\n\");\n"
        "    if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); exit; }\n"
        "    if (has_totag()) {\n"
        "        if (loose_route()) { t_relay(); exit; }\n"
        "        if (is_method(\"ACK\")) { if (t_check_trans()) { t_relay(); } exit; }\n"
        "        sl_send_reply(\"404\", \"Not here\");\n"
        "        exit;\n"
        "    }\n"
        "    if (is_method(\"CANCEL\")) { if (t_check_trans()) { t_relay(); } exit; }\n"
        "    if (is_method(\"REGISTER\")) {\n"
        "        if (!pv_www_authenticate(\"$td\", \"" + password + "\", \"0\")) { www_challenge(\"$td\", \"1\"); exit; }\n"
        "        save(\"location\");\n"
        "        exit;\n"
        "    }\n"
        "    if (is_method(\"INVITE\")) {\n"
        "        record_route();\n";
    for (const auto& [user, userPort] : fixed) {
        cfg += "        if ($rU == \"" + user + "\") { $du = \"sip:127.0.0.1:" + std::to_string(userPort) +
               "\"; t_relay(); exit; }\n";
    }
    cfg +=
        "        if (!lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
        "        t_relay();\n"
        "        exit;\n"
        "    }\n"
        "    sl_send_reply(\"405\", \"Method Not Allowed\");\n"
        "}\n";
    return cfg;
}

// How many ports baresip gets for its media, from rtpFirst on.
constexpr int kBaresipRtpPorts = 20;

// The files of a baresip configuration folder: one account registered through the proxy.
inline void WriteBaresipConfig(const std::string& dir, int port, int rtpFirst, const std::string& user,
                               const std::string& password, int proxyPort, bool autoAnswer) {
    std::ofstream config(dir + "/config");
    config << "poll_method\t\tepoll\n"
           << "sip_listen\t\t127.0.0.1:" << port << "\n"
           << "sip_trans_def\t\tudp\n"
           << "module_path\t\t/usr/lib/baresip/modules\n"
           << "module\t\t\tg711.so\n"
           << "module\t\t\tausine.so\n"
           << "module\t\t\taufile.so\n"
           << "module_app\t\taccount.so\n"
           << "module_app\t\tmenu.so\n"
           << "audio_player\t\taufile," << dir << "/heard.wav\n"
           << "audio_source\t\tausine,440\n"
           << "ausrc_srate\t\t48000\n"
           << "ausrc_channels\t\t2\n"
           << "auplay_srate\t\t48000\n"
           << "audio_alert\t\taufile," << dir << "/alert.wav\n"
           << "rtp_ports\t\t" << rtpFirst << "-" << (rtpFirst + kBaresipRtpPorts - 1) << "\n"
           << "net_interface\t\t127.0.0.1\n";
    std::ofstream accounts(dir + "/accounts");
    accounts << "<sip:" << user << "@127.0.0.1>;auth_pass=" << password << ";outbound=\"sip:127.0.0.1:" << proxyPort
             << "\";regint=600;audio_codecs=PCMU" << (autoAnswer ? ";answermode=auto" : "") << "\n";
    std::ofstream contacts(dir + "/contacts");
    contacts << "\"alice\" <sip:alice@127.0.0.1>\n";
}

}  // namespace siptest
