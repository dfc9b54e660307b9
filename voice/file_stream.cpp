// File streams of the engine and the WAV and iLBC file conversions to 16-kHz raw PCM.
#include "voice/file_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/fs.h"
#include "voice/codec_set.h"
#include "voice/engine_defs.h"
#include "voice/trace.h"

// ---------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------

InStream::~InStream() { Close(); }

int InStream::Open(const std::string& name, bool loop) {
  Close();
  file_ = plat::OpenRegularStream(name, "rb");
  if (!file_) return -1;
  loop_ = loop;
  return 0;
}

void InStream::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

int InStream::Read(void* buffer, int n) {
  if (!file_ || !buffer || n <= 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  size_t got = std::fread(p, 1, static_cast<size_t>(n), file_);
  if (got < static_cast<size_t>(n) && loop_) {
    std::rewind(file_);
    got = std::fread(p, 1, static_cast<size_t>(n), file_);
    if (got < static_cast<size_t>(n)) loop_ = false;
  }
  if (got < static_cast<size_t>(n)) Close();
  return static_cast<int>(got);
}

OutStream::~OutStream() { Close(); }

int OutStream::Open(const std::string& name) {
  Close();
  failed_ = false;
  file_ = plat::OpenRegularStream(name, "wb");
  return file_ ? 0 : -1;
}

bool OutStream::Close() {
  if (!file_) return true;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed && !failed_;
}

bool OutStream::Write(const void* buffer, int n) {
  if (!file_ || !buffer || n <= 0) return false;
  const size_t w = std::fwrite(buffer, 1, static_cast<size_t>(n), file_);
  if (w != static_cast<size_t>(n)) failed_ = true;
  return w > 0;
}

int MemoryInStream::Read(void* buffer, int n) {
  if (!buffer || n <= 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  int got = 0;
  while (got < n) {
    if (pos_ >= data_.size()) {
      if (!loop_ || data_.empty()) break;
      pos_ = 0;
    }
    const size_t take = std::min(static_cast<size_t>(n - got), data_.size() - pos_);
    std::memcpy(p + got, data_.data() + pos_, take);
    pos_ += take;
    got += static_cast<int>(take);
  }
  return got;
}

bool MemoryOutStream::Write(const void* buffer, int n) {
  if (!buffer || n <= 0) return false;
  const auto* p = static_cast<const uint8_t*>(buffer);
  data_.insert(data_.end(), p, p + n);
  return true;
}

// ---------------------------------------------------------------------------
// WAV conversion
// ---------------------------------------------------------------------------

namespace {

uint32_t Le32(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Skips n bytes of the stream; false at its end.
bool Skip(InStream& in, uint32_t n) {
  uint8_t buf[256];
  while (n > 0) {
    const int take = n > sizeof buf ? static_cast<int>(sizeof buf) : static_cast<int>(n);
    if (in.Read(buf, take) != take) return false;
    n -= static_cast<uint32_t>(take);
  }
  return true;
}

TraceSink* T() { return EngineTrace(); }

}  // namespace

int FILEConvert::setFormat(InStream& in) {
  data_.clear();
  uint8_t head[12];
  if (in.Read(head, 12) != 12) {
    T()->Print(kTraceError, "Not a wave file (too short)", -1, -1);
    return -1;
  }
  if (std::memcmp(head, "RIFF", 4) != 0) {
    T()->Print(kTraceError, "Not a wave file (does not have RIFF)", -1, -1);
    return -1;
  }
  if (std::memcmp(head + 8, "WAVE", 4) != 0) {
    T()->Print(kTraceError, "Not a wave file (does not have WAVE)", -1, -1);
    return -1;
  }
  bool haveFmt = false;
  bool haveData = false;
  while (!(haveFmt && haveData)) {
    uint8_t chunk[8];
    if (in.Read(chunk, 8) != 8) break;
    const uint32_t size = Le32(chunk + 4);
    const uint32_t pad = size & 1u;  // chunks are word-aligned
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t fmt[16];
      if (size < 16 || in.Read(fmt, 16) != 16) {
        T()->Print(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )", -1, -1);
        return -1;
      }
      formatTag_ = Le16(fmt);
      channels_ = Le16(fmt + 2);
      samplesPerSec_ = Le32(fmt + 4);
      avgBytesPerSec_ = Le32(fmt + 8);
      blockAlign_ = Le16(fmt + 12);
      bitsPerSample_ = Le16(fmt + 14);
      if (!Skip(in, size - 16 + pad)) {
        T()->Print(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )", -1, -1);
        return -1;
      }
      haveFmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      // The size is the file's own word: the memory grows with the bytes that really arrive, so a
      // short file announcing gigabytes ends at its end instead of being allocated for.
      bool whole = true;
      try {
        uint32_t got = 0;
        while (got < size) {
          const uint32_t piece = std::min<uint32_t>(size - got, kDataPieceBytes);
          data_.resize(static_cast<size_t>(got) + piece);
          if (in.Read(data_.data() + got, static_cast<int>(piece)) != static_cast<int>(piece)) {
            whole = false;
            break;
          }
          got += piece;
        }
      } catch (const std::bad_alloc&) {
        data_ = std::vector<uint8_t>();
        T()->Print(kTraceError, "FILEConvert::setFormat() Could not allocate memory (size %d)", static_cast<int>(size & 0x7FFFFFFF), -1);
        return -1;
      }
      if (!whole) {
        T()->Print(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading data)", -1, -1);
        data_ = std::vector<uint8_t>();
        return -1;
      }
      if (pad) Skip(in, pad);
      haveData = true;
    } else {
      if (!Skip(in, size) || (pad && !Skip(in, pad))) {
        T()->Print(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading other)", -1, -1);
        return -1;
      }
    }
  }
  if (!haveFmt) {
    T()->Print(kTraceError, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )", -1, -1);
    return -1;
  }
  if (formatTag_ != 1 && formatTag_ != 6 && formatTag_ != 7) {
    T()->Print(kTraceError, "setFormat: Coding format not supported %d", formatTag_, -1);
    return -1;
  }
  if (channels_ != 1 && channels_ != 2) {
    T()->Print(kTraceError, "setFormat: nChannels value invalid %d", channels_, -1);
    return -1;
  }
  // A-law and mu-law samples are one byte each: a 16-bit one has no meaning, and taking it would write silence.
  if ((bitsPerSample_ != 8 && bitsPerSample_ != 16) || ((formatTag_ == 6 || formatTag_ == 7) && bitsPerSample_ != 8)) {
    T()->Print(kTraceError, "setFormat: nBitsPerSample value invalid %d", bitsPerSample_, -1);
    return -1;
  }
  blockBytes_ = (bitsPerSample_ / 8) * channels_ * 80;
  const int mode = static_cast<int>(samplesPerSec_ / 1000);
  if (Sonra_ResamplerTo16_init(&resampler_, mode) != 0) {
    T()->Print(kTraceError, "setFormat: Sonra_ResamplerTo16_init(?,mode) failed mode=%d", mode, -1);
    return -1;
  }
  return 0;
}

int FILEConvert::ConvertFile(InStream& in, OutStream& out) {
  T()->Print(kTraceInfo, "Calling ConvertFile(?,?)", -1, -1);
  if (setFormat(in) != 0) {
    data_.clear();
    return -1;
  }
  const int bytesPerSample = bitsPerSample_ / 8;
  const int frameBytes = bytesPerSample * channels_;
  for (size_t at = 0; at < data_.size();) {
    const size_t take = std::min(static_cast<size_t>(blockBytes_), data_.size() - at);
    const int frames = static_cast<int>(take) / frameBytes;
    const uint8_t* p = data_.data() + at;
    int16_t mono[160];
    for (int f = 0; f < frames; ++f) {
      int32_t ch[2] = {0, 0};
      for (int c = 0; c < channels_; ++c) {
        const uint8_t* s = p + f * frameBytes + c * bytesPerSample;
        if (formatTag_ == 1) {
          ch[c] = bytesPerSample == 1 ? (static_cast<int32_t>(s[0]) - 128) * 255 : static_cast<int16_t>(Le16(s));
        } else if (formatTag_ == 6 || formatTag_ == 7) {
          int16_t v = 0;
          if (bytesPerSample == 1) {
            if (formatTag_ == 6)
              Sonra_AlawToLinear(s, &v, 1);
            else
              Sonra_UlawToLinear(s, &v, 1);
          }
          ch[c] = v;
        } else {
          T()->Print(kTraceError, "Unsupported coding format %d", formatTag_, -1);
          data_.clear();
          return -1;
        }
      }
      mono[f] = static_cast<int16_t>(channels_ == 2 ? (ch[0] + ch[1] + 1) >> 1 : ch[0]);
    }
    int16_t resampled[400];
    int count = 0;
    if (Sonra_ResamplerTo16(&resampler_, mono, frames, resampled, &count, 400) != 0) {
      T()->Print(kTraceError, "Error when calling Sonra_ResamplerTo16", -1, -1);
      data_.clear();
      return -1;
    }
    if (count > 0) {
      uint8_t bytes[800];
      for (int i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(resampled[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>((resampled[i] >> 8) & 0xFF);
      }
      out.Write(bytes, 2 * count);
    }
    at += take;
    if (take < static_cast<size_t>(blockBytes_)) break;
  }
  data_.clear();
  return 0;
}

int FILEConvert::ConvertIlbcFile(InStream& in, OutStream& out) {
  char line[65] = {};
  int n = 0;
  for (; n < 64; ++n) {
    if (in.Read(line + n, 1) != 1) return -1;
    if (line[n] == '\n') break;
  }
  if (n >= 64) return -1;
  if (Sonra_ResamplerTo16_init(&resampler_, 8) != 0) {
    T()->Print(kTraceError, "setFormat: Sonra_ResamplerTo16_init(?,mode) failed mode=8", -1, -1);
    return -1;
  }
  int frameBytes = 0;
  int frameSamples = 0;
  if (std::strcmp(line, "#!iLBC30\n") == 0) {
    frameBytes = 50;
    frameSamples = 240;
  } else if (std::strcmp(line, "#!iLBC20\n") == 0) {
    frameBytes = 38;
    frameSamples = 160;
  } else {
    return -1;
  }
  ChannelCodecSet codecs(0);
  if (!codecs.Has(kCodecIlbc) || codecs.InitDecoder(kCodecIlbc, frameSamples) != 0) return -1;
  uint8_t frame[50];
  while (in.Read(frame, frameBytes) == frameBytes) {
    int16_t pcm[240];
    const int got = codecs.DecodeFrame(kCodecIlbc, frame, frameBytes, pcm, 240);
    if (got < 0) return -1;
    int16_t wide[480];
    int count = 0;
    if (Sonra_ResamplerTo16(&resampler_, pcm, got, wide, &count, 480) != 0) {
      T()->Print(kTraceError, "Error when calling Sonra_ResamplerTo16", -1, -1);
      return -1;
    }
    uint8_t bytes[960];
    for (int i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<uint8_t>((wide[i] >> 8) & 0xFF);
    }
    if (count > 0) out.Write(bytes, 2 * count);
  }
  return 0;
}
