// Fuzz target: any received text through the chat-room parser and its argument readers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/chat/chat_room_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    CChatRoomMessage m;
    m.SetRawText(text);
    int code = m.Parse();
    if (code < 0 || code > CRC_END) __builtin_trap();
    for (int i = -1; i <= m.GetFieldCount() + 1; ++i) {
        std::string entry = m.GetListEntry(i);
        if (m.SplitFields(entry, ',') >= 0) (void)m.GetSecondEntry(1);
    }
    return 0;
}
