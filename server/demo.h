#pragma once
// The demo library: about forty short songs of our own (distinct generated melodies, encoded
// with LAME, ID3v2 tags written with TagLib) with invented Chinese titles and singers, spread
// over the six genre moods.
#include <string>

namespace tunova::catalogue {

// Writes the songs into `folder` (created as needed); returns how many were written.
int makeDemoLibrary(const std::string& folder);

} // namespace tunova::catalogue
