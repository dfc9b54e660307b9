// Byte-wise range coder shared by the Ostrel frame coders.
#include "voice/dsp/ostrel/ostrel_range.h"

namespace ostrel {

void RangeEncoder::Put(uint8_t byte) {
  if (n_ >= capacity_) {
    failed_ = true;
    return;
  }
  out_[n_++] = byte;
}

// Adds one to the bytes already written. The interval never leaves the initial one, so the carry always
// stops inside them; the guard only keeps a broken invariant from writing out of bounds.
void RangeEncoder::Carry() {
  for (int i = n_ - 1; i >= 0; --i) {
    if (++out_[i] != 0) return;
  }
  failed_ = true;
}

void RangeEncoder::Encode(uint32_t lo, uint32_t hi) {
  if (failed_) return;
  // An empty or one-code interval would leave nothing for the next symbols.
  if (hi > range_ || lo >= hi || hi - lo < 2) {
    failed_ = true;
    return;
  }
  low_ += uint64_t{lo} + 1;
  range_ = hi - lo - 1;
  if (low_ >> 32) {
    low_ &= 0xFFFFFFFFu;
    Carry();
  }
  while (range_ < (1u << 24) && !failed_) {
    if (n_ >= codingLimit_) {
      failed_ = true;
      return;
    }
    Put(static_cast<uint8_t>(low_ >> 24));
    low_ = (low_ << 8) & 0xFFFFFFFFu;
    range_ <<= 8;
  }
}

int RangeEncoder::Finish(int maxBytes) {
  if (failed_) return -1;
  const int k = FlushBytes(range_);
  const int unitBits = 32 - 8 * k;
  const uint64_t unit = uint64_t{1} << unitBits;
  // The smallest multiple of the unit at or above low: every continuation of its k bytes stays inside.
  uint64_t v = (low_ + unit - 1) >> unitBits << unitBits;
  if (v >> 32) {
    v &= 0xFFFFFFFFu;
    Carry();
  }
  for (int i = 0; i < k; ++i) Put(static_cast<uint8_t>(v >> (24 - 8 * i)));
  if (failed_ || n_ > maxBytes) return -1;
  return n_;
}

RangeDecoder::RangeDecoder(const uint8_t* in, int available) : in_(in), available_(available < 0 ? 0 : available) {
  code_ = (uint32_t{Byte(0)} << 24) | (uint32_t{Byte(1)} << 16) | (uint32_t{Byte(2)} << 8) | Byte(3);
}

bool RangeDecoder::Decode(uint32_t lo, uint32_t hi) {
  if (!(lo < code_ && code_ <= hi) || hi > range_ || hi - lo < 2) return false;
  code_ -= lo + 1;
  range_ = hi - lo - 1;
  while (range_ < (1u << 24)) {
    code_ = (code_ << 8) | Byte(pos_++);
    range_ <<= 8;
  }
  return code_ <= range_;
}

int RangeDecoder::Length() const { return pos_ - 4 + FlushBytes(range_); }

}  // namespace ostrel
