// Fuzz target: any parsed document, once written, must parse again and write the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/xmldoc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CXmlDocument first("UTF-8");
    first.SetText(std::string(reinterpret_cast<const char*>(data), size));
    if (!first.Parse()) return 0;
    std::string written = first.Write();

    CXmlDocument second("UTF-8");
    second.SetText(written);
    if (!second.Parse()) __builtin_trap();
    if (second.Write() != written) __builtin_trap();

    CXmlElement* found = nullptr;
    first.GetRoot()->FindDescendant("a", found);
    return 0;
}
