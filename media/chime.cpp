#include "media/chime.h"

#include <cmath>
#include <cstring>
#include <string>

namespace tunova {

namespace {

void put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void putTag(Bytes& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}

void putInfo(Bytes& b, const char* tag, std::string text, std::size_t size) {
  // A zero-terminated text padded with zeros to `size` bytes (even, as RIFF wants).
  text.resize(size, '\0');
  putTag(b, tag);
  put32(b, static_cast<std::uint32_t>(size));
  b.insert(b.end(), text.begin(), text.end());
}

Bytes buildChime() {
  constexpr std::uint32_t kRate = 44100, kFrames = 34560, kChannels = 2;
  constexpr std::uint32_t kDataBytes = kFrames * kChannels * 2; // 138,240
  constexpr std::uint32_t kListBytes = 200;
  Bytes b;
  b.reserve(138492);
  putTag(b, "RIFF");
  put32(b, 4 + (8 + 16) + (8 + kListBytes) + (8 + kDataBytes)); // 138,484
  putTag(b, "WAVE");

  putTag(b, "fmt ");
  put32(b, 16);
  put16(b, 1);
  put16(b, kChannels);
  put32(b, kRate);
  put32(b, kRate * kChannels * 2);
  put16(b, kChannels * 2);
  put16(b, 16);

  putTag(b, "LIST");
  put32(b, kListBytes);
  putTag(b, "INFO");
  // 4 + (8 + 40) + (8 + 60) + (8 + 72) = 200
  putInfo(b, "INAM", "Tunova download chime", 40);
  putInfo(b, "ICMT", "Two bell tones, E6 then B6, fading out.", 60);
  putInfo(b, "ISFT", "Tunova - synthesised at start-up, no samples of others", 72);

  putTag(b, "data");
  put32(b, kDataBytes);
  const double kPi = 3.14159265358979323846;
  const double notes[2] = {1318.51, 1975.53};
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    double v = 0;
    for (int k = 0; k < 2; ++k) {
      const double start = k * 0.16;
      if (t < start) continue;
      const double u = t - start;
      const double attack = std::min(1.0, u / 0.004);
      const double env = attack * std::exp(-u * 6.0);
      v += env * (std::sin(2 * kPi * notes[k] * u) + 0.3 * std::sin(2 * kPi * 2 * notes[k] * u));
    }
    // A short fade at the very end so the sound stops without a click.
    const double tail = std::min(1.0, (kFrames - i) / 441.0);
    const auto s = static_cast<std::int16_t>(std::lround(v * tail * 0.35 * 32767));
    put16(b, static_cast<std::uint16_t>(s));
    put16(b, static_cast<std::uint16_t>(s));
  }
  return b;
}

} // namespace

const Bytes& completionSound() {
  static const Bytes chime = buildChime();
  return chime;
}

} // namespace tunova
