// Typed settings lists and the registration of the presence core's operations.
#include "common/presence_link.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "common/storeutil.h"

namespace {

std::atomic<PresenceServices*> s_services{nullptr};

PresenceSetting* FindSetting(PresenceSettingList* list, const char* key) {
    if (!list || !key) return nullptr;
    for (PresenceSetting& entry : *list)
        if (store::EqualNoCase(entry.key, key)) return &entry;
    return nullptr;
}

const PresenceSetting* FindSetting(const PresenceSettingList* list, const char* key) {
    return FindSetting(const_cast<PresenceSettingList*>(list), key);
}

// A changed entry moves to the end of its list, behind every entry set before it.
void MoveToEnd(PresenceSettingList* list, PresenceSetting* entry) {
    auto it = list->begin() + (entry - list->data());
    std::rotate(it, it + 1, list->end());
}

// Appends a new entry with copies of key and label; false when memory runs out.
bool AppendSetting(PresenceSettingList* list, const PresenceSetting& proto, const char* key,
                   const char* label) {
    PresenceSetting entry = proto;
    entry.key = store::DupText(key);
    entry.label = label ? store::DupText(label) : nullptr;
    if (!entry.key || (label && !entry.label)) {
        presence_setting_free(&entry);
        return false;
    }
    try {
        list->push_back(entry);
    } catch (...) {
        presence_setting_free(&entry);
        return false;
    }
    return true;
}

}  // namespace

void presence_setting_free(PresenceSetting* entry) {
    if (!entry) return;
    std::free(entry->key);
    std::free(entry->label);
    std::free(entry->textValue);
    *entry = PresenceSetting{};
}

void presence_setting_free_all(PresenceSettingList* list) {
    if (!list) return;
    for (PresenceSetting& entry : *list) presence_setting_free(&entry);
    list->clear();
}

int presence_setting_set_int(PresenceSettingList* list, const char* key, const char* label, int value) {
    if (!list || !key) return 0;
    if (PresenceSetting* entry = FindSetting(list, key)) {
        std::free(entry->textValue);
        entry->textValue = nullptr;
        entry->kind = PRESENCE_SETTING_INT;
        entry->intValue = value;
        MoveToEnd(list, entry);
        return 1;
    }
    PresenceSetting proto{PRESENCE_SETTING_INT, nullptr, nullptr, value, nullptr};
    return AppendSetting(list, proto, key, label) ? 1 : 0;
}

int presence_setting_set_string(PresenceSettingList* list, const char* key, const char* label,
                                const char* text) {
    if (!list || !key) return 0;
    char* copy = store::DupText(text ? text : "");
    if (!copy) return 0;
    if (PresenceSetting* entry = FindSetting(list, key)) {
        std::free(entry->textValue);
        entry->textValue = copy;
        entry->kind = PRESENCE_SETTING_TEXT;
        entry->intValue = 0;
        MoveToEnd(list, entry);
        return 1;
    }
    PresenceSetting proto{PRESENCE_SETTING_TEXT, nullptr, nullptr, 0, copy};
    if (!AppendSetting(list, proto, key, label)) return 0;  // the copy was freed with the entry
    return 1;
}

bool presence_setting_has(const PresenceSettingList* list, const char* key) { return FindSetting(list, key) != nullptr; }

int presence_setting_get_int(const PresenceSettingList* list, const char* key, int def) {
    const PresenceSetting* entry = FindSetting(list, key);
    if (!entry) return def;
    if (entry->kind == PRESENCE_SETTING_TEXT) {
        long long v = store::LeadingNumber(entry->textValue);
        if (v > INT32_MAX) v = INT32_MAX;
        if (v < INT32_MIN) v = INT32_MIN;
        return static_cast<int>(v);
    }
    return entry->intValue;
}

char* presence_setting_get_string(const PresenceSettingList* list, const char* key, const char* def,
                                  char* buffer, size_t size) {
    if (!buffer || size == 0) return buffer;
    const PresenceSetting* entry = FindSetting(list, key);
    if (!entry) {
        store::CopyBounded(buffer, size, def);
    } else if (entry->kind == PRESENCE_SETTING_TEXT) {
        store::CopyBounded(buffer, size, entry->textValue);
    } else {
        std::snprintf(buffer, size, "%d", entry->intValue);
    }
    return buffer;
}

void Presence_SetServices(PresenceServices* services) { s_services.store(services); }

PresenceServices* Presence_GetServices() { return s_services.load(); }
