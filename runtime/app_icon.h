#pragma once
// The program's own 32 x 32 icon, a round blue badge with a white note, as ARGB pixels row by
// row from the top (transparent outside the badge). Each window host makes its platform's icon
// from these.
#include <array>
#include <cstdint>

namespace tunova {

inline constexpr int kAppIconSize = 32;

inline std::array<std::uint32_t, kAppIconSize * kAppIconSize> appIconPixels() {
  std::array<std::uint32_t, kAppIconSize * kAppIconSize> pixels{};
  for (int y = 0; y < kAppIconSize; ++y) {
    for (int x = 0; x < kAppIconSize; ++x) {
      const double dx = x - 15.5, dy = y - 15.5;
      const bool inside = dx * dx + dy * dy <= 15.5 * 15.5;
      const bool stem = x >= 17 && x <= 19 && y >= 7 && y <= 22;
      const bool flag = y >= 7 && y <= 10 && x >= 17 && x <= 24;
      const double hx = x - 14.0, hy = y - 22.0;
      const bool head = hx * hx / 20.0 + hy * hy / 10.0 <= 1.0;
      const std::uint32_t rgb = stem || flag || head ? 0xFFFFFF : 0x1E6EC8;
      pixels[static_cast<std::size_t>(y * kAppIconSize + x)] = inside ? 0xFF000000u | rgb : 0;
    }
  }
  return pixels;
}

} // namespace tunova
