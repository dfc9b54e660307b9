// Address-book decisions below the widgets: labels, order, rebuild plans, dial, rename and drop rules.
#include "ui/contacts/addrbook_logic.h"

#include <QUrl>
#include <algorithm>
#include <cstring>

#include "common/addrbook_query.h"
#include "common/storeutil.h"
#include "platform/codepage.h"

namespace contacts {

namespace {

const AddrCounted* Counted(const AddrNode* n) {
    return n && (n->kind == ADDR_KIND_GROUP || n->kind == ADDR_KIND_CONTACT || n->kind == ADDR_KIND_LIST)
               ? static_cast<const AddrCounted*>(n)
               : nullptr;
}
const AddrIdentity* Identity(const AddrNode* n) {
    return n && n->kind == ADDR_KIND_IDENTITY ? static_cast<const AddrIdentity*>(n) : nullptr;
}
int NoCase(const char* a, const char* b) { return store::CompareNoCase(a ? a : "", b ? b : ""); }
int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int IdentityImage(uint32_t type, bool online, int tree) {
    switch (type) {
        case 2: return tree == TREE_GROUP ? IMG_PHONE : IMG_OFFICE;
        case 3: return IMG_MOBILE;
        case 4: return IMG_EMAIL;
        case 5: return tree == TREE_GROUP ? IMG_GROUP_OPEN : IMG_PHONE;
        case 6: return IMG_WEB;
        case 8: return IMG_VOIP;
        case 9: return online ? IMG_QZ_ONLINE : IMG_QZ_OFFLINE;
        default: return tree == TREE_GROUP ? IMG_GROUP_OPEN : IMG_NONE;
    }
}

bool Blocked(const AddrNode* n) { return n && (n->flags & ADDR_FLAG_BLOCKED); }

bool InSubtree(const AddrNode* node, const AddrNode* top) {
    for (const AddrNode* p = node; p; p = p->parent)
        if (p == top) return true;
    return false;
}

}  // namespace

QString FromAnsi(const char* text) { return QString::fromStdU16String(plat::ToUtf16(text ? text : "", 936)); }
std::string ToAnsi(const QString& text) { return plat::FromUtf16(text.toStdU16String(), 936); }

QString FitAnsiBuffer(const QString& text, size_t size) {
    // Whole characters (surrogate pairs kept together) while their ANSI bytes fit.
    size_t used = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const qsizetype next = end + (text[end].isHighSurrogate() && end + 1 < text.size() ? 2 : 1);
        used += ToAnsi(text.mid(end, next - end)).size();
        if (used + 1 > size) break;
        end = next;
    }
    return text.left(end);
}

bool IsOnline(const AddrNode* contact) { return AddrBook_IsContactOnline(contact); }

const char* NodeName(const AddrNode* node) {
    if (const AddrCounted* c = Counted(node)) return c->name ? c->name : "";
    if (const AddrIdentity* i = Identity(node)) return i->address ? i->address : "";
    return "";
}
const char* ContactNick(const AddrNode* node) {
    if (node && (node->kind == ADDR_KIND_CONTACT || node->kind == ADDR_KIND_LIST)) {
        const char* nick = static_cast<const AddrContact*>(node)->nick;
        return nick ? nick : "";
    }
    return "";
}
const char* IdentityAddress(const AddrNode* node) {
    const AddrIdentity* i = Identity(node);
    return i && i->address ? i->address : "";
}

QString FormatContactText(const AddrNode* contact, const QString& edition) {
    const char* name = NodeName(contact);
    const QString nameOrId = FromAnsi(*name ? name : (contact && contact->id ? contact->id : ""));
    const QString remark = FromAnsi(ContactNick(contact));
    if (edition == QLatin1String("free")) return remark.isEmpty() ? nameOrId : nameOrId + "(" + remark + ")";
    return remark.isEmpty() ? nameOrId : remark + "(" + nameOrId + ")";
}

QString ItemLabel(const AddrNode* node, int tree, const BookWords& words) {
    if (!node) return QString();
    switch (node->kind) {
        case ADDR_KIND_GROUP: {
            const AddrCounted* g = Counted(node);
            const QString name = FromAnsi(g->name);
            if (tree == TREE_BUDDY) return QStringLiteral("%1(%2/%3)").arg(name).arg(g->onlineCount).arg(g->contactCount);
            // A chat group shows the server's member count, known before its members are fetched.
            const uint32_t count = tree == TREE_GROUP ? static_cast<const AddrGroup*>(node)->memberCount : g->contactCount;
            return count < 1 ? name : QStringLiteral("%1(%2)").arg(name).arg(count);
        }
        case ADDR_KIND_CONTACT:
            if (tree == TREE_BUDDY)
                return FormatContactText(node, words.edition) + "--" + (IsOnline(node) ? words.online : words.offline);
            return FromAnsi(NodeName(node));
        case ADDR_KIND_IDENTITY:
            if (node->flags & ADDR_FLAG_SERVICE) return FromAnsi(AddrBook_GetIdentityDisplayName(node));
            return FromAnsi(IdentityAddress(node));
        case ADDR_KIND_LIST: return FromAnsi(NodeName(node));
        default: return QString();
    }
}

QString RefreshedContactLabel(const AddrNode* contact, const BookWords& words) {
    return FromAnsi(AddrBook_GetDisplayName(contact)) + (IsOnline(contact) ? words.online : words.offline);
}

int ItemImage(const AddrNode* node, int tree) {
    if (!node) return IMG_NONE;
    switch (node->kind) {
        case ADDR_KIND_GROUP: return (node->flags & FLAG_EXPANDED) ? IMG_GROUP_OPEN : IMG_GROUP_CLOSED;
        case ADDR_KIND_CONTACT:
            if (tree == TREE_GROUP) return IMG_MEMBER;
            if (tree == TREE_CARD) return IMG_ONLINE;
            if (IsOnline(node)) return Blocked(node) ? IMG_BLOCK_ONLINE : IMG_ONLINE;
            return Blocked(node) ? IMG_BLOCK_OFFLINE : IMG_OFFLINE;
        case ADDR_KIND_IDENTITY: return IdentityImage(node->type, AddrBook_IsIdentityOnline(node), tree);
        case ADDR_KIND_LIST: return IMG_CARD;
        default: return IMG_NONE;
    }
}

int CompareNodes(const AddrNode* a, const AddrNode* b, int tree, int sortType) {
    if (!a || !b) return 0;
    if (a->kind != b->kind) return a->kind < b->kind ? -1 : 1;
    switch (a->kind) {
        case ADDR_KIND_GROUP: return Sign(NoCase(NodeName(a), NodeName(b)));
        case ADDR_KIND_CONTACT:
            if (sortType == 2) {
                if (tree != TREE_GROUP && Blocked(a) != Blocked(b)) return Blocked(a) ? 1 : -1;
                if (IsOnline(a) != IsOnline(b)) return IsOnline(a) ? -1 : 1;
            }
            return Sign(NoCase(AddrBook_GetDisplayName(a), AddrBook_GetDisplayName(b)));
        case ADDR_KIND_IDENTITY:
            if (a->type != b->type) return a->type < b->type ? -1 : 1;
            if (int c = NoCase(AddrBook_GetIdentityDisplayName(a), AddrBook_GetIdentityDisplayName(b))) return Sign(c);
            return Sign(NoCase(IdentityAddress(a), IdentityAddress(b)));
        case ADDR_KIND_LIST:
            if (tree == TREE_GROUP) return 0;
            return Sign(NoCase(NodeName(a), NodeName(b)));
        default: return 0;
    }
}

std::vector<PlanItem> RebuildPlan(AddrNode* start, AddrNode* paneRoot, int tree, bool accountDisplay,
                                  const BookWords& words) {
    std::vector<PlanItem> out;
    if (!start) return out;
    auto skip = [&](const AddrNode* n) {
        if (!accountDisplay && (n->flags & FLAG_HIDDEN_ACCOUNT)) return true;
        if (tree == TREE_BUDDY && !accountDisplay && n->parent && n->parent != paneRoot &&
            (n->parent->flags & FLAG_HIDDEN_ACCOUNT))
            return true;
        return n->kind == ADDR_KIND_IDENTITY && n->type == 7;
    };
    // Pre-order without recursion; a skipped node takes its subtree with it.
    std::vector<AddrNode*> stack{start};
    while (!stack.empty()) {
        AddrNode* n = stack.back();
        stack.pop_back();
        if (n != paneRoot) {
            if (skip(n)) continue;
            AddrNode* parent = n->parent == paneRoot ? nullptr : n->parent;
            out.push_back({n, parent, ItemLabel(n, tree, words), ItemImage(n, tree), (n->flags & FLAG_EXPANDED) != 0});
        }
        std::vector<AddrNode*> children;
        for (AddrNode* c = n->child; c; c = c->next) children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    return out;
}

DialChoice ChooseDial(AddrNode* selected, uint32_t type) {
    DialChoice choice;
    if (!selected || selected->kind == ADDR_KIND_GROUP) return choice;
    AddrNode* identity = nullptr;
    if (selected->kind == ADDR_KIND_IDENTITY) {
        identity = selected;
    } else if (type != 0) {
        identity = AddrBook_FindChildIdentityOfType(selected, type);
    } else if (selected->kind == ADDR_KIND_CONTACT) {
        identity = AddrBook_FindType8Identity(selected);
    } else if (selected->kind == ADDR_KIND_LIST) {
        identity = selected->child;
        if (identity && (identity->type == 4 || identity->type == 6)) identity = identity->next;
    }
    if (!identity || identity->kind != ADDR_KIND_IDENTITY) return choice;
    std::string address = IdentityAddress(identity);
    if (address.size() > 64) address.resize(64);
    if (address.empty()) return choice;
    choice.identity = identity;
    choice.contact = identity->parent;
    choice.address = address;
    choice.type = type ? type : identity->type;
    switch (identity->type) {
        case 2: case 3: case 5: case 8: choice.action = DIAL_CALL; break;
        case 4: choice.action = DIAL_MAIL; break;
        case 9: choice.action = DIAL_CHAT; break;
        case 6: choice.action = DIAL_WEB; break;
        default: choice.action = DIAL_NONE; break;
    }
    return choice;
}

bool IsOpenableAddress(const QString& address, bool mail) {
    const QUrl url(mail ? "mailto:" + address : address, QUrl::StrictMode);
    if (!url.isValid() || address.trimmed().isEmpty()) return false;
    const QString scheme = url.scheme().toLower();
    if (mail) return scheme == QLatin1String("mailto") && !address.contains(QLatin1Char('?'));
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

bool IsOpenableSettingsAddress(const QString& address) {
    if (IsOpenableAddress(address, false)) return true;
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    return url.isValid() && url.scheme().compare(QLatin1String("mailto"), Qt::CaseInsensitive) == 0 && !url.path().isEmpty();
}

bool IsValidRename(const QString& text) { return !text.isEmpty() && text.size() <= 40; }

bool IsBlankLabel(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

QString RenameWithCounter(const QStringList& siblingLabels, const QString& text) {
    QString candidate = text;
    int counter = 0;
    for (const QString& label : siblingLabels)
        if (label == candidate) candidate = text + QString::number(++counter);
    return candidate;
}

AddrNode* DropTargetFor(AddrNode* hit, AddrNode* root) {
    if (hit && hit->kind == ADDR_KIND_IDENTITY) hit = hit->parent;
    if (!hit) return nullptr;
    if (hit->kind == ADDR_KIND_GROUP) return hit == root ? nullptr : hit;
    if (hit->kind == ADDR_KIND_CONTACT) return hit->parent && hit->parent != root ? hit->parent : nullptr;
    return nullptr;
}

DropDecision DecideDrop(AddrNode* source, AddrNode* target, AddrNode* root) {
    DropDecision d;
    if (!source || !root) return d;
    AddrNode* to = target ? target : root;
    if (to == source || InSubtree(to, source) || source->parent == to || to->kind != ADDR_KIND_GROUP) return d;
    if (source->kind == ADDR_KIND_GROUP) {
        if (AddrBook_FindChildGroupByName(to, NodeName(source))) {
            d.kind = DROP_DUP_GROUP;
            d.name = NodeName(source);
            return d;
        }
        d.kind = DROP_MOVE_GROUP;
        d.id = source->id;
        d.targetId = to->id;
        d.name = NodeName(source);
        return d;
    }
    if (source->kind == ADDR_KIND_CONTACT && source->parent && source->parent->kind == ADDR_KIND_GROUP) {
        if (AddrBook_FindChildContactById(to, source->id)) {
            d.kind = DROP_DUP_CONTACT;
            d.name = NodeName(source);
            return d;
        }
        d.kind = DROP_MOVE_CONTACT;
        d.id = source->id;
        d.targetId = to->id;
        d.name = NodeName(source);
        d.oldParentId = source->parent->id;
    }
    return d;
}

bool CanStartDrag(const AddrNode* node, uint32_t msSincePress) {
    return node && msSincePress > 59 && (node->kind == ADDR_KIND_GROUP || node->kind == ADDR_KIND_CONTACT);
}

int DragScrollLines(int y, int clientHeight, uint32_t tick) {
    int direction = 0, distance = 0;
    if (y < 10) direction = -1, distance = 10 - y;
    else if (y > clientHeight - 10) direction = 1, distance = y - (clientHeight - 10);
    if (direction == 0) return 0;
    const int step = std::max(1, 6 - distance / 20);
    return tick % static_cast<uint32_t>(step) == 0 ? direction : 0;
}

bool SmsTarget(const AddrNode* node, int* op, std::string* id) {
    if (!node || !node->id) return false;
    switch (node->kind) {
        case ADDR_KIND_GROUP: *op = 0; *id = node->id; return true;
        case ADDR_KIND_CONTACT: *op = 1; *id = node->id; return true;
        case ADDR_KIND_IDENTITY:
            if (!node->parent || !node->parent->id) return false;
            *op = 1;
            *id = node->parent->id;
            return true;
        case ADDR_KIND_LIST: *op = 2; *id = node->id; return true;
        default: return false;
    }
}

std::vector<DialEntry> DialEntries(const AddrNode* node) {
    std::vector<DialEntry> out;
    struct Slot {
        uint32_t type;
        int command;
        const char* bitmap;
    };
    static const Slot kSlots[] = {{3, 32881, "addr_mobile.bmp"}, {2, 32880, "addr_phone.bmp"}, {5, 32882, "addr_phone.bmp"}};
    for (const Slot& slot : kSlots) {
        const char* a = AddrBook_GetIdentityAddress(const_cast<AddrNode*>(node), slot.type);
        if (a && *a) out.push_back({slot.command, FromAnsi(a), slot.bitmap, false});
    }
    if (out.empty()) out.push_back({32880, QString(), "addr_mobile.bmp", true});
    return out;
}

bool IsDefaultGroup(const AddrNode* node) {
    return node && node->kind == ADDR_KIND_GROUP && node->id && (!std::strcmp(node->id, "1") || !std::strcmp(node->id, "2")) &&
           node->parent && AddrBook_IsRoot(node->parent);
}

bool HasDefaultGroupId(const AddrNode* node) {
    return node && node->id && (!std::strcmp(node->id, "1") || !std::strcmp(node->id, "2"));
}

AddrNode* ChatGroupOf(AddrNode* node) {
    for (AddrNode* n = node; n && n->parent; n = n->parent)
        if (IsDefaultGroup(n->parent)) return n;
    return nullptr;
}

int GroupClass(const AddrNode* node) {
    if (!node || !node->parent || AddrBook_IsRoot(node->parent)) return 0;
    const AddrNode* top = node;
    while (top->parent && !AddrBook_IsRoot(top->parent)) top = top->parent;
    return top->id && !std::strcmp(top->id, "1") ? 1 : 2;
}

void AddUserFields::Trim() {
    for (QString* f : {&email, &mobile, &name, &office, &home, &serviceId, &voip}) *f = f->trimmed();
}

AddUserCheck CheckAddUser(AddUserFields& f, bool editMode, AddrNode* localRoot, bool hasSip, bool hasService) {
    f.Trim();
    if (f.name.isEmpty()) return ADDUSER_EMPTY_NAME;
    if (editMode) return ADDUSER_OK;
    if (localRoot)
        for (const AddrNode* c = localRoot->child; c; c = c->next)
            if ((c->kind == ADDR_KIND_CONTACT || c->kind == ADDR_KIND_LIST) &&
                FromAnsi(NodeName(c)).compare(f.name, Qt::CaseInsensitive) == 0)
                return ADDUSER_DUPLICATE;
    if (!hasSip && !(f.mobile.isEmpty() && f.office.isEmpty() && f.home.isEmpty() && f.voip.isEmpty())) return ADDUSER_NO_SIP;
    if (!hasService && !f.serviceId.isEmpty()) return ADDUSER_NO_SERVICE;
    return ADDUSER_OK;
}

bool IsValidDisplayName(const QString& text) { return text.size() <= 40; }

TextKey UserSearchFailure(int code) { return {"findcontact_dlg", code == 200 ? "findnone" : "findfailed"}; }
TextKey GroupSearchFailure(int code) { return {"find_group_dlg", code == 300 ? "zero_search_rusult" : "errmsg"}; }
TextKey JoinOutcome(int code) {
    return {"group_search", code == 0 ? "oper_succ" : code == 204 ? "oper_exceeded" : "oper_fail"};
}
TextKey AddBuddyFailure(int code) {
    switch (code - 200) {
        case 0: return {"as_code", "user_not_find"};
        case 1: return {"as_code", "user_duplicate"};
        case 4: return {"as_code", "user_limitation_exceeded"};
        case 5: return {"as_code", "user_already_exist"};
        case 6: return {"as_code", "localbuddy_not_find"};
        case 7: return {"as_code", "user_add_self"};
        default: return {"as_code", "user_add_err"};
    }
}

TextKey QuitGroupFailure(int code) {
    switch (code) {
        case 1: return {"as_code", "server_err"};
        case 401: return {"as_code", "qtq_not_exist"};
        case 402: return {"as_code", "qtq_not_inqid"};
        case 403: return {"as_code", "qtq_not_allowed"};
        case 404: return {"as_code", "qtq_joinpart_failed"};
        default: return {"as_code", "qtq_err"};
    }
}

int MoveEntries(std::vector<NamedEntry>* from, std::vector<NamedEntry>* to, const QString& id,
                const std::function<void(int)>& moving) {
    int moved = 0;
    for (auto it = from->begin(); it != from->end();) {
        if (it->id.compare(id, Qt::CaseInsensitive) == 0) {
            if (moving) moving(static_cast<int>(it - from->begin()));
            to->push_back(*it);
            it = from->erase(it);
            ++moved;
        } else {
            ++it;
        }
    }
    return moved;
}

}  // namespace contacts
