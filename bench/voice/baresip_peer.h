// baresip as a peer of the voice benchmarks: its configuration folder for one side of a call.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace bench {

// Writes config and accounts into folder d: SIP on 127.0.0.1:sipPort (TLS takes sipPort + 1),
// RTP ports sipPort + 10..50, PCMU only, audio from `source` and to `player` ("module,device").
// The callee answers at once.
inline void WriteBaresipConfig(const std::string& d, int sipPort, bool caller, const std::string& source,
                               const std::string& player) {
  mkdir(d.c_str(), 0755);
  std::ofstream c(d + "/config");
  c << "poll_method\t\tepoll\nsip_listen\t\t127.0.0.1:" << sipPort << "\nsip_trans_def\t\tudp\n"
    << "module_path\t\t/usr/lib/baresip/modules\nmodule\t\t\tg711.so\nmodule\t\t\taufile.so\n"
    << "module\t\t\taubridge.so\nmodule_app\t\taccount.so\nmodule_app\t\tmenu.so\n"
    << "ausrc_srate\t\t48000\nausrc_channels\t\t1\nauplay_srate\t\t48000\nauplay_channels\t\t1\n"
    << "rtp_ports\t\t" << sipPort + 10 << "-" << sipPort + 50 << "\nnet_interface\t\t127.0.0.1\n"
    << "audio_source\t\t" << source << "\naudio_player\t\t" << player << "\n";
  std::ofstream(d + "/accounts") << (caller ? "<sip:alice@127.0.0.1>;regint=0;audio_codecs=PCMU\n"
                                            : "<sip:bob@127.0.0.1>;regint=0;audio_codecs=PCMU;answermode=auto\n");
}

}  // namespace bench
