// Tests of the random generator, MD5, RC4 and the file helpers.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/md5.h"
#include "platform/random.h"
#include "platform/rc4.h"
#include "test_util.h"

namespace {

TEST(PlatformRandom, KnownSequenceAndRange) {
  plat::Rand15 r(1);
  EXPECT_EQ(r.next(), 41);
  EXPECT_EQ(r.next(), 18467);
  EXPECT_EQ(r.next(), 6334);
  EXPECT_EQ(r.next(), 26500);
  EXPECT_EQ(r.next(), 19169);
  r.seed(0xFFFFFFFFu);  // state arithmetic wraps without signed overflow
  for (int i = 0; i < 100000; ++i) {
    int v = r.next();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, plat::kRand15Max);
  }
  plat::srand15(1);
  EXPECT_EQ(plat::rand15(), 41);
  EXPECT_EQ(plat::rand15(), 18467);
}

TEST(PlatformMd5, Rfc1321Vectors) {
  struct {
    const char* in;
    const char* hex;
  } cases[] = {{"", "d41d8cd98f00b204e9800998ecf8427e"},
               {"a", "0cc175b9c0f1b6a831c399e269772661"},
               {"abc", "900150983cd24fb0d6963f7d28e17f72"},
               {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
               {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
               {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                "57edf4a22be3c955ac49da2e2107b67a"}};
  for (auto& c : cases) EXPECT_EQ(plat::Md5Hex(c.in), c.hex) << c.in;
  // Incremental in odd chunks gives the same digest.
  std::string text = cases[5].in;
  plat::Md5 m;
  for (size_t i = 0; i < text.size(); i += 7) m.update(text.substr(i, 7));
  EXPECT_EQ(m.final_hex(), cases[5].hex);
}

TEST(PlatformRc4, KnownVectorAndRoundTrip) {
  // Key "Key", plain "Plaintext" -> BBF316E8D940AF0AD3.
  const uint8_t key[] = {'K', 'e', 'y'};
  uint8_t data[] = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  plat::Rc4 enc(key, sizeof key);
  enc.crypt(data, sizeof data);
  EXPECT_EQ(plat::HexLower(data, sizeof data), "bbf316e8d940af0ad3");
  plat::Rc4 dec(key, sizeof key);
  dec.crypt(data, sizeof data);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), sizeof data), "Plaintext");

  uint8_t hash[16];
  plat::Md5Digest("x", 1, hash);
  uint8_t k[16];
  plat::DeriveRc4Key40(hash, k);
  EXPECT_EQ(std::vector<uint8_t>(k, k + 5), std::vector<uint8_t>(hash, hash + 5));
  EXPECT_EQ(std::vector<uint8_t>(k + 5, k + 16), std::vector<uint8_t>(11, 0));
}

TEST(PlatformFs, PathsAcceptBothSeparators) {
  EXPECT_EQ(plat::PathJoin("base", "individual\\123\\calllog.dat"), "base/individual/123/calllog.dat");
  EXPECT_EQ(plat::PathJoin("base/", "\\account.ini"), "base/account.ini");
  EXPECT_EQ(plat::PathJoin("", "a"), "a");
  EXPECT_EQ(plat::PathJoin("/", "a"), "/a");
  EXPECT_EQ(plat::PathDirName("a\\b\\c.txt"), "a/b");
  EXPECT_EQ(plat::PathBaseName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(plat::PathDirName("c.txt"), "");
}

TEST(PlatformFs, EnsureDirectoryReplacesAPlainFile) {
  plat_test::TempDir dir;
  std::string p = dir.file("individual");
  EXPECT_EQ(plat::EnsureDirectory(p), 0);
  EXPECT_TRUE(plat::IsDirectory(p));
  EXPECT_EQ(plat::EnsureDirectory(p), 0);  // existing folder: nothing done
  std::string f = dir.file("user");
  ASSERT_TRUE(plat::WriteFileAtomic(f, "x"));
  ::chmod(f.c_str(), 0444);
  EXPECT_EQ(plat::EnsureDirectory(f), 0);
  EXPECT_TRUE(plat::IsDirectory(f));
  EXPECT_EQ(plat::EnsureDirectory(dir.file("no/such/parent")), -1);
  EXPECT_TRUE(plat::MakeDirectories(dir.file("no\\such\\parent")));
  EXPECT_TRUE(plat::IsDirectory(dir.file("no/such/parent")));
}

TEST(PlatformFs, AtomicWriteReadCapAndList) {
  plat_test::TempDir dir;
  std::string p = dir.file("data.bin");
  std::string bytes("a\0b\r\n", 5);
  ASSERT_TRUE(plat::WriteFileAtomic(p, bytes));
  std::string back;
  ASSERT_TRUE(plat::ReadFile(p, &back));
  EXPECT_EQ(back, bytes);
  EXPECT_FALSE(plat::ReadFile(p, &back, 4));  // larger than the cap
  EXPECT_EQ(plat::FileSize(p), 5);
  ASSERT_TRUE(plat::WriteFileAtomic(p, "new"));
  ASSERT_TRUE(plat::ReadFile(p, &back));
  EXPECT_EQ(back, "new");
  EXPECT_EQ(plat::ListDirectory(dir.path()), std::vector<std::string>{"data.bin"});  // no temporary left
  EXPECT_FALSE(plat::WriteFileAtomic(dir.file("missing/x"), "y"));
  EXPECT_TRUE(plat::RemoveFile(p));
  EXPECT_TRUE(plat::RemoveFile(p));  // already gone counts as removed
  EXPECT_FALSE(plat::FileExists(p));
  EXPECT_FALSE(plat::ReadFile(dir.path(), &back));  // a folder is not a file
}

// Only regular files are read: a FIFO with no writer, a device or a socket in a file's place is refused
// at once, for whole-file reads and for profile files alike, and a profile write leaves it in place.
TEST(PlatformFs, OnlyRegularFilesAreRead) {
  plat_test::TempDir dir;
  const std::string fifo = dir.file("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = dir.file("null.ini");
  ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  const std::string sock = dir.file("sock.ini");
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  for (const std::string& path : {fifo, link, sock}) {
    SCOPED_TRACE(path);
    std::string back = "kept";
    EXPECT_FALSE(plat::ReadFile(path, &back));
    EXPECT_EQ(back, "kept");
    char value[16];
    EXPECT_EQ(GetPrivateProfileStringA("common", "key", "dflt", value, sizeof value, path.c_str()), 4u);
    EXPECT_STREQ(value, "dflt");
    EXPECT_FALSE(WritePrivateProfileStringA("common", "key", "v", path.c_str()));
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
  }
  ::close(s);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sets the usual umask for a test, so a mode the code asks for shows as it would for most users.
struct UsualUmask {
  mode_t saved = ::umask(022);
  ~UsualUmask() { ::umask(saved); }
};

TEST(PlatformFs, AtomicWriteModes) {
  UsualUmask umask;
  plat_test::TempDir dir;
  const std::string p = dir.file("f");
  struct Case {
    const char* name;
    mode_t before;  // 0: no file yet
    plat::FileAccess access;
    mode_t after;
  };
  const Case cases[] = {
      {"new file", 0, plat::FileAccess::Keep, 0600},
      {"kept", 0640, plat::FileAccess::Keep, 0640},
      {"kept private", 0600, plat::FileAccess::Keep, 0600},
      {"new secret", 0, plat::FileAccess::OwnerOnly, 0600},
      {"secret made private", 0644, plat::FileAccess::OwnerOnly, 0600},
  };
  for (const Case& c : cases) {
    plat::RemoveFile(p);
    if (c.before) {
      ASSERT_TRUE(plat::WriteFileAtomic(p, "old"));
      ASSERT_EQ(::chmod(p.c_str(), c.before), 0);
    }
    ASSERT_TRUE(plat::WriteFileAtomic(p, "new", c.access)) << c.name;
    EXPECT_EQ(ModeOf(p), c.after) << c.name;
  }
}

// Folders the program makes are the user's alone, parents included; a private folder an older version
// left open is closed to others.
TEST(PlatformFs, FoldersAreMadePrivate) {
  UsualUmask umask;
  plat_test::TempDir dir;
  ASSERT_TRUE(plat::MakeDirectories(dir.file("a/b/c")));
  for (const char* f : {"a", "a/b", "a/b/c"}) EXPECT_EQ(ModeOf(dir.file(f)), 0700u) << f;
  ASSERT_EQ(plat::EnsureDirectory(dir.file("e")), 0);
  EXPECT_EQ(ModeOf(dir.file("e")), 0700u);
  ASSERT_TRUE(plat::MakePrivateDirectory(dir.file("p/q")));
  EXPECT_EQ(ModeOf(dir.file("p")), 0700u);
  EXPECT_EQ(ModeOf(dir.file("p/q")), 0700u);
  ASSERT_EQ(::mkdir(dir.file("old").c_str(), 0755), 0);
  ASSERT_TRUE(plat::MakeDirectories(dir.file("old")));
  EXPECT_EQ(ModeOf(dir.file("old")), 0755u) << "an existing folder is not changed by MakeDirectories";
  ASSERT_TRUE(plat::MakePrivateDirectory(dir.file("old")));
  EXPECT_EQ(ModeOf(dir.file("old")), 0700u);
  plat::WriteFileAtomic(dir.file("file"), "x");
  EXPECT_FALSE(plat::MakePrivateDirectory(dir.file("file")));
}

// Files opened through the shared helper: created 0600, made 0600 when written, a read leaves the mode;
// anything but a regular file is refused at once (a FIFO with or without a reader, a folder, a device).
TEST(PlatformFs, RegularFileOpensArePrivateAndNeverWait) {
  UsualUmask umask;
  plat_test::TempDir dir;
  struct Case {
    const char* mode;
    mode_t before;  // 0: no file yet
    const char* content;  // what the file holds after opening
    mode_t after;
  };
  const Case cases[] = {
      {"wb", 0, "", 0600},          {"ab", 0, "", 0600},        {"w+b", 0, "", 0600},
      {"wb", 0644, "", 0600},       {"ab", 0644, "old", 0600},  {"r+b", 0664, "old", 0600},
      {"rb", 0644, "old", 0644},    {"ab", 0640, "old", 0600},  {"wb", 0600, "", 0600},
  };
  const std::string p = dir.file("f");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " over " + std::to_string(c.before));
    plat::RemoveFile(p);
    if (c.before) {
      ASSERT_TRUE(plat::WriteFileAtomic(p, "old"));
      ASSERT_EQ(::chmod(p.c_str(), c.before), 0);
    }
    std::FILE* f = plat::OpenRegularStream(p, c.mode);
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(ModeOf(p), c.after);
    std::string back;
    ASSERT_TRUE(plat::ReadFile(p, &back));
    EXPECT_EQ(back, c.content);
  }
  // An append goes to the end, through the stream.
  std::FILE* f = plat::OpenRegularStream(p, "ab");
  ASSERT_NE(f, nullptr);
  std::fputs("tail", f);
  std::fclose(f);
  std::string back;
  ASSERT_TRUE(plat::ReadFile(p, &back));
  EXPECT_EQ(back, "tail");

  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir.file("folder");
  ASSERT_TRUE(plat::MakeDirectories(folder));
  const std::string device = dir.file("null");
  ASSERT_EQ(::symlink("/dev/null", device.c_str()), 0);
  for (const std::string& path : {fifo, folder, device}) {
    for (const char* mode : {"rb", "wb", "ab", "r+b", "a+b"}) {
      SCOPED_TRACE(path + " " + mode);
      EXPECT_EQ(plat::OpenRegularStream(path, mode), nullptr);
    }
    EXPECT_EQ(plat::OpenRegularFile(path, O_RDWR | O_CREAT), -1);
  }
  // A FIFO that someone reads, where an open for writing would not fail by itself.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(plat::OpenRegularStream(fifo, "ab"), nullptr);
  ::close(reader);
}

TEST(PlatformFs, AtomicWriteRemovesTheTemporaryFilesOfKilledWrites) {
  plat_test::TempDir dir;
  const std::string p = dir.file("data.ini");
  auto make = [&](const std::string& name) {
    const int fd = ::open(dir.file(name).c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_GE(fd, 0) << name;
    EXPECT_EQ(::write(fd, "half", 4), 4);
    return fd;
  };
  // Left by killed writers of data.ini, and two in the same folder that are not.
  ::close(make(".data.ini.tmp-a1B2c3"));
  ::close(make(".data.ini.tmp-Zz9999"));
  ::close(make(".data.ini.keep"));
  ::close(make(".other.ini.tmp-a1B2c3"));
  // A writer still at work holds its file locked: it stays.
  const int live = make(".data.ini.tmp-live00");
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  ASSERT_TRUE(plat::WriteFileAtomic(p, "x"));
  EXPECT_EQ(plat::ListDirectory(dir.path()), (std::vector<std::string>{".data.ini.keep", ".data.ini.tmp-live00",
                                                                       ".other.ini.tmp-a1B2c3", "data.ini"}));
  // Once that writer is gone, the next write removes its file too.
  ::close(live);
  ASSERT_TRUE(plat::WriteFileAtomic(p, "y"));
  EXPECT_EQ(plat::ListDirectory(dir.path()),
            (std::vector<std::string>{".data.ini.keep", ".other.ini.tmp-a1B2c3", "data.ini"}));
  std::string back;
  ASSERT_TRUE(plat::ReadFile(p, &back));
  EXPECT_EQ(back, "y");
}

TEST(PlatformFs, AFolderCleanUpRemovesTheTemporaryFilesOfEveryKilledRewrite) {
  plat_test::TempDir dir;
  for (const char* name : {".a.dat.tmp-a1B2c3", ".b.dat.tmp-Zz9999", ".b.dat.keep", ".tmp-a1B2c3", "c.dat.tmp-a1B2c3",
                           ".d.dat.tmp-a1B2c", "e.dat"})
    ::close(::open(dir.file(name).c_str(), O_CREAT | O_WRONLY, 0600));
  const int live = ::open(dir.file(".f.dat.tmp-live00").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  plat::RemoveStaleTempFiles(dir.path());
  EXPECT_EQ(plat::ListDirectory(dir.path()), (std::vector<std::string>{".b.dat.keep", ".d.dat.tmp-a1B2c", ".f.dat.tmp-live00",
                                                                       ".tmp-a1B2c3", "c.dat.tmp-a1B2c3", "e.dat"}));
  ::close(live);
}

TEST(PlatformFs, BaseFolderSetting) {
  std::string exe = plat::ExecutableDirectory();
  EXPECT_FALSE(exe.empty());
  plat::SetBaseFolder("C:\\prog");
  EXPECT_EQ(plat::BaseFolder(), "C:/prog");
  plat::SetBaseFolder("");
  unsetenv("TESSALY_BASE_DIR");
  EXPECT_EQ(plat::BaseFolder(), exe);
}

}  // namespace
