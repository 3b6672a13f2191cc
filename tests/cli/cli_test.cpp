// tunova-cli's own pieces: how it reads a selection of rows, how it draws progress, and the
// JSON it writes for scripts.
#include <gtest/gtest.h>

#include "cli/progress.h"
#include "cli/rows_json.h"
#include "cli/selection.h"

namespace tunova {
namespace {

std::vector<int> rowsOf(const std::string& text, int rowCount) {
  Selection selection;
  std::string error;
  std::vector<int> rows;
  EXPECT_TRUE(parseSelection(text, selection, error)) << text << ": " << error;
  EXPECT_TRUE(chosenRows(selection, rowCount, rows, error)) << text << ": " << error;
  return rows;
}

TEST(Selection, NumbersRangesListsAndAll) {
  EXPECT_EQ(rowsOf("7", 60), (std::vector<int>{7}));
  EXPECT_EQ(rowsOf("1-3,5,10-12", 60), (std::vector<int>{1, 2, 3, 5, 10, 11, 12}));
  // Ascending and each row once, whatever order and overlaps were typed.
  EXPECT_EQ(rowsOf("10-12, 1-3 ,2,11", 60), (std::vector<int>{1, 2, 3, 10, 11, 12}));
  EXPECT_EQ(rowsOf("4-4", 60), (std::vector<int>{4}));
  EXPECT_EQ(rowsOf("all", 3), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(rowsOf("all", 0).empty());
}

TEST(Selection, MalformedTextIsRefusedWithAReason) {
  for (const char* text : {"", "0", "01", "-1", "2-", "-", "1abc", "1,,2", "1,", ",1", "3-1",
                           "1-2-3", "1 2", "ALL", "1234567", "+1", "1.5"}) {
    Selection selection;
    std::string error;
    EXPECT_FALSE(parseSelection(text, selection, error)) << "\"" << text << "\"";
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Selection, RowsBeyondTheListAreRefused) {
  Selection selection;
  std::string error;
  std::vector<int> rows;
  ASSERT_TRUE(parseSelection("1-3,59-61", selection, error));
  EXPECT_FALSE(chosenRows(selection, 60, rows, error));
  EXPECT_NE(error.find("no row 61"), std::string::npos) << error;
  ASSERT_TRUE(parseSelection("1", selection, error));
  EXPECT_FALSE(chosenRows(selection, 0, rows, error));
  EXPECT_NE(error.find("no row 1:"), std::string::npos) << error;
}

TEST(Progress, BytesAndWidths) {
  EXPECT_EQ(byteText(0), "0 B");
  EXPECT_EQ(byteText(1023), "1023 B");
  EXPECT_EQ(byteText(1536), "1.5 KB");
  EXPECT_EQ(byteText(300 * 1024), "300 KB");
  EXPECT_EQ(byteText(3 * 1024 * 1024 + 400 * 1024), "3.39 MB");
  EXPECT_EQ(byteText(5LL * 1024 * 1024 * 1024 / 4), "1.25 GB");
  // Chinese characters take two columns; the cut never splits one and marks itself.
  EXPECT_EQ(displayWidth("月光 - ab"), 9);
  EXPECT_EQ(fitWidth("月光", 6), "月光  ");
  EXPECT_EQ(fitWidth("你的名字是月光", 6), "你的… "); // five columns, then one of padding
  EXPECT_EQ(displayWidth(fitWidth("你的名字是月光", 7)), 7);
  EXPECT_EQ(fitWidth("abcdef", 4), "abc…");
  EXPECT_EQ(fitWidth("\xff\xfe", 4), "\xff\xfe  "); // broken bytes still count, one each
}

TEST(Progress, SongLinesShowTheShareOfTheWholeSong) {
  const std::string half = songLine("歌曲1 - 歌手", 512 * 1024, 1024 * 1024, 100 * 1024, 100);
  EXPECT_NE(half.find("[##########----------]  50%"), std::string::npos) << half;
  EXPECT_NE(half.find("512 KB/1.00 MB  100 KB/s"), std::string::npos) << half;
  EXPECT_EQ(half.rfind("歌曲1 - 歌手", 0), 0u);
  // More than the announced length never draws past the bar; an unknown length draws none.
  const std::string over = songLine("x", 3000, 1000, 0, 100);
  EXPECT_NE(over.find("[####################] 100%"), std::string::npos) << over;
  const std::string unknown = songLine("x", 2048, -1, 0, 100);
  EXPECT_EQ(unknown.find('#'), std::string::npos) << unknown;
  EXPECT_NE(unknown.find("2.0 KB"), std::string::npos) << unknown;
  // A narrow terminal shortens the name, not the figures.
  const std::string narrow = songLine("你的名字是月光 - 唐果", 1, 2, 0, 60);
  EXPECT_LE(displayWidth(narrow), 60) << narrow;
  EXPECT_NE(narrow.find("50%"), std::string::npos);
}

TEST(Progress, TheTotalLineCountsWhatIsThere) {
  BatchCounts counts;
  counts.chosen = 12;
  counts.done = 7;
  counts.skipped = 2;
  counts.failed = 1;
  counts.running = 2;
  EXPECT_EQ(totalLine(counts, 3 * 1024 * 1024, "下载速度：1.5 MB"),
            "完成 9/12  跳过 2  失败 1  进行中 2  3.00 MB  下载速度：1.5 MB");
}

TEST(Progress, TheLiveBlockIsRedrawnInPlace) {
  LiveBlock block;
  // First draw: nothing to go back over.
  EXPECT_EQ(block.redraw({}, {"a", "b"}), "\x1b[2Ka\n\x1b[2Kb\n");
  // Then back over the two lines; the ended song's line stays above the new block.
  EXPECT_EQ(block.redraw({"done"}, {"c"}), "\x1b[2F\x1b[2Kdone\n\x1b[2Kc\n");
  // A shorter block clears what the last one left below it.
  EXPECT_EQ(block.redraw({}, {}), "\x1b[1F\x1b[J");
}

TEST(RowsJson, EscapesAndDurations) {
  EXPECT_EQ(jsonString("a\"b\\c\td\ne\x01"), "\"a\\\"b\\\\c\\td\\ne\\u0001\"");
  EXPECT_EQ(jsonString("月光"), "\"月光\"");
  // Bytes that are not UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate)
  // become U+FFFD, so the output is always valid JSON text.
  EXPECT_EQ(jsonString("a\xff"
                       "b"),
            "\"a\xEF\xBF\xBD"
            "b\"");
  EXPECT_EQ(jsonString("\xE6\x9C"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(jsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(durationSeconds("00:04"), 4);
  EXPECT_EQ(durationSeconds("03:25"), 205);
  EXPECT_EQ(durationSeconds("123:45"), 123 * 60 + 45);
  for (const char* bad : {"", "4", ":04", "00:4", "00:60", "0a:04", "00:04x", "-1:00"})
    EXPECT_EQ(durationSeconds(bad), -1) << bad;
}

TEST(RowsJson, RowsBecomeObjects) {
  EXPECT_EQ(rowsJson({}), "[]");
  const std::string json =
      rowsJson({{"1", "月光", "唐果", "00:04", "http://h/1.mp3"}, {"2", "x", "y", "?", "u"}});
  EXPECT_EQ(json, "[\n {\"number\": 1, \"title\": \"月光\", \"singer\": \"唐果\", \"duration\": 4, "
                  "\"duration_text\": \"00:04\", \"address\": \"http://h/1.mp3\"},\n {\"number\": "
                  "2, \"title\": \"x\", \"singer\": \"y\", \"duration\": null, \"duration_text\": "
                  "\"?\", \"address\": \"u\"}\n]");
}

} // namespace
} // namespace tunova
