// Protocol 2's plug-in record: call control and the SIP user agent behind the presence core.
#include "service/presence_core.h"
#include "voip/CM_Plugin.h"

namespace {

bool SipLoad(PresencePlugin*) { return CM_PluginLoad(); }
bool SipUnload(PresencePlugin*) { return CM_PluginUnload(); }
int SipLogin(Account* account) { return CM_PluginLogin(account); }
void SipClose(PresenceConnectionRec*) { CM_PluginLogout(); }

PresenceProtocolOps g_sipOps = {
    6, 4, nullptr, {"png", 0, 0, 96, 96, 2},
    nullptr, nullptr, nullptr,
    SipLogin, SipClose, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

PresencePluginInfo g_sipInfo = {
    4, 2, 2, "SIP", "1.0", "SIP Protocol Plugin", "SIP Protocol Plugin", "Vorlik", "http://127.0.0.1/",
    SipLoad, SipUnload, &g_sipOps,
};

}  // namespace

PresencePlugin g_sipPlugin = {&g_sipInfo};
