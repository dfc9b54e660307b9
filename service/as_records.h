// Access-server result records: buddies, chat queues, lists, the synchronisation result and search results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "common/grouprecord.h"

// Replaces *field with a heap copy of text (null clears it). The copy is made before the old text is
// freed, so a field may be given its own text. False when memory runs out (the field then holds null).
bool AsSetText(char** field, const char* text);

// Service kind of a service number: 8886 messaging (1), 8888 SIP (2), others 0.
int32_t AsServiceKind(int serviceId);

struct CAsCtiEntry {
    int32_t type = 0;
    char* value = nullptr;
    CAsCtiEntry() = default;
    CAsCtiEntry(const CAsCtiEntry&) = delete;
    CAsCtiEntry& operator=(const CAsCtiEntry&) = delete;
    ~CAsCtiEntry();
    bool SetValue(const char* text) { return AsSetText(&value, text); }
};

// A buddy's account on one service.
struct CAsBuddyService {
    char* account = nullptr;
    int32_t serviceId = 0;  // service kind
    CAsBuddyService() = default;
    CAsBuddyService(const CAsBuddyService&) = delete;
    CAsBuddyService& operator=(const CAsBuddyService&) = delete;
    ~CAsBuddyService();
};

class CAsBuddy {
public:
    char* uid = nullptr;
    char* nickName = nullptr;
    char* displayName = nullptr;
    char* groupId = nullptr;
    char* logo = nullptr;
    int32_t listType = 0;
    std::vector<CAsBuddyService*> services;
    std::vector<CAsCtiEntry*> ctiEntries;

    CAsBuddy() = default;
    CAsBuddy(const CAsBuddy&) = delete;
    CAsBuddy& operator=(const CAsBuddy&) = delete;
    ~CAsBuddy();
    bool SetUid(const char* t) { return AsSetText(&uid, t); }
    bool SetNickName(const char* t) { return AsSetText(&nickName, t); }
    bool SetDisplayName(const char* t) { return AsSetText(&displayName, t); }
    bool SetGroupId(const char* t) { return AsSetText(&groupId, t); }
    bool SetLogo(const char* t) { return AsSetText(&logo, t); }
};

// A chat group or queue; also an entry of a GroupRecord's first list.
class CAsChatQueue : public GroupRecordEntry {
public:
    char* queueId = nullptr;
    char* subQueueId = nullptr;
    char* name = nullptr;
    char* displayName = nullptr;
    int32_t type = 0;
    int32_t memberCount = 0;
    char* founderName = nullptr;
    char* description = nullptr;
    char* uiText1 = nullptr;
    char* uiText2 = nullptr;

    CAsChatQueue() = default;
    CAsChatQueue(const CAsChatQueue& other) { *this = other; }
    CAsChatQueue& operator=(const CAsChatQueue& other);
    ~CAsChatQueue() override;
    bool SetQueueId(const char* t) { return AsSetText(&queueId, t); }
    bool SetSubQueueId(const char* t) { return AsSetText(&subQueueId, t); }
    bool SetName(const char* t) { return AsSetText(&name, t); }
    bool SetDisplayName(const char* t) { return AsSetText(&displayName, t); }
    bool SetFounderName(const char* t) { return AsSetText(&founderName, t); }
    bool SetDescription(const char* t) { return AsSetText(&description, t); }
    bool SetUiText1(const char* t) { return AsSetText(&uiText1, t); }
    bool SetUiText2(const char* t) { return AsSetText(&uiText2, t); }

private:
    void FreeTexts();
};

// A contact list (ADL, RML, UDL, and the lists of SYN).
class CAsList {
public:
    char* listId = nullptr;
    char* listName = nullptr;
    std::vector<CAsCtiEntry*> ctiEntries;

    CAsList() = default;
    CAsList(const CAsList&) = delete;
    CAsList& operator=(const CAsList&) = delete;
    ~CAsList();
    bool SetListId(const char* t) { return AsSetText(&listId, t); }
    bool SetListName(const char* t) { return AsSetText(&listName, t); }
};

// Three-word records of SYN: a service account {SRVACCT, SRVPWD, kind} and a group {GNAME, GID, PGID}.
struct AsServiceRecord {
    char* account = nullptr;
    char* password = nullptr;
    int32_t serviceId = 0;  // service kind
    AsServiceRecord() = default;
    AsServiceRecord(const AsServiceRecord&) = delete;
    AsServiceRecord& operator=(const AsServiceRecord&) = delete;
    ~AsServiceRecord();
};
struct AsGroupRecord {
    char* name = nullptr;
    char* id = nullptr;
    char* parentId = nullptr;
    AsGroupRecord() = default;
    AsGroupRecord(const AsGroupRecord&) = delete;
    AsGroupRecord& operator=(const AsGroupRecord&) = delete;
    ~AsGroupRecord();
};

struct AsProfileEntry {
    char* id = nullptr;
    char* name = nullptr;
    char* logo = nullptr;
    AsProfileEntry() = default;
    AsProfileEntry(const AsProfileEntry&) = delete;
    AsProfileEntry& operator=(const AsProfileEntry&) = delete;
    ~AsProfileEntry();
};

class CAsProfileList {
public:
    std::list<AsProfileEntry*> entries;
    CAsProfileList() = default;
    CAsProfileList(const CAsProfileList&) = delete;
    CAsProfileList& operator=(const CAsProfileList&) = delete;
    ~CAsProfileList() { Clear(); }
    void Clear();
    // Moves the first entry with that id (without regard to case) to the front; false when none.
    bool MoveToFront(const char* profileId);
    bool Contains(const char* profileId) const;
    void Swap(CAsProfileList& other) { entries.swap(other.entries); }
};
// The profiles of the signed-in user. Only the user-interface thread touches it: a synchronisation
// builds its list into the result, and the frame installs it with AS_InstallProfiles.
extern CAsProfileList g_profileList;

class CAsSyncResult {
public:
    std::vector<AsServiceRecord*> services;
    std::vector<AsGroupRecord*> groups;
    std::vector<CAsBuddy*> buddies;
    GroupRecord* queueRoots[2] = {nullptr, nullptr};  // queues the user created, and the others
    std::vector<CAsList*> lists;
    std::vector<CAsCtiEntry*> ctiEntries;
    char* displayName = nullptr;
    char* profileId = nullptr;
    char* logo = nullptr;
    CAsProfileList profiles;  // the new profile list, installed by the frame

    CAsSyncResult() = default;
    CAsSyncResult(const CAsSyncResult&) = delete;
    CAsSyncResult& operator=(const CAsSyncResult&) = delete;
    ~CAsSyncResult() { Clear(); }
    void Clear();
};
// Replaces g_profileList by the result's profiles (on the user-interface thread).
void AS_InstallProfiles(CAsSyncResult* result);

struct AsNameResult {
    char* id = nullptr;
    char* name = nullptr;
    AsNameResult() = default;
    AsNameResult(const AsNameResult&) = delete;
    AsNameResult& operator=(const AsNameResult&) = delete;
    ~AsNameResult();
};
class CAsNameList {
public:
    char* first = nullptr;
    char* second = nullptr;
    std::vector<AsNameResult*> results;
    CAsNameList() = default;
    CAsNameList(const CAsNameList&) = delete;
    CAsNameList& operator=(const CAsNameList&) = delete;
    ~CAsNameList();
};

class CAsStringList {
public:
    char* first = nullptr;
    char* second = nullptr;
    std::vector<char*> texts;
    CAsStringList() = default;
    CAsStringList(const CAsStringList&) = delete;
    CAsStringList& operator=(const CAsStringList&) = delete;
    ~CAsStringList();
    bool Append(const char* text);
};

// One chat room of GCR.
struct AsLcrEntry {
    int32_t attributeType = 0;  // CTYPE attribute
    char* queueId = nullptr;
    char* queueName = nullptr;
    int32_t type = 0;           // CTYPE child
    AsLcrEntry() = default;
    AsLcrEntry(const AsLcrEntry&) = delete;
    AsLcrEntry& operator=(const AsLcrEntry&) = delete;
    ~AsLcrEntry();
};

// A list of record pointers; the list does not own the records (see AS_FreeRequest for who does).
class CAsResultList {
public:
    std::vector<void*> records;
    // SQN: the number of queues the search found (SNTOL) and SNCUR beside it; 0 when absent.
    int32_t total = 0;
    int32_t current = 0;
    void* GetAt(size_t index) const { return index < records.size() ? records[index] : nullptr; }
    size_t GetCount() const { return records.size(); }
    void Clear() { records.clear(); }
};

// Queues of SYJQ: those the user created and the others.
struct AsJoinedQueues {
    GroupRecord* created = nullptr;
    GroupRecord* joined = nullptr;
};

// A short text message of SND: source id, text (ANSI), a word, destination ids in sending order.
struct AsSmsMessage {
    char* source = nullptr;
    char* text = nullptr;
    int32_t word = 0;
    std::vector<char*> destinations;
    AsSmsMessage() = default;
    AsSmsMessage(const AsSmsMessage&) = delete;
    AsSmsMessage& operator=(const AsSmsMessage&) = delete;
    ~AsSmsMessage();
};

class CBuddyNamePair {
public:
    char* first = nullptr;
    char* second = nullptr;
    CBuddyNamePair() = default;
    CBuddyNamePair(const CBuddyNamePair&) = delete;
    CBuddyNamePair& operator=(const CBuddyNamePair&) = delete;
    ~CBuddyNamePair() { Clear(); }
    bool SetFirst(const char* t) { return AsSetText(&first, t); }
    bool SetSecond(const char* t) { return AsSetText(&second, t); }
    void Clear();
};
