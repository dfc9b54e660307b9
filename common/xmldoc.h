// XML document tree over Expat: parse text into nodes, build trees with a cursor, write them back.
#pragma once

#include <string>
#include <vector>

struct XML_ParserStruct;

// Values returned by GetType.
enum XmlNodeType : int {
    XML_NODE_TEXT = 0,
    XML_NODE_ELEMENT = 1,
    XML_NODE_COMMENT = 2,
    XML_NODE_DOCUMENT = 3,
    XML_NODE_PI = 4,
};

class CXmlText;
class CXmlElement;

// Base of every node. A node owns its children and its text node.
class CXmlNode {
public:
    CXmlNode() = default;
    CXmlNode(const CXmlNode&) = delete;
    CXmlNode& operator=(const CXmlNode&) = delete;
    virtual ~CXmlNode();

    // The node as XML text (compact, no indentation).
    virtual std::string Write() const = 0;
    virtual int GetType() const = 0;

    // Attaches a node: non-text nodes become children; a text node becomes (or is merged into)
    // this node's text while the node has no children, and is deleted otherwise.
    void AddChild(CXmlNode* node);

    const std::vector<CXmlNode*>& GetChildren() const { return m_children; }
    CXmlNode* GetParent() const { return m_parent; }
    void SetParent(CXmlNode* parent) { m_parent = parent; }
    CXmlText* GetTextNode() const { return m_text; }

    // The node's character content; false when it has none.
    bool GetText(std::string& text) const;
    // First child element with that name.
    bool FindChild(const char* name, CXmlElement*& node) const;
    // Every child element with that name, in order; true when at least one.
    bool GetChildElements(const char* name, std::vector<CXmlElement*>& nodes) const;
    // Direct child elements first, then each child element's subtree in order.
    bool FindDescendant(const char* name, CXmlElement*& node) const;

protected:
    CXmlText* m_text = nullptr;
    std::vector<CXmlNode*> m_children;
    CXmlNode* m_parent = nullptr;
};

class CXmlAttribute {
public:
    CXmlAttribute() = default;
    CXmlAttribute(const char* name, const char* value);
    const std::string& GetName() const { return m_name; }
    void SetName(const char* name);
    const std::string& GetValue() const { return m_value; }
    void SetValue(const char* value);

private:
    std::string m_name;
    std::string m_value;
};

class CXmlElement : public CXmlNode {
public:
    explicit CXmlElement(const char* name = "");
    ~CXmlElement() override;

    std::string Write() const override;
    int GetType() const override { return XML_NODE_ELEMENT; }
    virtual void SetName(const char* name);
    virtual const std::string& GetName() const { return m_name; }

    int GetDepth() const { return m_depth; }
    void SetDepth(int depth) { m_depth = depth; }

    const std::vector<CXmlAttribute*>& GetAttributes() const { return m_attributes; }
    // Appends an attribute (owned by the element).
    void AddAttribute(CXmlAttribute* attribute);
    // Value of the first attribute with that name.
    bool GetAttribute(const char* name, std::string& value) const;
    // The attribute read like atoi (leading digits; none gives 0); false, value untouched, when absent.
    bool GetAttributeInt(const char* name, int& value) const;

private:
    int m_depth = 0;
    std::string m_name;
    std::vector<CXmlAttribute*> m_attributes;
};

class CXmlText : public CXmlNode {
public:
    explicit CXmlText(const char* text = "");
    CXmlText(const char* text, size_t length);
    std::string Write() const override;
    int GetType() const override { return XML_NODE_TEXT; }
    const std::string& GetValue() const { return m_value; }
    void Append(const std::string& more) { m_value += more; }

private:
    std::string m_value;
};

class CXmlComment : public CXmlNode {
public:
    explicit CXmlComment(const char* text = "");
    std::string Write() const override;
    int GetType() const override { return XML_NODE_COMMENT; }
    const std::string& GetValue() const { return m_value; }

private:
    std::string m_value;
};

class CXmlProcessingInstruction : public CXmlNode {
public:
    CXmlProcessingInstruction(const char* target, const char* data);
    std::string Write() const override;
    int GetType() const override { return XML_NODE_PI; }
    const std::string& GetTarget() const { return m_target; }
    const std::string& GetData() const { return m_data; }

private:
    std::string m_target;
    std::string m_data;
};

// The XML declaration of a parsed document.
struct CXmlDeclaration {
    std::string version;
    std::string encoding;  // empty when absent
    int standalone = -1;   // -1 absent, 0 "no", 1 "yes"
    std::string Write() const;
};

class CXmlDocumentNode : public CXmlNode {
public:
    CXmlDocumentNode() = default;
    ~CXmlDocumentNode() override;
    std::string Write() const override;
    int GetType() const override { return XML_NODE_DOCUMENT; }
    const CXmlDeclaration* GetDeclaration() const { return m_declaration; }
    // Takes ownership; a previous declaration is deleted.
    void SetDeclaration(CXmlDeclaration* declaration);

private:
    CXmlDeclaration* m_declaration = nullptr;
};

// Visitor of FindElement: returns true at the element it wants, which ends the search.
using XmlElementVisitor = bool (*)(CXmlElement* element, void* context);

class CXmlDocument {
public:
    explicit CXmlDocument(const char* encoding = "UTF-8");
    ~CXmlDocument();
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    void SetText(const char* text);
    void SetText(const std::string& text);
    // Reads the whole file as text (a carriage return before a line feed is dropped); false and
    // an empty source text when the file cannot be read.
    bool LoadFile(const char* path);
    // Parses the source text into a new tree. On failure keeps Expat's message and line and
    // the partial tree.
    bool Parse();
    // Feeds one piece of a document arriving in parts (Reset first).
    bool ParseChunk(const char* buffer, int length, bool isFinal);
    CXmlDocumentNode* GetRoot() const { return m_root; }
    // Writes the tree with CRLF line ends through a temporary file and a rename.
    bool SaveToFile(const char* path) const;

    // Builder.
    void Reset();
    void OpenElement(const char* name);
    void AddAttribute(const char* name, const char* value);
    void CloseElement(const char* text);
    void LeaveElement();
    void Rewind();
    CXmlNode* GetCursor() const { return m_cursor; }

    // Depth-first search below the given children for elements named `name` (and, when
    // parentName is given, whose parent element has that name). Calls the visitor for each
    // match and returns true as soon as it returns true; false otherwise.
    static bool FindElement(const std::vector<CXmlNode*>& children, const char* parentName,
                            const char* name, XmlElementVisitor visitor, void* context);

    // Text of the whole tree (empty before a parse or reset).
    std::string Write() const;

    const std::string& GetErrorText() const { return m_errorText; }
    // Line of the last parse error (1-based), 0 when none.
    unsigned long GetErrorLine() const { return m_errorLine; }
    const std::string& GetSourceText() const { return m_source; }

    // Deepest element nesting a parse accepts; deeper input is rejected.
    static constexpr int kMaxDepth = 256;

private:
    void NewTree();
    void PrepareParser();
    bool Feed(const char* buffer, int length, bool isFinal);

    static void OnStart(void* user, const char* name, const char** attributes);
    static void OnEnd(void* user, const char* name);
    static void OnCharacters(void* user, const char* text, int length);
    static void OnComment(void* user, const char* text);
    static void OnProcessingInstruction(void* user, const char* target, const char* data);
    static void OnXmlDecl(void* user, const char* version, const char* encoding, int standalone);

    std::string m_encoding;
    XML_ParserStruct* m_parser = nullptr;
    std::string m_source;
    CXmlDocumentNode* m_root = nullptr;
    CXmlNode* m_cursor = nullptr;
    int m_depth = -1;
    std::string m_errorText;
    unsigned long m_errorLine = 0;
    bool m_parserUsed = false;   // the parser has seen input since it was created or reset
    bool m_tooDeep = false;
};
