// Stateless answers built from a request's raw text, for requests the message parser refuses.
#include "sip/osipua/rawresponse.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace {

using std::string_view;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(string_view a, string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("-.!%*_+`'~", c) != nullptr);
}

string_view Trim(string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A value fit to copy into our answer: not empty, no control characters (folds already joined).
bool Printable(string_view v) {
    if (v.empty()) return false;
    for (char c : v) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7F) return false;
    }
    return true;
}

// Start line and headers: up to the first empty line, or the whole datagram.
string_view Head(string_view text) {
    size_t crlf = text.find("\r\n\r\n");
    size_t lf = text.find("\n\n");
    size_t end = crlf < lf ? crlf : lf;
    return end == string_view::npos ? text : text.substr(0, end);
}

std::vector<string_view> Lines(string_view head) {
    std::vector<string_view> lines;
    while (!head.empty()) {
        size_t nl = head.find('\n');
        string_view line = head.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == string_view::npos) break;
        head.remove_prefix(nl + 1);
    }
    return lines;
}

// "METHOD SP Request-URI SP SIP/x.y": the method, or false for anything else (a response too).
bool ReadRequestLine(string_view line, std::string* method) {
    size_t sp1 = line.find(' ');
    size_t sp2 = line.rfind(' ');
    if (sp1 == string_view::npos || sp1 == 0 || sp2 <= sp1 + 1) return false;
    for (char c : line.substr(0, sp1)) {
        if (!IsTokenChar(c)) return false;
    }
    string_view version = line.substr(sp2 + 1);
    if (version.size() < 5 || !SameName(version.substr(0, 4), "sip/")) return false;
    *method = std::string(line.substr(0, sp1));
    return true;
}

// The header a name (or its compact form) stands for, among those copied; nullptr for others.
const char* Copied(string_view name) {
    if (SameName(name, "via") || SameName(name, "v")) return "Via";
    if (SameName(name, "from") || SameName(name, "f")) return "From";
    if (SameName(name, "to") || SameName(name, "t")) return "To";
    if (SameName(name, "call-id") || SameName(name, "i")) return "Call-ID";
    if (SameName(name, "cseq")) return "CSeq";
    return nullptr;
}

// Parameters ";name[=value]" of a header value after its address part.
std::vector<string_view> Params(string_view text) {
    std::vector<string_view> params;
    while (!text.empty()) {
        size_t semi = text.find(';');
        if (semi == string_view::npos) break;
        text.remove_prefix(semi + 1);
        size_t next = text.find(';');
        params.push_back(Trim(text.substr(0, next)));
    }
    return params;
}

string_view ParamName(string_view param) { return Trim(param.substr(0, param.find('='))); }

bool HasTag(string_view to) {
    // Parameters of a name-addr follow its closing bracket; a tag inside the URI is not one.
    size_t from = to.find('<') != string_view::npos && to.rfind('>') != string_view::npos ? to.rfind('>') : 0;
    for (string_view p : Params(to.substr(from))) {
        if (SameName(ParamName(p), "tag")) return true;
    }
    return false;
}

// The top Via value with received and rport filled in as the request arrived; its sent-by port.
bool MarkTopVia(string_view top, const std::string& srcHost, int srcPort, std::string* marked, int* sentByPort,
                bool* rport) {
    top = Trim(top);
    size_t sp = top.find_first_of(" \t");
    if (sp == string_view::npos) return false;
    string_view protocol = top.substr(0, sp);
    // "SIP/2.0/UDP": name, version and transport.
    size_t slash1 = protocol.find('/');
    size_t slash2 = slash1 == string_view::npos ? slash1 : protocol.find('/', slash1 + 1);
    if (slash2 == string_view::npos || !SameName(protocol.substr(0, slash1), "sip") || slash2 == slash1 + 1 ||
        slash2 + 1 == protocol.size() || protocol.find('/', slash2 + 1) != string_view::npos) {
        return false;
    }
    string_view rest = Trim(top.substr(sp));
    size_t semi = rest.find(';');
    string_view sentBy = Trim(rest.substr(0, semi));
    string_view host = sentBy;
    string_view port;
    bool hasPort = false;
    if (!sentBy.empty() && sentBy.front() == '[') {
        size_t close = sentBy.find(']');
        if (close == string_view::npos) return false;
        host = sentBy.substr(0, close + 1);
        if (close + 1 < sentBy.size()) {
            if (sentBy[close + 1] != ':') return false;
            port = sentBy.substr(close + 2);
            hasPort = true;
        }
    } else if (size_t colon = sentBy.find(':'); colon != string_view::npos) {
        host = sentBy.substr(0, colon);
        port = sentBy.substr(colon + 1);
        hasPort = true;
    }
    if (host.empty()) return false;
    *sentByPort = 5060;
    if (hasPort) {
        if (port.empty() || port.size() > 5) return false;
        int n = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return false;
            n = n * 10 + (c - '0');
        }
        if (n < 1 || n > 65535) return false;
        *sentByPort = n;
    }
    *marked = std::string(protocol) + " " + std::string(sentBy);
    *rport = false;
    bool received = false;
    for (string_view p : Params(semi == string_view::npos ? string_view() : rest.substr(semi))) {
        string_view name = ParamName(p);
        if (SameName(name, "rport")) {
            *rport = true;
            if (p.find('=') == string_view::npos) {
                *marked += ";rport=" + std::to_string(srcPort);
                continue;
            }
        }
        if (SameName(name, "received")) received = true;
        *marked += ";" + std::string(p);
    }
    if (!received && host != srcHost) *marked += ";received=" + srcHost;
    return true;
}

}  // namespace

bool OSIP_BuildRawResponse(const char* buf, size_t len, int status, const char* reason, const char* srcHost,
                           int srcPort, const char* toTag, OsipRawResponse* out) {
    if (buf == nullptr || out == nullptr || srcHost == nullptr || toTag == nullptr) return false;
    std::vector<string_view> lines = Lines(Head(string_view(buf, len)));
    std::string method;
    if (lines.empty() || !ReadRequestLine(lines[0], &method) || method == "ACK") return false;

    struct Field {
        const char* name;
        std::string value;
    };
    std::vector<Field> fields;
    for (size_t i = 1; i < lines.size(); ++i) {
        string_view line = lines[i];
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            // A folded line continues the header before it.
            if (!fields.empty() && fields.back().name != nullptr) fields.back().value += " " + std::string(Trim(line));
            continue;
        }
        size_t colon = line.find(':');
        if (colon == string_view::npos) {
            fields.push_back({nullptr, {}});
            continue;
        }
        fields.push_back({Copied(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
    }

    std::vector<std::string> vias;
    std::string from, to, callId, cseq;
    for (const Field& f : fields) {
        if (f.name == nullptr) continue;
        if (!Printable(f.value)) return false;
        std::string* single = nullptr;
        if (strcmp(f.name, "Via") == 0) {
            vias.push_back(f.value);
            continue;
        }
        if (strcmp(f.name, "From") == 0) single = &from;
        if (strcmp(f.name, "To") == 0) single = &to;
        if (strcmp(f.name, "Call-ID") == 0) single = &callId;
        if (strcmp(f.name, "CSeq") == 0) single = &cseq;
        if (single != nullptr && single->empty()) *single = f.value;
    }
    if (vias.empty() || from.empty() || to.empty() || callId.empty() || cseq.empty()) return false;

    size_t comma = vias[0].find(',');
    std::string top;
    int sentByPort = 5060;
    bool rport = false;
    if (!MarkTopVia(string_view(vias[0]).substr(0, comma), srcHost, srcPort, &top, &sentByPort, &rport)) return false;
    if (comma != std::string::npos) top += vias[0].substr(comma);
    vias[0] = top;

    std::string text = "SIP/2.0 " + std::to_string(status) + " " + (reason != nullptr ? reason : "") + "\r\n";
    for (const std::string& v : vias) text += "Via: " + v + "\r\n";
    text += "From: " + from + "\r\n";
    text += "To: " + to + (HasTag(to) ? "" : std::string(";tag=") + toTag) + "\r\n";
    text += "Call-ID: " + callId + "\r\n";
    text += "CSeq: " + cseq + "\r\n";
    text += "Content-Length: 0\r\n\r\n";

    out->text = std::move(text);
    out->method = std::move(method);
    out->host = srcHost;
    // Back where it came from: to its source port when it asked for rport, else to its sent-by port.
    out->port = rport ? srcPort : sentByPort;
    return true;
}
