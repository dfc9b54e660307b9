// Rate against quality on the same 16-kHz speech: Quill beside Opus and Speex wideband.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/quill/speech.h"
#include "voice/dsp/quill/quill_internal.h"

#ifdef QUILL_COMPARE_OPUS
#include <opus/opus.h>
#endif
#ifdef QUILL_COMPARE_SPEEX
#include <speex/speex.h>
#endif

// Quality: segmental SNR against the input, and log-spectral distance over 125-7000 Hz.
namespace {

struct Result {
  double bitsPerSecond;
  std::vector<int16_t> decoded;
};

Result runQuill(const std::vector<int16_t>& pcm, int mode, double rate) {
  QuillInstance* q = nullptr;
  Quill_Create(&q);
  Quill_EncoderInit(q, static_cast<int16_t>(mode));
  Quill_DecoderInit(q);
  if (mode == 1) {
    q->rate = rate;
  } else {
    // The peer reports this rate in every packet.
    int index = 0;
    while (index < 11 && kQuillRateLevel[index] < rate) ++index;
    for (int i = 0; i < 100; ++i) Quill_RateEstUpdate(&q->rateEstimator, i, 30, 480u * i, 60, index);
  }
  Result r{0.0, {}};
  long bits = 0;
  uint16_t packet[300];
  for (size_t pos = 0; pos + 160 <= pcm.size(); pos += 160) {
    const int n = Quill_Encode(q, &pcm[pos], packet);
    if (n <= 0) continue;
    bits += 8L * n;
    int16_t out[960], type;
    const int m = Quill_Decode(q, packet, static_cast<int16_t>(n), out, &type);
    if (m > 0) r.decoded.insert(r.decoded.end(), out, out + m);
  }
  r.bitsPerSecond = bits * 16000.0 / std::max<size_t>(r.decoded.size(), 1);
  Quill_Free(q);
  return r;
}

#ifdef QUILL_COMPARE_OPUS
Result runOpus(const std::vector<int16_t>& pcm, int rate) {
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &err);
  OpusDecoder* dec = opus_decoder_create(16000, 1, &err);
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(rate));
  opus_encoder_ctl(enc, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));
  Result r{0.0, {}};
  long bits = 0;
  unsigned char packet[1500];
  for (size_t pos = 0; pos + 320 <= pcm.size(); pos += 320) {
    const int n = opus_encode(enc, &pcm[pos], 320, packet, sizeof(packet));
    if (n < 0) break;
    bits += 8L * n;
    int16_t out[320];
    const int m = opus_decode(dec, packet, n, out, 320, 0);
    if (m > 0) r.decoded.insert(r.decoded.end(), out, out + m);
  }
  r.bitsPerSecond = bits * 16000.0 / std::max<size_t>(r.decoded.size(), 1);
  opus_encoder_destroy(enc);
  opus_decoder_destroy(dec);
  return r;
}
#endif

#ifdef QUILL_COMPARE_SPEEX
Result runSpeex(const std::vector<int16_t>& pcm, int rate) {
  void* enc = speex_encoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
  void* dec = speex_decoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
  speex_encoder_ctl(enc, SPEEX_SET_BITRATE, &rate);
  int frame = 320;
  speex_encoder_ctl(enc, SPEEX_GET_FRAME_SIZE, &frame);
  SpeexBits bits;
  speex_bits_init(&bits);
  Result r{0.0, {}};
  long total = 0;
  std::vector<int16_t> in(frame), out(frame);
  char buf[2000];
  for (size_t pos = 0; pos + frame <= pcm.size(); pos += frame) {
    std::copy(pcm.begin() + pos, pcm.begin() + pos + frame, in.begin());
    speex_bits_reset(&bits);
    speex_encode_int(enc, in.data(), &bits);
    const int n = speex_bits_write(&bits, buf, sizeof(buf));
    total += 8L * n;
    speex_bits_read_from(&bits, buf, n);
    speex_decode_int(dec, &bits, out.data());
    r.decoded.insert(r.decoded.end(), out.begin(), out.end());
  }
  r.bitsPerSecond = total * 16000.0 / std::max<size_t>(r.decoded.size(), 1);
  speex_bits_destroy(&bits);
  speex_encoder_destroy(enc);
  speex_decoder_destroy(dec);
  return r;
}
#endif

int bestDelay(const std::vector<int16_t>& x, const std::vector<int16_t>& y) {
  int best = 0;
  double bestC = -1e300;
  for (int d = 0; d < 800; ++d) {
    double c = 0;
    for (size_t i = 8000; i + d < y.size() && i < x.size() && i < 8000 + 64000; ++i) c += double(x[i]) * y[i + d];
    if (c > bestC) bestC = c, best = d;
  }
  return best;
}

double segSnr(const std::vector<int16_t>& x, const std::vector<int16_t>& y, int d) {
  double sum = 0;
  int n = 0;
  for (size_t i = 0; i + 320 <= x.size() && i + 320 + d <= y.size(); i += 320) {
    double e = 0, s = 0;
    for (int k = 0; k < 320; ++k) {
      const double diff = double(x[i + k]) - y[i + k + d];
      e += diff * diff;
      s += double(x[i + k]) * x[i + k];
    }
    if (s / 320 < 1e4) continue;
    sum += std::clamp(10 * std::log10((s + 1) / (e + 1)), -10.0, 35.0);
    ++n;
  }
  return n ? sum / n : 0;
}

double logSpectralDistance(const std::vector<int16_t>& x, const std::vector<int16_t>& y, int d) {
  auto ws = std::make_unique<QuillFftWork>();
  double win[320];
  for (int i = 0; i < 320; ++i) win[i] = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / 320);
  double sum = 0;
  int n = 0;
  for (size_t i = 0; i + 320 <= x.size() && i + 320 + d <= y.size(); i += 160) {
    double e = 0;
    for (int k = 0; k < 320; ++k) e += double(x[i + k]) * x[i + k];
    if (e / 320 < 1e4) continue;
    double rx[512] = {}, ix[512] = {}, ry[512] = {}, iy[512] = {};
    for (int k = 0; k < 320; ++k) rx[k] = x[i + k] * win[k], ry[k] = y[i + k + d] * win[k];
    const int dims[1] = {512};
    fftn(ws.get(), 1, dims, rx, ix, -1, 1.0);
    fftn(ws.get(), 1, dims, ry, iy, -1, 1.0);
    double acc = 0;
    int bins = 0;
    for (int k = 4; k <= 224; ++k) {  // 125 .. 7000 Hz
      const double px = rx[k] * rx[k] + ix[k] * ix[k] + 1e3, py = ry[k] * ry[k] + iy[k] * iy[k] + 1e3;
      const double dl = 10 * std::log10(px / py);
      acc += dl * dl;
      ++bins;
    }
    sum += std::sqrt(acc / bins);
    ++n;
  }
  return n ? sum / n : 0;
}

void report(const char* name, double target, const Result& r, const std::vector<int16_t>& pcm) {
  const int d = bestDelay(pcm, r.decoded);
  std::printf("%-14s %7.0f %9.0f %7d %9.2f %9.2f\n", name, target, r.bitsPerSecond, d, segSnr(pcm, r.decoded, d),
              logSpectralDistance(pcm, r.decoded, d));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int16_t> pcm;
  for (int i = 1; i < argc; ++i) {
    const std::vector<int16_t> part = quillbench::readWav(argv[i]);
    pcm.insert(pcm.end(), part.begin(), part.end());
  }
  if (pcm.empty()) pcm = quillbench::speech();
  std::printf("%.1f s of 16-kHz speech\n", pcm.size() / 16000.0);
  std::printf("%-14s %7s %9s %7s %9s %9s\n", "codec", "target", "bit/s", "delay", "segSNR dB", "LSD dB");
  for (int rate : {10000, 16000, 24000, 32000}) {
    report("quill 30 ms", rate, runQuill(pcm, 1, rate), pcm);
    // The channel-adaptive mode codes 60-ms frames below 27000 bit/s and 30-ms frames above.
    if (rate < 27000) report("quill 60 ms", rate, runQuill(pcm, 0, rate), pcm);
#ifdef QUILL_COMPARE_OPUS
    report("opus wb", rate, runOpus(pcm, rate), pcm);
#endif
#ifdef QUILL_COMPARE_SPEEX
    report("speex wb", rate, runSpeex(pcm, rate), pcm);
#endif
  }
  return 0;
}
