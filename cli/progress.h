#pragma once
// What tunova-cli shows while songs arrive: on a terminal, a line per running song with its bar,
// bytes and speed, and a total line, redrawn in place; texts are UTF-8.
#include <string>
#include <vector>

namespace tunova {

// Bytes as "512 B", "12.5 KB", "3.40 MB", "1.25 GB" (powers of 1024).
std::string byteText(long long bytes);

// Columns a UTF-8 text takes on a terminal (East Asian wide characters take two).
int displayWidth(const std::string& utf8);
// The text cut (with "…") or padded with spaces to exactly `width` columns.
std::string fitWidth(const std::string& utf8, int width);

// One running song: "NAME  [#####-----]  42%  1.20 MB/2.85 MB  310 KB/s", `columns` wide at
// most. `total` < 0: the length is not known yet (no bar, no share).
std::string songLine(const std::string& name, long long bytes, long long total,
                     long long bytesPerSecond, int columns);

struct BatchCounts {
  int chosen = 0;
  int done = 0;    // saved whole in this run
  int skipped = 0; // already there whole
  int failed = 0;
  int running = 0;
};
// "完成 3/12  跳过 1  失败 0  进行中 3  4.50 MB  下载速度：1.20 MB": the songs there (saved or
// skipped) of those chosen, the bytes received and `rate`, the rate as the status bar says it.
std::string totalLine(const BatchCounts& counts, long long bytes, const std::string& rate);

// Redraws a block of lines in place on a terminal: each call first writes the lines that stay
// (ended songs), above the block, then the block itself over the last one.
class LiveBlock {
public:
  // The escape sequences and text for one redraw.
  std::string redraw(const std::vector<std::string>& lasting, const std::vector<std::string>& live);

private:
  int drawn_ = 0; // lines of the last block
};

} // namespace tunova
