// Byte-wise range coder shared by the Ostrel frame coders (internal to this folder).
#pragma once

#include <cstdint>

namespace ostrel {

// The coder keeps an inclusive interval [low, low + range] of 32-bit code values, starting with all of them.
// A symbol whose cumulative bounds, already scaled by the caller to the current range, are lo < hi takes the
// codes lo + 1 .. hi of the interval. Whenever the range falls below 2^24 a byte of low is written (a carry
// of low is added into the bytes already written). The flush writes 1 to 4 bytes, as few as keep every
// continuation of the code inside the final interval, so a decoder may read any bytes after a frame.
class RangeEncoder {
 public:
  // `codingLimit` bounds the bytes written while coding (the flush may go on to `capacity`).
  RangeEncoder(uint8_t* out, int capacity, int codingLimit = -1)
      : out_(out), capacity_(capacity), codingLimit_(codingLimit < 0 ? capacity : codingLimit) {}
  uint32_t range() const { return range_; }
  bool failed() const { return failed_; }
  void Encode(uint32_t lo, uint32_t hi);
  void Fail() { failed_ = true; }
  // Flushes; the total length in bytes, or -1 when coding failed or the code is longer than maxBytes.
  int Finish(int maxBytes);

 private:
  void Put(uint8_t byte);
  void Carry();
  uint8_t* out_;
  int capacity_;
  int codingLimit_;
  int n_ = 0;
  uint64_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  bool failed_ = false;
};

// Mirror of RangeEncoder. Reads at most `available` bytes of `in`; positions past them read as 0, which
// is harmless for a well-formed code (see the flush above) and caught by the length check otherwise.
class RangeDecoder {
 public:
  RangeDecoder(const uint8_t* in, int available);
  uint32_t code() const { return code_; }
  uint32_t range() const { return range_; }
  // Takes the symbol with scaled bounds lo < code <= hi; false when the code is not inside them.
  bool Decode(uint32_t lo, uint32_t hi);
  // Bytes the encoder wrote for the symbols decoded so far plus its flush.
  int Length() const;
  // Bytes shifted in after the first four.
  int shifted() const { return pos_ - 4; }

 private:
  uint8_t Byte(int i) const { return i < available_ ? in_[i] : 0; }
  const uint8_t* in_;
  int available_;
  int pos_ = 4;
  uint32_t code_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
};

// Flush length for a final range: the number of bytes the encoder writes and the decoder adds.
inline int FlushBytes(uint32_t range) {
  if (range > 0x1FFFFFFu) return 1;
  if (range > 0x1FFFFu) return 2;
  if (range >= 512u) return 3;
  return 4;
}

}  // namespace ostrel
