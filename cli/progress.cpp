#include "cli/progress.h"

#include <cstdio>

#include "text/text.h"

namespace tunova {

namespace {

int widthOf(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
  // The wide ranges: Hangul Jamo, CJK radicals to Yi, Hangul syllables, compatibility
  // ideographs, vertical and compatibility forms, full-width forms, and the supplementary
  // ideographic planes.
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD))
    return 2;
  return 1;
}

std::string printed(const char* format, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, format, value, unit);
  return text;
}

} // namespace

std::string byteText(long long bytes) {
  if (bytes < 1024) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
  const double kb = bytes / 1024.0;
  if (kb < 1024) return printed(kb < 100 ? "%.1f %s" : "%.0f %s", kb, "KB");
  const double mb = kb / 1024.0;
  if (mb < 1024) return printed("%.2f %s", mb, "MB");
  return printed("%.2f %s", mb / 1024.0, "GB");
}

int displayWidth(const std::string& utf8) {
  int width = 0;
  for (std::size_t i = 0; i < utf8.size();)
    width += widthOf(nextCodePoint(utf8, i));
  return width;
}

std::string fitWidth(const std::string& utf8, int width) {
  if (width <= 0) return std::string();
  std::string out;
  int used = 0;
  if (displayWidth(utf8) > width) {
    // Keep what fits in width - 1 columns, then the ellipsis.
    for (std::size_t i = 0; i < utf8.size();) {
      const std::size_t start = i;
      const int w = widthOf(nextCodePoint(utf8, i));
      if (used + w > width - 1) break;
      out.append(utf8, start, i - start);
      used += w;
    }
    out += "…";
    ++used;
  } else {
    out = utf8;
    used = displayWidth(utf8);
  }
  out.append(static_cast<std::size_t>(width - used), ' ');
  return out;
}

std::string songLine(const std::string& name, long long bytes, long long total,
                     long long bytesPerSecond, int columns) {
  constexpr int kBar = 20;
  std::string figures;
  if (total > 0) {
    const long long shown = bytes > total ? total : bytes;
    const int filled = static_cast<int>(shown * kBar / total);
    std::string share = std::to_string(shown * 100 / total) + "%";
    share.insert(0, 4 - share.size(), ' ');
    figures = "[" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(kBar - filled), '-') + "] " + share + "  " +
              byteText(shown) + "/" + byteText(total);
  } else {
    figures = "[" + fitWidth("", kBar) + "] " + fitWidth("", 4) + "  " + byteText(bytes);
  }
  figures += "  " + byteText(bytesPerSecond) + "/s";
  // The name takes what the figures leave, at least a few columns.
  int nameWidth = columns - displayWidth(figures) - 2;
  if (nameWidth < 8) nameWidth = 8;
  if (nameWidth > 40) nameWidth = 40;
  return fitWidth(name, nameWidth) + "  " + figures;
}

std::string totalLine(const BatchCounts& counts, long long bytes, const std::string& rate) {
  std::string line =
      "完成 " + std::to_string(counts.done + counts.skipped) + "/" + std::to_string(counts.chosen);
  if (counts.skipped) line += "  跳过 " + std::to_string(counts.skipped);
  line += "  失败 " + std::to_string(counts.failed);
  if (counts.running) line += "  进行中 " + std::to_string(counts.running);
  return line + "  " + byteText(bytes) + "  " + rate;
}

std::string LiveBlock::redraw(const std::vector<std::string>& lasting,
                              const std::vector<std::string>& live) {
  std::string out;
  // Back to the first line of the last block, then every line written over.
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "F";
  for (const std::string& line : lasting)
    out += "\x1b[2K" + line + "\n";
  for (const std::string& line : live)
    out += "\x1b[2K" + line + "\n";
  // What the last block had below this one is cleared.
  if (static_cast<int>(lasting.size() + live.size()) < drawn_) out += "\x1b[J";
  drawn_ = static_cast<int>(live.size());
  return out;
}

} // namespace tunova
