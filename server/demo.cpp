#include "server/demo.h"

#include <lame/lame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tunova::catalogue {

namespace {

struct Mood {
  const char* genre;
  const char* album;
  double tempo; // notes per second
  int root;     // semitones above A3
  bool minor;
};

const Mood kMoods[] = {
    {"Rock", "火线", 5.0, 7, false}, {"Pop", "糖果", 4.0, 3, false},
    {"Folk", "山歌", 3.0, 5, false}, {"Romance", "晚风", 2.5, 8, false},
    {"Sad", "雨季", 2.0, 0, true},   {"Oldies", "老唱片", 3.0, 10, false},
};

const char* const kTitles[] = {
    "晴空信号", "霓虹追光", "铁轨之歌", "夜行少年", "热浪", "破晓", "风暴眼", "橘子汽水", "星星糖",
    "周末旋转", "你好夏天", "口袋里的海", "晚安电台", "彩虹桥", "青稞酒香", "月下竹林",
    "马背上的歌", "远山来信", "梯田", "石板路", "雪莲", "玫瑰与诗", "你的名字是月光", "海边的约定",
    "慢慢喜欢你", "花期", "心跳频率", "白色情书", "雨夜街灯", "旧车站", "空房间", "落叶信笺",
    "说好不哭", "最后一班车", "灰色云", "留声机", "老街故事", "黑白照片", "外婆的院子", "旧时光",
    "年轮", "蒸汽火车",
    // English and pinyin titles, so that Latin terms find songs too.
    "Paper Moon", "Midnight Train", "Blue Lantern", "Summer Rain", "Open Road", "City Lights",
    "Slow Dance", "Morning Tea", "Silver River", "Yue Guang Xia", "Xiao Cheng Gu Shi", "Feng Zheng",
    "Qing Chun", "Hai Lang", "Tian Kong", "Man Man Zou", "Hua Kai", "Xing He"};
constexpr int kChineseTitles = 42;

const char* const kSingers[] = {"林晓岚", "陈一鸣", "苏木", "叶知秋", "白小鹿", "顾南风", "唐果"};
const char* const kLatinSingers[] = {"Mia Lin", "Leo Zhang", "Anna Su", "Zhou Yu"};

// A melody of its own for every song: a pentatonic walk whose seed is the song number.
std::vector<short> melody(int song, const Mood& mood, int seconds, int rate) {
  static const int major[] = {0, 2, 4, 7, 9, 12, 14, 16};
  static const int minor[] = {0, 3, 5, 7, 10, 12, 15, 17};
  const int* scale = mood.minor ? minor : major;
  std::uint32_t seed = 2166136261u ^ static_cast<std::uint32_t>(song * 7919);
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
  };
  const int samples = seconds * rate;
  const int noteLength = static_cast<int>(rate / mood.tempo);
  std::vector<short> pcm(static_cast<std::size_t>(samples));
  int degree = static_cast<int>(next() % 5);
  double freq = 0;
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < samples; ++i) {
    const int inNote = i % noteLength;
    if (inNote == 0) {
      degree = std::clamp(degree + static_cast<int>(next() % 5) - 2, 0, 7);
      freq = 220.0 * std::pow(2.0, (mood.root + scale[degree]) / 12.0);
    }
    const double t = static_cast<double>(inNote) / rate;
    const double env = std::min(1.0, t / 0.01) * std::exp(-t * 3.0);
    const double bass =
        0.25 * std::sin(2 * pi * 110.0 * std::pow(2.0, mood.root / 12.0) * i / rate);
    const double v = env * (std::sin(2 * pi * freq * t) + 0.2 * std::sin(4 * pi * freq * t)) + bass;
    const double fade = std::min(1.0, (samples - i) / (0.2 * rate));
    pcm[static_cast<std::size_t>(i)] = static_cast<short>(std::lround(v * fade * 9000));
  }
  return pcm;
}

bool encodeMp3(const std::vector<short>& pcm, int rate, const std::filesystem::path& path) {
  lame_global_flags* gf = lame_init();
  if (!gf) return false;
  lame_set_in_samplerate(gf, rate);
  lame_set_num_channels(gf, 1);
  lame_set_mode(gf, MONO);
  lame_set_brate(gf, 64);
  lame_set_quality(gf, 5);
  if (lame_init_params(gf) < 0) {
    lame_close(gf);
    return false;
  }
  std::vector<unsigned char> out(pcm.size() * 5 / 4 + 7200);
  int n =
      lame_encode_buffer(gf, const_cast<short*>(pcm.data()), nullptr, static_cast<int>(pcm.size()),
                         out.data(), static_cast<int>(out.size()));
  if (n < 0) {
    lame_close(gf);
    return false;
  }
  const int tail = lame_encode_flush(gf, out.data() + n, static_cast<int>(out.size()) - n);
  lame_close(gf);
  if (tail < 0) return false;
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(out.data()), n + tail);
  return static_cast<bool>(f);
}

} // namespace

int makeDemoLibrary(const std::string& folder, DemoLength length) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  constexpr int kRate = 22050;
  int written = 0;
  const int count = static_cast<int>(std::size(kTitles));
  for (int i = 0; i < count; ++i) {
    const Mood& mood = kMoods[i / 7 % std::size(kMoods)];
    const char* title = kTitles[i];
    const char* singer = i < kChineseTitles ? kSingers[(i * 3 + i / 7) % std::size(kSingers)]
                                            : kLatinSingers[i % std::size(kLatinSingers)];
    // 20 to 40 s, long enough to try the player; the short form is for tests.
    const int seconds = length == DemoLength::Full ? 20 + (i * 13) % 21 : 3 + i % 3;
    const std::filesystem::path path =
        std::filesystem::path(folder) / (std::string(singer) + " - " + title + ".mp3");
    if (!encodeMp3(melody(i, mood, seconds, kRate), kRate, path)) continue;
    TagLib::MPEG::File file(path.c_str());
    if (TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true)) {
      tag->setTitle(TagLib::String(title, TagLib::String::UTF8));
      tag->setArtist(TagLib::String(singer, TagLib::String::UTF8));
      tag->setAlbum(TagLib::String(mood.album, TagLib::String::UTF8));
      tag->setGenre(TagLib::String(mood.genre, TagLib::String::UTF8));
      tag->setYear(static_cast<unsigned>(1990 + i));
      file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers);
    }
    ++written;
  }
  std::ofstream ini(std::filesystem::path(folder) / "collections.ini");
  ini << "; Which genres each mood collection lists (tunova-catalogue).\n"
         "[851]\nkeywords=Rock\n[853]\nkeywords=Pop\n[854]\nkeywords=Folk\n"
         "[856]\nkeywords=Romance\n[857]\nkeywords=Sad\n[858]\nkeywords=Oldies\n";
  return written;
}

} // namespace tunova::catalogue
