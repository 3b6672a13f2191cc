#pragma once
// The demo library: sixty songs of our own (distinct generated melodies, encoded with LAME,
// ID3v2 tags written with TagLib) with invented titles and singers, forty-two of them Chinese
// and the rest English or pinyin, spread over the six genre moods.
#include <string>

namespace tunova::catalogue {

// Full: songs of 20 to 40 s. Short: the same songs at 3 to 5 s, quick to make for tests.
enum class DemoLength { Full, Short };

// Writes the songs into `folder` (created as needed); returns how many were written.
int makeDemoLibrary(const std::string& folder, DemoLength length = DemoLength::Full);

} // namespace tunova::catalogue
