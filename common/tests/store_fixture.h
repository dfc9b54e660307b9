// Shared test fixture of the data-store tests: a scratch installation folder, a fake presence
// core and a capture of trace lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "platform/fs.h"

namespace storetest {

// Collects the trace lines written while it exists.
class TraceCapture {
public:
    TraceCapture() {
        Lines().clear();
        m_enable = debug_enable.load();
        m_all = debug_all.load();
        m_output = g_debugOutput.load();
        debug_enable = 1;
        debug_all = DBG_LOW;
        g_debugOutput = &TraceCapture::Output;
    }
    ~TraceCapture() {
        debug_enable = m_enable;
        debug_all = m_all;
        g_debugOutput = m_output;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }
    size_t Count(const std::string& text) {
        size_t n = 0;
        for (const std::string& line : Take())
            if (line == text) ++n;
        return n;
    }
    bool Contains(const std::string& fragment) {
        for (const std::string& line : Take())
            if (line.find(fragment) != std::string::npos) return true;
        return false;
    }

private:
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static void Output(unsigned, const char* text) {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().push_back(text);
    }
    int32_t m_enable;
    int32_t m_all;
    DebugOutputFn m_output;
};

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-store-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data())) m_path = buffer.data();
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return plat::PathJoin(m_path, name); }

private:
    std::string m_path;
};

// Presence core stand-in: records every call; connections are plain heads it owns.
class FakePresence : public PresenceServices {
public:
    struct Call {
        std::string op;
        Account* account;
        PresenceConnection* connection;
        int uid;
        HWND window;
    };

    ~FakePresence() override {
        for (PresenceConnection* c : m_live) delete c;
    }

    PresenceConnection* presence_connection_new(Account* account) override {
        m_calls.push_back({"new", account, nullptr, 0, nullptr});
        if (failNew) return nullptr;
        auto* connection = new PresenceConnection;
        connection->account = account;
        account->connection = connection;
        m_live.push_back(connection);
        return connection;
    }
    void presence_connection_connect(PresenceConnection* connection) override {
        m_calls.push_back({"connect", connection->account, connection, 0, nullptr});
        if (discardWithoutPassword && connection->account && !connection->account->password) {
            connection->account->connection = nullptr;
            Destroy(connection);
            return;
        }
        connection->state = PRESENCE_CONNECTING;
    }
    void presence_connection_disconnect(PresenceConnection* connection) override {
        // The store must clear its own pointer before asking.
        accountStillLinked = accountStillLinked || (connection->account && connection->account->connection == connection);
        m_calls.push_back({"disconnect", connection->account, connection, 0, nullptr});
        connection->account = nullptr;
        connection->state = PRESENCE_DISCONNECTED;
        Destroy(connection);
    }
    int presence_serv_login(Account* account, HWND window) override {
        m_calls.push_back({"serv_login", account, account ? account->connection : nullptr, 0, window});
        return 0;
    }
    void castrel_remove_buddy(PresenceConnection* connection, int uid) override {
        m_calls.push_back({"remove", nullptr, connection, uid, nullptr});
    }
    void castrel_block_buddy(PresenceConnection* connection, int uid) override {
        m_calls.push_back({"block", nullptr, connection, uid, nullptr});
    }
    void castrel_unblock_buddy(PresenceConnection* connection, int uid) override {
        m_calls.push_back({"unblock", nullptr, connection, uid, nullptr});
    }

    const std::vector<Call>& Calls() const { return m_calls; }
    std::vector<std::string> Ops() const {
        std::vector<std::string> ops;
        for (const Call& c : m_calls) ops.push_back(c.op);
        return ops;
    }
    void ClearCalls() { m_calls.clear(); }
    size_t LiveConnections() const { return m_live.size(); }

    bool failNew = false;
    bool discardWithoutPassword = false;
    bool accountStillLinked = false;

private:
    void Destroy(PresenceConnection* connection) {
        for (size_t i = 0; i < m_live.size(); ++i) {
            if (m_live[i] == connection) {
                m_live.erase(m_live.begin() + static_cast<long>(i));
                break;
            }
        }
        delete connection;
    }
    std::vector<Call> m_calls;
    std::vector<PresenceConnection*> m_live;
};

// Every data-store test starts with an empty store in its own installation folder.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.Path().empty());
        plat::SetBaseFolder(folder.Path());
        g_configManual = 0;
        g_strUserId.clear();
        g_strLocalConfPath.clear();
        Presence_SetServices(&presence);
        AddrBook_Init();
        CallLog_Init();
    }
    void TearDown() override {
        g_configManual = 0;
        Account_SaveAll();
        AddrBook_Destroy();
        CallLog_Init();
        Presence_SetServices(nullptr);
        g_strUserId.clear();
        g_strLocalConfPath.clear();
        g_hMainWnd = nullptr;
        plat::SetBaseFolder("");
    }

    // Adds a listed account, optionally with a connection in the given state.
    Account* AddAccount(const char* name, uint32_t type) {
        Account* account = Account_New(name, type);
        EXPECT_EQ(Account_Add(account), 1);
        return account;
    }
    void Connect(Account* account, uint32_t state) {
        ASSERT_NE(Account_Login(account), nullptr);
        Account_SetConnectionParam(account, state);
    }

    ScratchFolder folder;
    FakePresence presence;
};

}  // namespace storetest
