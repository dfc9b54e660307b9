// Voice engine shared definitions: the codec record, codec kinds, engine error codes and block sizes.
#pragma once

#include <cstdint>

// The codec record passed in and out of the engine's API.
struct Codecinst {
  int pltype;        // RTP payload type
  char plname[32];   // payload name, zero-terminated
  int plfreq;        // sampling frequency, Hz
  int pacsize;       // samples per packet
  int channels;      // always 1
  int rate;          // bit/s
};

// Codec kinds, in the order of the engine's codec table.
enum SonraCodecKind : int {
  kCodecPcmu = 0,
  kCodecPcma = 1,
  kCodecOstrelWb = 2,
  kCodecIlbc = 3,
  kCodecOstrel711U = 4,
  kCodecOstrel711A = 5,
  kCodecQuill = 6,
  kCodecTelephoneEvent = 7,
  kCodecCn = 8,
  kCodecKindCount = 9
};

inline constexpr int kSonraMaxChannels = 16;
inline constexpr int kSonraMaxPlaying = 4;
inline constexpr int kSonraMaxCodecs = 20;
inline constexpr int kSonraMaxPacketSizes = 6;
inline constexpr int kSonraNetworkStatusCount = 4;

// Sound card block: 10 ms at 48000 Hz, mono, 16 bit.
inline constexpr int kCardRate = 48000;
inline constexpr int kCardBlockSamples = 480;
inline constexpr int kCardBlockBytes = 960;
// The engine's wideband block: 10 ms at 16000 Hz.
inline constexpr int kWbBlockSamples = 160;
inline constexpr int kNbBlockSamples = 80;

// Last-error codes: 8000s refuse the caller's request, 9000s are warnings, 10000s platform failures.
enum SonraVEError : int {
  VE_PORT_NOT_SET = 8001,
  VE_CHANNEL_NOT_VALID = 8002,
  VE_NOT_SUPPORTED = 8003,
  VE_NO_CODEC = 8004,
  VE_INVALID_VALUE = 8005,
  VE_PORT_RANGE = 8006,
  VE_CODEC_NAME = 8007,
  VE_CODEC_FREQUENCY = 8008,
  VE_PAYLOAD_TYPE = 8009,
  VE_PACKET_SIZE = 8010,
  VE_LISTENING = 8012,
  VE_PLAYOUT_NOT_CREATED = 8013,
  VE_PLAYOUT_LIMIT = 8014,
  VE_CAPTURE_START_1 = 8015,
  VE_CAPTURE_START_2 = 8016,
  VE_SENDING = 8018,
  VE_SEND_ADDRESS = 8019,
  VE_PLAYOUT_RUNNING = 8020,
  VE_VERSION_BUFFER = 8021,
  VE_DTMF_EVENT = 8022,
  VE_CODEC_CHANNELS = 8023,
  VE_RECEIVE_SIDE = 8024,
  VE_ENCRYPTION = 8025,
  VE_NOT_INITIALIZED = 8026,
  VE_DTMF_NOT_SENDING = 8027,
  VE_TRANSPORT = 8028,
  VE_DTMF_QUEUE_FULL = 8029,  // telephone events queued to the limit; the digit is not sent
  VE_CAPTURE_CLOSE = 8030,
  VE_MIC_VOLUME = 9002,
  VE_SPEAKER_VOLUME = 9003,
  VE_MIC_OPEN = 9004,
  VE_SPEAKER_OPEN = 9005,
  VE_SPEAKER_VOLUME_READ = 9006,
  VE_RTCP_SOCKET = 9007,
  VE_AEC_INIT = 9008,
  VE_AES_INIT = 9009,
  VE_SEND_SOCKET_BIND = 9010,
  VE_SLOW_SOUND_CARD = 9013,
  VE_PLAYOUT_TEST = 10001,
  VE_CAPTURE_OPEN = 10002,
  VE_RECEIVE_SOCKET = 10003,
  VE_PLAYOUT_START_1 = 10004,  // through 10009 for results -1..-5 and any other
  VE_PLAYOUT_START_OTHER = 10009,
  VE_RTP_RECEIVE_THREAD = 10011,
  VE_CAPTURE_START_3 = 10012,
  VE_PLAYOUT_OPEN = 10013,
  VE_WINSOCK = 10014,
  VE_SEND_SOCKET = 10015,
  VE_FILE = 10016,
  VE_RECORD_ERROR = 10020,
  VE_PLAYOUT_TEST_2 = 80017,
};

// Saturates a 32-bit value to 16 bits.
inline int16_t SonraSat16(int32_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
