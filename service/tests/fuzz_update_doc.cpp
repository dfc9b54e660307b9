// Fuzz target: the version document read in pieces of any size.
#include <cstddef>
#include <cstdint>

#include "service/update_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t piece = 1 + data[0] % 128;
    UpdateDocumentParser parser;
    const char* text = reinterpret_cast<const char*>(data) + 1;
    size_t length = size - 1;
    bool ok = true;
    for (size_t at = 0; ok && at < length; at += piece) ok = parser.Feed(text + at, length - at < piece ? length - at : piece, false);
    if (ok) parser.Feed(nullptr, 0, true);
    return 0;
}
