// The frame's handling of the access server's address-book answers: the store, the page, the search
// and block-list dialogs and the chat windows learn the outcome from here.
#pragma once

struct AsRequest;
struct GroupRecord;

namespace contacts {

class BookHost;

// Takes the answers of ADD, ADL, UDL, REB, RNG, MVB, MVG, BLK, UBLK, SRB, SRUL, SQI, SQN, JNQ, SYQ
// and SYJQ: true when it handled (and released) the request; false leaves it to the caller.
bool OnAddressBookResult(AsRequest* request, BookHost* host = nullptr);
// The synchronisation: default groups, the store, then the three trees. 0 or 1 as the reply handler.
int OnSyncResult(AsRequest* request);
// A chat-group list of the synchronisation (WM_AS_GROUP_LIST); the record is released.
void OnGroupList(GroupRecord* record);

}  // namespace contacts
