// Update check (address, version document, HTTP outcomes, the thread's cache) and the settings file.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/fs.h"
#include "service/bootstrap.h"
#include "service/settings_xml.h"
#include "service/tests/loopback.h"
#include "service/tests/service_support.h"
#include "service/tests/services.h"
#include "service/update_check.h"

namespace {

using servicetest::FrameDouble;
using servicetest::PumpUntil;
using servicetest::ServiceProcess;
using servicetest::TcpResponder;
using storetest::ScratchFolder;

TEST(UpdateAddress, IsBuiltFromTheSettingAndTheFileName) {
    EXPECT_EQ("http://up.example.com/version_cn.xml", Update_BuildUrl("up.example.com///", "/version_cn.xml"));
    EXPECT_EQ("http://h:8080/d/v.xml", Update_BuildUrl("http://h:8080/d", "v.xml"));
    EXPECT_EQ("http://h/v.xml", Update_BuildUrl("h/", "//v.xml"));
    EXPECT_EQ("", Update_BuildUrl("https://h/", "v.xml"));
    EXPECT_EQ("", Update_BuildUrl("ftp://h", "v.xml"));
    EXPECT_EQ("", Update_BuildUrl("", "v.xml"));
}

TEST(UpdateVersion, ComparesMajorMinorBuildInOrder) {
    struct Case {
        int major, minor, build;
        bool newer;
    } const cases[] = {{0, 9, 7, true}, {0, 9, 6, false}, {0, 8, 99, false}, {1, 0, 0, true},
                       {1, 9, 3, true}, {0, 10, 0, true}, {0, 9, 5, false},
                       // Only the running major version can hold an older one: another major, even below it, is newer.
                       {-1, 0, 0, true}, {-1, 9, 6, true}, {0, -1, 99, false}, {0, 9, -1, false}, {0, 0, 0, false}};
    for (const Case& c : cases) {
        CUpdateVersionInfo info;
        info.major = c.major;
        info.minor = c.minor;
        info.build = c.build;
        EXPECT_EQ(c.newer, Update_IsNewer(info)) << c.major << "." << c.minor << "." << c.build;
    }
}

const std::string kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Version><MajorVersion>0</MajorVersion><MinorVersion>9</MinorVersion>"
    "<BuildNumber>12</BuildNumber><MajorChanges>Faster &amp; smaller</MajorChanges><UpdateNeedUpdate>1</UpdateNeedUpdate>"
    "<EnforceUpdate>1</EnforceUpdate><DownloadZip>http://up/t.zip</DownloadZip></Version>";

// What the program may offer the user from a document's DownloadZip: web addresses only.
TEST(UpdateDownload, OnlyAWebAddressIsOffered) {
    struct Row {
        std::string zip, offered;
    } const rows[] = {
        {"http://up.example/t.zip", "http://up.example/t.zip"},
        {"HTTPS://up.example:8443/a/t.zip?v=7#x", "HTTPS://up.example:8443/a/t.zip?v=7#x"},
        {"\r\n  http://127.0.0.1:7200/t.zip \t", "http://127.0.0.1:7200/t.zip"},
        {"http://user@up.example/t.zip", "http://user@up.example/t.zip"},
        {"file:///etc/passwd", ""},
        {"/etc/passwd", ""},
        {"javascript:alert(1)", ""},
        {"ftp://up.example/t.zip", ""},
        {"httpx://up.example/t.zip", ""},
        {"http:/up.example/t.zip", ""},
        {"http://", ""},
        {"http:///etc/passwd", ""},
        {"http://user@/t.zip", ""},
        {"http://:80/t.zip", ""},
        {"http://up.example/a b.zip", ""},
        {"http://up.example/\x01.zip", ""},
        {"http://up.example\\t.zip", ""},
        {"http://up.example/\xe5\x8d\x87.zip", ""},
        {"", ""},
        {"   ", ""},
        {"http://up.example/" + std::string(UPDATE_MAX_ADDRESS, 'a'), ""},
    };
    for (const Row& r : rows) EXPECT_EQ(r.offered, Update_OfferedDownload(r.zip)) << r.zip;
}

TEST(UpdateDocument, TextSplitAtAnyPointReadsTheSame) {
    for (size_t cut = 0; cut <= kDocument.size(); ++cut) {
        UpdateDocumentParser p;
        ASSERT_TRUE(p.Feed(kDocument.data(), cut, false));
        ASSERT_TRUE(p.Feed(kDocument.data() + cut, kDocument.size() - cut, true));
        EXPECT_EQ(12, p.Info().build) << cut;
        EXPECT_EQ("Faster & smaller", p.Info().changes) << cut;
        EXPECT_EQ("http://up/t.zip", p.DownloadZip()) << cut;
        EXPECT_EQ(1, p.Info().enforce);
    }
}

// A long description is kept as one unbroken beginning of at most 16 KiB, whatever pieces the parser hands
// it in: nothing from its middle is lost and no character is cut in two.
TEST(UpdateDocument, LongTextIsCutAtTheCapAndNothingAfterIt) {
    std::string text;
    while (text.size() < 20000) text += "ab\xe2\x82\xac ";  // three bytes for the euro sign
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Version><MajorChanges>" + text +
                      "&amp;END</MajorChanges><BuildNumber>7</BuildNumber><DownloadZip>http://up/t.zip</DownloadZip></Version>";
    size_t cut = 16384;
    while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    for (size_t piece : {size_t{4096}, size_t{1000}, size_t{7}, doc.size()}) {
        UpdateDocumentParser p;
        for (size_t at = 0; at < doc.size(); at += piece)
            ASSERT_TRUE(p.Feed(doc.data() + at, std::min(piece, doc.size() - at), false)) << piece;
        ASSERT_TRUE(p.Feed(nullptr, 0, true));
        EXPECT_EQ(text.substr(0, cut), p.Info().changes) << "pieces of " << piece;
        EXPECT_EQ(7, p.Info().build) << "the next element has its own text";
    }
}

std::string Http(const std::string& status, const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extra + "Connection: close\r\n\r\n" + body;
}

TEST(UpdateFetch, Outcomes) {
    struct Case {
        const char* name;
        std::string response;
        WPARAM result;
    } const cases[] = {
        {"newer", Http("200 OK", kDocument), UPDATE_OK},
        {"no DownloadZip", Http("200 OK", "<V><MajorVersion>1</MajorVersion><MinorVersion>0</MinorVersion></V>"), UPDATE_FAILED},
        {"empty DownloadZip", Http("200 OK", "<V><BuildNumber>12</BuildNumber><DownloadZip/></V>"), UPDATE_FAILED},
        {"blank DownloadZip", Http("200 OK", "<V><BuildNumber>12</BuildNumber><DownloadZip>  </DownloadZip></V>"), UPDATE_FAILED},
        {"broken before DownloadZip", Http("200 OK", "<V><BuildNumber>12</V><DownloadZip>x</DownloadZip>"), UPDATE_FAILED},
        {"broken after DownloadZip", Http("200 OK", "<V><BuildNumber>12</BuildNumber><DownloadZip>x</DownloadZip><Major</V>"),
         UPDATE_OK},
        {"cut short after DownloadZip", Http("200 OK", "<V><BuildNumber>12</BuildNumber><DownloadZip>x</DownloadZip>"), UPDATE_OK},
        {"not found", Http("404 Not Found", kDocument), UPDATE_FAILED},
        {"redirect", Http("302 Found", "", "Location: http://127.0.0.1:1/v.xml\r\n"), UPDATE_FAILED},
        {"dropped", "", UPDATE_TRANSFER_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpResponder server([&](int, const std::string&) {
            return c.response.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.response};
        });
        CUpdateVersionInfo info;
        std::string zip;
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/version_cn.xml";
        EXPECT_EQ(c.result, Update_Fetch(url, info, zip));
        EXPECT_EQ(1, server.Connections());  // a redirect is not followed
        auto requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(0u, requests[0].find("GET /version_cn.xml HTTP/1.1\r\n"));
        EXPECT_NE(std::string::npos, requests[0].find("User-Agent: Brindle Update\r\n"));
        if (c.result == UPDATE_OK) {
            EXPECT_EQ(12, info.build);
            EXPECT_EQ(1, info.fetched);
            EXPECT_FALSE(zip.empty());
        }
    }
    CUpdateVersionInfo info;
    std::string zip;
    EXPECT_EQ(UPDATE_FAILED, Update_Fetch("https://127.0.0.1/v.xml", info, zip));
}

long MsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST(UpdateFetch, SlowBodyEndsAtTheTimeLimit) {
    // A byte every 50 ms is never slow enough for the low-speed rule; only the whole fetch's limit ends it.
    ServiceProcess server("updateserver", {"--fault", "*:drip=0.05"});
    ASSERT_NE(0, server.Port());
    Update_SetTimeLimitMs(600);
    CUpdateVersionInfo info;
    std::string zip;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UPDATE_TRANSFER_ERROR,
              Update_Fetch("http://127.0.0.1:" + std::to_string(server.Port()) + "/version_cn.xml", info, zip));
    long took = MsSince(start);
    EXPECT_GE(took, 550);
    EXPECT_LT(took, 5000);
    Update_SetTimeLimitMs(0);
}

TEST(UpdateThread, StopEndsATransferInProgress) {
    FrameDouble frame;
    ScratchFolder folder;
    std::string log = folder.File("update.log");
    ServiceProcess server("updateserver", {"--fault", "*:drip=2", "--log", log});
    ASSERT_NE(0, server.Port());
    Update_SetBaseAddress("127.0.0.1:" + std::to_string(server.Port()));
    Update_SetLanguageFile(folder.File("zychs.ini"));
    ASSERT_TRUE(Update_StartThread());
    ASSERT_TRUE(PumpUntil([&] {
        std::ifstream f(log);
        std::string line;
        return static_cast<bool>(std::getline(f, line));
    }));  // the server has the request and drips its body
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Update_StopThread(3000));
    EXPECT_LT(MsSince(start), 3000);
    auto answers = frame.Of(WM_UPDATE_CHECK);
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(UPDATE_TRANSFER_ERROR, answers[0].wParam);
    EXPECT_EQ(0, g_updateInfo.fetched);
}

TEST(UpdateThread, ChecksAtStartThenAnswersFromItsRecord) {
    FrameDouble frame;
    ScratchFolder folder;
    TcpResponder server([](int, const std::string&) { return std::vector<std::string>{Http("200 OK", kDocument)}; });
    Update_SetBaseAddress("127.0.0.1:" + std::to_string(server.Port()) + "/");
    Update_SetLanguageFile(folder.File("zychs.ini"));
    ASSERT_TRUE(Update_StartThread());
    ASSERT_TRUE(PumpUntil([&] { return frame.Of(WM_UPDATE_CHECK).size() == 1; }));
    auto answer = frame.Of(WM_UPDATE_CHECK)[0];
    EXPECT_EQ(UPDATE_OK, answer.wParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(&g_updateInfo), answer.lParam);
    EXPECT_EQ(9, g_updateInfo.minor);
    ASSERT_TRUE(PostThreadMessage(Update_ThreadId(), WM_UPDATE_CHECK, 0, reinterpret_cast<LPARAM>(frame.Window())));
    ASSERT_TRUE(PumpUntil([&] { return frame.Of(WM_UPDATE_CHECK).size() == 2; }));
    EXPECT_EQ(UPDATE_OK, frame.Of(WM_UPDATE_CHECK)[1].wParam);
    EXPECT_EQ(1, server.Connections());  // the second answer came from the record
    EXPECT_TRUE(Update_StopThread(5000));
    g_updateInfo = CUpdateVersionInfo();
}

TEST(SettingsFile, ValuesAndBootstrapPorts) {
    ScratchFolder folder;
    std::string path = folder.File("tessaly.xml");
    plat::WriteFileAtomic(path,
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><tessaly>"
                          "<portal>http://not-common</portal>"
                          "<common><portal>http://portal</portal><update>up.example.com</update><robot>12abc</robot></common>"
                          "<other><portal>http://second</portal></other>"
                          "<bootstrap server=\"boot.example.com\"><ServerPort port=\"8000\" type=\"tcp\"/>"
                          "<list><ServerPort port=\"70000\"/><ServerPort port=\"8001\"/></list></bootstrap>"
                          "<bootstrap server=\"ignored\"><ServerPort port=\"9000\" type=\"tcp\"/></bootstrap>"
                          "<pages><helptopic>http://help</helptopic><share>http://share</share></pages></tessaly>");
    ASSERT_EQ(1, STA_FsmInit());
    g_serviceSettings = ServiceSettings();
    PortCandidateList ports = ReadSettingsXml(path.c_str());
    EXPECT_EQ("http://portal", g_serviceSettings.portal);
    EXPECT_EQ("up.example.com", g_serviceSettings.update);
    EXPECT_EQ(12, g_serviceSettings.robot);
    EXPECT_EQ("boot.example.com", Boot_GetServerHost());
    EXPECT_EQ("http://help", g_serviceSettings.helpTopic);
    EXPECT_EQ("http://share", g_serviceSettings.share);
    ASSERT_EQ(2u, ports.size());
    EXPECT_EQ(8000, ports[0].port);
    EXPECT_EQ(PROTO_TCP, ports[0].protocol);
    EXPECT_EQ(8001, ports[1].port);
    EXPECT_EQ(PROTO_UDP, ports[1].protocol);
    EXPECT_EQ(2u, STA_GetAvailPorts(SERVICE_BOOT).size());

    // The first bootstrap element counts even when its first attribute is not the server.
    plat::WriteFileAtomic(path, "<t><bootstrap id=\"1\" server=\"x\"><ServerPort port=\"1\"/></bootstrap>"
                                "<bootstrap server=\"y\"><ServerPort port=\"2\"/></bootstrap></t>");
    Boot_SetServerHost("");
    EXPECT_TRUE(ReadSettingsXml(path.c_str()).empty());
    EXPECT_EQ("", Boot_GetServerHost());
    // A missing file hands over an empty list.
    EXPECT_TRUE(ReadSettingsXml(folder.File("none.xml").c_str()).empty());
    EXPECT_TRUE(STA_GetAvailPorts(SERVICE_BOOT).empty());
    STA_FsmDone();
    g_serviceSettings = ServiceSettings();
}

}  // namespace
