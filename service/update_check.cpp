// Software-update check: address building, the version document reader, the HTTP fetch and the thread.
#include "service/update_check.h"

#include <curl/curl.h>
#include <expat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <mutex>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/ini.h"
#include "platform/msgqueue.h"
#include "platform/thread.h"
#include "service/service_msgs.h"

CUpdateVersionInfo g_updateInfo;

namespace {

constexpr size_t kPiece = 4096;
constexpr size_t kMaxElementText = 4 * kPiece;  // an element's text is kept up to 16 KiB
constexpr size_t kMaxDocument = 1 << 20;  // a version document is a few hundred bytes
constexpr long kTimeoutMs = 10000;

std::mutex g_configLock;
std::string g_baseAddress;
std::string g_languageFile;
std::string g_downloadZip;
plat::Thread g_updateThread;
std::atomic<DWORD> g_updateThreadId{0};
std::atomic<DWORD> g_timeLimitMs{UPDATE_TIME_LIMIT_MS};
// Set by Update_StopThread: a transfer in progress gives up at its next progress call.
std::atomic<bool> g_stopping{false};

void Answer(HWND window, WPARAM code, LPARAM value) {
    if (window != nullptr && IsWindow(window)) PostMessage(window, WM_UPDATE_CHECK, code, value);
}

struct Body {
    std::string data;
    bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    size_t n = size * count;
    if (body->data.size() + n > kMaxDocument) {
        body->tooLarge = true;
        return 0;
    }
    body->data.append(data, n);
    return n;
}

int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return g_stopping.load() ? 1 : 0; }

}  // namespace

void Update_SetTimeLimitMs(DWORD ms) { g_timeLimitMs.store(ms ? ms : UPDATE_TIME_LIMIT_MS); }

std::string Update_GetDownloadZip() { return g_downloadZip; }

void Update_SetDownloadZip(const std::string& address) { g_downloadZip = address; }

std::string Update_OfferedDownload(const std::string& downloadZip) {
    const size_t first = downloadZip.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const std::string address = downloadZip.substr(first, downloadZip.find_last_not_of(" \t\r\n") - first + 1);
    if (address.size() > UPDATE_MAX_ADDRESS) return {};
    for (unsigned char c : address)
        if (c <= 0x20 || c >= 0x7f || c == '\\') return {};
    size_t rest = 0;
    if (strncasecmp(address.c_str(), "http://", 7) == 0) rest = 7;
    else if (strncasecmp(address.c_str(), "https://", 8) == 0) rest = 8;
    else return {};
    // The host ends at the path, the query or the fragment; an address without one opens nothing.
    const size_t hostEnd = address.find_first_of("/?#", rest);
    std::string authority = address.substr(rest, hostEnd == std::string::npos ? std::string::npos : hostEnd - rest);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    if (authority.empty() || authority[0] == ':') return {};
    return address;
}

bool Update_IsNewer(const CUpdateVersionInfo& info) {
    // Older only within the running major version: any other major counts as newer.
    if (info.major != UPDATE_RUNNING_MAJOR) return true;
    if (info.minor != UPDATE_RUNNING_MINOR) return info.minor > UPDATE_RUNNING_MINOR;
    return info.build > UPDATE_RUNNING_BUILD;
}

std::string Update_BuildUrl(const std::string& base, const std::string& fileName) {
    std::string url = base;
    if (url.compare(0, 7, "http://") != 0) {
        // Another scheme is not put behind "http://".
        if (url.find("://") != std::string::npos) return std::string();
        url = "http://" + url;
    }
    while (!url.empty() && url.back() == '/') url.pop_back();
    if (url.size() <= 7) return std::string();
    size_t start = fileName.find_first_not_of('/');
    url += "/";
    if (start != std::string::npos) url += fileName.substr(start);
    return url;
}

UpdateDocumentParser::UpdateDocumentParser() : m_parser(XML_ParserCreate(nullptr)) {
    if (m_parser == nullptr) {
        m_failed = true;
        return;
    }
    XML_SetUserData(m_parser, this);
    XML_SetElementHandler(m_parser, &UpdateDocumentParser::OnStart, &UpdateDocumentParser::OnEnd);
    XML_SetCharacterDataHandler(m_parser, &UpdateDocumentParser::OnText);
}

UpdateDocumentParser::~UpdateDocumentParser() {
    if (m_parser != nullptr) XML_ParserFree(m_parser);
}

bool UpdateDocumentParser::Feed(const char* data, size_t length, bool isFinal) {
    if (m_failed) return false;
    if (XML_Parse(m_parser, data, static_cast<int>(length), isFinal ? 1 : 0) == XML_STATUS_ERROR) {
        m_failed = true;
        return false;
    }
    return true;
}

void UpdateDocumentParser::OnStart(void* user, const char*, const char**) {
    auto* self = static_cast<UpdateDocumentParser*>(user);
    self->m_text.clear();
    self->m_textFull = false;
}

void UpdateDocumentParser::OnText(void* user, const char* text, int length) {
    auto* self = static_cast<UpdateDocumentParser*>(user);
    if (self->m_textFull) return;
    size_t take = static_cast<size_t>(length);
    if (self->m_text.size() + take > kMaxElementText) {
        // Cut at the cap, never inside a character, and keep nothing after it: the text stays one
        // unbroken beginning of the element's text.
        take = kMaxElementText - self->m_text.size();
        while (take > 0 && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) --take;
        self->m_textFull = true;
    }
    self->m_text.append(text, take);
}

void UpdateDocumentParser::OnEnd(void* user, const char* name) {
    auto* self = static_cast<UpdateDocumentParser*>(user);
    const std::string& t = self->m_text;
    CUpdateVersionInfo& info = self->m_info;
    if (strcmp(name, "MajorVersion") == 0) info.major = atoi(t.c_str());
    else if (strcmp(name, "MinorVersion") == 0) info.minor = atoi(t.c_str());
    else if (strcmp(name, "BuildNumber") == 0) info.build = atoi(t.c_str());
    else if (strcmp(name, "MajorChanges") == 0) info.changes = t;
    else if (strcmp(name, "UpdateNeedUpdate") == 0) info.needUpdate = atoi(t.c_str());
    else if (strcmp(name, "EnforceUpdate") == 0) info.enforce = atoi(t.c_str());
    else if (strcmp(name, "DownloadZip") == 0) {
        // An empty DownloadZip names no download: the document does not count as fetched.
        const size_t first = t.find_first_not_of(" \t\r\n");
        if (first != std::string::npos) {
            self->m_downloadZip = t.substr(first, t.find_last_not_of(" \t\r\n") - first + 1);
            self->m_sawDownloadZip = true;
            info.fetched = 1;
        }
    }
    self->m_text.clear();
    self->m_textFull = false;
}

WPARAM Update_Fetch(const std::string& url, CUpdateVersionInfo& info, std::string& downloadZip) {
    if (url.empty() || url.compare(0, 7, "http://") != 0) {
        DebugTrace(MOD_UPDATE, 2, "Update Adress Parse Gen Error, Continue\n");
        return UPDATE_FAILED;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return UPDATE_TRANSFER_ERROR;
    Body body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Brindle Update");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kTimeoutMs);
    // No byte for 10 s ends the transfer, as a receive time-out would.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kTimeoutMs / 1000);
    // A server that keeps sending slowly must not hold the thread (or the program's exit) any longer.
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(g_timeLimitMs.load()));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    curl_easy_cleanup(curl);
    if (rc == CURLE_ABORTED_BY_CALLBACK) {
        DebugTrace(MOD_UPDATE, 2, "Update transfer stopped\n");
        return UPDATE_TRANSFER_ERROR;
    }
    if (rc == CURLE_OPERATION_TIMEDOUT) {
        DebugTrace(MOD_UPDATE, 2, "Update transfer took longer than %u ms\n", static_cast<unsigned>(g_timeLimitMs.load()));
        return UPDATE_TRANSFER_ERROR;
    }
    if (rc != CURLE_OK && !body.tooLarge) {
        DebugTrace(MOD_UPDATE, 2, "Update Exception, Error msg %d ! \n", static_cast<int>(rc));
        return UPDATE_TRANSFER_ERROR;
    }
    if (status != 200) {
        DebugTrace(MOD_UPDATE, 2, "Update HTTP Code Not 200, is %d\n", static_cast<int>(status));
        return UPDATE_FAILED;
    }
    if (body.tooLarge) {
        DebugTrace(MOD_UPDATE, 2, "Update document larger than %zu bytes\n", kMaxDocument);
        return UPDATE_FAILED;
    }
    DebugTrace(MOD_UPDATE, 2, "Update Get File Total Size %d\n", static_cast<int>(length));
    UpdateDocumentParser parser;
    bool ok = true;
    for (size_t at = 0; ok && at < body.data.size(); at += kPiece)
        ok = parser.Feed(body.data.data() + at, std::min(kPiece, body.data.size() - at), false);
    if (ok) ok = parser.Feed(nullptr, 0, true);
    // What was read up to a break counts: once DownloadZip was seen the document answers.
    if (!parser.SawDownloadZip()) {
        DebugTrace(MOD_UPDATE, 2, "Update Get Version info Fail\n");
        return UPDATE_FAILED;
    }
    info = parser.Info();
    downloadZip = parser.DownloadZip();
    DebugTrace(MOD_UPDATE, 2, "Update Get Version info OK\n");
    return UPDATE_OK;
}

void Update_SetBaseAddress(const std::string& address) {
    std::lock_guard<std::mutex> g(g_configLock);
    g_baseAddress = address;
}

void Update_SetLanguageFile(const std::string& path) {
    std::lock_guard<std::mutex> g(g_configLock);
    g_languageFile = path;
}

DWORD UpdateThreadProc() {
    DebugTrace(MOD_UPDATE, 2, "Update thread start\n");
    g_updateInfo.major = g_updateInfo.minor = g_updateInfo.build = 0;
    PostThreadMessage(GetCurrentThreadId(), WM_UPDATE_CHECK, 0, reinterpret_cast<LPARAM>(g_hMainWnd.load()));
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
        if (msg.message != WM_UPDATE_CHECK) continue;
        auto window = reinterpret_cast<HWND>(msg.lParam);
        if (g_updateInfo.fetched) {
            Answer(window, UPDATE_OK, reinterpret_cast<LPARAM>(&g_updateInfo));
            continue;
        }
        std::string base, language;
        {
            std::lock_guard<std::mutex> g(g_configLock);
            base = g_baseAddress;
            language = g_languageFile;
        }
        char file[260] = {0};
        GetPrivateProfileStringA("update", "version", "version_cn.xml", file, sizeof(file), language.c_str());
        std::string url = Update_BuildUrl(base, file);
        DebugTrace(MOD_UPDATE, 2, "Update Get File: %s\n", url.c_str());
        CUpdateVersionInfo info;
        std::string zip;
        WPARAM code = Update_Fetch(url, info, zip);
        if (code == UPDATE_OK) {
            g_updateInfo = info;
            g_downloadZip = zip;
            Answer(window, UPDATE_OK, reinterpret_cast<LPARAM>(&g_updateInfo));
        } else {
            Answer(window, code, 0);
        }
    }
    DebugTrace(MOD_UPDATE, 2, "Update thread quit\n");
    g_updateThreadId.store(0);
    return 0;
}

bool Update_StartThread() {
    if (g_updateThread.joinable()) return false;
    g_stopping.store(false);
    plat::ThreadOptions options;
    options.messageQueue = true;
    if (!g_updateThread.start("update", [] { UpdateThreadProc(); }, options)) return false;
    g_updateThreadId.store(g_updateThread.id());
    return true;
}

bool Update_StopThread(DWORD timeoutMs) {
    if (!g_updateThread.joinable()) return true;
    g_stopping.store(true);
    PostThreadMessage(g_updateThread.id(), WM_QUIT, 0, 0);
    if (!g_updateThread.join_for(timeoutMs)) return false;
    g_updateThread = plat::Thread();
    g_stopping.store(false);  // a fetch made later without the thread runs whole
    return true;
}

DWORD Update_ThreadId() { return g_updateThreadId.load(); }
