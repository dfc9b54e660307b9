// Saved logins: the users that signed in on this computer, with protected passwords, in "usrInfo.xml".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace shell {

inline constexpr size_t kSavedFieldMax = 32;  // bytes of a saved id or password
inline constexpr long long kSavedLoginsFileMax = 1 << 20;  // a larger "usrInfo.xml" is not the program's own

struct SavedLogin {
    std::string id;
    std::string pwd;
    uint32_t kind = 1;  // 1: listed and written; 0: neither
};

struct SavedLoginStore {
    std::vector<SavedLogin> logins;
    bool savePassword = false;
    bool autoLogin = false;
    std::string lastLoginId;
    std::string lastLoginPwd;
    int lastLoginType = 0;
    std::string lastDialogUser;
};

SavedLoginStore& SavedLogins();

// At most kSavedFieldMax bytes of the text, cut before a UTF-8 character that does not fit whole, so
// a saved id reads back as it was written.
std::string CutSavedField(std::string_view text);

void resetLoginInfo(SavedLoginStore& store);
// Loads the store from the file; a missing or unreadable file leaves it reset. A file that is not a
// regular file or is larger than kSavedLoginsFileMax is refused with a log line and kept as it is.
void loadLoginInfo(SavedLoginStore& store, const std::string& path);
// Writes the store through a temporary file (mode 0600) renamed over the file; false on failure, and
// false without writing when the file there is one that loading refuses.
bool saveLoginInfo(SavedLoginStore& store, const std::string& path);
void removeSavedLogin(SavedLoginStore& store, const SavedLogin& login);
void putSavedLogin(SavedLoginStore& store, const SavedLogin& login);

// RC4 with the 40-bit key derived from MD5 of the fixed pass phrase; the same operation both ways.
std::string ProtectPassword(const std::string& clear);
// Lower-case hex of the protected bytes, and back; false for odd length or a non-hex character.
std::string ToHex(const std::string& bytes);
bool FromHex(const std::string& hex, std::string* bytes);

}  // namespace shell
