// Saved logins: the users that signed in on this computer, with protected passwords, in "usrInfo.xml".
#include "ui/shell/saved_logins.h"

#include <QByteArray>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/debug.h"
#include "platform/fs.h"
#include "platform/md5.h"
#include "platform/rc4.h"

namespace shell {

namespace {
// Hex of a password of at most 32 bytes: longer texts come from elsewhere and are refused.
constexpr size_t kPwdHexMax = 2 * kSavedFieldMax;

int TypeOf(const SavedLogin& l) { return l.kind == 1 ? 0 : 1; }

// Why the file at path is not read (and not written over); empty when it may be, or is missing.
std::string RefusalOf(const std::string& path) {
    if (!plat::FileExists(path)) return {};
    if (!plat::IsRegularFile(path)) return "not a regular file";
    if (plat::FileSize(path) > kSavedLoginsFileMax) return "larger than 1 MiB";
    return {};
}
}  // namespace

std::string CutSavedField(std::string_view text) {
    if (text.size() <= kSavedFieldMax) return std::string(text);
    size_t n = kSavedFieldMax;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
}

SavedLoginStore& SavedLogins() {
    static SavedLoginStore store;
    return store;
}

std::string ProtectPassword(const std::string& clear) {
    static const char kPhrase[] = "Kestrelin 1987";
    uint8_t digest[16];
    plat::Md5Digest(kPhrase, 14, digest);
    uint8_t key[16];
    plat::DeriveRc4Key40(digest, key);
    std::string out = clear;
    plat::Rc4 rc4(key, sizeof key);
    rc4.crypt(reinterpret_cast<uint8_t*>(out.data()), out.size());
    return out;
}

std::string ToHex(const std::string& bytes) {
    return plat::HexLower(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool FromHex(const std::string& hex, std::string* bytes) {
    bytes->clear();
    if (hex.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            bytes->clear();
            return false;
        }
        bytes->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

void resetLoginInfo(SavedLoginStore& store) {
    const std::string dialogUser = store.lastDialogUser;
    store = SavedLoginStore{};
    store.lastDialogUser = dialogUser;
}

void loadLoginInfo(SavedLoginStore& store, const std::string& path) {
    resetLoginInfo(store);
    if (const std::string why = RefusalOf(path); !why.empty()) {
        DebugTrace(MOD_SYSTEM, 1, "Saved logins %s: %s, not read and kept as it is", path.c_str(), why.c_str());
        return;
    }
    std::string bytes;
    if (!plat::ReadFile(path, &bytes, static_cast<size_t>(kSavedLoginsFileMax))) return;
    bool sawConfig = false, inBrindle = false, doneBrindle = false, usersStopped = false;
    // The choices come first, wherever "config" stands: whether a "pwd" is read depends on them.
    {
        QXmlStreamReader pre(QByteArray::fromStdString(bytes));
        int level = 0;
        while (!pre.atEnd() && !sawConfig) {
            const auto token = pre.readNext();
            if (token == QXmlStreamReader::EndElement) --level;
            if (token != QXmlStreamReader::StartElement || ++level == 1 || pre.name() != u"config") continue;
            const auto attrs = pre.attributes();
            sawConfig = true;
            store.savePassword = attrs.hasAttribute("save") && attrs.value("save") == u"true";
            store.autoLogin = attrs.hasAttribute("autologin") && attrs.value("autologin") == u"true";
        }
    }
    QXmlStreamReader xml(QByteArray::fromStdString(bytes));
    bool inLast = false, doneLast = false;
    int depth = 0, brindleDepth = -1, lastDepth = -1;
    std::vector<SavedLogin> users;
    std::string lastId;
    bool haveLast = false, sawLastUser = false;
    int lastType = 0;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const QString name = xml.name().toString();
            const auto attrs = xml.attributes();
            if (depth == 1) continue;  // the root element; its name is not checked
            if (!sawConfig && name == u"config") {
                sawConfig = true;
                store.savePassword = attrs.hasAttribute("save") && attrs.value("save") == u"true";
                store.autoLogin = attrs.hasAttribute("autologin") && attrs.value("autologin") == u"true";
            } else if (!doneBrindle && !inBrindle && name == u"brindle") {
                inBrindle = true;
                brindleDepth = depth;
            } else if (inBrindle && depth == brindleDepth + 1 && name == u"user" && !usersStopped) {
                if (!attrs.hasAttribute("id")) {
                    usersStopped = true;
                    continue;
                }
                SavedLogin login;
                login.id = CutSavedField(attrs.value("id").toString().toStdString());
                if (store.savePassword && attrs.hasAttribute("pwd")) {
                    const std::string hex = attrs.value("pwd").toString().toStdString();
                    if (hex.size() > kPwdHexMax) {
                        DebugTrace(MOD_SYSTEM, 3, "Saved login %s: password too long, user skipped", login.id.c_str());
                        continue;
                    }
                    std::string cipher;
                    if (FromHex(hex, &cipher)) login.pwd = CutSavedField(ProtectPassword(cipher));
                    else DebugTrace(MOD_SYSTEM, 3, "Saved login %s: password unreadable", login.id.c_str());
                }
                login.kind = 1;
                users.push_back(login);
            } else if (!doneLast && !inLast && name == u"lastlogin") {
                inLast = true;
                lastDepth = depth;
            } else if (inLast && !sawLastUser && name == u"user") {
                // Only the first user below lastlogin counts; without an id there is no last login.
                sawLastUser = true;
                if (!attrs.hasAttribute("id")) continue;
                haveLast = true;
                lastId = CutSavedField(attrs.value("id").toString().toStdString());
                if (attrs.hasAttribute("type")) {
                    bool ok = false;
                    lastType = attrs.value("type").toInt(&ok);
                    if (!ok || (lastType != 0 && lastType != 1)) lastType = 0;
                }
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (inBrindle && depth == brindleDepth) {
                inBrindle = false;
                doneBrindle = true;
            }
            if (inLast && depth == lastDepth) {
                inLast = false;
                doneLast = true;
            }
            --depth;
        }
    }
    if (xml.hasError()) {
        DebugTrace(MOD_SYSTEM, 3, "usrInfo.xml unreadable: %s", xml.errorString().toUtf8().constData());
        resetLoginInfo(store);
        return;
    }
    store.logins = std::move(users);
    if (haveLast) {
        store.lastLoginId = lastId;
        store.lastLoginType = lastType;
        auto it = std::find_if(store.logins.begin(), store.logins.end(), [&](const SavedLogin& l) {
            return TypeOf(l) == store.lastLoginType && l.id == store.lastLoginId;
        });
        if (it == store.logins.end()) {
            store.lastLoginId.clear();
            store.lastLoginPwd.clear();
            store.lastLoginType = 0;
        } else {
            store.lastLoginPwd = CutSavedField(it->pwd);
            SavedLogin moved = *it;
            store.logins.erase(it);
            store.logins.insert(store.logins.begin(), moved);
        }
    }
}

bool saveLoginInfo(SavedLoginStore& store, const std::string& path) {
    if (const std::string why = RefusalOf(path); !why.empty()) {
        DebugTrace(MOD_SYSTEM, 1, "Saved logins %s: %s, not written over", path.c_str(), why.c_str());
        return false;
    }
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement("logInfo");
    xml.writeStartElement("config");
    if (store.savePassword) xml.writeAttribute("save", "true");
    if (store.autoLogin) xml.writeAttribute("autologin", "true");
    xml.writeEndElement();
    xml.writeStartElement("brindle");
    for (const SavedLogin& l : store.logins) {
        if (l.kind == 0) continue;
        xml.writeStartElement("user");
        xml.writeAttribute("id", QString::fromStdString(l.id));
        if (store.savePassword) xml.writeAttribute("pwd", QString::fromStdString(ToHex(ProtectPassword(l.pwd))));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    if (store.lastLoginType == 1) store.lastLoginType = 0;
    if (!store.lastLoginId.empty()) {
        xml.writeStartElement("lastlogin");
        xml.writeStartElement("user");
        xml.writeAttribute("id", QString::fromStdString(store.lastLoginId));
        xml.writeAttribute("type", QString::number(store.lastLoginType));
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();

    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    if (ok) {
        ::fchmod(fd, 0600);
        size_t done = 0;
        while (ok && done < static_cast<size_t>(out.size())) {
            const ssize_t n = ::write(fd, out.constData() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok = false;
            else done += static_cast<size_t>(n);
        }
        if (ok && ::fsync(fd) != 0) ok = false;
        if (::close(fd) != 0) ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        DebugTrace(MOD_SYSTEM, 3, "Saving usrInfo.xml failed: %s", std::strerror(errno));
        ::unlink(temp.c_str());
    }
    return ok;
}

void removeSavedLogin(SavedLoginStore& store, const SavedLogin& login) {
    auto it = std::find_if(store.logins.begin(), store.logins.end(),
                           [&](const SavedLogin& l) { return l.kind == login.kind && l.id == login.id; });
    if (it != store.logins.end()) store.logins.erase(it);
}

void putSavedLogin(SavedLoginStore& store, const SavedLogin& login) {
    removeSavedLogin(store, login);
    store.logins.push_back(login);
}

}  // namespace shell
