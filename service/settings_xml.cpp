// Settings file reader: the common addresses, the bootstrap server and its port list.
#include "service/settings_xml.h"

#include <cstdlib>

#include "common/xmldoc.h"
#include "service/bootstrap.h"

ServiceSettings g_serviceSettings;

namespace {

struct TextSearch {
    std::string* out;
};

bool TakeText(CXmlElement* element, void* context) {
    std::string text;
    if (element->GetText(text)) *static_cast<TextSearch*>(context)->out = text;
    else static_cast<TextSearch*>(context)->out->clear();
    return true;
}

void CommonValue(const CXmlDocument& doc, const char* name, std::string& out) {
    TextSearch search{&out};
    CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), "common", name, TakeText, &search);
}

struct BootSearch {
    CXmlElement* element = nullptr;
};

bool TakeElement(CXmlElement* element, void* context) {
    static_cast<BootSearch*>(context)->element = element;
    return true;
}

void CollectPorts(const CXmlNode* node, PortCandidateList& list) {
    for (CXmlNode* child : node->GetChildren()) {
        if (child->GetType() != XML_NODE_ELEMENT) continue;
        auto* e = static_cast<CXmlElement*>(child);
        if (e->GetName() == "ServerPort") {
            int port = 0;
            std::string type;
            bool hasPort = e->GetAttributeInt("port", port);
            e->GetAttribute("type", type);
            if (hasPort && port >= 1 && port <= 65535) list.push_back(PortCandidate{port, STA_ProtocolFromName(type.c_str())});
        }
        CollectPorts(e, list);
    }
}

}  // namespace

PortCandidateList ReadSettingsXml(const char* path) {
    PortCandidateList ports;
    CXmlDocument doc("UTF-8");
    doc.LoadFile(path ? path : "");
    if (!doc.Parse()) {
        STA_SetAvailPorts(SERVICE_BOOT, ports);
        return ports;
    }
    const auto& top = doc.GetRoot()->GetChildren();
    if (top.empty() || top[0]->GetType() != XML_NODE_ELEMENT) return ports;
    ServiceSettings& s = g_serviceSettings;
    CommonValue(doc, "portal", s.portal);
    CommonValue(doc, "register", s.registerPage);
    CommonValue(doc, "status", s.status);
    CommonValue(doc, "update", s.update);
    std::string robot;
    CommonValue(doc, "robot", robot);
    if (!robot.empty()) s.robot = atoi(robot.c_str());

    BootSearch boot;
    CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), nullptr, "bootstrap", TakeElement, &boot);
    if (boot.element != nullptr) {
        const auto& attributes = boot.element->GetAttributes();
        if (!attributes.empty() && attributes[0]->GetName() == "server") {
            s.bootstrapHost = attributes[0]->GetValue();
            Boot_SetServerHost(s.bootstrapHost);
            CollectPorts(boot.element, ports);
        }
    }
    auto* root = static_cast<CXmlElement*>(top[0]);
    struct {
        const char* name;
        std::string* out;
    } const rootValues[] = {{"helptopic", &s.helpTopic}, {"searchBuddy", &s.searchBuddy}, {"searchGroup", &s.searchGroup},
                            {"service", &s.service},     {"prepay", &s.prepay},           {"share", &s.share}};
    for (const auto& v : rootValues) {
        CXmlElement* e = nullptr;
        if (root->FindDescendant(v.name, e)) {
            std::string text;
            e->GetText(text);
            *v.out = text;
        }
    }
    STA_SetAvailPorts(SERVICE_BOOT, ports);
    return ports;
}
