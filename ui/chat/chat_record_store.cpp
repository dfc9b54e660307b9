// The chat-record store: appending records, reading day files, removing records.
#include "ui/chat/chat_record_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/debug.h"
#include "platform/fs.h"

namespace {

std::string CleanName(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == '\0') c = ' ';
    return out;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Holds the peer folder's lock while one append or one rewrite runs. The lock sits on the folder, not on
// the day file, because a rewrite replaces the file: a lock on the old file would guard nothing.
class FolderLock {
 public:
    explicit FolderLock(const std::string& folder) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool held() const { return fd_ >= 0; }

 private:
    int fd_ = -1;
};

// A record folder's name file an older version left open to others.
void PrivateFile(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) ::chmod(path.c_str(), 0600);
}

// Where the record cut short by a crash begins: just past the last NUL (0 when there is none), or -1
// on a read error.
off_t AfterLastNul(int fd, off_t end) {
    char buf[65536];
    off_t pos = end;
    while (pos > 0) {
        const size_t n = static_cast<size_t>(std::min<off_t>(pos, sizeof buf));
        pos -= static_cast<off_t>(n);
        if (::pread(fd, buf, n, pos) != static_cast<ssize_t>(n)) return -1;
        for (size_t i = n; i-- > 0;)
            if (buf[i] == '\0') return pos + static_cast<off_t>(i) + 1;
    }
    return 0;
}

bool ReadWhole(int fd, std::string* out) {
    out->clear();
    char buf[65536];
    if (::lseek(fd, 0, SEEK_SET) < 0) return false;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

std::string ChatRecordFile::FormatRecord(const std::string& time, int priv, int voice, std::string_view sender,
                                         std::string_view receivers, std::string_view content) {
    std::string out = time;
    out += '#';
    out += priv != 0 ? '1' : '0';
    out += '#';
    out += voice != 0 ? '1' : '0';
    out += '#';
    out += CleanName(sender);
    out += '\n';
    out += CleanName(receivers);
    out += '\n';
    // The NUL ends a record, so none may stand inside the content.
    std::string body(content);
    body.erase(std::remove(body.begin(), body.end(), '\0'), body.end());
    out += body;
    return out;
}

void ChatRecordFile::RecordTime(int64_t time, std::string* stamp, std::string* date) {
    time_t t = time == -1 ? ::time(nullptr) : static_cast<time_t>(time);
    struct tm local {};
    ::localtime_r(&t, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
    if (stamp) *stamp = buf;
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
    if (date) *date = buf;
}

// The records are private messages: their folders are the user's alone, also those an older version
// made open to everyone.
bool ChatRecordFile::KeepPrivate() const { return !root_.empty() && plat::MakePrivateDirectory(root_); }

std::string ChatRecordFile::PeerFolder(int peer) const { return plat::PathJoin(root_, std::to_string(peer)); }

std::string ChatRecordFile::DayFile(int peer, std::string_view date, int voice) const {
    return plat::PathJoin(PeerFolder(peer), std::string(date) + (voice != 0 ? "-1.dat" : "-0.dat"));
}

bool ChatRecordFile::Append(int peer, int voice, int priv, std::string_view sender, std::string_view receivers,
                            int64_t time, std::string_view content, int nameChoice,
                            std::string_view ownerName) const {
    if (root_.empty()) return false;
    std::string stamp, date;
    RecordTime(time, &stamp, &date);
    std::string record = FormatRecord(stamp, priv, voice, sender, receivers, content);
    record.push_back('\0');

    std::string folder = PeerFolder(peer);
    if (!KeepPrivate() || !plat::MakePrivateDirectory(folder)) {
        DebugTrace(MOD_QZ, 2, "chat record lost: cannot make %s (%s)", folder.c_str(), std::strerror(errno));
        return false;
    }
    // The folder's name changes rarely: rewrite it only then, and never leave it half-written.
    const std::string name(nameChoice == 0 ? sender : ownerName);
    std::string namePath = plat::PathJoin(folder, "name.dat");
    std::string current;
    if (!plat::ReadFile(namePath, &current, 4096) || current != name) {
        if (!plat::WriteFileAtomic(namePath, name, plat::FileAccess::OwnerOnly))
            DebugTrace(MOD_QZ, 2, "chat record: cannot write %s", namePath.c_str());
    } else {
        PrivateFile(namePath);
    }

    std::string path = DayFile(peer, date, voice);
    FolderLock lock(folder);
    if (!lock.held()) DebugTrace(MOD_QZ, 2, "chat record: no lock on %s", folder.c_str());
    // A rewrite of any day file here that was killed midway left its temporary file behind.
    plat::RemoveStaleTempFiles(folder);
    int fd = plat::OpenRegularFile(path, O_RDWR | O_CREAT | O_NOFOLLOW);
    if (fd < 0) {
        DebugTrace(MOD_QZ, 2, "chat record lost: cannot open %s (%s)", path.c_str(), std::strerror(errno));
        return false;
    }
    off_t end = ::lseek(fd, 0, SEEK_END);
    bool ok = end >= 0;
    if (ok && end > 0) {
        // A record cut short by a crash has no NUL: it goes, so the history never shows it truncated.
        const off_t whole = AfterLastNul(fd, end);
        if (whole < 0) {
            ok = false;
        } else if (whole < end) {
            if (::ftruncate(fd, whole) == 0) {
                DebugTrace(MOD_QZ, 2, "chat record: cut %lld bytes of a record cut short from %s",
                           static_cast<long long>(end - whole), path.c_str());
                end = whole;
            } else {
                ok = false;
            }
        }
    }
    // One write of the whole record with its NUL: a crash midway leaves a tail without NUL, which
    // readers skip and the next append cuts away.
    if (ok && (::lseek(fd, end, SEEK_SET) != end || !WriteAll(fd, record.data(), record.size()))) {
        ok = false;
        // A short write (disk full) is taken back so no partial record stays behind.
        if (::ftruncate(fd, end) != 0) DebugTrace(MOD_QZ, 2, "chat record: cannot take back a short write");
    }
    ::close(fd);
    if (!ok) DebugTrace(MOD_QZ, 2, "chat record lost: cannot write %s", path.c_str());
    return ok;
}

std::string ChatRecordFile::GetOwnerName(int peer) const {
    std::string name;
    if (!plat::ReadFile(plat::PathJoin(PeerFolder(peer), "name.dat"), &name, 1u << 20)) return {};
    if (name.size() > kChatOwnerNameMax) name.resize(kChatOwnerNameMax);
    return name;
}

std::vector<int> ChatRecordFile::ListPeers() const {
    std::vector<int> peers;
    for (const std::string& entry : plat::ListDirectory(root_)) {
        if (entry.empty() || entry.size() > 10 || !std::all_of(entry.begin(), entry.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        if (!plat::IsDirectory(plat::PathJoin(root_, entry))) continue;
        long long n = std::stoll(entry);
        if (n > 0x7fffffff) continue;
        peers.push_back(static_cast<int>(n));
    }
    // In the order the folder lists them.
    return peers;
}

std::vector<std::string> ChatRecordFile::ListDayFiles(int peer) const {
    std::vector<std::string> files;
    std::string folder = PeerFolder(peer);
    for (const std::string& entry : plat::ListDirectory(folder)) {
        if (entry == "name.dat" || entry.size() < 5 || entry.compare(entry.size() - 4, 4, ".dat") != 0) continue;
        if (entry[0] == '.') continue;  // temporary files of a write-back
        if (plat::IsDirectory(plat::PathJoin(folder, entry))) continue;
        files.push_back(entry);
    }
    return files;
}

ChatRecordMatcher::ChatRecordMatcher(std::string_view keyword) : key_(Lower(keyword)) {}

bool ChatRecordMatcher::Holds(const std::string& text) {
    folded_.assign(text);
    for (char& c : folded_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded_.find(key_) != std::string::npos;
}

// Time, sender and receivers hold no line end, so the joined text names the four fields unambiguously.
std::string ChatRecordMatcher::Identity(const ChatRecordRow& row) {
    std::string id;
    id.reserve(row.time.size() + row.sender.size() + row.receivers.size() + row.content.size() + 3);
    id.append(row.time).append(1, '\n').append(row.sender).append(1, '\n').append(row.receivers).append(1, '\n');
    id.append(row.content);
    return id;
}

bool ChatRecordMatcher::Take(const ChatRecordRow& row) {
    if (key_.empty()) return true;
    if (!Holds(row.sender) && !Holds(row.receivers) && !Holds(row.content)) return false;
    return seen_.insert(Identity(row)).second;
}

void ChatRecordMatcher::Listed(const ChatRecordRow& row) {
    if (!key_.empty()) seen_.insert(Identity(row));
}

bool ParseMatchingRecords(std::string_view bytes, const std::string& relative, ChatRecordMatcher* matcher,
                          std::vector<ChatRecordRow>* rows, const std::atomic<bool>* cancel) {
    size_t i = 0;
    const size_t n = bytes.size();
    for (unsigned count = 0; i < n; ++count) {
        if (cancel && (count & 255) == 0 && cancel->load(std::memory_order_relaxed)) return false;
        size_t start = i;
        size_t end = bytes.find('\0', i);
        // Bytes after the last NUL are a record cut short by a crash (or still being written).
        if (end == std::string_view::npos) break;
        i = end + 1;
        std::string_view rec = bytes.substr(start, end - start);
        // time#priv#voice#sender\nreceivers\ncontent ; "#" after the third is ordinary text
        size_t h1 = rec.find('#');
        if (h1 == std::string_view::npos) continue;
        size_t h2 = rec.find('#', h1 + 1);
        if (h2 == std::string_view::npos) continue;
        size_t h3 = rec.find('#', h2 + 1);
        if (h3 == std::string_view::npos) continue;
        size_t l1 = rec.find_first_of("\r\n", h3 + 1);
        if (l1 == std::string_view::npos) continue;
        size_t l2 = rec.find_first_of("\r\n", l1 + 1);
        if (l2 == std::string_view::npos) continue;
        // A line end inside the first three fields breaks the record.
        if (rec.substr(0, h3).find_first_of("\r\n") != std::string_view::npos) continue;
        ChatRecordRow row;
        row.time.assign(rec.substr(0, h1));
        row.priv = rec.substr(h1 + 1, h2 - h1 - 1) == "1" ? 1 : 0;
        row.voice = rec.substr(h2 + 1, h3 - h2 - 1) == "1" ? 1 : 0;
        row.sender.assign(rec.substr(h3 + 1, l1 - h3 - 1));
        row.receivers.assign(rec.substr(l1 + 1, l2 - l1 - 1));
        row.content.assign(rec.substr(l2 + 1));
        if (matcher && !matcher->Take(row)) continue;
        row.file = relative;
        row.raw.assign(rec);
        rows->push_back(std::move(row));
    }
    return true;
}

void ParseChatRecords(std::string_view bytes, const std::string& relative, std::string_view keyword,
                      std::vector<ChatRecordRow>* rows) {
    ChatRecordMatcher matcher(keyword);
    if (matcher.HasKeyword())
        for (const ChatRecordRow& row : *rows) matcher.Listed(row);
    ParseMatchingRecords(bytes, relative, &matcher, rows);
}

void ChatRecordFile::LoadRecordFile(const std::string& relative, std::string_view keyword,
                                    std::vector<ChatRecordRow>* rows) const {
    ChatRecordMatcher matcher(keyword);
    if (matcher.HasKeyword())
        for (const ChatRecordRow& row : *rows) matcher.Listed(row);
    LoadMatchingRecords(relative, &matcher, rows);
}

bool ChatRecordFile::LoadMatchingRecords(const std::string& relative, ChatRecordMatcher* matcher,
                                         std::vector<ChatRecordRow>* rows, const std::atomic<bool>* cancel) const {
    std::string path = plat::PathJoin(root_, relative);
    long long size = plat::FileSize(path);
    if (size < 0 || size > kChatDayFileMax) return true;
    std::string bytes;
    if (!plat::ReadFile(path, &bytes, static_cast<size_t>(kChatDayFileMax))) return true;
    return ParseMatchingRecords(bytes, relative, matcher, rows, cancel);
}

void ChatRecordFile::ReadDay(int peer, std::string_view date, int kind, std::vector<ChatRecordRow>* rows) const {
    std::string folder = std::to_string(peer);
    if (kind == 2) {
        LoadMatchingRecords(folder + "/" + std::string(date) + "-0.dat", nullptr, rows);
        LoadMatchingRecords(folder + "/" + std::string(date) + "-1.dat", nullptr, rows);
    } else {
        LoadMatchingRecords(folder + "/" + std::string(date) + (kind == 1 ? "-1.dat" : "-0.dat"), nullptr, rows);
    }
}

void ChatRecordFile::ScanFolder(int peer, std::string_view keyword, std::vector<ChatRecordRow>* rows) const {
    ChatRecordMatcher matcher(keyword);
    if (matcher.HasKeyword())
        for (const ChatRecordRow& row : *rows) matcher.Listed(row);
    for (const std::string& file : ListDayFiles(peer)) LoadMatchingRecords(std::to_string(peer) + "/" + file, &matcher, rows);
}

std::vector<ChatRecordRow> ChatRecordFile::SearchAll(std::string_view keyword, const std::atomic<bool>* cancel) const {
    std::vector<ChatRecordRow> rows;
    if (root_.empty()) return rows;
    ChatRecordMatcher matcher(keyword);
    for (int peer : ListPeers()) {
        for (const std::string& file : ListDayFiles(peer)) {
            if (cancel && cancel->load(std::memory_order_relaxed)) return rows;
            if (!LoadMatchingRecords(std::to_string(peer) + "/" + file, &matcher, &rows, cancel)) return rows;
        }
    }
    return rows;
}

int ChatRecordFile::RemoveRecords(const std::vector<ChatRecordRow>& deleted) const {
    std::vector<std::string> files;
    for (const ChatRecordRow& row : deleted)
        if (std::find(files.begin(), files.end(), row.file) == files.end()) files.push_back(row.file);
    int removed = 0;
    for (const std::string& relative : files) {
        // Only names the reader produced: a peer folder and a day file, nothing that climbs out of the root.
        if (relative.find("..") != std::string::npos || relative.empty() || relative[0] == '/') continue;
        std::string path = plat::PathJoin(root_, relative);
        FolderLock lock(plat::PathDirName(path));
        plat::RemoveStaleTempFiles(plat::PathDirName(path));
        int fd = plat::OpenRegularFile(path, O_RDONLY);
        if (fd < 0) continue;
        std::string bytes;
        if (!ReadWhole(fd, &bytes)) {
            ::close(fd);
            continue;
        }
        std::vector<std::string> gone;
        for (const ChatRecordRow& row : deleted)
            if (row.file == relative) gone.push_back(row.raw);
        std::string kept;
        kept.reserve(bytes.size());
        int here = 0;
        size_t i = 0;
        // A tail without NUL is a record cut short by a crash (appends run under the same lock): it
        // goes with the rewrite.
        while (i < bytes.size()) {
            size_t end = bytes.find('\0', i);
            if (end == std::string::npos) break;
            std::string_view rec(bytes.data() + i, end - i);
            auto hit = std::find(gone.begin(), gone.end(), rec);
            if (hit != gone.end()) {
                gone.erase(hit);  // each deleted row takes one copy only
                ++here;
            } else {
                kept.append(rec);
                kept.push_back('\0');
            }
            i = end + 1;
        }
        if (here > 0) {
            if (plat::WriteFileAtomic(path, kept, plat::FileAccess::OwnerOnly))
                removed += here;
            else
                DebugTrace(MOD_QZ, 2, "chat record: cannot rewrite %s", path.c_str());
        }
        ::close(fd);
    }
    return removed;
}
