// Chat text with picture codes: the coded form, its length in half-width units and the cut for a paste.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

inline constexpr int kChatCharLimit = 275;           // characters of a chat message
inline constexpr int kChatUnitLimit = kChatCharLimit * 2;
inline constexpr size_t kImageCodeMax = 31;           // bytes kept of a picture's code

// A picture of the control: its character position in the control's text and its code
// (ANSI bytes); a picture without a code is left out of the coded text.
struct PictureCode {
  size_t position = 0;
  std::string code;
};

// The code as the control keeps it: at most 31 bytes.
std::string MakeImageCode(std::string_view code);

// The control's text (UTF-16, one character per picture) in the ANSI code page with each coded
// picture replaced by its code. In selection mode only [selStart, selEnd) is taken and pictures
// outside it are skipped. expansion = bytes the codes added. At most kCodedTextMax bytes: what would pass
// them is cut, never inside a character.
inline constexpr size_t kCodedTextMax = 1024;
std::string CodedText(std::u16string_view text, const std::vector<PictureCode>& pictures, bool selectionOnly,
                      size_t selStart, size_t selEnd, int* expansion);

// Half-width units of ANSI text: every byte 1, and bytes 1..126 one more.
int CountUnits(std::string_view ansi);

struct CountResult {
  int characters = 0;  // units / 2
  int cutPosition = 0; // byte position in the control's own text up to which the message fits
};
// Counts coded text; with a cut, counting stops once 550 units are reached, never inside a
// double-byte character.
CountResult CountTextUnits(std::string_view coded, int expansion, bool withCut);

// The longest head of ANSI text whose units do not pass allowedChars * 2, never splitting a
// double-byte character.
std::string CutToCharacters(std::string_view ansi, int allowedChars);

// Characters a paste may still add: those of the selection (replaced by it) plus what is left
// below the limit.
int PasteAllowance(int selectionChars, int controlChars);

}  // namespace ctl
