// Saved logins: the users that signed in on this computer, with protected passwords, in "usrInfo.xml".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace shell {

inline constexpr size_t kSavedFieldMax = 32;  // characters of a saved id or password

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

void resetLoginInfo(SavedLoginStore& store);
// Loads the store from the file; a missing or unreadable file leaves it reset.
void loadLoginInfo(SavedLoginStore& store, const std::string& path);
// Writes the store through a temporary file (mode 0600) renamed over the file; false on failure.
bool saveLoginInfo(SavedLoginStore& store, const std::string& path);
void removeSavedLogin(SavedLoginStore& store, const SavedLogin& login);
void putSavedLogin(SavedLoginStore& store, const SavedLogin& login);

// RC4 with the 40-bit key derived from MD5 of the fixed pass phrase; the same operation both ways.
std::string ProtectPassword(const std::string& clear);
// Lower-case hex of the protected bytes, and back; false for odd length or a non-hex character.
std::string ToHex(const std::string& bytes);
bool FromHex(const std::string& hex, std::string* bytes);

}  // namespace shell
