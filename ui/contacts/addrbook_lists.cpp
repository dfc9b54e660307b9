// Access-server records the address-book windows build: card lists for UDL and join records for JNQ.
#include <cstring>

#include "service/as_records.h"
#include "ui/contacts/addrbook_logic.h"

namespace contacts {

namespace {
bool AddCti(CAsList* list, int32_t type, const std::string& value) {
    auto* e = new CAsCtiEntry;
    e->type = type;
    if (!e->SetValue(value.c_str())) {
        delete e;
        return false;
    }
    list->ctiEntries.push_back(e);
    return true;
}
}  // namespace

CAsList* CardListFromNode(const AddrNode* card, const QString& name) {
    if (!card || !card->id) return nullptr;
    auto* list = new CAsList;
    list->SetListId(card->id);
    list->SetListName(ToAnsi(name).c_str());
    for (const AddrNode* c = card->child; c; c = c->next)
        if (c->kind == ADDR_KIND_IDENTITY && ((c->type >= 2 && c->type <= 5) || c->type == 8 || c->type == 9))
            AddCti(list, static_cast<int32_t>(c->type), IdentityAddress(c));
    return list;
}

CAsList* CardListFromFields(const char* id, const CardFields& f) {
    auto* list = new CAsList;
    list->SetListId(id ? id : "");
    list->SetListName(ToAnsi(f.name).c_str());
    const std::pair<int32_t, const QString*> order[] = {{4, &f.email}, {3, &f.mobile}, {2, &f.office}, {5, &f.home}, {8, &f.voip}, {9, &f.serviceId}};
    for (const auto& [type, text] : order)
        if (!text->isEmpty()) AddCti(list, type, ToAnsi(*text));
    return list;
}

CAsChatQueue* JoinRecord(const CAsChatQueue& queue, const char* identityId, const QString& password) {
    auto* copy = new CAsChatQueue(queue);
    copy->SetUiText1(queue.type == 1 ? ToAnsi(password).c_str() : nullptr);
    copy->SetUiText2(identityId);
    return copy;
}

}  // namespace contacts
