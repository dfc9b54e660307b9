// Fuzz target: a version document as the main window takes it: read in pieces, then the version compared
// and the download address the user may be offered.
#include <cstddef>
#include <cstdint>
#include <strings.h>

#include "service/update_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 128;
    UpdateDocumentParser parser;
    const char* text = reinterpret_cast<const char*>(data) + 1;
    const size_t length = size - 1;
    bool ok = true;
    for (size_t at = 0; ok && at < length; at += piece) ok = parser.Feed(text + at, length - at < piece ? length - at : piece, false);
    if (ok) parser.Feed(nullptr, 0, true);
    if (!parser.SawDownloadZip()) return 0;
    (void)Update_IsNewer(parser.Info());
    const std::string offered = Update_OfferedDownload(parser.DownloadZip());
    if (offered.empty()) return 0;
    // Whatever the document says, only a printable web address of bounded length comes out.
    if (offered.size() > UPDATE_MAX_ADDRESS) __builtin_trap();
    if (strncasecmp(offered.c_str(), "http://", 7) != 0 && strncasecmp(offered.c_str(), "https://", 8) != 0) __builtin_trap();
    for (unsigned char c : offered)
        if (c <= 0x20 || c >= 0x7f) __builtin_trap();
    if (Update_OfferedDownload(offered) != offered) __builtin_trap();
    return 0;
}
