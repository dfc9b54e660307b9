// XML document tree over Expat: node classes, the parser callbacks, the builder and the writers.
#include "common/xmldoc.h"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"

namespace {

const char* Safe(const char* text) { return text ? text : ""; }

// Escapes character data and attribute values so that written documents parse again and
// carry the same text. Carriage returns (and, in attributes, tabs and line feeds) become
// character references because a parser would otherwise normalise them away. Control
// characters that XML cannot carry at all are dropped.
void AppendEscaped(std::string& out, const std::string& text, bool attribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break;
        case '\n':
            if (attribute) out += "&#10;"; else out += c;
            break;
        case '\t':
            if (attribute) out += "&#9;"; else out += c;
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) break;
            out += c;
        }
    }
}

}  // namespace

// ---- CXmlNode ----

CXmlNode::~CXmlNode() {
    for (CXmlNode* child : m_children) delete child;
    delete m_text;
}

void CXmlNode::AddChild(CXmlNode* node) {
    if (!node) return;
    if (node->GetType() != XML_NODE_TEXT) {
        m_children.push_back(node);
        return;
    }
    // Character data after the first child node is not kept.
    if (!m_children.empty()) {
        delete node;
        return;
    }
    auto* text = static_cast<CXmlText*>(node);
    if (!m_text) {
        m_text = text;
        text->SetParent(this);
    } else {
        m_text->Append(text->GetValue());
        delete text;
    }
}

bool CXmlNode::GetText(std::string& text) const {
    if (!m_text) return false;
    text = m_text->GetValue();
    return true;
}

bool CXmlNode::FindChild(const char* name, CXmlElement*& node) const {
    for (CXmlNode* child : m_children) {
        if (child->GetType() != XML_NODE_ELEMENT) continue;
        auto* element = static_cast<CXmlElement*>(child);
        if (element->GetName() == Safe(name)) {
            node = element;
            return true;
        }
    }
    return false;
}

bool CXmlNode::GetChildElements(const char* name, std::vector<CXmlElement*>& nodes) const {
    nodes.clear();
    for (CXmlNode* child : m_children) {
        if (child->GetType() != XML_NODE_ELEMENT) continue;
        auto* element = static_cast<CXmlElement*>(child);
        if (element->GetName() == Safe(name)) nodes.push_back(element);
    }
    return !nodes.empty();
}

bool CXmlNode::FindDescendant(const char* name, CXmlElement*& node) const {
    if (FindChild(name, node)) return true;
    for (CXmlNode* child : m_children) {
        if (child->GetType() != XML_NODE_ELEMENT || child->GetChildren().empty()) continue;
        if (child->FindDescendant(name, node)) return true;
    }
    return false;
}

// ---- CXmlAttribute ----

CXmlAttribute::CXmlAttribute(const char* name, const char* value) : m_name(Safe(name)), m_value(Safe(value)) {}

void CXmlAttribute::SetName(const char* name) { m_name = Safe(name); }

void CXmlAttribute::SetValue(const char* value) { m_value = Safe(value); }

// ---- CXmlElement ----

CXmlElement::CXmlElement(const char* name) : m_name(Safe(name)) {}

CXmlElement::~CXmlElement() {
    for (CXmlAttribute* attribute : m_attributes) delete attribute;
}

void CXmlElement::SetName(const char* name) { m_name = Safe(name); }

void CXmlElement::AddAttribute(CXmlAttribute* attribute) {
    if (attribute) m_attributes.push_back(attribute);
}

bool CXmlElement::GetAttribute(const char* name, std::string& value) const {
    for (const CXmlAttribute* attribute : m_attributes) {
        if (attribute->GetName() == Safe(name)) {
            value = attribute->GetValue();
            return true;
        }
    }
    return false;
}

bool CXmlElement::GetAttributeInt(const char* name, int& value) const {
    std::string text;
    if (!GetAttribute(name, text)) return false;
    // atoi semantics without its undefined behaviour on overflow: saturate.
    long long result = 0;
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    while (*p >= '0' && *p <= '9') {
        if (result <= INT_MAX) result = result * 10 + (*p - '0');
        ++p;
    }
    if (negative) result = -result;
    if (result > INT_MAX) result = INT_MAX;
    if (result < INT_MIN) result = INT_MIN;
    value = static_cast<int>(result);
    return true;
}

std::string CXmlElement::Write() const {
    std::string out = "<" + m_name;
    for (const CXmlAttribute* attribute : m_attributes) {
        out += ' ';
        out += attribute->GetName();
        out += "=\"";
        AppendEscaped(out, attribute->GetValue(), true);
        out += '"';
    }
    if (m_children.empty() && !m_text) {
        out += "/>";
        return out;
    }
    out += '>';
    if (m_text) out += m_text->Write();
    for (const CXmlNode* child : m_children) out += child->Write();
    out += "</" + m_name + ">";
    return out;
}

// ---- text, comment, processing instruction ----

CXmlText::CXmlText(const char* text) : m_value(Safe(text)) {}

CXmlText::CXmlText(const char* text, size_t length) : m_value(text ? std::string(text, length) : std::string()) {}

std::string CXmlText::Write() const {
    std::string out;
    out.reserve(m_value.size());
    AppendEscaped(out, m_value, false);
    return out;
}

CXmlComment::CXmlComment(const char* text) : m_value(Safe(text)) {}

std::string CXmlComment::Write() const { return "<!--" + m_value + "-->"; }

CXmlProcessingInstruction::CXmlProcessingInstruction(const char* target, const char* data)
    : m_target(Safe(target)), m_data(Safe(data)) {}

std::string CXmlProcessingInstruction::Write() const { return "<?" + m_target + " " + m_data + "?>"; }

// ---- declaration and document node ----

std::string CXmlDeclaration::Write() const {
    std::string out = "<?xml version=\"" + version + "\"";
    if (!encoding.empty()) out += " encoding=\"" + encoding + "\"";
    if (standalone != -1) out += standalone ? " standalone=\"yes\"" : " standalone=\"no\"";
    out += "?>";
    return out;
}

CXmlDocumentNode::~CXmlDocumentNode() { delete m_declaration; }

void CXmlDocumentNode::SetDeclaration(CXmlDeclaration* declaration) {
    if (declaration == m_declaration) return;
    delete m_declaration;
    m_declaration = declaration;
}

std::string CXmlDocumentNode::Write() const {
    std::string out;
    if (m_declaration) out = m_declaration->Write();
    for (const CXmlNode* child : m_children) out += child->Write();
    return out;
}

// ---- CXmlDocument ----

CXmlDocument::CXmlDocument(const char* encoding) : m_encoding(Safe(encoding)) {
    m_parser = XML_ParserCreate(encoding);
    PrepareParser();
}

CXmlDocument::~CXmlDocument() {
    if (m_parser) XML_ParserFree(m_parser);
    delete m_root;
}

void CXmlDocument::PrepareParser() {
    if (!m_parser) return;
    XML_SetUserData(m_parser, this);
    XML_SetElementHandler(m_parser, &CXmlDocument::OnStart, &CXmlDocument::OnEnd);
    XML_SetCharacterDataHandler(m_parser, &CXmlDocument::OnCharacters);
    XML_SetProcessingInstructionHandler(m_parser, &CXmlDocument::OnProcessingInstruction);
    XML_SetCommentHandler(m_parser, &CXmlDocument::OnComment);
    XML_SetXmlDeclHandler(m_parser, &CXmlDocument::OnXmlDecl);
}

void CXmlDocument::NewTree() {
    delete m_root;
    m_root = new CXmlDocumentNode();
    m_cursor = m_root;
    m_depth = -1;
    m_tooDeep = false;
    m_errorText.clear();
    m_errorLine = 0;
    // A parser that has seen a document cannot take another one until it is reset, and
    // resetting clears the handlers.
    if (m_parser && m_parserUsed) {
        XML_ParserReset(m_parser, m_encoding.empty() ? nullptr : m_encoding.c_str());
        PrepareParser();
        m_parserUsed = false;
    }
}

void CXmlDocument::SetText(const char* text) { m_source = Safe(text); }

void CXmlDocument::SetText(const std::string& text) { m_source = text; }

bool CXmlDocument::LoadFile(const char* path) {
    m_source.clear();
    std::string bytes;
    if (!path || !plat::ReadFile(path, &bytes)) return false;
    m_source.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        m_source += bytes[i];
    }
    return true;
}

bool CXmlDocument::Feed(const char* buffer, int length, bool isFinal) {
    if (!m_parser) {
        m_errorText = "out of memory";
        return false;
    }
    m_parserUsed = true;
    if (XML_Parse(m_parser, buffer, length, isFinal ? 1 : 0) != XML_STATUS_ERROR) return true;
    m_errorLine = XML_GetCurrentLineNumber(m_parser);
    if (m_tooDeep)
        m_errorText = "elements nested too deeply";
    else
        m_errorText = Safe(XML_ErrorString(XML_GetErrorCode(m_parser)));
    return false;
}

bool CXmlDocument::Parse() {
    NewTree();
    if (m_source.size() > static_cast<size_t>(INT_MAX)) {
        m_errorText = "document too large";
        return false;
    }
    return Feed(m_source.data(), static_cast<int>(m_source.size()), true);
}

bool CXmlDocument::ParseChunk(const char* buffer, int length, bool isFinal) {
    if (!m_root) NewTree();
    if (length < 0 || (!buffer && length > 0)) {
        m_errorText = "invalid buffer";
        return false;
    }
    return Feed(buffer, length, isFinal);
}

bool CXmlDocument::SaveToFile(const char* path) const {
    if (!path) return false;
    std::string text = Write();
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return plat::WriteFileAtomic(path, out);
}

std::string CXmlDocument::Write() const { return m_root ? m_root->Write() : std::string(); }

void CXmlDocument::Reset() { NewTree(); }

void CXmlDocument::OpenElement(const char* name) {
    if (!m_cursor) NewTree();
    auto* element = new CXmlElement(name);
    element->SetParent(m_cursor);
    m_cursor->AddChild(element);
    m_cursor = element;
}

void CXmlDocument::AddAttribute(const char* name, const char* value) {
    if (m_cursor && m_cursor->GetType() == XML_NODE_ELEMENT)
        static_cast<CXmlElement*>(m_cursor)->AddAttribute(new CXmlAttribute(name, value));
}

void CXmlDocument::CloseElement(const char* text) {
    if (!m_cursor) return;
    if (text && *text) {
        auto* node = new CXmlText(text);
        node->SetParent(m_cursor);
        m_cursor->AddChild(node);
    }
    LeaveElement();
}

void CXmlDocument::LeaveElement() {
    // The document node has no parent: the cursor stays there.
    if (m_cursor && m_cursor->GetParent()) m_cursor = m_cursor->GetParent();
}

void CXmlDocument::Rewind() { m_cursor = m_root; }

bool CXmlDocument::FindElement(const std::vector<CXmlNode*>& children, const char* parentName,
                               const char* name, XmlElementVisitor visitor, void* context) {
    for (CXmlNode* child : children) {
        if (child->GetType() != XML_NODE_ELEMENT) continue;
        auto* element = static_cast<CXmlElement*>(child);
        if (element->GetName() == Safe(name)) {
            bool parentMatches = true;
            if (parentName) {
                CXmlNode* parent = element->GetParent();
                parentMatches = parent && parent->GetType() == XML_NODE_ELEMENT &&
                                static_cast<CXmlElement*>(parent)->GetName() == parentName;
            }
            if (parentMatches && visitor && visitor(element, context)) return true;
        }
        if (FindElement(element->GetChildren(), parentName, name, visitor, context)) return true;
    }
    return false;
}

// ---- parser callbacks ----

void CXmlDocument::OnStart(void* user, const char* name, const char** attributes) {
    auto* doc = static_cast<CXmlDocument*>(user);
    if (doc->m_depth + 1 >= kMaxDepth) {
        // Deep nesting from an untrusted peer would exhaust the stack of the recursive writers.
        doc->m_tooDeep = true;
        XML_StopParser(doc->m_parser, XML_FALSE);
        return;
    }
    auto* element = new CXmlElement(name);
    element->SetDepth(++doc->m_depth);
    element->SetParent(doc->m_cursor);
    doc->m_cursor->AddChild(element);
    doc->m_cursor = element;
    for (const char** pair = attributes; pair && pair[0]; pair += 2)
        element->AddAttribute(new CXmlAttribute(pair[0], pair[1]));
}

void CXmlDocument::OnEnd(void* user, const char*) {
    auto* doc = static_cast<CXmlDocument*>(user);
    if (doc->m_cursor->GetParent()) doc->m_cursor = doc->m_cursor->GetParent();
    --doc->m_depth;
}

void CXmlDocument::OnCharacters(void* user, const char* text, int length) {
    auto* doc = static_cast<CXmlDocument*>(user);
    if (length <= 0) return;
    auto* node = new CXmlText(text, static_cast<size_t>(length));
    node->SetParent(doc->m_cursor);
    doc->m_cursor->AddChild(node);
}

void CXmlDocument::OnComment(void* user, const char* text) {
    auto* doc = static_cast<CXmlDocument*>(user);
    doc->m_cursor->AddChild(new CXmlComment(text));
}

void CXmlDocument::OnProcessingInstruction(void* user, const char* target, const char* data) {
    auto* doc = static_cast<CXmlDocument*>(user);
    doc->m_cursor->AddChild(new CXmlProcessingInstruction(target, data));
}

void CXmlDocument::OnXmlDecl(void* user, const char* version, const char* encoding, int standalone) {
    auto* doc = static_cast<CXmlDocument*>(user);
    auto* declaration = new CXmlDeclaration();
    declaration->version = Safe(version);
    if (encoding) declaration->encoding = encoding;
    declaration->standalone = standalone;
    doc->m_root->SetDeclaration(declaration);
}
