// Fuzz target: any day file's bytes through the record reader, with and without a keyword.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/chat/chat_record_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<ChatRecordRow> rows;
    ParseChatRecords(bytes, "1/2007-03-05-0.dat", {}, &rows);
    for (const ChatRecordRow& row : rows) {
        // Every row read back must come out of the writer as the same bytes.
        if (ChatRecordFile::FormatRecord(row.time, row.priv, row.voice, row.sender, row.receivers, row.content).size() >
            row.raw.size() + 4)
            __builtin_trap();
    }
    std::vector<ChatRecordRow> found;
    ParseChatRecords(bytes, "1/2007-03-05-0.dat", size > 2 ? bytes.substr(0, 2) : "a", &found);
    return 0;
}
