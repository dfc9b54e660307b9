// Tests of the conference-contact and hold bodies: writer, reader, round trip and hostile input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "voip/CM_Xml.h"

namespace {

CM_CONTACT Contact(const char* pszUri, const char* pszParent, int iLevel, int iStatus) {
    CM_CONTACT c;
    memset(&c, 0, sizeof(c));
    snprintf(c.szUri, sizeof(c.szUri), "%s", pszUri);
    snprintf(c.szParent, sizeof(c.szParent), "%s", pszParent);
    c.iLevel = iLevel;
    c.iStatus = iStatus;
    return c;
}

std::string Build(const CM_CONTACT& c) {
    char* psz = CM_XmlBuild(CM_XML_CONTACT, &c);
    std::string s = psz ? psz : "<null>";
    free(psz);
    return s;
}

TEST(VoipXmlBuild, ContactLinePadsLevelAndStatus) {
    EXPECT_EQ("<URI>bob@example.com</URI><PARENT>alice@example.com</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n",
              Build(Contact("bob@example.com", "alice@example.com", 1, 4)));
    EXPECT_EQ("<URI>x</URI><PARENT>NULL</PARENT><LEVEL>-1</LEVEL><STATUS>12</STATUS>\n",
              Build(Contact("x", "NULL", -1, 12)));
}

TEST(VoipXmlBuild, ContactFieldsWithoutTerminatorAreCut) {
    CM_CONTACT c;
    memset(&c, 'a', sizeof(c.szUri) + sizeof(c.szParent));
    c.iLevel = 0;
    c.iStatus = 4;
    std::string line = Build(c);
    EXPECT_EQ(std::string("<URI>") + std::string(127, 'a') + "</URI><PARENT>" + std::string(127, 'a') +
                  "</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n",
              line);
}

TEST(VoipXmlBuild, ActionBodyOnlyForHoldAndUnhold) {
    struct {
        const char* pszIn;
        const char* pszOut;
    } cases[] = {{"HOLD", "<ACT>HOLD</ACT>\n"}, {"UNHOLD", "<ACT>UNHOLD</ACT>\n"}, {"hold", nullptr},
                 {"HOLD ", nullptr},         {"", nullptr}};
    for (const auto& c : cases) {
        char* psz = CM_XmlBuild(CM_XML_ACTION, c.pszIn);
        if (c.pszOut == nullptr) {
            EXPECT_EQ(nullptr, psz) << c.pszIn;
        } else {
            ASSERT_NE(nullptr, psz);
            EXPECT_STREQ(c.pszOut, psz);
        }
        free(psz);
    }
    EXPECT_EQ(nullptr, CM_XmlBuild(2, "HOLD"));
    EXPECT_EQ(nullptr, CM_XmlBuild(CM_XML_ACTION, nullptr));
}

TEST(VoipXmlParse, WriterToReaderRoundTrip) {
    CM_CONTACT in[3] = {Contact("alice@example.com", "NULL", 0, 4), Contact("bob@example.com", "alice@example.com", 1, 4),
                        Contact("carol@example.com", "alice@example.com", 1, 0)};
    std::string body;
    for (const CM_CONTACT& c : in) body += Build(c);
    CM_CONTACT out[CM_MAX_CONTACT_NUM];
    ASSERT_EQ(3, CM_XmlParse(CM_XML_CONTACT, body.c_str(), out));
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(in[i].szUri, out[i].szUri);
        EXPECT_STREQ(in[i].szParent, out[i].szParent);
        EXPECT_EQ(in[i].iLevel, out[i].iLevel);
        EXPECT_EQ(in[i].iStatus, out[i].iStatus);
    }
    char szAction[CM_MAX_STRING_LEN];
    char* pszHold = CM_XmlBuild(CM_XML_ACTION, "UNHOLD");
    ASSERT_EQ(0, CM_XmlParse(CM_XML_ACTION, pszHold, szAction));
    EXPECT_STREQ("UNHOLD", szAction);
    free(pszHold);
}

TEST(VoipXmlParse, MalformedBodiesAreRefused) {
    const std::string good = "<URI>a</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n";
    struct {
        std::string body;
        int iExpected;
    } cases[] = {
        {good, 1},
        {good + "<URI>b</URI><PARENT>NULL<LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n", -1},  // second line lacks </PARENT>
        {"<URI></URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n", -1},  // empty URI
        {"<URI>a</URI><PARENT>NULL</PARENT><LEVEL></LEVEL><STATUS> 4</STATUS>\n", -1},   // empty level
        {"<URI>a</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL>\n", -1},                    // no status
        {"garbage", -1},
        {"", 0},
        {"\r\n  \n", -1},       // a blank line has no tags
        {good + "\r\n", -1},     // nor has a trailing blank line
        {"<URI>a</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\r\n", 1},
        {"<URI>a</URI><PARENT>NULL</PARENT><LEVEL>99999999999999</LEVEL><STATUS> 4</STATUS>", 1},  // no final feed
    };
    for (const auto& c : cases) {
        CM_CONTACT out[CM_MAX_CONTACT_NUM];
        EXPECT_EQ(c.iExpected, CM_XmlParse(CM_XML_CONTACT, c.body.c_str(), out)) << c.body;
    }
    CM_CONTACT out[CM_MAX_CONTACT_NUM];
    ASSERT_EQ(1, CM_XmlParse(CM_XML_CONTACT,
                             "<URI>a</URI><PARENT>NULL</PARENT><LEVEL>99999999999999</LEVEL><STATUS>-7</STATUS>", out));
    EXPECT_EQ(INT32_MAX, out[0].iLevel);
    EXPECT_EQ(-7, out[0].iStatus);

    char szAction[CM_MAX_STRING_LEN];
    EXPECT_EQ(-1, CM_XmlParse(CM_XML_ACTION, "<ACT></ACT>", szAction));
    EXPECT_EQ(-1, CM_XmlParse(CM_XML_ACTION, "<ACT>HOLD", szAction));
    EXPECT_EQ(0, CM_XmlParse(7, "anything", szAction));
    EXPECT_EQ(-1, CM_XmlParse(CM_XML_CONTACT, nullptr, out));
}

TEST(VoipXmlParse, ElevenRecordsStopAtTheBufferSize) {
    std::string body;
    for (int i = 0; i < 11; ++i) body += Build(Contact(("m" + std::to_string(i)).c_str(), "NULL", 1, 4));
    // A sentinel after the ten-record buffer shows any write past its end.
    struct {
        CM_CONTACT records[CM_MAX_CONTACT_NUM];
        CM_CONTACT guard;
    } buffer;
    memset(&buffer.guard, 0x5a, sizeof(buffer.guard));
    EXPECT_EQ(CM_MAX_CONTACT_NUM, CM_XmlParse(CM_XML_CONTACT, body.c_str(), buffer.records));
    EXPECT_STREQ("m9", buffer.records[9].szUri);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&buffer.guard);
    for (size_t i = 0; i < sizeof(buffer.guard); ++i) ASSERT_EQ(0x5a, p[i]) << i;

    CM_CONTACT two[2];
    EXPECT_EQ(2, CM_XmlParse(CM_XML_CONTACT, body.c_str(), two, 2));
}

TEST(VoipXmlParse, OverLongFieldsAreRefusedWithoutOverrun) {
    const std::string longText(5000, 'u');
    const std::string bodies[] = {
        "<URI>" + longText + "</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n",
        "<URI>a</URI><PARENT>" + longText + "</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n",
        "<URI>a</URI><PARENT>NULL</PARENT><LEVEL>" + longText + "</LEVEL><STATUS> 4</STATUS>\n",
        "<URI>a</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS>" + std::string(40, '1') + "</STATUS>\n",
        "<URI>" + std::string(128, 'u') + "</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n",
    };
    for (const std::string& body : bodies) {
        CM_CONTACT out[CM_MAX_CONTACT_NUM];
        EXPECT_EQ(-1, CM_XmlParse(CM_XML_CONTACT, body.c_str(), out));
    }
    // 127 characters is the longest URI that fits.
    CM_CONTACT out[CM_MAX_CONTACT_NUM];
    std::string fits = "<URI>" + std::string(127, 'u') + "</URI><PARENT>NULL</PARENT><LEVEL> 0</LEVEL><STATUS> 4</STATUS>\n";
    ASSERT_EQ(1, CM_XmlParse(CM_XML_CONTACT, fits.c_str(), out));
    EXPECT_EQ(127u, strlen(out[0].szUri));

    char szAction[CM_MAX_STRING_LEN];
    EXPECT_EQ(-1, CM_XmlParse(CM_XML_ACTION, ("<ACT>" + longText + "</ACT>").c_str(), szAction));
}

}  // namespace
