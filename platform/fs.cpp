// File and folder helpers over POSIX calls.
#include "platform/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace plat {
namespace {

std::mutex& BaseMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& BaseOverride() {
  static std::string* s = new std::string;
  return *s;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Temporary files of an atomic rewrite: "." + name + ".tmp-" + six characters of mkstemp.
constexpr char kTempMark[] = ".tmp-";
constexpr size_t kTempRandom = 6;

// base empty: a temporary file of any name.
bool IsTempOf(const char* entry, const std::string& base) {
  const size_t n = std::strlen(entry);
  const size_t mark = sizeof kTempMark - 1;
  if (n < 1 + base.size() + mark + kTempRandom || entry[0] != '.') return false;
  const size_t head = n - kTempRandom;
  if (base.empty() ? head < 2 + mark : head != 1 + base.size() + mark) return false;
  if (std::memcmp(entry + 1, base.data(), base.size()) != 0) return false;
  if (std::memcmp(entry + head - mark, kTempMark, mark) != 0) return false;
  for (size_t i = head; i < n; ++i)
    if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
  return true;
}

// Removes what earlier rewrites of base (any file when empty) left behind when they were killed. A
// writer holds a lock on its temporary file for as long as it works on it, so only abandoned ones
// can be locked here.
void RemoveStaleTemps(const std::string& dir, const std::string& base) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    if (!IsTempOf(e->d_name, base)) continue;
    const std::string name = dir + "/" + e->d_name;
    int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(name.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      ::unlink(name.c_str());
    }
    ::close(fd);
  }
  ::closedir(d);
}

// Creates and locks a fresh temporary file for base in dir; -1 on failure.
int CreateLockedTemp(const std::string& dir, const std::string& base, std::vector<char>* name) {
  const std::string tmpl = dir + "/." + base + kTempMark + std::string(kTempRandom, 'X');
  for (int attempt = 0; attempt < 4; ++attempt) {
    name->assign(tmpl.begin(), tmpl.end());
    name->push_back('\0');
    int fd = ::mkstemp(name->data());
    if (fd < 0) return -1;
    // Another writer's clean-up may have taken it between creation and the lock.
    struct stat st;
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0) return fd;
    ::close(fd);
  }
  return -1;
}

}  // namespace

std::string NormalizeSeparators(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string PathJoin(std::string_view a, std::string_view b) {
  std::string left = NormalizeSeparators(a);
  std::string right = NormalizeSeparators(b);
  if (left.empty()) return right;
  if (right.empty()) return left;
  while (left.size() > 1 && left.back() == '/') left.pop_back();
  size_t skip = 0;
  while (skip < right.size() && right[skip] == '/') ++skip;
  if (left == "/") return left + right.substr(skip);
  return left + "/" + right.substr(skip);
}

std::string PathDirName(std::string_view path) {
  std::string p = NormalizeSeparators(path);
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string PathBaseName(std::string_view path) {
  std::string p = NormalizeSeparators(path);
  size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

int EnsureDirectory(const std::string& path) {
  std::string p = NormalizeSeparators(path);
  struct stat st;
  if (::stat(p.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    ::chmod(p.c_str(), kPrivateFileMode);  // the read-only mark must not keep the file
    if (::unlink(p.c_str()) != 0) return -1;
  }
  return ::mkdir(p.c_str(), kPrivateFolderMode) == 0 ? 0 : -1;
}

bool MakeDirectories(const std::string& path) {
  std::string p = NormalizeSeparators(path);
  if (p.empty()) return false;
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      if (::mkdir(part.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) return false;
    }
  }
  return IsDirectory(p);
}

bool MakePrivateDirectory(const std::string& path) {
  const std::string p = NormalizeSeparators(path);
  if (!MakeDirectories(p)) return false;
  struct stat st;
  if (::stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & 077) != 0 && st.st_uid == ::geteuid()) ::chmod(p.c_str(), st.st_mode & 0700);
  return true;
}

int OpenRegularFile(const std::string& path, int flags) {
  const std::string p = NormalizeSeparators(path);
  // Looked at before opening, so a device is not even opened; checked again on what was opened.
  struct stat st;
  if (::stat(p.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  const bool truncate = (flags & O_TRUNC) != 0;
  const int fd = ::open(p.c_str(), (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return -1;
  int error = 0;
  if (::fstat(fd, &st) != 0) error = errno;
  else if (!S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) error = errno;
  else if (truncate && ::ftruncate(fd, 0) != 0) error = errno;
  if (error) {
    ::close(fd);
    errno = error;
    return -1;
  }
  const bool writes = (flags & O_ACCMODE) != O_RDONLY;
  if (writes && (st.st_mode & 077) != 0 && st.st_uid == ::geteuid()) ::fchmod(fd, st.st_mode & 0700);
  return fd;
}

std::FILE* OpenRegularStream(const std::string& path, const char* mode) {
  if (!mode) return nullptr;
  int flags = 0;
  switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
  }
  for (const char* m = mode + 1; *m; ++m) {
    if (*m == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    else if (*m == 'x') flags |= O_EXCL;
  }
  const int fd = OpenRegularFile(path, flags);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, mode);
  if (!f) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return f;
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes, FileAccess access) {
  std::string p = NormalizeSeparators(path);
  std::string dir = PathDirName(p);
  if (dir.empty()) dir = ".";
  const std::string base = PathBaseName(p);
  RemoveStaleTemps(dir, base);
  std::vector<char> name;
  int fd = CreateLockedTemp(dir, base, &name);
  if (fd < 0) return false;
  // Keep the permissions of the file being replaced (new files are the user's alone); secrets are
  // never readable by others, not even while they sit in the temporary file.
  mode_t mode = kPrivateFileMode;
  if (access == FileAccess::Keep) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) mode = st.st_mode & 07777;
  }
  ::fchmod(fd, mode);  // where the file system refuses, mkstemp's 0600 stays
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  if (ok) ok = ::rename(name.data(), p.c_str()) == 0;
  if (!ok) ::unlink(name.data());
  ok = (::close(fd) == 0) && ok;
  return ok;
}

void RemoveStaleTempFiles(const std::string& folder) {
  const std::string dir = NormalizeSeparators(folder);
  RemoveStaleTemps(dir.empty() ? "." : dir, std::string());
}

bool ReadFile(const std::string& path, std::string* out, size_t maxBytes) {
  std::string p = NormalizeSeparators(path);
  // Opened without waiting: a FIFO or a device in a file's place must not hold the reader.
  int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  std::string data;
  if (st.st_size > 0) data.reserve(std::min<size_t>(static_cast<size_t>(st.st_size), maxBytes));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      return false;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (out) *out = std::move(data);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(NormalizeSeparators(path).c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(NormalizeSeparators(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(NormalizeSeparators(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long long FileSize(const std::string& path) {
  struct stat st;
  if (::stat(NormalizeSeparators(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

bool RemoveFile(const std::string& path) {
  std::string p = NormalizeSeparators(path);
  if (::unlink(p.c_str()) == 0) return true;
  return errno == ENOENT;
}

bool RemoveDirectory(const std::string& path) { return ::rmdir(NormalizeSeparators(path).c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(NormalizeSeparators(from).c_str(), NormalizeSeparators(to).c_str()) == 0;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = ::opendir(NormalizeSeparators(path).c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string PathJoinNoCase(const std::string& folder, const std::string& name) {
  const std::string exact = PathJoin(folder, name);
  if (FileExists(exact)) return exact;
  for (const std::string& entry : ListDirectory(folder))
    if (::strcasecmp(entry.c_str(), name.c_str()) == 0) return PathJoin(folder, entry);
  return exact;
}

std::string ExecutableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string dir = PathDirName(buf);
  return dir.empty() ? "." : dir;
}

std::string BaseFolder() {
  {
    std::lock_guard<std::mutex> lk(BaseMutex());
    if (!BaseOverride().empty()) return BaseOverride();
  }
  if (const char* env = ::getenv("TESSALY_BASE_DIR")) {
    if (*env) return NormalizeSeparators(env);
  }
  return ExecutableDirectory();
}

void SetBaseFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lk(BaseMutex());
  BaseOverride() = NormalizeSeparators(folder);
}

}  // namespace plat
