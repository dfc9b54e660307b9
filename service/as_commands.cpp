// Access-server command table: builders of the request children and parsers of the replies.
#include "service/as_commands.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/debug.h"
#include "common/grouprecord.h"
#include "common/textconv.h"
#include "common/xmldoc.h"
#include "service/as_records.h"

namespace {

// ---------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------

std::string ToUtf8(const char* ansi) {
    char* out = nullptr;
    AnsiToUtf8(ansi, -1, &out);
    std::string text = out ? out : "";
    free(out);
    return text;
}

std::string ToAnsi(const std::string& utf8) {
    char* out = nullptr;
    Utf8ToAnsi(utf8.c_str(), -1, &out);
    std::string text = out ? out : "";
    free(out);
    return text;
}

void Child(CXmlDocument& doc, const char* name, const char* text) {
    doc.OpenElement(name);
    doc.CloseElement(text ? text : "");
}

void ChildUtf8(CXmlDocument& doc, const char* name, const char* ansi) { Child(doc, name, ToUtf8(ansi).c_str()); }

void ChildNumber(CXmlDocument& doc, const char* name, int value) { Child(doc, name, std::to_string(value).c_str()); }

AsParams* Params(AsRequest* r) { return r->kind == AS_DATA_PARAMS ? static_cast<AsParams*>(r->data) : nullptr; }

GroupRecord* Group(AsRequest* r) { return r->kind == AS_DATA_GROUP ? static_cast<GroupRecord*>(r->data) : nullptr; }

CAsList* List(AsRequest* r) { return r->kind == AS_DATA_LIST ? static_cast<CAsList*>(r->data) : nullptr; }

int BuildQueueOfGroup(CXmlDocument& doc, AsRequest* r) {
    GroupRecord* g = Group(r);
    if (g == nullptr || g->texts[2] == nullptr || g->texts[3] == nullptr) return 1;
    Child(doc, "QID", g->texts[2]);
    Child(doc, "SQID", g->texts[3]);
    return 0;
}

// One parameter text as one child, optionally converted to UTF-8.
template <char* AsParams::*Field, bool Utf8>
int BuildOne(CXmlDocument& doc, AsRequest* r, const char* name) {
    AsParams* p = Params(r);
    if (p == nullptr || p->*Field == nullptr) return 1;
    if (Utf8)
        ChildUtf8(doc, name, p->*Field);
    else
        Child(doc, name, p->*Field);
    return 0;
}

int BuildSqi(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, true>(d, r, "QNAME"); }
int BuildSqn(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, true>(d, r, "QDNAME"); }
int BuildRea(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str3, true>(d, r, "DNAME"); }
int BuildAdd(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str3, false>(d, r, "BUID"); }
int BuildBuid(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, false>(d, r, "BUID"); }
int BuildRmg(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, false>(d, r, "GID"); }
int BuildRml(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, false>(d, r, "LID"); }
int BuildSrul(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str1, true>(d, r, "DNAME"); }
int BuildRel(CXmlDocument& d, AsRequest* r) { return BuildOne<&AsParams::str3, true>(d, r, "LOGO"); }

int BuildJnq(CXmlDocument& doc, AsRequest* r) {
    if (r->kind != AS_DATA_JOIN || r->data == nullptr) return 1;
    auto* q = static_cast<CAsChatQueue*>(r->data);
    if (q->subQueueId == nullptr || q->queueId == nullptr || q->uiText2 == nullptr) return 1;
    Child(doc, "SQID", q->subQueueId);
    Child(doc, "QID", q->queueId);
    Child(doc, "PFID", q->uiText2);
    if (q->uiText1 != nullptr && q->uiText1[0] != '\0') Child(doc, "QPWD", q->uiText1);
    return 0;
}

int BuildRem(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str3 == nullptr) return 1;
    Child(doc, "BUID", p->str1);
    Child(doc, "GID", p->str3);
    return 0;
}

int BuildReb(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str3 == nullptr) return 1;
    Child(doc, "BUID", p->str1);
    ChildUtf8(doc, "NNAME", p->str3);
    return 0;
}

int BuildMvb(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str2 == nullptr || p->str4 == nullptr) return 1;
    Child(doc, "BUID", p->str1);
    Child(doc, "GID", p->str2);
    Child(doc, "SRCGID", p->str4);
    return 0;
}

int BuildAdg(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str2 == nullptr || p->str3 == nullptr) return 1;
    ChildUtf8(doc, "GNAME", p->str3);
    Child(doc, "PGID", p->str2);
    return 0;
}

int BuildMvg(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str2 == nullptr) return 1;
    Child(doc, "GID", p->str1);
    Child(doc, "PGID", p->str2);
    return 0;
}

int BuildRng(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr || p->str3 == nullptr) return 1;
    Child(doc, "GID", p->str1);
    ChildUtf8(doc, "GNAME", p->str3);
    return 0;
}

void CtiChildren(CXmlDocument& doc, const CAsList* list) {
    for (const CAsCtiEntry* e : list->ctiEntries) {
        doc.OpenElement("CTI");
        doc.AddAttribute("CTIType", std::to_string(e->type).c_str());
        doc.AddAttribute("CTIValue", e->value ? e->value : "");
        doc.LeaveElement();
    }
}

int BuildAdl(CXmlDocument& doc, AsRequest* r) {
    CAsList* list = List(r);
    if (list == nullptr || list->listName == nullptr) return 1;
    ChildUtf8(doc, "LNAME", list->listName);
    CtiChildren(doc, list);
    return 0;
}

int BuildUdl(CXmlDocument& doc, AsRequest* r) {
    CAsList* list = List(r);
    if (list == nullptr || list->listId == nullptr || list->listName == nullptr) return 1;
    Child(doc, "LID", list->listId);
    ChildUtf8(doc, "LNAME", list->listName);
    CtiChildren(doc, list);
    return 0;
}

int BuildSnd(CXmlDocument& doc, AsRequest* r) {
    if (r->kind != AS_DATA_SMS || r->data == nullptr) return 1;
    auto* m = static_cast<AsSmsMessage*>(r->data);
    if (m->source == nullptr || m->text == nullptr) return 1;
    Child(doc, "SRC", m->source);
    for (const char* d : m->destinations) Child(doc, "DEST", d);
    ChildUtf8(doc, "MSG", m->text);
    return 0;
}

int BuildSud(CXmlDocument& doc, AsRequest* r) {
    AsParams* p = Params(r);
    if (p == nullptr || p->str1 == nullptr) return 1;
    ChildNumber(doc, "SRVID", p->int1);
    Child(doc, "SRVACCT", p->str1);
    return 0;
}

// ---------------------------------------------------------------------------
// Parsers
// ---------------------------------------------------------------------------

// Text of the first child of that name; false when there is none or it has no text.
bool Text(const CXmlNode* node, const char* name, std::string& out) {
    CXmlElement* child = nullptr;
    out.clear();
    if (!node->FindChild(name, child)) return false;
    return child->GetText(out);
}

int Number(const CXmlNode* node, const char* name, bool* present = nullptr) {
    std::string t;
    bool ok = Text(node, name, t);
    if (present) *present = ok;
    return ok ? atoi(t.c_str()) : 0;
}

std::vector<CXmlElement*> Children(const CXmlNode* node, const char* name) {
    std::vector<CXmlElement*> out;
    node->GetChildElements(name, out);
    return out;
}

// Sets an optional text field; a failed copy fails the parse.
bool Optional(const CXmlNode* node, const char* name, char** field, bool utf8) {
    std::string t;
    if (!Text(node, name, t)) return true;
    return AsSetText(field, utf8 ? ToAnsi(t).c_str() : t.c_str());
}

bool RequireAll(const CXmlNode* node, std::initializer_list<const char*> names) {
    std::string t;
    for (const char* n : names)
        if (!Text(node, n, t)) return false;
    return true;
}

// A CTI element's two attributes; null when CTIType or CTIValue is missing.
CAsCtiEntry* ParseCti(CXmlElement* e, bool& failed) {
    int type = 0;
    std::string value;
    if (!e->GetAttributeInt("CTIType", type) || !e->GetAttribute("CTIValue", value)) return nullptr;
    auto* entry = new CAsCtiEntry;
    entry->type = type;
    if (!entry->SetValue(ToAnsi(value).c_str())) failed = true;
    return entry;
}

// A buddy of SYN (id in UID) or ADD (id in BUID); null when the id is missing.
CAsBuddy* ParseBuddy(CXmlElement* e, const char* idName, bool& failed) {
    std::string id;
    if (!Text(e, idName, id)) return nullptr;
    auto* b = new CAsBuddy;
    if (!b->SetUid(id.c_str())) failed = true;
    failed |= !Optional(e, "NNAME", &b->nickName, true);
    failed |= !Optional(e, "DNAME", &b->displayName, true);
    failed |= !Optional(e, "LOGO", &b->logo, true);
    failed |= !Optional(e, "GID", &b->groupId, false);
    b->listType = Number(e, "LSTTYPE");
    for (CXmlElement* s : Children(e, "SRV")) {
        std::string account;
        bool hasId = false;
        int id2 = Number(s, "SRVID", &hasId);
        if (!hasId || !Text(s, "SRVACCT", account)) continue;
        auto* service = new CAsBuddyService;
        service->serviceId = AsServiceKind(id2);
        if (!AsSetText(&service->account, account.c_str())) failed = true;
        b->services.push_back(service);
    }
    for (CXmlElement* c : Children(e, "CTI"))
        if (CAsCtiEntry* entry = ParseCti(c, failed)) b->ctiEntries.push_back(entry);
    return b;
}

// A queue of SQI/SQN with its eight required fields; null when one is missing.
CAsChatQueue* ParseFullQueue(const CXmlNode* e, bool& failed) {
    if (!RequireAll(e, {"QID", "SQID", "DES", "QNAME", "QDNAME", "FNAME", "CTYPE", "MNUM"})) return nullptr;
    auto* q = new CAsChatQueue;
    failed |= !Optional(e, "QID", &q->queueId, false);
    failed |= !Optional(e, "SQID", &q->subQueueId, false);
    failed |= !Optional(e, "DES", &q->description, true);
    failed |= !Optional(e, "QNAME", &q->name, true);
    failed |= !Optional(e, "QDNAME", &q->displayName, true);
    failed |= !Optional(e, "FNAME", &q->founderName, true);
    q->type = Number(e, "CTYPE");
    q->memberCount = Number(e, "MNUM");
    return q;
}

// A queue entry of SYN and SYJQ; null without QID. isCreator receives ISCREATOR.
CAsChatQueue* ParseJoinedQueue(const CXmlNode* e, int& isCreator, bool& failed) {
    std::string id;
    if (!Text(e, "QID", id)) return nullptr;
    auto* q = new CAsChatQueue;
    failed |= !q->SetQueueId(id.c_str());
    failed |= !Optional(e, "QDNAME", &q->displayName, true);
    failed |= !Optional(e, "QNAME", &q->name, true);
    isCreator = Number(e, "ISCREATOR");
    q->type = Number(e, "CTYPE");
    q->memberCount = Number(e, "MNUM");
    DebugTrace(MOD_QGROUP, 3, "QID %s Type %d Count %d\n", id.c_str(), q->type, q->memberCount);
    DebugTrace(MOD_QGROUP, 3, "QNAME %s\n", q->name ? q->name : "");
    return q;
}

// Splits queue entries between two new group records; false when a record cannot be made.
bool ParseQueuesInto(const CXmlNode* command, GroupRecord*& created, GroupRecord*& joined, bool& failed) {
    created = GroupRecord_New();
    joined = GroupRecord_New();
    if (created == nullptr || joined == nullptr) return false;
    for (CXmlElement* e : Children(command, "LSQ")) {
        int isCreator = 0;
        if (CAsChatQueue* q = ParseJoinedQueue(e, isCreator, failed))
            (isCreator == 1 ? created : joined)->entries.push_back(q);
    }
    return true;
}

// Replaces the request's parameters by a parser's record.
void SetData(AsRequest* r, void* data, uint32_t kind) {
    if (r->kind == AS_DATA_PARAMS) AS_FreeParams(static_cast<AsParams*>(r->data));
    r->data = data;
    r->kind = kind;
}

int ParseSyn(CXmlElement* cmd, AsRequest* r) {
    bool failed = false;
    auto* result = new CAsSyncResult;
    SetData(r, result, AS_DATA_SYNC);
    for (CXmlElement* e : Children(cmd, "SRV")) {
        std::string account, password;
        bool hasId = false;
        int id = Number(e, "SRVID", &hasId);
        if (!hasId || !Text(e, "SRVACCT", account) || !Text(e, "SRVPWD", password)) continue;
        auto* s = new AsServiceRecord;
        s->serviceId = AsServiceKind(id);
        failed |= !AsSetText(&s->account, account.c_str());
        failed |= !AsSetText(&s->password, password.c_str());
        result->services.push_back(s);
    }
    for (CXmlElement* e : Children(cmd, "LSG")) {
        std::string gid, name;
        if (!Text(e, "GID", gid) || !Text(e, "GNAME", name)) continue;
        auto* g = new AsGroupRecord;
        failed |= !AsSetText(&g->id, gid.c_str());
        failed |= !AsSetText(&g->name, ToAnsi(name).c_str());
        failed |= !Optional(e, "PGID", &g->parentId, false);
        result->groups.push_back(g);
    }
    for (CXmlElement* e : Children(cmd, "LSL")) {
        std::string lid, name;
        if (!Text(e, "LID", lid) || !Text(e, "LNAME", name)) continue;
        auto* l = new CAsList;
        failed |= !l->SetListId(lid.c_str());
        failed |= !l->SetListName(ToAnsi(name).c_str());
        for (CXmlElement* c : Children(e, "CTI"))
            if (CAsCtiEntry* entry = ParseCti(c, failed)) l->ctiEntries.push_back(entry);
        result->lists.push_back(l);
    }
    for (CXmlElement* c : Children(cmd, "CTI"))
        if (CAsCtiEntry* entry = ParseCti(c, failed)) result->ctiEntries.push_back(entry);
    for (CXmlElement* e : Children(cmd, "LST"))
        if (CAsBuddy* b = ParseBuddy(e, "UID", failed)) result->buddies.push_back(b);
    if (!ParseQueuesInto(cmd, result->queueRoots[0], result->queueRoots[1], failed)) return 1;
    failed |= !Optional(cmd, "DNAME", &result->displayName, true);
    failed |= !Optional(cmd, "LOGO", &result->logo, true);
    failed |= !Optional(cmd, "PFID", &result->profileId, false);
    for (CXmlElement* e : Children(cmd, "LSP")) {
        std::string id, name, logo;
        if (!Text(e, "PFID", id) || !Text(e, "PFNAME", name) || !Text(e, "LOGO", logo)) continue;
        auto* p = new AsProfileEntry;
        failed |= !AsSetText(&p->id, id.c_str());
        failed |= !AsSetText(&p->name, ToAnsi(name).c_str());
        failed |= !AsSetText(&p->logo, ToAnsi(logo).c_str());
        result->profiles.entries.push_back(p);
    }
    if (result->profileId != nullptr && !result->profiles.Contains(result->profileId)) {
        auto* p = new AsProfileEntry;
        failed |= !AsSetText(&p->id, result->profileId);
        failed |= !AsSetText(&p->name, result->displayName);
        failed |= !AsSetText(&p->logo, result->logo);
        result->profiles.entries.push_back(p);
    }
    return failed ? 1 : 0;
}

int ParseSyq(CXmlElement* cmd, AsRequest* r) {
    GroupRecord* g = Group(r);
    if (g == nullptr) return 1;
    bool failed = false;
    for (CXmlElement* e : Children(cmd, "LSQ")) {
        std::string sqid;
        if (!Text(e, "SQID", sqid)) continue;
        auto* q = new CAsChatQueue;
        failed |= !q->SetSubQueueId(sqid.c_str());
        failed |= !Optional(e, "QDNAME", &q->displayName, true);
        failed |= !Optional(e, "QNAME", &q->name, true);
        q->type = Number(e, "CTYPE");
        q->memberCount = Number(e, "MNUM");
        DebugTrace(MOD_QGROUP, 3, "SQID %s Type %d Count %d\n", sqid.c_str(), q->type, q->memberCount);
        DebugTrace(MOD_QGROUP, 3, "QNAME %s\n", q->name ? q->name : "");
        g->entries.push_back(q);
    }
    for (CXmlElement* e : Children(cmd, "LST")) {
        std::string uid, nick;
        if (!Text(e, "UID", uid) || !Text(e, "NNAME", nick)) continue;
        auto* m = new GroupMember;
        m->first = strdup(uid.c_str());
        m->second = strdup(ToAnsi(nick).c_str());
        failed |= m->first == nullptr || m->second == nullptr;
        for (CXmlElement* s : Children(e, "SRV")) {
            std::string account;
            bool hasId = false, hasFc = false;
            int id = Number(s, "SRVID", &hasId);
            int fcid = Number(s, "FCID", &hasFc);
            if (!hasId || !hasFc || !Text(s, "SRVACCT", account)) continue;
            auto* item = new GroupItem{0, nullptr};
            item->value = AsServiceKind(id);
            item->text = strdup(account.c_str());
            m->value = fcid;
            m->items.push_back(item);
            DebugTrace(MOD_QGROUP, 3, "QGroup member UID %s NNAME SRV<%d>\n", uid.c_str(), item->value);
        }
        g->members.push_back(m);
    }
    return failed ? 1 : 0;
}

int ParseQueueList(CXmlElement* cmd, AsRequest* r, bool single) {
    bool failed = false;
    auto* list = new CAsResultList;
    SetData(r, list, AS_DATA_QUEUES);
    if (single) {
        if (CAsChatQueue* q = ParseFullQueue(cmd, failed)) list->records.push_back(q);
    } else {
        list->total = Number(cmd, "SNTOL");
        list->current = Number(cmd, "SNCUR");
        for (CXmlElement* e : Children(cmd, "LSQ"))
            if (CAsChatQueue* q = ParseFullQueue(e, failed)) list->records.push_back(q);
    }
    return failed ? 1 : 0;
}
int ParseSqi(CXmlElement* c, AsRequest* r) { return ParseQueueList(c, r, true); }
int ParseSqn(CXmlElement* c, AsRequest* r) { return ParseQueueList(c, r, false); }

int ParseSyjq(CXmlElement* cmd, AsRequest* r) {
    bool failed = false;
    auto* joined = new AsJoinedQueues;
    SetData(r, joined, AS_DATA_JOINED);
    if (!ParseQueuesInto(cmd, joined->created, joined->joined, failed)) return 1;
    return failed ? 1 : 0;
}

int ParseAdd(CXmlElement* cmd, AsRequest* r) {
    bool failed = false;
    CAsBuddy* b = ParseBuddy(cmd, "BUID", failed);
    if (b == nullptr) return 1;
    SetData(r, b, AS_DATA_BUDDY);
    return failed ? 1 : 0;
}

int ParseAdg(CXmlElement* cmd, AsRequest* r) {
    std::string gid;
    AsParams* p = Params(r);
    if (!Text(cmd, "GID", gid) || p == nullptr) return 1;
    return AsSetText(&p->str1, gid.c_str()) ? 0 : 1;
}

int ParseAdl(CXmlElement* cmd, AsRequest* r) {
    std::string lid;
    CAsList* list = List(r);
    if (!Text(cmd, "LID", lid) || list == nullptr) return 1;
    return list->SetListId(lid.c_str()) ? 0 : 1;
}

int ParseSearch(CXmlElement* cmd, AsRequest* r, bool buddy) {
    bool failed = false;
    auto* names = new CAsNameList;
    SetData(r, names, AS_DATA_SEARCH);
    auto add = [&](const CXmlNode* e, const char* idName, const char* nameName) {
        std::string id;
        if (!Text(e, idName, id)) return;
        auto* n = new AsNameResult;
        failed |= !AsSetText(&n->id, id.c_str());
        failed |= !Optional(e, nameName, &n->name, true);
        names->results.push_back(n);
    };
    if (buddy)
        add(cmd, "BUID", "DNAME");
    else
        for (CXmlElement* e : Children(cmd, "LST")) add(e, "UID", "NNAME");
    return failed ? 1 : 0;
}
int ParseSrb(CXmlElement* c, AsRequest* r) { return ParseSearch(c, r, true); }
int ParseSrul(CXmlElement* c, AsRequest* r) { return ParseSearch(c, r, false); }

int ParseGcr(CXmlElement* cmd, AsRequest* r) {
    bool failed = false;
    auto* list = new CAsResultList;
    SetData(r, list, AS_DATA_LCR);
    for (CXmlElement* e : Children(cmd, "LCR")) {
        std::string qid, qname;
        bool hasType = false;
        int type = Number(e, "CTYPE", &hasType);
        if (!Text(e, "QID", qid) || !Text(e, "QNAME", qname) || !hasType) continue;
        auto* entry = new AsLcrEntry;
        e->GetAttributeInt("CTYPE", entry->attributeType);
        entry->type = type;
        failed |= !AsSetText(&entry->queueId, qid.c_str());
        failed |= !AsSetText(&entry->queueName, ToAnsi(qname).c_str());
        list->records.push_back(entry);
    }
    return failed ? 1 : 0;
}

int ParseSud(CXmlElement* cmd, AsRequest* r) {
    CXmlElement* e = nullptr;
    AsParams* p = Params(r);
    std::string t;
    if (p == nullptr || !cmd->FindDescendant("UDOU", e) || !e->GetText(t)) return 1;
    p->int1 = atoi(t.c_str());
    return 0;
}

}  // namespace

// clang-format off
const AsCommandRow g_asCommandTable[AS_COMMAND_COUNT] = {
    {0, "LGN", {}, nullptr},
    {1, "LGT", {}, nullptr},
    {2, "SYN", {}, ParseSyn},
    {3, "SYQ", {BuildQueueOfGroup}, ParseSyq},
    {4, "SQI", {BuildSqi}, ParseSqi},
    {5, "SQN", {BuildSqn}, ParseSqn},
    {6, "JNQ", {BuildJnq}, nullptr},
    {7, "QTQ", {BuildQueueOfGroup}, nullptr},
    {8, "SYJQ", {}, ParseSyjq},
    {9, "REA", {BuildRea}, nullptr},
    {10, "ADD", {BuildAdd}, ParseAdd},
    {11, "REM", {BuildRem}, nullptr},
    {12, "REB", {BuildReb}, nullptr},
    {13, "BLK", {BuildBuid}, nullptr},
    {14, "UBLK", {BuildBuid}, nullptr},
    {15, "MVB", {BuildMvb}, nullptr},
    {16, "ADG", {BuildAdg}, ParseAdg},
    {17, "RMG", {BuildRmg}, nullptr},
    {18, "MVG", {BuildMvg}, nullptr},
    {19, "RNG", {BuildRng}, nullptr},
    {20, "ADL", {BuildAdl}, ParseAdl},
    {21, "RML", {BuildRml}, nullptr},
    {22, "UDL", {BuildUdl}, nullptr},
    {23, "SRB", {BuildBuid}, ParseSrb},
    {24, "SRUL", {BuildSrul}, ParseSrul},
    {25, "GCR", {}, ParseGcr},
    {26, "SND", {BuildSnd}, nullptr},
    {27, "SUD", {BuildSud}, ParseSud},
    {28, "REL", {BuildRel}, nullptr},
};
// clang-format on
