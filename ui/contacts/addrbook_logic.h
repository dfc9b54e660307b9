// What the address-book windows decide without widgets: labels, images, sibling order, rebuild plans,
// dial choice, rename names, drop decisions, card lists, dialog checks and search-result texts.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/addrbook.h"

class CAsList;
class CAsChatQueue;

namespace contacts {

// The three trees of the page, in pane order.
enum BookTree : int { TREE_BUDDY = 0, TREE_CARD = 1, TREE_GROUP = 2 };

// Images of the page's image list.
enum BookImage : int {
    IMG_NONE = -1, IMG_GROUP_OPEN = 0, IMG_GROUP_CLOSED = 1, IMG_ONLINE = 2, IMG_OFFLINE = 3, IMG_QZ_ONLINE = 4,
    IMG_QZ_OFFLINE = 5, IMG_PHONE = 6, IMG_MOBILE = 7, IMG_EMAIL = 8, IMG_OFFICE = 9, IMG_VOIP = 10, IMG_CARD = 11,
    IMG_BLOCK_ONLINE = 12, IMG_BLOCK_OFFLINE = 13, IMG_MEMBER = 14, IMG_WEB = 15,
    IMG_COUNT = 16
};

inline constexpr uint32_t FLAG_EXPANDED = 0x001;
inline constexpr uint32_t FLAG_HIDDEN_ACCOUNT = 0x100;
inline constexpr uint32_t FLAG_EDITABLE = 0x400;

// Words appended to contact labels and the edition that orders name and remark.
struct BookWords {
    QString online = QStringLiteral("Online");
    QString offline = QStringLiteral("Offline");
    QString blocked = QStringLiteral("block");
    QString edition = QStringLiteral("business");
};

// Store texts are in the ANSI code page (936).
QString FromAnsi(const char* text);
std::string ToAnsi(const QString& text);
// The text as a printf into a buffer of that many bytes leaves it: at most size - 1 ANSI bytes, never
// half a character.
QString FitAnsiBuffer(const QString& text, size_t size);

// A contact is online when its messaging identity is online (the blocked bit is no presence).
bool IsOnline(const AddrNode* contact);
const char* NodeName(const AddrNode* node);
const char* ContactNick(const AddrNode* node);
const char* IdentityAddress(const AddrNode* node);

// "free": name (or id) then "(remark)"; otherwise remark then "(name)", or just the name (or id).
QString FormatContactText(const AddrNode* contact, const QString& edition);
// The label of an item as a rebuild inserts it.
QString ItemLabel(const AddrNode* node, int tree, const BookWords& words);
// A My-contacts contact's label as the refresh after its messaging identity's presence change gives
// it: the store's display text directly followed by the online or offline word.
QString RefreshedContactLabel(const AddrNode* contact, const BookWords& words);
int ItemImage(const AddrNode* node, int tree);

// Sibling order; negative when a goes first. sortType 2 puts unblocked, then online contacts first.
int CompareNodes(const AddrNode* a, const AddrNode* b, int tree, int sortType);

// One item of a rebuild: its node, the node of the parent item (null: top level), label, image.
struct PlanItem {
    AddrNode* node;
    AddrNode* parent;
    QString label;
    int image;
    bool expanded;
};
// The items of the start node's subtree in pre-order; the pane root itself is never an item.
std::vector<PlanItem> RebuildPlan(AddrNode* start, AddrNode* paneRoot, int tree, bool accountDisplay,
                                  const BookWords& words);

// Dial of the selection with an identity type (0: the default one).
enum DialAction : int { DIAL_NONE = 0, DIAL_CALL, DIAL_MAIL, DIAL_CHAT, DIAL_WEB };
struct DialChoice {
    DialAction action = DIAL_NONE;
    AddrNode* identity = nullptr;
    AddrNode* contact = nullptr;  // the identity's contact or card
    uint32_t type = 0;            // the type the call goes out with
    std::string address;          // at most 64 characters
};
DialChoice ChooseDial(AddrNode* selected, uint32_t type);
// Only http and https pages (and mailto for e-mail) are opened; anything else could start a program.
bool IsOpenableAddress(const QString& address, bool mail);
// An address of the settings file (share, portal, searches): an http or https page, or a mailto address.
bool IsOpenableSettingsAddress(const QString& address);

// Rename: a text of 1 to 40 characters. The labels of the edited item's siblings are passed once in
// order: each equal to the candidate bumps a counter, and the candidate becomes the text and the counter.
bool IsValidRename(const QString& text);
// A label editor's text that is empty once the blanks at its ends (space, tab, line ends) are trimmed;
// a full-width space is a character of the name.
bool IsBlankLabel(const QString& text);
QString RenameWithCounter(const QStringList& siblingLabels, const QString& text);

// Drag and drop in the My-contacts tree.
enum DropKind : int { DROP_NONE = 0, DROP_DUP_GROUP, DROP_DUP_CONTACT, DROP_MOVE_GROUP, DROP_MOVE_CONTACT };
struct DropDecision {
    DropKind kind = DROP_NONE;
    std::string id, targetId, name, oldParentId;
};
// The node a drop lands on for the node under the cursor: a group itself, a contact's group, an
// identity's contact's group; null (the top level) for a top-level contact or nothing.
AddrNode* DropTargetFor(AddrNode* hit, AddrNode* root);
// target null = the top level (root 0).
DropDecision DecideDrop(AddrNode* source, AddrNode* target, AddrNode* root);
// A drag starts only on groups and contacts, 60 ms or more after the press.
bool CanStartDrag(const AddrNode* node, uint32_t msSincePress);
// Edge scroll of a drag, asked on every tick of its timer: -1 one line up, 1 one line down, 0 none.
// Within 10 px of an edge or beyond it, the farther out the cursor the more ticks scroll.
int DragScrollLines(int y, int clientHeight, uint32_t tick);

// Card lists for ADL and UDL: the card's number and address identities (2, 3, 4, 5, 8, 9) in store
// order, or the dialog's fields in the order e-mail, mobile, office, phone, VoIP number, service id
// (empty ones left out).
CAsList* CardListFromNode(const AddrNode* card, const QString& name);
struct CardFields {
    QString name, email, mobile, office, home, voip, serviceId;
};
CAsList* CardListFromFields(const char* id, const CardFields& fields);

// SMS window: op 0 group, 1 contact (an identity as its contact), 2 card; the node id to hand over.
bool SmsTarget(const AddrNode* node, int* op, std::string* id);

// Dial entries of a contact or card menu: mobile, office, phone when present; none present gives
// one greyed office entry without a number.
struct DialEntry {
    int command;
    QString number;
    const char* bitmap;
    bool greyed;
};
std::vector<DialEntry> DialEntries(const AddrNode* node);

// The group of the group tree a node belongs to (the ancestor right under a default group).
AddrNode* ChatGroupOf(AddrNode* node);
// 0 nothing or top level; 1 under default group "1"; 2 otherwise.
int GroupClass(const AddrNode* node);
bool IsDefaultGroup(const AddrNode* node);
// What a click on the group tree takes for a default group: any node whose id is "1" or "2".
bool HasDefaultGroupId(const AddrNode* node);

// Contact editing.
enum AddUserCheck : int { ADDUSER_OK = 0, ADDUSER_EMPTY_NAME, ADDUSER_DUPLICATE, ADDUSER_NO_SIP, ADDUSER_NO_SERVICE };
struct AddUserFields {
    QString email, mobile, name, office, home, serviceId, voip;
    void Trim();
};
// The checks in order; the local contacts are the cards' root.
AddUserCheck CheckAddUser(AddUserFields& fields, bool editMode, AddrNode* localRoot, bool hasSip, bool hasService);
// Display name of the details dialog: at most 40 characters.
bool IsValidDisplayName(const QString& text);

// Search dialog texts: {section, key} of the message for a result code.
struct TextKey {
    const char* section;
    const char* key;
};
TextKey UserSearchFailure(int code);     // 200 findnone, other findfailed
TextKey GroupSearchFailure(int code);    // 300 zero_search_rusult, other errmsg
TextKey JoinOutcome(int code);           // 0 oper_succ, 204 oper_exceeded, other oper_fail
TextKey AddBuddyFailure(int code);       // as_code keys by code - 200
TextKey QuitGroupFailure(int code);      // 1 server_err, 401-404 qtq_*, other qtq_err
// A copy of the queue to join under an identity; the password only for a group that needs one.
CAsChatQueue* JoinRecord(const CAsChatQueue& queue, const char* identityId, const QString& password);
inline constexpr int kMaxJoinIdentities = 5;
inline constexpr int kSearchTextMax = 127;

// Block list: moves every entry with that id (without case) from one list to the end of the other;
// moving is told the index each one had just before it went.
struct NamedEntry {
    QString id, name;
};
int MoveEntries(std::vector<NamedEntry>* from, std::vector<NamedEntry>* to, const QString& id,
                const std::function<void(int)>& moving = {});

}  // namespace contacts
