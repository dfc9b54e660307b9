// Access-server result records: setters, deep copies and clean-up.
#include "service/as_records.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

CAsProfileList g_profileList;

bool AsSetText(char** field, const char* text) {
    char* copy = nullptr;
    if (text != nullptr) {
        copy = strdup(text);
        if (copy == nullptr) {
            free(*field);
            *field = nullptr;
            return false;
        }
    }
    free(*field);
    *field = copy;
    return true;
}

int32_t AsServiceKind(int serviceId) {
    if (serviceId == 8886) return 1;
    if (serviceId == 8888) return 2;
    return 0;
}

namespace {
template <typename T>
void DeleteAll(std::vector<T*>& items) {
    for (T* item : items) delete item;
    items.clear();
}
}  // namespace

CAsCtiEntry::~CAsCtiEntry() { free(value); }
CAsBuddyService::~CAsBuddyService() { free(account); }

CAsBuddy::~CAsBuddy() {
    for (char* t : {uid, nickName, displayName, groupId, logo}) free(t);
    DeleteAll(services);
    DeleteAll(ctiEntries);
}

void CAsChatQueue::FreeTexts() {
    for (char** t : {&queueId, &subQueueId, &name, &displayName, &founderName, &description, &uiText1, &uiText2}) {
        free(*t);
        *t = nullptr;
    }
}

CAsChatQueue& CAsChatQueue::operator=(const CAsChatQueue& other) {
    if (this == &other) return *this;
    FreeTexts();
    auto copy = [](const char* t) { return t ? strdup(t) : nullptr; };
    queueId = copy(other.queueId);
    subQueueId = copy(other.subQueueId);
    name = copy(other.name);
    displayName = copy(other.displayName);
    founderName = copy(other.founderName);
    description = copy(other.description);
    uiText1 = copy(other.uiText1);
    uiText2 = copy(other.uiText2);
    type = other.type;
    memberCount = other.memberCount;
    return *this;
}

CAsChatQueue::~CAsChatQueue() { FreeTexts(); }

CAsList::~CAsList() {
    free(listId);
    free(listName);
    DeleteAll(ctiEntries);
}

AsServiceRecord::~AsServiceRecord() {
    free(account);
    free(password);
}
AsGroupRecord::~AsGroupRecord() {
    free(name);
    free(id);
    free(parentId);
}
AsProfileEntry::~AsProfileEntry() {
    free(id);
    free(name);
    free(logo);
}

void CAsProfileList::Clear() {
    for (AsProfileEntry* e : entries) delete e;
    entries.clear();
}

bool CAsProfileList::MoveToFront(const char* profileId) {
    if (profileId == nullptr) return false;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it)->id != nullptr && strcasecmp((*it)->id, profileId) == 0) {
            AsProfileEntry* e = *it;
            entries.erase(it);
            entries.push_front(e);
            return true;
        }
    }
    return false;
}

bool CAsProfileList::Contains(const char* profileId) const {
    if (profileId == nullptr) return false;
    for (const AsProfileEntry* e : entries)
        if (e->id != nullptr && strcmp(e->id, profileId) == 0) return true;
    return false;
}


void CAsSyncResult::Clear() {
    DeleteAll(services);
    DeleteAll(groups);
    DeleteAll(buddies);
    for (GroupRecord*& g : queueRoots) {
        GroupRecord_Free(g);
        g = nullptr;
    }
    DeleteAll(lists);
    DeleteAll(ctiEntries);
    for (char** t : {&displayName, &profileId, &logo}) {
        free(*t);
        *t = nullptr;
    }
    profiles.Clear();
}

void AS_InstallProfiles(CAsSyncResult* result) {
    if (result == nullptr) return;
    g_profileList.Clear();
    g_profileList.Swap(result->profiles);
}

AsNameResult::~AsNameResult() {
    free(id);
    free(name);
}
CAsNameList::~CAsNameList() {
    free(first);
    free(second);
    DeleteAll(results);
}

CAsStringList::~CAsStringList() {
    free(first);
    free(second);
    for (char* t : texts) free(t);
}

bool CAsStringList::Append(const char* text) {
    char* copy = text ? strdup(text) : nullptr;
    if (copy == nullptr) return false;
    texts.push_back(copy);
    return true;
}

AsLcrEntry::~AsLcrEntry() {
    free(queueId);
    free(queueName);
}

AsSmsMessage::~AsSmsMessage() {
    free(source);
    free(text);
    for (char* d : destinations) free(d);
}

void CBuddyNamePair::Clear() {
    free(first);
    free(second);
    first = second = nullptr;
}
