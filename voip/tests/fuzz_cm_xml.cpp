// Fuzz target: conference-contact and hold bodies as they arrive from a peer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "voip/CM_Xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    CM_CONTACT contacts[CM_MAX_CONTACT_NUM];
    CM_XmlParse(CM_XML_CONTACT, body.c_str(), contacts, CM_MAX_CONTACT_NUM);
    char action[CM_MAX_STRING_LEN];
    CM_XmlParse(CM_XML_ACTION, body.c_str(), action);
    return 0;
}
