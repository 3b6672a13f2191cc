#pragma once
// Synthetic libraries for load tests and benchmarks: songs without media files whose titles,
// singers and albums mix Chinese and Latin words the way real libraries do, with genres that
// fall into one mood collection, into two, or into none, and play counts spread from a few very
// popular songs to many never played. The same count always gives the same songs.
#include <functional>

#include "server/library.h"

namespace tunova::catalogue {

// The song numbered `n` (0, 1, 2, ...) of every synthetic library.
Song syntheticSong(long long n);

// Adds `count` synthetic songs to `library`; `progress` (may be empty) hears how many are in.
void makeSynthetic(Library& library, long long count,
                   const std::function<void(long long)>& progress = nullptr);

} // namespace tunova::catalogue
