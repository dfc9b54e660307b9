// Software-update check: fetches the version document over HTTP on the update thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/wintypes.h"

struct XML_ParserStruct;

struct CUpdateVersionInfo {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build = 0;
    std::string changes;
    int32_t fetched = 0;     // the document named a download
    int32_t needUpdate = 0;
    int32_t enforce = 0;
};

// The record the thread fills and answers with (lParam of a successful WM_UPDATE_CHECK).
extern CUpdateVersionInfo g_updateInfo;
// The download address of the last successful check (the thread sets it; tests may too).
std::string Update_GetDownloadZip();
void Update_SetDownloadZip(const std::string& address);
// The download address the program may offer the user: an http or https address naming a host, of
// printable characters and at most UPDATE_MAX_ADDRESS long, without the blanks around it; "" for
// anything else (a local file, a program, a script).
inline constexpr size_t UPDATE_MAX_ADDRESS = 2048;
std::string Update_OfferedDownload(const std::string& downloadZip);

// WM_UPDATE_CHECK answers (wParam).
inline constexpr WPARAM UPDATE_OK = 0;
inline constexpr WPARAM UPDATE_FAILED = 1;
inline constexpr WPARAM UPDATE_TRANSFER_ERROR = 2;

// The version this program is.
inline constexpr int32_t UPDATE_RUNNING_MAJOR = 0;
inline constexpr int32_t UPDATE_RUNNING_MINOR = 9;
inline constexpr int32_t UPDATE_RUNNING_BUILD = 6;
// True unless (major, minor, build) is at or below the running version within its major version: a
// different major, even a lower one, counts as newer.
bool Update_IsNewer(const CUpdateVersionInfo& info);

// The address of the version document: "http://" in front unless present, trailing "/" removed, one
// "/" and the file name without its leading "/". Empty when the address is not plain http.
std::string Update_BuildUrl(const std::string& base, const std::string& fileName);

// Reads the version document piece by piece; the text of an element is everything between its tags, up to
// its first 16 KiB (cut at a character's boundary).
class UpdateDocumentParser {
public:
    UpdateDocumentParser();
    ~UpdateDocumentParser();
    UpdateDocumentParser(const UpdateDocumentParser&) = delete;
    UpdateDocumentParser& operator=(const UpdateDocumentParser&) = delete;
    // False once the document is malformed; isFinal marks its end.
    bool Feed(const char* data, size_t length, bool isFinal);
    const CUpdateVersionInfo& Info() const { return m_info; }
    const std::string& DownloadZip() const { return m_downloadZip; }
    bool SawDownloadZip() const { return m_sawDownloadZip; }

private:
    static void OnStart(void* user, const char* name, const char** attributes);
    static void OnEnd(void* user, const char* name);
    static void OnText(void* user, const char* text, int length);
    XML_ParserStruct* m_parser;
    CUpdateVersionInfo m_info;
    std::string m_downloadZip;
    bool m_sawDownloadZip = false;
    std::string m_text;
    bool m_textFull = false;  // the text reached its cap: the rest of the element is not kept
    bool m_failed = false;
};

// Fetches and reads the document: UPDATE_OK with info and address filled, UPDATE_FAILED (not http,
// status not 200, no DownloadZip with text before the end or a break) or UPDATE_TRANSFER_ERROR
// (connection, time-out). A document that breaks after its DownloadZip answers with what was read.
WPARAM Update_Fetch(const std::string& url, CUpdateVersionInfo& info, std::string& downloadZip);

// Longest a whole fetch (connection, request, document) may take, in milliseconds.
inline constexpr DWORD UPDATE_TIME_LIMIT_MS = 20000;
// Tests shorten the limit; 0 restores it.
void Update_SetTimeLimitMs(DWORD ms);

// Update address from the settings and the language file that names the document.
void Update_SetBaseAddress(const std::string& address);
void Update_SetLanguageFile(const std::string& path);

// The thread procedure: checks once for the main frame at its start, then on each WM_UPDATE_CHECK
// (lParam the window to answer); ends on WM_QUIT.
DWORD UpdateThreadProc();
bool Update_StartThread();
// Ends a transfer in progress (answered as a transfer error), then waits up to timeoutMs for the thread.
bool Update_StopThread(DWORD timeoutMs);
DWORD Update_ThreadId();
