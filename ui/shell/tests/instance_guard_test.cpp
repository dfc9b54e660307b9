// The single-instance door: the socket's private folder, requests from this user only, idle clients
// closed, a bounded number served at once, and listening that survives a failed accept.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/debug.h"
#include "platform/fs.h"
#include "ui/shell/instance_guard.h"

namespace {

int g_argc = 1;
char g_arg0[] = "instance_guard_test";
char* g_argv[] = {g_arg0, nullptr};

constexpr uid_t kOtherUser = 65534;

std::mutex g_traceMutex;
std::vector<std::string> g_trace;

// Collects trace lines while it exists.
struct TraceCapture {
    TraceCapture() {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_trace.clear();
        debug_enable = 1;
        debug_all = DBG_LOW;
        g_debugOutput = [](unsigned, const char* text) {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            g_trace.push_back(text);
        };
    }
    ~TraceCapture() { g_debugOutput = nullptr; }
    bool Contains(const std::string& part) const {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        return std::any_of(g_trace.begin(), g_trace.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

// Runs the event loop until the condition holds; false at the deadline.
template <typename F>
bool WaitFor(F done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Waits, with the event loop running, for what a client thread returns.
template <typename T>
T Await(std::future<T>& f) {
    WaitFor([&] { return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }, 20000);
    return f.get();
}

// A scratch folder standing in for the home and the temporary folder, and a profile folder inside it;
// no XDG_RUNTIME_DIR unless a test sets one.
struct Scratch {
    std::string dir, profile, home;
    Scratch() {
        char pattern[] = "/tmp/tessaly_guard_XXXXXX";
        dir = mkdtemp(pattern);
        profile = dir + "/profile";
        plat::MakeDirectories(profile);
        if (const char* h = getenv("HOME")) home = h;
        setenv("HOME", dir.c_str(), 1);
        setenv("TMPDIR", dir.c_str(), 1);
        unsetenv("XDG_RUNTIME_DIR");
    }
    ~Scratch() {
        unsetenv("TMPDIR");
        setenv("HOME", home.c_str(), 1);
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) {}
    }
    std::string OwnFolder() const { return dir + "/.cache/tessaly"; }
};

// A client on the raw socket.
struct RawClient {
    int fd = -1;
    ~RawClient() {
        if (fd >= 0) close(fd);
    }
    bool Connect(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        return fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    void Send(const std::string& text) const { ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size())); }
    // Collects what arrives until the server closes, the event loop running meanwhile; false at the deadline.
    bool ReadToEnd(std::string* out, int ms) const {
        return WaitFor(
            [&] {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 0) <= 0) return false;
                char buf[256];
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) out->append(buf, static_cast<size_t>(n));
                return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            },
            ms);
    }
};

// Runs fn in a child process whose effective user is another one (files are still reached as root);
// the child's exit code, or -1.
template <typename F>
int AsOtherUser(F fn) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (seteuid(kOtherUser) != 0) _exit(90);
        setfsuid(0);
        _exit(fn());
    }
    int status = 0;
    WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(InstanceSocket, FolderIsOnlyTheUsersOwn) {
    Scratch s;
    const std::string own = s.OwnFolder();
    std::string why;

    // No runtime folder: a folder of our own in the home, made 0700.
    EXPECT_EQ(own, shell::InstanceSocketFolder(&why)) << why;
    struct stat st {};
    ASSERT_EQ(0, lstat(own.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    // Ours but left open: closed again and used.
    chmod(own.c_str(), 0755);
    EXPECT_EQ(own, shell::InstanceSocketFolder(&why));
    ASSERT_EQ(0, lstat(own.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);

    // The runtime folder when it is private, otherwise our own.
    const std::string runtime = s.dir + "/run";
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(runtime, shell::InstanceSocketFolder());
    EXPECT_EQ(0u, shell::InstanceSocketPath(s.profile).rfind(runtime + "/tessaly-", 0));
    chmod(runtime.c_str(), 0755);
    EXPECT_EQ(own, shell::InstanceSocketFolder());
    const std::string link = s.dir + "/runlink";
    chmod(runtime.c_str(), 0700);
    ASSERT_EQ(0, symlink(runtime.c_str(), link.c_str()));
    setenv("XDG_RUNTIME_DIR", link.c_str(), 1);
    EXPECT_EQ(own, shell::InstanceSocketFolder()) << "a link is not taken for a private folder";
    unsetenv("XDG_RUNTIME_DIR");

    // Our own folder's name taken by something else: no folder, and the reason.
    struct Squat {
        const char* name;
        std::function<void()> make;
        const char* why;
    } squats[] = {
        {"a link", [&] { ASSERT_EQ(0, symlink(runtime.c_str(), own.c_str())); }, "not a folder"},
        {"a file", [&] { ASSERT_TRUE(plat::WriteFileAtomic(own, "x")); }, "not a folder"},
        {"another user's folder",
         [&] {
             ASSERT_EQ(0, mkdir(own.c_str(), 0700));
             if (getuid() == 0) {
                 ASSERT_EQ(0, chown(own.c_str(), kOtherUser, kOtherUser));
             }
         },
         "owned by user 65534"},
    };
    for (const Squat& q : squats) {
        SCOPED_TRACE(q.name);
        if (std::string(q.name) == "another user's folder" && getuid() != 0) continue;  // needs root to give it away
        std::string cmd = "rm -rf '" + own + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
        q.make();
        EXPECT_EQ("", shell::InstanceSocketFolder(&why));
        EXPECT_NE(std::string::npos, why.find(q.why)) << why;
        EXPECT_EQ("", shell::InstanceSocketPath(s.profile));
    }
    std::string cmd = "rm -rf '" + own + "'";
    ASSERT_EQ(0, std::system(cmd.c_str()));

    // A home so deep that the socket's address cannot hold the path.
    const std::string deep = s.dir + "/" + std::string(100, 'd');
    ASSERT_TRUE(plat::MakeDirectories(deep));
    setenv("HOME", deep.c_str(), 1);
    EXPECT_EQ("", shell::InstanceSocketPath(s.profile, &why));
    EXPECT_NE(std::string::npos, why.find("too long")) << why;
}

// Without a runtime folder, what other users put in the shared temporary folder changes nothing: the
// socket lives under the user's own home.
TEST(InstanceGuard, TheSharedTemporaryFolderCannotBeTakenByAnotherUser) {
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    const std::string shared = s.dir + "/tessaly-" + std::to_string(getuid());
    for (const char* squat : {"a file", "another user's folder"}) {
        SCOPED_TRACE(squat);
        std::string cmd = "rm -rf '" + shared + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
        if (std::string(squat) == "a file") {
            plat::WriteFileAtomic(shared, "x");
        } else {
            if (getuid() != 0) continue;  // needs root to give it away
            ASSERT_EQ(0, mkdir(shared.c_str(), 0700));
            ASSERT_EQ(0, chown(shared.c_str(), kOtherUser, kOtherUser));
        }
        std::string why;
        EXPECT_EQ(s.OwnFolder(), shell::InstanceSocketFolder(&why)) << why;
        shell::InstanceGuard first(s.profile);
        ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, first.Acquire());
        ASSERT_TRUE(first.Listen());
        int activations = 0;
        first.onActivate = [&] { ++activations; };
        auto activated = std::async(std::launch::async, [&] { return shell::SendActivate(s.profile); });
        EXPECT_TRUE(Await(activated));
        EXPECT_EQ(1, activations);
    }
}

// Anything but a file where the lock belongs (a FIFO would hold the start for ever) stops the start at
// once with the reason, and is left in place.
TEST(InstanceGuard, ALockThatIsNoFileIsRefusedAtOnce) {
    Scratch s;
    const std::string lock = s.profile + "/tessaly.lock";
    struct Squat {
        const char* name;
        std::function<int()> make;
    } squats[] = {
        {"a FIFO", [&] { return mkfifo(lock.c_str(), 0600); }},
        {"a folder", [&] { return mkdir(lock.c_str(), 0700); }},
        {"a device", [&] { return symlink("/dev/null", lock.c_str()); }},
    };
    for (const Squat& q : squats) {
        SCOPED_TRACE(q.name);
        ASSERT_EQ(0, q.make());
        // A guard stuck on the FIFO would never come back: it runs on a thread the test can give up on.
        auto result = std::async(std::launch::async, [&] {
            shell::InstanceGuard guard(s.profile);
            std::string why;
            const auto r = guard.Acquire(&why);
            return std::make_pair(r, why);
        });
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "the start waits on the lock";
            // Lets a stuck opener go, as often as it comes back to the FIFO: a reader held here frees
            // its writes, a writer opened for a moment its reads.
            const int reader = open(lock.c_str(), O_RDONLY | O_NONBLOCK);
            while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
                const int writer = open(lock.c_str(), O_WRONLY | O_NONBLOCK);
                if (writer >= 0) close(writer);
            }
            if (reader >= 0) close(reader);
        }
        const auto [r, why] = result.get();
        EXPECT_EQ(shell::InstanceGuard::LockResult::Failed, r);
        EXPECT_NE(std::string::npos, why.find("tessaly.lock is not a regular file")) << why;
        struct stat st {};
        ASSERT_EQ(0, lstat(lock.c_str(), &st));
        EXPECT_FALSE(S_ISREG(st.st_mode));
        std::string cmd = "rm -rf '" + lock + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    // A lock the guard makes is the user's alone.
    const mode_t saved = umask(022);
    shell::InstanceGuard guard(s.profile);
    ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, guard.Acquire());
    umask(saved);
    struct stat st {};
    ASSERT_EQ(0, stat(lock.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(InstanceGuard, OneCopyAnswersActivationAndDialRequests) {
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    shell::InstanceGuard first(s.profile);
    ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, first.Acquire());
    ASSERT_TRUE(first.Listen());
    int activations = 0;
    std::vector<std::string> dialled;
    first.onActivate = [&] { ++activations; };
    first.onDial = [&](const std::string& n) {
        dialled.push_back(n);
        return shell::DIAL_CALLED;
    };
    struct stat st {};
    ASSERT_EQ(0, stat(shell::InstanceSocketPath(s.profile).c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    shell::InstanceGuard second(s.profile);
    EXPECT_EQ(shell::InstanceGuard::LockResult::HeldByAnother, second.Acquire());
    auto activated = std::async(std::launch::async, [&] { return shell::SendActivate(s.profile); });
    EXPECT_TRUE(Await(activated));
    EXPECT_EQ(1, activations);
    auto dial = std::async(std::launch::async, [&] { return shell::SendDialRequest(s.profile, "+8610"); });
    EXPECT_EQ(shell::DIAL_CALLED, Await(dial));
    auto injected = std::async(std::launch::async, [&] { return shell::SendDialRequest(s.profile, "12\nACTIVATE"); });
    EXPECT_EQ(shell::DIAL_NOT_SIGNED_IN, Await(injected)) << "a line break never reaches the copy";
    EXPECT_EQ(std::vector<std::string>{"+8610"}, dialled);
    EXPECT_EQ(1, activations);
    // The installer request is answered with the frame's answer.
    int setups = 0;
    first.onSetup = [&] { return ++setups; };
    auto setup = std::async(std::launch::async, [&] { return shell::SendRunSetup(s.profile); });
    EXPECT_EQ(1, Await(setup));
    EXPECT_EQ(1, setups);

    // A profile whose lock cannot be made at all is not "another copy".
    plat::WriteFileAtomic(s.dir + "/file", "x");
    shell::InstanceGuard broken(s.dir + "/file/profile");
    std::string why;
    EXPECT_EQ(shell::InstanceGuard::LockResult::Failed, broken.Acquire(&why));
    EXPECT_FALSE(why.empty());
}

TEST(InstanceGuard, AListenFailureIsLoggedAndNoClientIsSent) {
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    ASSERT_TRUE(plat::MakeDirectories(plat::PathDirName(s.OwnFolder())));
    ASSERT_TRUE(plat::WriteFileAtomic(s.OwnFolder(), "squatted"));
    TraceCapture trace;
    shell::InstanceGuard guard(s.profile);
    ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, guard.Acquire());
    EXPECT_FALSE(guard.Listen());
    EXPECT_TRUE(trace.Contains("Instance socket not listening: " + s.OwnFolder() + ": not a folder"));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(shell::SendActivate(s.profile, 2000));
    EXPECT_LT(t.elapsed(), 500) << "nothing to wait for without a folder to trust";
}

TEST(InstanceGuard, IdleClientsAreClosedAndOnlySoManyServedAtOnce) {
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    TraceCapture trace;
    shell::InstanceGuard guard(s.profile);
    ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, guard.Acquire());
    ASSERT_TRUE(guard.Listen());
    guard.SetClientTimeoutMs(400);
    const std::string path = shell::InstanceSocketPath(s.profile);

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < shell::kInstanceClientsMax; ++i) {
        idle.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(idle.back()->Connect(path));
        ASSERT_TRUE(WaitFor([&] { return guard.ClientCount() == i + 1; }, 5000));
    }
    idle.front()->Send("DIAL 12");  // half a request counts as idle too
    RawClient extra;
    ASSERT_TRUE(extra.Connect(path));
    std::string got;
    EXPECT_TRUE(extra.ReadToEnd(&got, 2000)) << "one over the limit is closed at once";
    EXPECT_EQ("", got);
    EXPECT_TRUE(trace.Contains("one more refused"));

    for (auto& c : idle) {
        std::string none;
        EXPECT_TRUE(c->ReadToEnd(&none, 5000)) << "an idle client is closed at its deadline";
        EXPECT_EQ("", none);
    }
    EXPECT_TRUE(WaitFor([&] { return guard.ClientCount() == 0; }, 2000));
    EXPECT_TRUE(trace.Contains("no request in time"));
    int activations = 0;
    guard.onActivate = [&] { ++activations; };
    auto activated = std::async(std::launch::async, [&] { return shell::SendActivate(s.profile); });
    EXPECT_TRUE(Await(activated)) << "the door still opens";
    EXPECT_EQ(1, activations);
}

TEST(InstanceGuard, KeepsListeningWhenAcceptRunsOutOfDescriptors) {
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    TraceCapture trace;
    shell::InstanceGuard guard(s.profile);
    ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, guard.Acquire());
    ASSERT_TRUE(guard.Listen());
    int activations = 0;
    guard.onActivate = [&] { ++activations; };
    const std::string path = shell::InstanceSocketPath(s.profile);

    // Every descriptor taken but the one the client needs: the copy's accept then fails.
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    int open = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++open;
        closedir(d);
    }
    rlimit low{static_cast<rlim_t>(open + 64), old.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    ASSERT_FALSE(held.empty());
    close(held.back());
    held.pop_back();
    RawClient client;
    ASSERT_TRUE(client.Connect(path));
    client.Send("ACTIVATE\n");
    const bool failed = WaitFor([&] { return trace.Contains("accept failed"); }, 5000);
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(failed);

    std::string answer;
    EXPECT_TRUE(client.ReadToEnd(&answer, 5000));
    EXPECT_EQ("ok\n", answer) << "the queued client is served once descriptors are back";
    auto again = std::async(std::launch::async, [&] { return shell::SendActivate(s.profile); });
    EXPECT_TRUE(Await(again));
    EXPECT_EQ(2, activations);
}

TEST(InstanceGuard, OnlyThisUserIsHeardAndAnswered) {
    if (getuid() != 0) GTEST_SKIP() << "another user's process needs root";
    Scratch s;
    QCoreApplication app(g_argc, g_argv);
    const std::string path = shell::InstanceSocketPath(s.profile);
    ASSERT_FALSE(path.empty());
    {
        TraceCapture trace;
        shell::InstanceGuard guard(s.profile);
        ASSERT_EQ(shell::InstanceGuard::LockResult::Acquired, guard.Acquire());
        ASSERT_TRUE(guard.Listen());
        int activations = 0;
        guard.onActivate = [&] { ++activations; };
        // Another user's request is closed unanswered (0: closed or reset without a byte).
        const int code = AsOtherUser([&] {
            RawClient c;
            if (!c.Connect(path)) return 2;
            // The copy may close before the request is written: that is the refusal too, not a SIGPIPE.
            if (send(c.fd, "ACTIVATE\n", 9, MSG_NOSIGNAL) != 9) return errno == EPIPE || errno == ECONNRESET ? 0 : 3;
            pollfd p{c.fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return 4;
            char b;
            return read(c.fd, &b, 1) <= 0 ? 0 : 1;
        });
        EXPECT_EQ(0, code);
        EXPECT_EQ(0, activations);
        EXPECT_TRUE(trace.Contains("a client of user 65534 refused"));
    }
    // A listener of another user where ours belongs is told nothing.
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t pid = fork();
    if (pid == 0) {
        if (seteuid(kOtherUser) != 0) _exit(90);
        setfsuid(0);
        const int l = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        if (bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 4) != 0) _exit(2);
        if (write(ready[1], "r", 1) != 1) _exit(3);
        const int c = accept(l, nullptr, nullptr);
        pollfd p{c, POLLIN, 0};
        // Exit 0 when the client sent nothing before closing.
        if (poll(&p, 1, 5000) <= 0) _exit(4);
        char b;
        _exit(read(c, &b, 1) == 0 ? 0 : 1);
    }
    char r;
    ASSERT_EQ(1, read(ready[0], &r, 1));
    EXPECT_FALSE(shell::SendActivate(s.profile, 1000));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the request was never sent";
    close(ready[0]);
    close(ready[1]);
}
