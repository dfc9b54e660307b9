// Notification sounds (rings, key clicks): one WAV file at a time on the default sound card.
#pragma once

#include <string>

namespace plat {

// Plays a 16-bit (or 8-bit) PCM WAV file asynchronously, looping when asked; a new sound stops the
// one playing. Silent (but still reported as playing) when there is no sound card, when the
// build has no PortAudio, or when the audio backend is the file or manual device: sounds never
// reach the file device of a headless test. False only for a file that cannot be read.
bool PlaySoundFile(const std::string& path, bool loop);
// Stops whatever plays; nothing when silent.
void StopSound();
// The file last started and whether it still plays (a looping sound plays until stopped; a
// silent one counts as finished at once unless it loops).
std::string CurrentSound();
bool SoundPlaying();

}  // namespace plat
