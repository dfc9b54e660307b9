// Chat-room control commands carried inside instant text messages: "#@#NAME#field#field...".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct PresenceConnectionRec;

// Command codes returned by Parse.
enum ChatRoomCode : int {
    CRC_THUPDATE = 0,
    CRC_INVITE = 1,
    CRC_RESULT = 2,
    CRC_LIST = 3,
    CRC_NOTIFY = 4,
    CRC_PLAIN = 5,
    CRC_START = 6,
    CRC_ACCEPT = 7,
    CRC_SMSG = 8,
    CRC_JOIN = 9,
    CRC_KICK = 10,
    CRC_QUIT = 11,
    CRC_END = 12,
};

inline constexpr std::string_view kChatRoomPrefix = "#@#";

class CChatRoomCommand {
 public:
    // Caps of the texts. Content holds a whole typed message with its picture codes (1024 bytes),
    // so no message that the input box accepts is cut.
    static constexpr size_t kNameMax = 32;
    static constexpr size_t kThidMax = 32;
    static constexpr size_t kContentMax = 1024;
    static constexpr size_t kRawMax = 1024;

    explicit CChatRoomCommand(int robotId = 0) : recipient_(robotId) {}
    virtual ~CChatRoomCommand() = default;

    // Splits the stored raw text into the field list; returns the command code.
    int Parse();
    // Stores the thread id (longer than 32 characters: refused, false); changed := whether it differed.
    bool SetThid(std::string_view thid);
    void SetRecipient(int userId) { recipient_ = userId; }
    // Sends Content to the one recipient through the chat send; the result of the send (-1 = not sent).
    int Send(PresenceConnectionRec* connection, const char* thidOverride, int kind);

    int recipient() const { return recipient_; }
    const std::string& thid() const { return thid_; }
    const std::string& content() const { return content_; }
    const std::string& rawText() const { return raw_; }
    bool changed() const { return changed_; }

 protected:
    int recipient_ = 0;
    std::string from_;
    std::string to_;
    std::string thid_;
    std::string content_;
    std::string raw_;
    bool changed_ = false;
    // Filled by Parse; kept here so the base's Parse can fill the receiving side's list.
    std::vector<std::string> fields_;
    int fieldCount_ = 0;
    bool fieldsCut_ = false;  // the fields did not all fit the list
};

// The receiving side: one incoming text.
class CChatRoomMessage : public CChatRoomCommand {
 public:
    static constexpr size_t kFieldListMax = 512;  // bytes of a field list: each field and its NUL

    using CChatRoomCommand::CChatRoomCommand;
    // Stores the text; 0 when it equals the stored text, else non-zero. A text longer than 1024 bytes
    // is cut to its first 1024 (Cut tells).
    int SetRawText(std::string_view text);
    // The last text or its fields did not fit: Parse kept the whole fields that fit the list and no more.
    bool Cut() const { return rawCut_ || fieldsCut_; }
    // Argument n+1 (entry 0 is the name); "" at the first empty entry and past the last.
    std::string GetListEntry(int n) const;
    int GetFieldCount() const { return fieldCount_; }
    // Splits a text into the second field list with the parser's rules; the number of separators,
    // or -1 when the text does not fit the list (the list is then empty).
    int SplitFields(std::string_view text, char separator);
    std::string GetSecondEntry(int n) const;

    // The splitter shared by Parse and SplitFields: false when the fields do not fit kFieldListMax. With
    // keepWhole the fields that fit stay (a field cut in two does not), else the list is emptied.
    static bool SplitInto(std::string_view text, char separator, std::vector<std::string>* fields, int* count,
                          bool keepWhole = false);

 private:
    std::vector<std::string> second_;
    bool rawCut_ = false;
};

// The sending side: one per chat window.
class CChatRoomPacket : public CChatRoomCommand {
 public:
    static constexpr size_t kArgsMax = 511;

    using CChatRoomCommand::CChatRoomCommand;
    void ClearArgs() { args_.clear(); }
    // Appends "#%d"; false (unchanged) when the argument text would pass 511 characters.
    bool AppendId(int id);
    // Replaces the arguments by "#" and the key (separators in the key replaced).
    bool SetKey(std::string_view key);
    const std::string& args() const { return args_; }

    // Each builder writes Content and returns 1, or 0 (Content unchanged) when the command would not
    // fit. Texts given to the builders have their "#" replaced by a blank so no field can shift.
    int BuildStart(int mode, std::string_view lead, std::string_view nickname, std::string_view tail);
    int BuildAccept(std::string_view nickname);
    int BuildInvite(std::string_view text);
    // A typed text that itself begins with "#@#" gets a leading blank: a user cannot send a command.
    int BuildText(std::string_view text);
    int BuildKick();
    int BuildQuit();
    int BuildEnd(int number);

 private:
    int SetContent(std::string text);
    std::string args_;
};

// "#" in a text that goes into a command field becomes a blank.
std::string ChatRoomFieldText(std::string_view text);
// A user's text as it goes out: one that starts with the command prefix gets a blank before it, so that
// no reader takes it for a command.
std::string ChatUserText(std::string_view text);
