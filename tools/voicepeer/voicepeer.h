// voicepeer's shared pieces: command-line options, file devices, and stop requests by signal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct VoicePeerArgs {
  int localPort = 0;
  int remotePort = 0;
  std::string remoteIp = "127.0.0.1";
  std::string in;
  std::string out;
  double seconds = 5.0;
  std::string codec = "PCMU";
  int packet = 0;
  std::string dtmf;
  int dtmfAtMs = 1000;
  int dtmfGapMs = 400;
  bool send = true;
  bool playout = true;
  // Engine mode: what is played is captured again at once (an acoustic loop on the manual device).
  bool echo = false;
  // Engine mode: processing settings as call control applies them (-1 leaves the engine's default).
  int ecStatus = -1;
  int ecType = -1;
  int agc = -1;
  int vad = -1;
  // Idle mode: one channel kept listening, as a call on hold.
  bool hold = false;
  // Engine mode: the seconds count from the first packet received, so a peer that was slow to
  // start is still recorded to its end.
  bool afterFirstPacket = false;
  // Call mode.
  int sipPort = 0;
  std::string user;
  std::string callee;  // SIP URI to call; empty = wait for a call and answer it
  double hangupAfter = 0;
};

// Parses "--name value" options; false for an unknown option or a missing value.
bool ParseVoicePeerArgs(int argc, char** argv, VoicePeerArgs* a);
// The telephone event of a --dtmf character: 0-9, * 10, # 11, A-D 12-15; -1 for any other.
int DigitEvent(char c);
// Selects the file audio devices with the given capture and playout files.
void ConfigureFileDevices(const VoicePeerArgs& a);
// Starts (or stops) the loop that captures every 10 ms what the manual playout device just played.
void StartEchoLoop();
void StopEchoLoop();
// Stop requests (SIGTERM, SIGINT) go to one thread that waits for them; call before any other
// thread starts, so every thread leaves these signals to it.
void InstallVoicePeerSignals();
bool VoicePeerStopRequested();
// Waits until the clock (plat::NowMs) reaches untilMs or a stop is requested; true when stopped.
bool WaitForStopUntil(uint64_t untilMs);
// Runs fn on the signal thread when a stop is requested (to wake another wait).
void OnVoicePeerStop(std::function<void()> fn);
// The call mode (call control, SIP user agent and engine); 2 when this build has no SIP user agent.
int CallMain(int argc, char** argv);
