// Fuzz target: an access-server reply fed in chunks, checked and parsed for one command.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/grouprecord.h"
#include "common/xmldoc.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int command = data[0] % AS_COMMAND_COUNT;
    size_t chunk = 1 + data[1] % 64;
    data += 2;
    size -= 2;

    auto* request = static_cast<AsRequest*>(calloc(1, sizeof(AsRequest)));
    request->command = command;
    if (command == AS_SYQ) {
        request->data = GroupRecord_New();
        request->kind = AS_DATA_GROUP;
    } else if (command == AS_ADL) {
        request->data = new CAsList;
        request->kind = AS_DATA_LIST;
    } else {
        auto* params = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        params->str1 = strdup("x");
        request->data = params;
        request->kind = AS_DATA_PARAMS;
    }
    CXmlDocument reply("UTF-8");
    reply.Reset();
    bool ok = true;
    for (size_t at = 0; ok && at < size; at += chunk)
        ok = reply.ParseChunk(reinterpret_cast<const char*>(data) + at, static_cast<int>(size - at < chunk ? size - at : chunk), false);
    if (ok) ok = reply.ParseChunk(nullptr, 0, true);
    if (ok) {
        AsSession session;
        session.Configure("u", "p");
        session.CheckReply(reply, request, 0);
    }
    AS_FreeRequest(request);
    return 0;
}
