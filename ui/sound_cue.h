// The cue the station sounds when it puts a new secret into the secret box:
// 2000 Hz for 500 ms.
#pragma once

namespace ui {

class SoundCue {
 public:
  virtual ~SoundCue() = default;
  virtual void Play(int frequencyHz, int durationMs) = 0;
};

// A real tone on the default audio output when a player program is installed
// (aplay or pacat, fed through a pipe: no file is written); the desktop bell
// otherwise. Returns at once. Window thread.
SoundCue& SystemSoundCue();

SoundCue& ActiveSoundCue();
void UseSoundCue(SoundCue* cue);  // nullptr restores SystemSoundCue()

// Window thread only.
void PlaySecretCue();

}  // namespace ui
