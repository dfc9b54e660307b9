// File streams of the engine (raw 16-bit PCM at 16000 Hz) and the conversion of WAV and iLBC files to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "voice/processing.h"

// A readable stream; the default reads a file.
class InStream {
 public:
  InStream() = default;
  virtual ~InStream();
  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;

  // 0, or -1 when the file cannot be opened.
  int Open(const std::string& name, bool loop = false);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  bool Loop() const { return loop_; }
  // Reads n bytes. A looping file that cannot fill the request reads n bytes again from its
  // start; when that cannot fill it either, it stops looping. A request not filled closes the
  // file. Returns the bytes of the last read.
  virtual int Read(void* buffer, int n);

 private:
  FILE* file_ = nullptr;
  bool loop_ = false;
};

// A writable stream over a file opened for writing.
class OutStream {
 public:
  OutStream() = default;
  virtual ~OutStream();
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  // 0, or -1 when the file cannot be created.
  int Open(const std::string& name);
  // Closes the file; false when a write or the close failed.
  bool Close();
  bool IsOpen() const { return file_ != nullptr; }
  // True when something was written.
  virtual bool Write(const void* buffer, int n);

 private:
  FILE* file_ = nullptr;
  bool failed_ = false;
};

// In-memory streams (tests and conversions in memory).
class MemoryInStream : public InStream {
 public:
  explicit MemoryInStream(std::vector<uint8_t> data, bool loop = false) : data_(std::move(data)), loop_(loop) {}
  int Read(void* buffer, int n) override;

 private:
  std::vector<uint8_t> data_;
  size_t pos_ = 0;
  bool loop_;
};

class MemoryOutStream : public OutStream {
 public:
  bool Write(const void* buffer, int n) override;
  const std::vector<uint8_t>& Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
};

// Reads a WAV header and converts its samples to 16-bit mono PCM at 16000 Hz.
class FILEConvert {
 public:
  // The "data" chunk is read in pieces of this size.
  static constexpr uint32_t kDataPieceBytes = 1u << 20;

  // Parses the WAV header and takes the data chunk; 0 or -1.
  int setFormat(InStream& in);
  // WAV stream to the engine's PCM; 0 or -1.
  int ConvertFile(InStream& in, OutStream& out);
  // iLBC file ("#!iLBC30\n" or "#!iLBC20\n" and frames) to the engine's PCM; 0 or -1
  // (also when no iLBC decoder is present).
  int ConvertIlbcFile(InStream& in, OutStream& out);

  uint16_t FormatTag() const { return formatTag_; }
  uint16_t Channels() const { return channels_; }
  uint32_t SampleRate() const { return samplesPerSec_; }
  uint16_t BitsPerSample() const { return bitsPerSample_; }
  int BlockBytes() const { return blockBytes_; }

 private:
  uint16_t formatTag_ = 0;
  uint16_t channels_ = 0;
  uint32_t samplesPerSec_ = 0;
  uint32_t avgBytesPerSec_ = 0;
  uint16_t blockAlign_ = 0;
  uint16_t bitsPerSample_ = 0;
  std::vector<uint8_t> data_;
  int blockBytes_ = 0;
  SonraResamplerTo16 resampler_;
};
