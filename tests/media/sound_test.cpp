// The completion sound: several at once, each on a worker of its own, all reaching their end.
#include "runtime/sound.h"

#include <gtest/gtest.h>

#include "media/chime.h"

using namespace tunova;

TEST(Sound, OverlappingChimesEachPlayToTheirEnd) {
  const int started = soundsStarted();
  const int before = soundsPlayedToEnd();
  for (int i = 0; i < 3; ++i)
    playWaveAsync(completionSound());
  playWaveAsync(Bytes{}); // nothing to play: ignored
  waitForSounds(20000);
  EXPECT_EQ(soundsStarted() - started, 3);
  // Without an output device (a test machine without sound) the platform refuses to play.
  if (audioOutputAvailable()) {
    EXPECT_EQ(soundsPlayedToEnd() - before, 3);
  }
}
