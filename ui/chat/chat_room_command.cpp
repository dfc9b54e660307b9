// Chat-room command texts: the parser, the builders and the send to the robot.
#include "ui/chat/chat_room_command.h"

#include <cstdio>

#include "common/debug.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_transport.h"

namespace {

struct NamedCode {
    const char* name;
    int code;
};
// In the order they are compared.
constexpr NamedCode kNames[] = {
    {"THUPDATE", CRC_THUPDATE}, {"INVITE", CRC_INVITE}, {"RESULT", CRC_RESULT}, {"LIST", CRC_LIST},
    {"NOTIFY", CRC_NOTIFY},     {"START", CRC_START},   {"ACCEPT", CRC_ACCEPT}, {"SMSG", CRC_SMSG},
    {"KICK", CRC_KICK},         {"JOIN", CRC_JOIN},     {"QUIT", CRC_QUIT},     {"END", CRC_END},
};

// Entry n of a list read the way a run of NUL-terminated texts is walked: the walk ends at the first empty entry.
std::string WalkEntry(const std::vector<std::string>& list, size_t first, size_t n) {
    for (size_t i = first; i < list.size(); ++i) {
        if (list[i].empty()) return {};
        if (i == first + n) return list[i];
    }
    return {};
}

}  // namespace

std::string ChatRoomFieldText(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '#') c = ' ';
    return out;
}

bool CChatRoomCommand::SetThid(std::string_view thid) {
    if (thid.size() > kThidMax) {
        DebugTrace(MOD_QZ, 2, "chat thread id too long (%zu characters), kept %s", thid.size(), thid_.c_str());
        return false;
    }
    changed_ = thid_ != thid;
    thid_.assign(thid);
    return true;
}

bool CChatRoomMessage::SplitInto(std::string_view text, char separator, std::vector<std::string>* fields,
                                 int* count, bool keepWhole) {
    fields->clear();
    *count = 0;
    std::string current;
    size_t bytes = 0;
    // The field being read does not fit, its NUL counted: the fields kept end with the last whole one.
    auto full = [&] {
        if (bytes + current.size() + 1 <= CChatRoomMessage::kFieldListMax) return false;
        if (!keepWhole) fields->clear();
        *count = fields->empty() ? 0 : static_cast<int>(fields->size()) - 1;
        return true;
    };
    for (char c : text) {
        if (c != separator) {
            current.push_back(c);
            if (full()) return false;
            continue;
        }
        if (current.empty()) current = " ";
        if (full()) return false;
        bytes += current.size() + 1;
        fields->push_back(std::move(current));
        current.clear();
        ++*count;
    }
    if (full()) return false;
    fields->push_back(std::move(current));
    return true;
}

int CChatRoomCommand::Parse() {
    // Fields of an earlier text never survive a new parse.
    fields_.clear();
    fieldCount_ = 0;
    fieldsCut_ = false;
    if (raw_.compare(0, kChatRoomPrefix.size(), kChatRoomPrefix) != 0) return CRC_PLAIN;
    std::string_view body(raw_);
    body.remove_prefix(kChatRoomPrefix.size());
    fieldsCut_ = !CChatRoomMessage::SplitInto(body, '#', &fields_, &fieldCount_, true);
    if (fieldsCut_) {
        DebugTrace(MOD_QZ, 2, "chat-room command cut: %d whole fields fit the %zu bytes of its list", static_cast<int>(fields_.size()),
                   CChatRoomMessage::kFieldListMax);
        if (fields_.empty()) return CRC_PLAIN;
    }
    for (const NamedCode& named : kNames)
        if (fields_[0] == named.name) return named.code;
    return CRC_PLAIN;
}

int CChatRoomMessage::SetRawText(std::string_view text) {
    rawCut_ = text.size() > kRawMax;
    if (rawCut_) {
        if (text.substr(0, kChatRoomPrefix.size()) == kChatRoomPrefix)
            DebugTrace(MOD_QZ, 2, "chat-room text cut: %zu bytes, at most %zu", text.size(), kRawMax);
        text = text.substr(0, kRawMax);
    }
    int differs = raw_ != text;
    raw_.assign(text);
    changed_ = true;
    return differs;
}

std::string CChatRoomMessage::GetListEntry(int n) const {
    if (n < 0) return {};
    return WalkEntry(fields_, 1, static_cast<size_t>(n));
}

int CChatRoomMessage::SplitFields(std::string_view text, char separator) {
    int count = 0;
    if (!SplitInto(text, separator, &second_, &count)) return -1;
    return count;
}

std::string CChatRoomMessage::GetSecondEntry(int n) const {
    if (n < 0) return {};
    return WalkEntry(second_, 0, static_cast<size_t>(n));
}

bool CChatRoomPacket::AppendId(int id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%d", id);
    if (args_.size() + std::char_traits<char>::length(buf) > kArgsMax) return false;
    args_ += buf;
    return true;
}

bool CChatRoomPacket::SetKey(std::string_view key) {
    if (key.size() + 1 > kArgsMax) return false;
    args_ = "#" + ChatRoomFieldText(key);
    return true;
}

int CChatRoomPacket::SetContent(std::string text) {
    if (text.size() > kContentMax) {
        DebugTrace(MOD_QZ, 2, "chat-room packet refused: %zu bytes, at most %zu", text.size(), kContentMax);
        return 0;
    }
    content_ = std::move(text);
    return 1;
}

int CChatRoomPacket::BuildStart(int mode, std::string_view lead, std::string_view nickname, std::string_view tail) {
    std::string l = ChatRoomFieldText(lead), n = ChatRoomFieldText(nickname), t = ChatRoomFieldText(tail);
    if (mode == 1) return SetContent("#@#START#" + l + "#" + n + "##" + t + args_);
    if (mode == 2 || mode == 3) return SetContent("#@#START#" + l + "#" + n + args_ + "#" + t);
    return 1;
}

int CChatRoomPacket::BuildAccept(std::string_view nickname) {
    return SetContent("#@#ACCEPT#" + ChatRoomFieldText(nickname));
}

int CChatRoomPacket::BuildInvite(std::string_view text) {
    return SetContent("#@#INVITE#" + ChatRoomFieldText(text) + args_);
}

std::string ChatUserText(std::string_view text) {
    std::string out(text);
    if (out.compare(0, kChatRoomPrefix.size(), kChatRoomPrefix) == 0) out.insert(out.begin(), ' ');
    return out;
}

int CChatRoomPacket::BuildText(std::string_view text) { return SetContent(ChatUserText(text)); }

int CChatRoomPacket::BuildKick() { return SetContent("#@#KICK" + args_); }

int CChatRoomPacket::BuildQuit() { return SetContent("#@#QUIT"); }

int CChatRoomPacket::BuildEnd(int number) { return SetContent("#@#END#" + std::to_string(number)); }

int CChatRoomCommand::Send(PresenceConnectionRec* connection, const char* thidOverride, int kind) {
    std::vector<PresenceBuddyRecord> recipients(1);
    recipients[0].id = recipient_;
    DebugTrace(MOD_QZ, 3, "Packet=%s, Thid=%s", content_.c_str(), thid_.c_str());
    const char* thid = thidOverride ? thidOverride : (thid_.empty() ? nullptr : thid_.c_str());
    return ChatSendIm(connection, content_.c_str(), &recipients, thid, kind);
}
