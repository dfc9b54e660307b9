// The SMS request to the access server (kept apart: the access-server records and the address-book queries
// both name a CBuddyNamePair).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"

namespace chat {

namespace {
char* Dup(const std::string& text) {
    char* out = static_cast<char*>(malloc(text.size() + 1));
    if (out) memcpy(out, text.c_str(), text.size() + 1);
    return out;
}
}  // namespace

bool QueueSms(const std::string& source, const std::string& text, const std::vector<std::string>& numbers) {
    if (numbers.empty()) return false;
    auto* sms = new AsSmsMessage;
    sms->source = Dup(source);
    sms->text = Dup(text);
    for (const std::string& n : numbers) sms->destinations.push_back(Dup(n));
    if (AS_PostRequest(AS_SND, sms, AS_DATA_SMS) == 1) return true;
    delete sms;
    return false;
}

}  // namespace chat
