// The chat history on disk: one folder per peer number under the records root, "name.dat" and one file
// per day and kind ("%Y-%m-%d-0.dat" text, "-1.dat" voice) holding NUL-terminated records
// "time#private#voice#sender\nreceivers\ncontent".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

inline constexpr long long kChatDayFileMax = 52428800;  // bytes; larger day files are skipped by every reader
inline constexpr size_t kChatOwnerNameMax = 127;       // bytes of "name.dat" a reader takes

// One record as read back.
struct ChatRecordRow {
    std::string time;       // "%Y-%m-%d %H:%M"
    int priv = 0;           // 1: a private line inside a multi-member chat
    int voice = 0;          // 1: voice message, content is its message number
    std::string sender;
    std::string receivers;
    std::string content;
    std::string file;       // the day file, relative to the records root ("<peer>/<day>-<kind>.dat")
    std::string raw;        // the record's bytes without its NUL, to find it again on write-back
};

// What a keyword search lists: records holding the keyword (case-insensitive, in sender, receivers or
// content), each sender, receivers, time and content only once. Without a keyword every record passes.
class ChatRecordMatcher {
 public:
    explicit ChatRecordMatcher(std::string_view keyword);
    bool HasKeyword() const { return !key_.empty(); }
    // True when the row is to be listed; it then counts as listed.
    bool Take(const ChatRecordRow& row);
    // A row already in the list: an equal one is not listed again.
    void Listed(const ChatRecordRow& row);

 private:
    bool Holds(const std::string& text);
    static std::string Identity(const ChatRecordRow& row);
    std::string key_;
    std::string folded_;
    std::unordered_set<std::string> seen_;
};

class ChatRecordFile {
 public:
    explicit ChatRecordFile(std::string root = {}) : root_(std::move(root)) {}
    void SetRoot(std::string root) { root_ = std::move(root); }
    const std::string& root() const { return root_; }

    // Appends one record in the peer's folder and names the folder: nameChoice 0 writes the sender into
    // "name.dat", any other value the owner name. time: seconds since 1970 UTC, or -1 for now.
    // The record goes in with one write after the file's last NUL: a record cut short by a crash is
    // cut away first, so a record is in the file whole or not at all. Folders are made 0700 and files
    // 0600 (private messages). False when nothing could be stored (the reason is traced).
    bool Append(int peer, int voice, int priv, std::string_view sender, std::string_view receivers, int64_t time,
                std::string_view content, int nameChoice, std::string_view ownerName) const;

    // The record's bytes (without its NUL); sender and receivers have CR, LF and NUL replaced by blanks.
    static std::string FormatRecord(const std::string& time, int priv, int voice, std::string_view sender,
                                    std::string_view receivers, std::string_view content);
    // Local date and time of a record: "%Y-%m-%d %H:%M" and "%Y-%m-%d".
    static void RecordTime(int64_t time, std::string* stamp, std::string* date);

    // Makes the records root (made if missing) the user's alone, with every folder of older versions
    // under it; false when it cannot be made so.
    bool KeepPrivate() const;

    std::string PeerFolder(int peer) const;
    std::string DayFile(int peer, std::string_view date, int voice) const;
    // "name.dat" of the folder (at most 127 bytes); "" when missing.
    std::string GetOwnerName(int peer) const;
    // Peer numbers with a folder under the root, ascending.
    std::vector<int> ListPeers() const;
    // Day files of a folder ("YYYY-MM-DD-k.dat" names), sorted.
    std::vector<std::string> ListDayFiles(int peer) const;

    // Reads one day file into rows (relative name for the rows' file field). With a keyword only
    // matching records are added, and none equal to a row already there. Files over 50 MB are skipped.
    void LoadRecordFile(const std::string& relative, std::string_view keyword, std::vector<ChatRecordRow>* rows) const;
    // The same through a matcher that spans several files (null: every record); false when cancelled.
    bool LoadMatchingRecords(const std::string& relative, ChatRecordMatcher* matcher, std::vector<ChatRecordRow>* rows,
                             const std::atomic<bool>* cancel = nullptr) const;
    // kind 2: the text file of the day then the voice file; 0 or 1: that file only.
    void ReadDay(int peer, std::string_view date, int kind, std::vector<ChatRecordRow>* rows) const;
    // Every day file of the folder with the keyword filter.
    void ScanFolder(int peer, std::string_view keyword, std::vector<ChatRecordRow>* rows) const;
    // Every day file of every folder with the keyword filter, in the time it takes to read them. Safe
    // on any thread; stops early (returning what it has) once cancel is set.
    std::vector<ChatRecordRow> SearchAll(std::string_view keyword, const std::atomic<bool>* cancel = nullptr) const;

    // Removes exactly the given records from their day files. Each file is re-read under its lock, so
    // records appended since it was loaded stay, and replaced through a temporary file, so a crash leaves
    // the old file or the new one. Returns the number of records removed.
    int RemoveRecords(const std::vector<ChatRecordRow>& deleted) const;

 private:
    std::string root_;
};

// Parses a whole day file's bytes; exposed for the fuzz target and the tests. Bytes after the last NUL
// are a record cut short and are not read.
void ParseChatRecords(std::string_view bytes, const std::string& relative, std::string_view keyword,
                      std::vector<ChatRecordRow>* rows);
// The same through a matcher (null: every record); false when cancelled midway.
bool ParseMatchingRecords(std::string_view bytes, const std::string& relative, ChatRecordMatcher* matcher,
                          std::vector<ChatRecordRow>* rows, const std::atomic<bool>* cancel = nullptr);
