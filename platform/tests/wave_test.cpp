// Tests of the wave devices (manual and file backends), the mixer stand-in and WAV files.
#include "platform/wave.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/mmtimer.h"
#include "platform/sync.h"
#include "test_util.h"

namespace {

WAVEFORMATEX Pcm(DWORD rate, WORD channels = 1) {
  return WAVEFORMATEX{WAVE_FORMAT_PCM, channels, rate, rate * channels * 2u, static_cast<WORD>(channels * 2), 16, 0};
}

// Headers over their own buffers, as the sound-card code keeps them.
struct Headers {
  Headers(size_t count, size_t bytes) : buffers(count, std::vector<char>(bytes)), hdr(count) {
    for (size_t i = 0; i < count; ++i) {
      hdr[i].lpData = buffers[i].data();
      hdr[i].dwBufferLength = static_cast<DWORD>(bytes);
    }
  }
  // Prepares every header and queues it for capture.
  void QueueCapture(HWAVEIN h) {
    for (auto& x : hdr) {
      waveInPrepareHeader(h, &x, sizeof x);
      waveInAddBuffer(h, &x, sizeof x);
    }
  }
  // Takes every header back (reset) and unprepares it.
  void ReleaseCapture(HWAVEIN h) {
    waveInReset(h);
    for (auto& x : hdr) waveInUnprepareHeader(h, &x, sizeof x);
  }
  std::vector<int16_t> samples(size_t i) const {
    std::vector<int16_t> s(hdr[i].dwBytesRecorded / 2);
    std::memcpy(s.data(), buffers[i].data(), s.size() * 2);
    return s;
  }
  std::vector<std::vector<char>> buffers;
  std::vector<WAVEHDR> hdr;
};

DWORD Pos(HWAVEIN h) {
  MMTIME t{TIME_SAMPLES, {0}};
  EXPECT_EQ(waveInGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  return t.u.sample;
}

DWORD Pos(HWAVEOUT h) {
  MMTIME t{TIME_SAMPLES, {0}};
  EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  return t.u.sample;
}

std::vector<int16_t> Ramp(size_t n, int start = 1) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int>(i));
  return v;
}

class PlatformWave : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetAudioBackend(plat::AudioBackend::Manual);
    plat::ManualWave::ResetFaults();
    plat::SetMicVolume(plat::kMicVolumeUnity);
    plat::SetSpeakerVolume(plat::kMixerVolumeMax);
    plat::SetMicMute(false);
    plat::SetSpeakerMute(false);
    plat::SetWaveInProbe(nullptr);
  }
  void TearDown() override {
    plat::ManualWave::ResetFaults();
    plat::SetAudioBackend(plat::AudioBackend::Default);
    plat::SetWaveInFile("");
    plat::SetWaveOutFile("");
    plat::SetWaveOutContinues(false);
  }
};

// Only a PortAudio stream has a capture latency of its own; the manual device hands samples on at once.
TEST_F(PlatformWave, CaptureLatencyOfADeviceWithoutOne) {
  EXPECT_EQ(plat::CaptureLatencyMs(), 0u);
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN h = nullptr;
  ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(plat::CaptureLatencyMs(), 0u);
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, CaptureFillsHeadersInOrderAndPublishesWhenFull) {
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN h = nullptr;
  ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  HWAVEIN other = nullptr;
  EXPECT_EQ(waveInOpen(&other, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);  // one user at a time
  Headers hs(3, 960);
  for (auto& hdr : hs.hdr) {
    ASSERT_EQ(waveInPrepareHeader(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
  }
  std::vector<int16_t> in = Ramp(1000);
  EXPECT_EQ(plat::ManualWave::Capture(in.data(), in.size()), 0u);  // not started: nothing captured
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  EXPECT_EQ(plat::ManualWave::Capture(in.data(), in.size()), 1000u);
  EXPECT_EQ(hs.hdr[0].dwBytesRecorded.load(), 960u);
  EXPECT_TRUE(hs.hdr[0].dwFlags & WHDR_DONE);
  EXPECT_EQ(hs.hdr[1].dwBytesRecorded.load(), 960u);
  EXPECT_EQ(hs.hdr[2].dwBytesRecorded.load(), 0u);  // partly filled: not handed back yet
  EXPECT_FALSE(hs.hdr[2].dwFlags & WHDR_DONE);
  EXPECT_EQ(hs.samples(1), std::vector<int16_t>(in.begin() + 480, in.begin() + 960));
  EXPECT_EQ(Pos(h), 1000u);
  // Unpreparing or closing with a queued header is refused.
  EXPECT_EQ(waveInUnprepareHeader(h, &hs.hdr[2], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInAddBuffer(h, &hs.hdr[2], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  // Stop hands back the partial header with what it holds.
  ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  EXPECT_EQ(hs.hdr[2].dwBytesRecorded.load(), 80u);
  EXPECT_TRUE(hs.hdr[2].dwFlags & WHDR_DONE);
  // No header queued: samples are dropped and not counted.
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  EXPECT_EQ(plat::ManualWave::Capture(in.data(), 100), 0u);
  EXPECT_EQ(Pos(h), 1000u);
  // Re-queue one header; reset returns it and clears the position.
  ASSERT_EQ(waveInUnprepareHeader(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(h, &hs.hdr[0], sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  ASSERT_EQ(waveInPrepareHeader(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(hs.hdr[0].dwBytesRecorded.load(), 0u);
  EXPECT_EQ(plat::ManualWave::Capture(in.data(), 10), 10u);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(hs.hdr[0].dwBytesRecorded.load(), 20u);
  EXPECT_EQ(Pos(h), 0u);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInStart(h), MMSYSERR_INVALHANDLE);  // a closed handle stays dead
  ASSERT_EQ(waveInOpen(&other, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_NE(other, h);
  EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInClose(other), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, FormatAndDeviceChecks) {
  HWAVEIN h = nullptr;
  WAVEFORMATEX f = Pcm(22050);
  EXPECT_EQ(waveInOpen(&h, 0, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInOpen(&h, 3, &f, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  WAVEFORMATEX bad = Pcm(48000);
  bad.wBitsPerSample = 8;
  EXPECT_EQ(waveInOpen(&h, 0, &bad, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
  bad = Pcm(96000);
  EXPECT_EQ(waveInOpen(&h, 0, &bad, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
  EXPECT_EQ(waveInOpen(&h, 0, nullptr, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&h, 0, &f, 0, 0, 0x00050000 /* event callback */), MMSYSERR_NOTSUPPORTED);
  EXPECT_FALSE(plat::ManualWave::InputOpen());
  WAVEHDR empty;
  ASSERT_EQ(waveInOpen(&h, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInPrepareHeader(h, &empty, sizeof empty), MMSYSERR_INVALPARAM);  // no buffer
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, PlayoutPositionStopsOnUnderrun) {
  WAVEFORMATEX f = Pcm(48000);
  HWAVEOUT h = nullptr;
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers hs(2, 960);
  std::vector<int16_t> a = Ramp(480, 1), b = Ramp(480, 1001);
  std::memcpy(hs.buffers[0].data(), a.data(), 960);
  std::memcpy(hs.buffers[1].data(), b.data(), 960);
  EXPECT_EQ(waveOutWrite(h, &hs.hdr[0], sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  for (auto& hdr : hs.hdr) {
    ASSERT_EQ(waveOutPrepareHeader(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
  }
  std::vector<int16_t> played;
  EXPECT_EQ(plat::ManualWave::Playout(300, &played), 300u);
  EXPECT_EQ(Pos(h), 300u);
  EXPECT_FALSE(hs.hdr[0].dwFlags & WHDR_DONE);
  EXPECT_EQ(waveOutUnprepareHeader(h, &hs.hdr[0], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(plat::ManualWave::Playout(1000, &played), 660u);  // the rest is silence
  EXPECT_TRUE(hs.hdr[0].dwFlags & WHDR_DONE);
  EXPECT_TRUE(hs.hdr[1].dwFlags & WHDR_DONE);
  EXPECT_EQ(Pos(h), 960u);  // reached the written total and stays there
  EXPECT_EQ(plat::ManualWave::Playout(480, &played), 0u);
  EXPECT_EQ(Pos(h), 960u);
  ASSERT_EQ(played.size(), 1780u);
  EXPECT_EQ(std::vector<int16_t>(played.begin(), played.begin() + 480), a);
  EXPECT_EQ(std::vector<int16_t>(played.begin() + 480, played.begin() + 960), b);
  EXPECT_EQ(std::vector<int16_t>(played.begin() + 960, played.end()), std::vector<int16_t>(820, 0));
  // Pause stops the position; reset drops what is queued and starts from 0.
  ASSERT_EQ(waveOutWrite(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  EXPECT_EQ(plat::ManualWave::Playout(100), 0u);
  EXPECT_EQ(Pos(h), 960u);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  EXPECT_EQ(plat::ManualWave::Playout(100), 100u);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_TRUE(hs.hdr[0].dwFlags & WHDR_DONE);
  EXPECT_EQ(Pos(h), 0u);
  for (auto& hdr : hs.hdr) EXPECT_EQ(waveOutUnprepareHeader(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, MixerGainAndMute) {
  WAVEFORMATEX f = Pcm(8000);
  HWAVEIN hi = nullptr;
  HWAVEOUT ho = nullptr;
  ASSERT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&ho, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers in(3, 8);
  in.QueueCapture(hi);
  waveInStart(hi);
  const int16_t src[4] = {1000, -1000, 30000, -30000};
  plat::SetMicVolume(plat::kMicVolumeUnity / 2);
  plat::ManualWave::Capture(src, 4);
  EXPECT_EQ(in.samples(0), (std::vector<int16_t>{500, -500, 15000, -15000}));
  plat::SetMicVolume(plat::kMixerVolumeMax);  // about twice: clipped, never wrapped
  plat::ManualWave::Capture(src, 4);
  EXPECT_EQ(in.samples(1), (std::vector<int16_t>{1999, -1999, 32767, -32768}));
  plat::SetMicMute(true);
  plat::ManualWave::Capture(src, 4);
  EXPECT_EQ(in.samples(2), std::vector<int16_t>(4, 0));
  in.ReleaseCapture(hi);
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);

  Headers out(1, 8);
  std::memcpy(out.buffers[0].data(), src, 8);
  waveOutPrepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
  waveOutWrite(ho, &out.hdr[0], sizeof(WAVEHDR));
  plat::SetSpeakerVolume(0x8000);
  std::vector<int16_t> played;
  plat::ManualWave::Playout(4, &played);
  EXPECT_EQ(played, (std::vector<int16_t>{500, -500, 15000, -15000}));
  EXPECT_EQ(plat::GetSpeakerVolume(), 0x8000u);
  plat::SetSpeakerVolume(70000);
  EXPECT_EQ(plat::GetSpeakerVolume(), plat::kMixerVolumeMax);  // kept in range
  waveOutUnprepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(ho), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, InjectedFailuresAndWrappedPositions) {
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN h = nullptr;
  plat::ManualWave::FailNext("waveInOpen", MMSYSERR_ALLOCATED);
  EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers hs(1, 960);
  waveInPrepareHeader(h, &hs.hdr[0], sizeof(WAVEHDR));
  plat::ManualWave::FailNext("waveInAddBuffer", MMSYSERR_NOMEM, 2);
  EXPECT_EQ(waveInAddBuffer(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOMEM);
  EXPECT_EQ(waveInAddBuffer(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOMEM);
  EXPECT_EQ(waveInAddBuffer(h, &hs.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  waveInStart(h);
  plat::ManualWave::SetPositionOffset(0xFFFFFF00u, 0);
  std::vector<int16_t> in = Ramp(300);
  plat::ManualWave::Capture(in.data(), 300);
  EXPECT_EQ(Pos(h), 300u - 0x100u);  // wrapped past 2^32
  // A short block: the device hands back the header early.
  EXPECT_TRUE(plat::ManualWave::CompleteCurrentCaptureHeader());
  EXPECT_EQ(hs.hdr[0].dwBytesRecorded.load(), 600u);
  MMTIME t{TIME_BYTES, {0}};
  waveInGetPosition(h, &t, sizeof t);
  EXPECT_EQ(t.wType, TIME_BYTES);
  EXPECT_EQ(t.u.cb, static_cast<DWORD>((0xFFFFFF00ull + 300) * 2));
  waveInUnprepareHeader(h, &hs.hdr[0], sizeof(WAVEHDR));
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, ProbeIsInjectableAndFailsWhileHeld) {
  EXPECT_TRUE(plat::WaveInUsable(22050));
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN h = nullptr;
  ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_FALSE(plat::WaveInUsable(22050));  // the engine holds the microphone
  waveInClose(h);
  plat::SetWaveInProbe([](DWORD rate) { return rate == 8000; });
  EXPECT_FALSE(plat::WaveInUsable(22050));
  EXPECT_TRUE(plat::WaveInUsable(8000));
}

TEST_F(PlatformWave, WavFileReadingIsDefensive) {
  plat_test::TempDir dir;
  std::string p = dir.file("a.wav");
  std::vector<int16_t> s = Ramp(100);
  ASSERT_TRUE(plat::WriteWavFile(p, s, 16000, 2));
  std::vector<int16_t> back;
  DWORD rate = 0;
  WORD ch = 0;
  ASSERT_TRUE(plat::ReadWavFile(p, &back, &rate, &ch));
  EXPECT_EQ(back, s);
  EXPECT_EQ(rate, 16000u);
  EXPECT_EQ(ch, 2);

  std::string bytes;
  plat::ReadFile(p, &bytes);
  struct Case {
    const char* name;
    std::string data;
    bool ok;
    size_t samples;
  } cases[] = {
      {"truncated header", bytes.substr(0, 30), false, 0},
      {"not riff", "JUNKJUNKJUNKJUNK", false, 0},
      {"data size past the end", bytes.substr(0, bytes.size() - 10), true, 94 /* whole frames */},
      {"odd trailing byte ignored", bytes + "x", true, 100},
      {"fmt size lies", bytes.substr(0, 16) + "\xff\xff\xff\x7f" + bytes.substr(20), false, 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(plat::WriteFileAtomic(p, c.data));
    std::string why;
    back.clear();
    EXPECT_EQ(plat::ReadWavFile(p, &back, &rate, &ch, &why), c.ok) << c.name << ": " << why;
    if (c.ok) {
      EXPECT_EQ(back.size(), c.samples) << c.name;
    }
  }
  // 8-bit unsigned PCM becomes 16-bit.
  std::string eight = bytes.substr(0, 44);
  eight[22] = 1;     // mono
  eight[32] = 1;     // block align
  eight[34] = 8;     // bits
  eight[40] = 3;     // data size
  eight[41] = eight[42] = eight[43] = 0;
  eight += std::string("\x80\xff\x00", 3);
  ASSERT_TRUE(plat::WriteFileAtomic(p, eight));
  ASSERT_TRUE(plat::ReadWavFile(p, &back, &rate, &ch));
  EXPECT_EQ(back, (std::vector<int16_t>{0, 127 << 8, -128 * 256}));
}

// The file devices follow the clock alike whether a periodic event timer paces them (the
// sound-card thread's) or their own fallback timer does.
class PlatformWavePacing : public PlatformWave, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(ByEventTimer, PlatformWavePacing, ::testing::Bool());

TEST_P(PlatformWavePacing, FileDevicesArePacedByTheClock) {
  plat_test::TempDir dir;
  plat::Event tick;
  UINT tickTimer = 0;
  std::string inPath = dir.file("in.wav");
  std::string outPath = dir.file("out.wav");
  std::vector<int16_t> source = Ramp(720);  // 15 ms at 48 kHz
  ASSERT_TRUE(plat::WriteWavFile(inPath, source, 48000, 1));
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveInFile(inPath);
  plat::SetWaveOutFile(outPath);
  plat::SetWaveInLoop(false);

  plat::TestClock clock(1000);
  if (GetParam()) tickTimer = plat::StartEventTimer(2, true, &tick);
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN hi = nullptr;
  HWAVEOUT ho = nullptr;
  ASSERT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&ho, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers in(3, 960);
  in.QueueCapture(hi);
  ASSERT_EQ(waveInStart(hi), MMSYSERR_NOERROR);
  clock.advance(9);
  EXPECT_EQ(in.hdr[0].dwBytesRecorded.load(), 0u);
  clock.advance(1);  // 10 ms: exactly one block
  EXPECT_EQ(in.hdr[0].dwBytesRecorded.load(), 960u);
  EXPECT_EQ(in.samples(0), std::vector<int16_t>(source.begin(), source.begin() + 480));
  EXPECT_EQ(Pos(hi), 480u);
  clock.advance(10);  // the file ends after 240 more samples; then silence
  std::vector<int16_t> expect(source.begin() + 480, source.end());
  expect.resize(480, 0);
  EXPECT_EQ(in.samples(1), expect);

  // Playout: 10 ms already passed with nothing queued (silence on the timeline).
  Headers out(1, 960);
  std::vector<int16_t> tone(480, 1000);
  std::memcpy(out.buffers[0].data(), tone.data(), 960);
  waveOutPrepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
  ASSERT_EQ(waveOutWrite(ho, &out.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(Pos(ho), 0u);
  clock.advance(10);
  EXPECT_TRUE(out.hdr[0].dwFlags & WHDR_DONE);
  EXPECT_EQ(Pos(ho), 480u);
  clock.advance(10);
  EXPECT_EQ(Pos(ho), 480u);  // underrun: position waits
  EXPECT_FALSE(plat::FileExists(outPath));  // still being written to its temporary name

  in.ReleaseCapture(hi);
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);
  waveOutUnprepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(ho), MMSYSERR_NOERROR);

  std::vector<int16_t> written;
  DWORD rate = 0;
  WORD ch = 0;
  ASSERT_TRUE(plat::ReadWavFile(outPath, &written, &rate, &ch));
  EXPECT_EQ(rate, 48000u);
  ASSERT_EQ(written.size(), 4u * 480u);  // 40 ms of timeline
  std::vector<int16_t> timeline(960, 0);
  timeline.insert(timeline.end(), tone.begin(), tone.end());
  timeline.resize(1920, 0);
  EXPECT_EQ(written, timeline);
  EXPECT_FALSE(plat::FileExists(outPath + ".tmp"));
  if (tickTimer) plat::KillTimer(tickTimer);
  EXPECT_EQ(plat::PendingTimerCount(), 0u);  // the devices' pacing timers are gone
}

// A held call closes the playout device and opens it again: while the engine says the call goes
// on, the file keeps what was played before, the closed time as silence, and what comes after;
// otherwise (a new call, or the file changed meanwhile) an open starts the file anew.
TEST_F(PlatformWave, PlayoutFileContinuesAcrossAPauseOfTheSound) {
  plat_test::TempDir dir;
  const std::string outPath = dir.file("heard.wav");
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveOutFile(outPath);
  plat::TestClock clock(5000);
  const WAVEFORMATEX f = Pcm(8000);
  // Plays 10 ms of a level, then 10 ms more of the timeline, and closes: 20 ms (160 samples).
  auto segment = [&](int16_t level) {
    HWAVEOUT ho = nullptr;
    ASSERT_EQ(waveOutOpen(&ho, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Headers out(1, 160);
    std::vector<int16_t> tone(80, level);
    std::memcpy(out.buffers[0].data(), tone.data(), 160);
    waveOutPrepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
    ASSERT_EQ(waveOutWrite(ho, &out.hdr[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    clock.advance(20);
    waveOutUnprepareHeader(ho, &out.hdr[0], sizeof(WAVEHDR));
    ASSERT_EQ(waveOutClose(ho), MMSYSERR_NOERROR);
  };
  auto written = [&] {
    std::vector<int16_t> s;
    DWORD rate = 0;
    WORD ch = 0;
    EXPECT_TRUE(plat::ReadWavFile(outPath, &s, &rate, &ch));
    return s;
  };
  auto expect = [](std::initializer_list<std::pair<int16_t, size_t>> runs) {
    std::vector<int16_t> v;
    for (auto [level, n] : runs) v.insert(v.end(), n, level);
    return v;
  };

  plat::SetWaveOutContinues(true);
  segment(1000);
  clock.advance(30);  // held: 30 ms (240 samples) with the device closed
  segment(2000);
  EXPECT_EQ(written(), expect({{1000, 80}, {0, 80}, {0, 240}, {2000, 80}, {0, 80}}));
  EXPECT_FALSE(plat::FileExists(outPath + ".tmp"));

  // The call ended: the next call's sound starts the file anew.
  plat::SetWaveOutContinues(false);
  clock.advance(1000);
  segment(3000);
  EXPECT_EQ(written(), expect({{3000, 80}, {0, 80}}));

  // A file changed since it was written is not continued (nor damaged).
  plat::SetWaveOutContinues(true);
  ASSERT_TRUE(plat::WriteWavFile(outPath, std::vector<int16_t>(5, 7), 8000, 1));
  segment(4000);
  EXPECT_EQ(written(), expect({{4000, 80}, {0, 80}}));
  plat::SetWaveOutContinues(false);
}

// A capture file longer than what is read at a time, at another rate and in stereo: the device
// gives the file mixed to mono and interpolated linearly, seamlessly across reads and the loop.
TEST_F(PlatformWave, LongCaptureFileIsStreamedAndLoops) {
  plat_test::TempDir dir;
  std::string inPath = dir.file("long.wav");
  const size_t frames = 10000;  // more than one read
  std::vector<int16_t> stereo(frames * 2);
  std::vector<int16_t> mono(frames);
  for (size_t i = 0; i < frames; ++i) {
    stereo[2 * i] = static_cast<int16_t>((i * 37) % 20000 - 10000);
    stereo[2 * i + 1] = static_cast<int16_t>((i * 11) % 6000);
    mono[i] = static_cast<int16_t>((stereo[2 * i] + stereo[2 * i + 1]) / 2);
  }
  ASSERT_TRUE(plat::WriteWavFile(inPath, stereo, 8000, 2));
  const size_t outFrames = frames * 3;  // 8 to 24 kHz
  std::vector<int16_t> expect(outFrames);
  for (size_t i = 0; i < outFrames; ++i) {
    const double at = static_cast<double>(i) * 8000 / 24000;
    const size_t a = static_cast<size_t>(at), b = std::min(a + 1, frames - 1);
    const double t = at - static_cast<double>(a);
    expect[i] = static_cast<int16_t>(std::lround(mono[a] * (1.0 - t) + mono[b] * t));
  }
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveInFile(inPath);
  plat::SetWaveInLoop(true);
  plat::TestClock clock;
  WAVEFORMATEX f = Pcm(24000);
  HWAVEIN hi = nullptr;
  ASSERT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers in(1, 2 * (outFrames + 4800));  // the whole file and 200 ms of its second round
  in.QueueCapture(hi);
  waveInStart(hi);
  clock.advance((outFrames + 4800) / 24);
  ASSERT_EQ(in.hdr[0].dwBytesRecorded.load(), 2 * (outFrames + 4800));
  std::vector<int16_t> got = in.samples(0);
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), got.begin()));
  EXPECT_TRUE(std::equal(expect.begin(), expect.begin() + 4800, got.begin() + static_cast<long>(outFrames)));
  in.ReleaseCapture(hi);
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);
}

TEST_F(PlatformWave, FileCaptureLoopsAndConvertsRate) {
  plat_test::TempDir dir;
  std::string inPath = dir.file("in8k.wav");
  // 8 kHz stereo: two 5-ms frames' worth, left and right averaged.
  std::vector<int16_t> stereo;
  for (int i = 0; i < 40; ++i) {
    stereo.push_back(static_cast<int16_t>(100));
    stereo.push_back(static_cast<int16_t>(300));
  }
  ASSERT_TRUE(plat::WriteWavFile(inPath, stereo, 8000, 2));
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveInFile(inPath);
  plat::SetWaveInLoop(true);
  plat::TestClock clock;
  WAVEFORMATEX f = Pcm(16000);
  HWAVEIN hi = nullptr;
  ASSERT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Headers in(1, 640);  // 20 ms at 16 kHz: four times the 5-ms file, looped
  in.QueueCapture(hi);
  waveInStart(hi);
  clock.advance(20);
  ASSERT_EQ(in.hdr[0].dwBytesRecorded.load(), 640u);
  EXPECT_EQ(in.samples(0), std::vector<int16_t>(320, 200));
  waveInUnprepareHeader(hi, &in.hdr[0], sizeof(WAVEHDR));
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);

  // A capture file that cannot be read: the open fails clearly.
  plat::SetWaveInFile(dir.file("missing.wav"));
  EXPECT_EQ(waveInOpen(&hi, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
  EXPECT_FALSE(plat::ManualWave::InputOpen());
}

TEST_F(PlatformWave, PortAudioOpenWorksOrFailsCleanly) {
  if (!plat::PortAudioAvailable()) GTEST_SKIP() << "built without PortAudio";
  plat::SetAudioBackend(plat::AudioBackend::PortAudio);
  WAVEFORMATEX f = Pcm(48000);
  HWAVEIN h = nullptr;
  MMRESULT r = waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL);
  if (r == MMSYSERR_NOERROR) {
    // A real card: a second open is refused, the probe agrees, close works.
    HWAVEIN again = nullptr;
    EXPECT_EQ(waveInOpen(&again, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  } else {
    EXPECT_FALSE(plat::WaveInUsable(48000));  // no card (CI): the probe says so
    EXPECT_FALSE(plat::ManualWave::InputOpen());
    EXPECT_EQ(waveInGetNumDevs() == 0, r == MMSYSERR_NODRIVER);
  }
}

}  // namespace

// Notification sounds: never on the file device, a looping sound counts as playing until stopped,
// a file that cannot be read is refused and stops the previous sound.
#include "platform/sound.h"

TEST(PlatformSound, SilentOnTheFileDeviceAndStoppable) {
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat_test::TempDir dir;
  const std::string ring = dir.path() + "/ringin.wav";
  ASSERT_TRUE(plat::WriteWavFile(ring, std::vector<int16_t>(800, 1000), 8000, 1));
  EXPECT_TRUE(plat::PlaySoundFile(ring, true));
  EXPECT_EQ(ring, plat::CurrentSound());
  EXPECT_TRUE(plat::SoundPlaying());
  plat::StopSound();
  EXPECT_FALSE(plat::SoundPlaying());
  EXPECT_TRUE(plat::PlaySoundFile(ring, false));
  EXPECT_FALSE(plat::SoundPlaying());  // silent and not looping: over at once
  EXPECT_TRUE(plat::PlaySoundFile(ring, true));
  EXPECT_FALSE(plat::PlaySoundFile(dir.path() + "/missing.wav", true));
  EXPECT_FALSE(plat::SoundPlaying());
  plat::SetAudioBackend(plat::AudioBackend::Default);
}
