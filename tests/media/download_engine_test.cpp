// The download engine against local servers that answer, fail, drop and stall.
#include "http/http_request.h"
#include "http/transfer.h"
#include "runtime/download_engine.h"
#include "runtime/download_rules.h"
#include "runtime/part_file.h"
#include "runtime/rate_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "app/program.h"
#include "fake_host.h"
#include "runtime/ini_file.h"
#include "sandbox.h"
#include "test_server.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::readFile;
using tunova::test::Request;
using tunova::test::Sandbox;
using tunova::test::TestServer;
using tunova::test::waitFor;
namespace fs = std::filesystem;

namespace {

// Song-like bytes: an ID3 opening, then noise that differs with `seed`.
std::string payload(std::size_t n, std::uint32_t seed = 12345) {
  std::string s(n, '\0');
  std::uint32_t x = seed;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  s.replace(0, std::min<std::size_t>(3, n),
            std::string("ID3").substr(0, std::min<std::size_t>(3, n)));
  return s;
}

std::string partial(std::size_t from, const std::string& data, std::size_t announcedStart) {
  return "HTTP/1.1 206 Partial\r\nContent-Length: " + std::to_string(data.size() - from) +
         "\r\nContent-Range: bytes " + std::to_string(announcedStart) + "-" +
         std::to_string(announcedStart + data.size() - from - 1) + "/" +
         std::to_string(data.size()) + "\r\n\r\n" + data.substr(from);
}

std::size_t rangeStart(const Request& r) {
  const std::string range = r.header("Range");
  return range.empty() ? 0 : std::stoul(range.substr(range.find('=') + 1));
}

class EngineTest : public ::testing::Test {
protected:
  void TearDown() override { engine.release(); }
  DownloadTask task(const std::string& url, const std::string& name, int retries = 5) {
    DownloadTask t;
    t.url = url;
    t.path = fromUtf8((dir / name).string());
    t.receiveBufferBytes = 4096;
    t.retries = retries;
    t.retryPauseMs = 50;
    t.connectTimeoutMs = 2000;
    t.receiveTimeoutMs = 1000;
    return t;
  }
  // Waits for task `id` to end; nullopt on time-out.
  std::optional<DownloadEnd> waitEnd(int id, int ms = 15000) {
    std::optional<DownloadEnd> found;
    waitFor(
        [&] {
          for (const DownloadEnd& e : engine.takeEnded())
            ended.push_back(e);
          for (const DownloadEnd& e : ended) {
            if (e.id == id) found = e;
          }
          return found.has_value();
        },
        std::chrono::milliseconds(ms));
    return found;
  }
  // Every file left in the folder, by name.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  Sandbox sandbox{"tunova-dl"};
  fs::path dir = sandbox.path();
  PlatformDownloadEngine engine;
  std::vector<DownloadEnd> ended;
};

} // namespace

TEST_F(EngineTest, CompletedFileIsByteIdenticalAndThePartFileIsGone) {
  const std::string data = payload(3'000'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  EXPECT_EQ(engine.currentRate(), 0);
  const int id = engine.start(task(server.url("/song.mp3"), "song.mp3"));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "song.mp3") == data) << "file differs from the source";
  EXPECT_FALSE(fs::exists(dir / "song.mp3.part"));
  EXPECT_EQ(engine.runningCount(), 0);
  EXPECT_EQ(engine.currentRate(), 0);
}

TEST_F(EngineTest, DroppedConnectionIsResumedWithARange) {
  const std::string data = payload(1'000'000);
  TestServer server([&data](const Request& r, Connection& c) {
    const std::size_t from = rangeStart(r);
    if (from == 0) {
      c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(data.size()) +
             "\r\nAccept-Ranges: bytes\r\n\r\n" + data.substr(0, 400'000));
      return; // connection drops
    }
    c.send(partial(from, data, from));
  });
  const int id = engine.start(task(server.url("/a.mp3"), "a.mp3"));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "a.mp3") == data) << "file differs from the source";
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].header("Range"), "bytes=400000-");
}

TEST_F(EngineTest, ServerIgnoringRangesRestartsTheFileCleanly) {
  const std::string data = payload(500'000);
  int n = 0;
  TestServer server([&data, &n](const Request&, Connection& c) {
    if (n++ == 0) {
      c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(data.size()) + "\r\n\r\n" +
             data.substr(0, 100'000));
      return;
    }
    c.reply(200, data);
  });
  const int id = engine.start(task(server.url("/b.mp3"), "b.mp3"));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "b.mp3") == data) << "file differs from the source";
}

TEST_F(EngineTest, ErrorStatusesFailAndNeverTouchAnExistingFile) {
  TestServer server([](const Request& r, Connection& c) {
    c.reply(r.target == "/404" ? 404 : 500, "error page");
  });
  std::ofstream(dir / "keep.mp3") << "my old song";
  for (const char* path : {"/404", "/500"}) {
    const int id = engine.start(task(server.url(path), "keep.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_FALSE(end->completed);
    // The reason names the status, the same on every platform (the terminal lists it).
    EXPECT_EQ(end->error, std::string("the server answered ") + (path + 1));
    EXPECT_EQ(readFile(dir / "keep.mp3"), "my old song");
    EXPECT_FALSE(fs::exists(dir / "keep.mp3.part"));
  }
  const int id = engine.start(task(server.url("/404"), "none.mp3"));
  ASSERT_TRUE(waitEnd(id));
  EXPECT_FALSE(fs::exists(dir / "none.mp3"));
}

TEST_F(EngineTest, ShortBodyAfterRetriesFailsWithNoFinalFile) {
  TestServer server([](const Request&, Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(10, 'x'));
  });
  const int id = engine.start(task(server.url("/short"), "short.mp3", 2));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->completed);
  EXPECT_FALSE(fs::exists(dir / "short.mp3"));
  EXPECT_FALSE(fs::exists(dir / "short.mp3.part"));
  EXPECT_EQ(server.requests().size(), 3u); // the first try and two retries
}

TEST_F(EngineTest, StalledServerIsNotDoneWhileItStalls) {
  TestServer server([](const Request&, Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nabc");
    c.stall(60000);
  });
  const int id = engine.start(task(server.url("/stall"), "stall.mp3", 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(engine.runningCount(), 1);
  EXPECT_TRUE(engine.takeEnded().empty());
  EXPECT_EQ(engine.currentRate() < 5120, true);
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->completed);
  EXPECT_FALSE(fs::exists(dir / "stall.mp3"));
}

TEST_F(EngineTest, TwoDownloadsAtOnceAndOtherSchemesRefused) {
  const std::string a = payload(800'000), b = payload(300'000);
  TestServer server(
      [&](const Request& r, Connection& c) { c.reply(200, r.target == "/a" ? a : b); });
  const int ia = engine.start(task(server.url("/a"), "a.mp3"));
  const int ib = engine.start(task(server.url("/b"), "b.mp3"));
  const int ic = engine.start(task("file:///etc/passwd", "c.mp3"));
  EXPECT_NE(ia, ib);
  const auto ea = waitEnd(ia), eb = waitEnd(ib), ec = waitEnd(ic);
  ASSERT_TRUE(ea && eb && ec);
  EXPECT_TRUE(ea->completed);
  EXPECT_TRUE(eb->completed);
  EXPECT_FALSE(ec->completed);
  EXPECT_TRUE(readFile(dir / "a.mp3") == a) << "file differs from the source";
  EXPECT_TRUE(readFile(dir / "b.mp3") == b) << "file differs from the source";
  EXPECT_FALSE(fs::exists(dir / "c.mp3"));
}

TEST_F(EngineTest, OneWriterPerDestination) {
  const std::string data = payload(600'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  const int first = engine.start(task(server.url("/s"), "same.mp3"));
  const int second = engine.start(task(server.url("/s"), "same.mp3"));
  const auto e2 = waitEnd(second), e1 = waitEnd(first);
  ASSERT_TRUE(e1 && e2);
  EXPECT_TRUE(e1->completed) << e1->error;
  EXPECT_FALSE(e2->completed);
  EXPECT_EQ(e2->error, "already being downloaded");
  EXPECT_TRUE(readFile(dir / "same.mp3") == data);
  EXPECT_EQ(server.requests().size(), 1u);
  // Once the first has ended, the same destination may be fetched again.
  const int third = engine.start(task(server.url("/s"), "same.mp3"));
  const auto e3 = waitEnd(third);
  ASSERT_TRUE(e3);
  EXPECT_TRUE(e3->completed) << e3->error;
}

#ifndef _WIN32 // a file-size limit is how a full disk is made here
TEST_F(EngineTest, AFullDiskFailsAndLeavesNothing) {
  // A file-size limit makes every write past 64 KiB fail as a full disk would.
  const std::string data = payload(400'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  std::ofstream(dir / "old.mp3") << "my old song";
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int id = engine.start(task(server.url("/big"), "old.mp3"));
  const auto end = waitEnd(id);
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->completed);
  EXPECT_EQ(end->error, "could not write the file");
  EXPECT_EQ(files(), (std::vector<std::string>{"old.mp3"}));
  EXPECT_EQ(readFile(dir / "old.mp3"), "my old song");
}
#endif

TEST_F(EngineTest, AResumeIsSplicedOnlyWhereItWasAskedFor) {
  // The connection drops at 400,000 bytes; the range request is answered from another offset.
  // The engine must not splice that in: it starts again from zero and gets the whole file.
  const std::string data = payload(1'000'000);
  int plain = 0;
  TestServer server([&data, &plain](const Request& r, Connection& c) {
    if (r.header("Range").empty()) {
      if (plain++ == 0) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + data.substr(0, 400'000));
        return;
      }
      c.reply(200, data);
      return;
    }
    const std::size_t from = rangeStart(r) - 100'000; // starts 100,000 bytes too early
    c.send(partial(from, data, from));
  });
  const int id = engine.start(task(server.url("/r"), "r.mp3"));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "r.mp3") == data) << "the file was spliced";
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].header("Range"), "bytes=400000-");
  EXPECT_EQ(reqs[2].header("Range"), "");
}

TEST_F(EngineTest, AnUnsatisfiableRangeMeansWholeOrStartAgain) {
  const std::string data = payload(300'000);
  // Whole: the first answer announces more than it sends, yet every byte of the song came; the
  // range that follows is past the end, and the 416 names the size already on disk.
  {
    TestServer server([&data](const Request& r, Connection& c) {
      if (r.header("Range").empty()) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 300010\r\n\r\n" + data);
        return;
      }
      c.reply(416, "", "Content-Range: bytes */300000\r\n");
    });
    const int id = engine.start(task(server.url("/w"), "whole.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->completed) << end->error;
    EXPECT_TRUE(readFile(dir / "whole.mp3") == data);
  }
  // Start again: the 416 names another size, so what is on disk is not this song.
  {
    int plain = 0;
    TestServer server([&data, &plain](const Request& r, Connection& c) {
      if (!r.header("Range").empty()) {
        c.reply(416, "", "Content-Range: bytes */999\r\n");
      } else if (plain++ == 0) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + data.substr(0, 1000));
      } else {
        c.reply(200, data);
      }
    });
    const int id = engine.start(task(server.url("/a"), "again.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->completed) << end->error;
    EXPECT_TRUE(readFile(dir / "again.mp3") == data);
  }
}

TEST_F(EngineTest, AnEmptyBodyOrAPageIsNotASong) {
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/empty") c.reply(200, "");
    if (r.target == "/html")
      c.reply(200, "<!DOCTYPE html><p>not here</p>", "Content-Type: text/html\r\n");
    if (r.target == "/json") c.reply(200, "  {\"error\":\"gone\"}");
    if (r.target == "/typed") c.reply(200, payload(5000), "Content-Type: application/json\r\n");
  });
  for (const char* path : {"/empty", "/html", "/json", "/typed"}) {
    SCOPED_TRACE(path);
    const int id = engine.start(task(server.url(path), "x.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_FALSE(end->completed);
    EXPECT_TRUE(files().empty());
  }
}

TEST_F(EngineTest, APartialFileLeftByAKilledRunNeitherBlocksNorLeaks) {
  const std::string data = payload(200'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  std::ofstream(dir / "left.mp3.part") << "half of an older download";
  fs::create_directory(dir / "elsewhere");
  std::ofstream(dir / "elsewhere" / "victim") << "not yours";
  const int a = engine.start(task(server.url("/a"), "left.mp3"));
#ifndef _WIN32 // wine makes no symbolic links
  fs::create_symlink(dir / "elsewhere" / "victim", dir / "link.mp3.part");
  const int b = engine.start(task(server.url("/b"), "link.mp3"));
  const auto eb = waitEnd(b);
  ASSERT_TRUE(eb);
  EXPECT_TRUE(eb->completed) << eb->error;
  EXPECT_TRUE(readFile(dir / "link.mp3") == data);
  const std::vector<std::string> expected{"elsewhere", "left.mp3", "link.mp3"};
#else
  const std::vector<std::string> expected{"elsewhere", "left.mp3"};
#endif
  const auto ea = waitEnd(a);
  ASSERT_TRUE(ea);
  EXPECT_TRUE(ea->completed) << ea->error;
  EXPECT_TRUE(readFile(dir / "left.mp3") == data);
  EXPECT_EQ(readFile(dir / "elsewhere" / "victim"), "not yours");
  EXPECT_EQ(files(), expected);
}

// The rate over an injected clock: no sleeping, exact figures.
TEST(RateWindowTest, RateOverTheLastSecond) {
  using namespace std::chrono_literals;
  const auto t0 = RateWindow::Clock::time_point{} + 100s;
  struct Case {
    const char* what;
    std::vector<std::pair<std::chrono::milliseconds, std::int64_t>> samples;
    std::chrono::milliseconds at;
    std::int32_t rate;
  };
  const std::vector<Case> cases = {
      {"nothing yet", {}, 0ms, 0},
      {"one sample", {{0ms, 500}}, 0ms, 0},
      {"steady 1 MB per 100 ms",
       {{0ms, 0},
        {100ms, 1'000'000},
        {200ms, 2'000'000},
        {300ms, 3'000'000},
        {400ms, 4'000'000},
        {500ms, 5'000'000},
        {600ms, 6'000'000},
        {700ms, 7'000'000},
        {800ms, 8'000'000},
        {900ms, 9'000'000},
        {1000ms, 10'000'000},
        {1100ms, 11'000'000}},
       1100ms,
       10'000'000},
      {"half a second of data counts over a whole second",
       {{0ms, 0}, {500ms, 1'000'000}},
       500ms,
       1'000'000},
      {"a stalled count is 0", {{0ms, 0}, {100ms, 5000}, {1200ms, 5000}}, 1200ms, 0},
      {"no sample within the last second is 0", {{0ms, 0}, {100ms, 5000}}, 1500ms, 0},
      {"above what an int32 holds is clamped",
       {{0ms, 0}, {1000ms, 5'000'000'000}},
       1000ms,
       2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RateWindow w;
    for (const auto& [offset, total] : c.samples)
      w.add(t0 + offset, total);
    EXPECT_EQ(w.rate(t0 + c.at), c.rate);
  }
}

namespace {

// The program's download flow on the fake host with the real engine and a save folder.
class DownloadFlowTest : public ::testing::Test {
protected:
  void SetUp() override {
    host.engine = std::make_unique<PlatformDownloadEngine>();
    program = std::make_unique<Program>(host);
    program->start();
    fs::create_directory(save);
    ASSERT_TRUE(writeIniValue((host.folder / "bc.ini").string(), gbk("保存目录"), gbk("保存"),
                              fromUtf8(save.string() + "/")));
  }
  void TearDown() override { host.exit(); }
  void download(int row) {
    host.selected = row;
    host.choose(gbk("下载"));
  }
  // Ticks as the timer would until the display goes idle.
  void tickUntilIdle() {
    const Names& n = names();
    waitFor([this, &n] {
      host.fire(n.mainWindow, n.timer, EventKind::Tick);
      return host.timerPeriod(n.mainWindow, n.timer) == kIdlePeriodMs;
    });
  }
  tunova::test::FakeHost host;
  std::unique_ptr<Program> program;
  fs::path save = host.folder / "save";
};

} // namespace

TEST_F(DownloadFlowTest, TheSameSongTwiceAtOnceIsOneTransfer) {
  const std::string data = payload(2'000'000);
  TestServer server([&data](const Request&, Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\nConnection: close\r\n\r\n" +
           data.substr(0, 1000));
    c.stall(300); // still under way when it is asked for again
    c.send(data.substr(1000));
  });
  host.rows = {{"1", "Song", "Singer", "00:01", server.url("/1.mp3")}};
  download(0);
  download(0);
  EXPECT_EQ(host.panes[2], gbk("Song - Singer  正在下载"));
  tickUntilIdle();
  EXPECT_EQ(host.panes[2], gbk("Song - Singer  下载完成"));
  EXPECT_EQ(host.sounds, 1);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(readFile(save / "Song_Singer.mp3") == data);
  EXPECT_EQ(fs::directory_iterator(save)->path().filename(), "Song_Singer.mp3");
}

// A song another program is receiving into the same folder: the window says it is under way
// elsewhere, plays no chime, and the other program's file is left as it is.
TEST_F(DownloadFlowTest, ASongAnotherProgramIsReceivingIsLeftToIt) {
  const std::string data = payload(300'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  host.rows = {{"1", "Song", "Singer", "00:01", server.url("/1.mp3")}};
  PartFile other; // the other program's claim on the song
  ASSERT_EQ(other.claim(nativePath(fromUtf8((save / "Song_Singer.mp3").string()))), Claim::Held);
  ASSERT_TRUE(other.write("ID3 other", 9));
  download(0);
  tickUntilIdle();
  EXPECT_EQ(host.panes[2], gbk("Song - Singer  正在另一程序中下载"));
  EXPECT_EQ(host.sounds, 0);
  EXPECT_TRUE(host.notices.empty()) << "a song still under way is neither done nor failed";
  EXPECT_EQ(program->downloads().heldElsewhere, 1);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(fs::exists(save / "Song_Singer.mp3"));
  // Its claim ends with it (here: the program ended without finishing); the song is free.
  other.keep();
  EXPECT_EQ(readFile(save / "Song_Singer.mp3.part"), "ID3 other");
  download(0);
  tickUntilIdle();
  EXPECT_EQ(host.panes[2], gbk("Song - Singer  下载完成"));
  EXPECT_TRUE(readFile(save / "Song_Singer.mp3") == data);
}

TEST_F(DownloadFlowTest, TwoSongsWhoseNamesCollideEndAsTwoFiles) {
  const std::string a = payload(700'000, 1), b = payload(500'000, 2);
  TestServer server([&](const Request& r, Connection& c) {
    c.stall(100);
    c.reply(200, r.target == "/a.mp3" ? a : b);
  });
  // Two different songs whose names are the same once made safe for a file name.
  host.rows = {{"1", "A/B", "X", "00:01", server.url("/a.mp3")},
               {"2", "A:B", "X", "00:01", server.url("/b.mp3")}};
  download(0);
  download(1);
  tickUntilIdle();
  EXPECT_TRUE(readFile(save / "A_B_X.mp3") == a);
  EXPECT_TRUE(readFile(save / "A_B_X (2).mp3") == b);
  EXPECT_EQ(host.sounds, 2);
}

// The end of a download is never lost, whatever moment it happens at: an engine whose task ends
// right after the ended list was read (the window between the two reads of a tick).
TEST(DownloadTick, ATaskEndingBetweenTheReadsIsStillAnnounced) {
  class RacingEngine : public tunova::test::FakeDownloadEngine {
  public:
    std::vector<DownloadEnd> takeEnded() override {
      auto out = FakeDownloadEngine::takeEnded();
      if (endAfterTake) {
        endAfterTake = false;
        end(1, true); // ends now: after this read, before the running count is looked at
      }
      return out;
    }
    bool endAfterTake = false;
  };
  tunova::test::FakeHost host;
  auto engine = std::make_unique<RacingEngine>();
  RacingEngine* racing = engine.get();
  host.engine = std::move(engine);
  Program program(host);
  program.start();
  ASSERT_TRUE(host.writeIni(host.runFolder() + "/bc.ini", gbk("保存目录"), gbk("保存"), "/x/"));
  host.rows = {{"1", "t", "s", "00:01", "http://h/1.mp3"}};
  host.selected = 0;
  host.choose(gbk("下载"));
  const Names& n = names();
  racing->endAfterTake = true;
  host.fire(n.mainWindow, n.timer, EventKind::Tick);
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), kWatchPeriodMs) << "the display went idle";
  host.fire(n.mainWindow, n.timer, EventKind::Tick);
  EXPECT_EQ(host.panes[2], gbk("t - s  下载完成"));
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), kIdlePeriodMs);
  host.exit();
}

TEST_F(DownloadFlowTest, HostileTitleLandsInsideTheFolder) {
  const std::string data = payload(20'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  host.rows = {{"1", "../../evil", "/etc/x", "00:01", server.url("/x.mp3")}};
  download(0);
  tickUntilIdle();
  EXPECT_EQ(host.panes[2], "../../evil - /etc/x" + gbk("  下载完成"));
  EXPECT_EQ(host.sounds, 1);
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(host.folder)) {
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), host.folder).string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{
                       "bc.ini", (fs::path("save") / "_._.._evil__etc_x.mp3").string()}));
  EXPECT_TRUE(readFile(save / "_._.._evil__etc_x.mp3") == data) << "file differs from the source";
}

// ---- One version of a song, whole, and one writer ----

namespace {

// A song that is replaced on the server after the first answer drops at 400,000 bytes. The
// validator names the version (an ETag or a Last-Modified date, or none); a server may honour
// If-Range (the whole new version for a stale validator) or ignore it (a part of the new version
// anyway).
struct ChangingSong {
  enum class Validator { ETag, LastModified, None };
  Validator kind = Validator::ETag;
  bool honoursIfRange = true;
  int currentVersion = 2; // the version the server has after the drop
  std::string oldData = payload(1'000'000, 1);
  std::string newData = payload(1'000'000, 2);
  std::atomic<int> served{0};

  std::string validatorLine(int version) const {
    switch (kind) {
    case Validator::ETag:
      return "ETag: \"v" + std::to_string(version) + "\"\r\n";
    case Validator::LastModified:
      return std::string("Last-Modified: ") +
             (version == 1 ? "Tue, 01 Dec 2026 10:00:00 GMT" : "Wed, 09 Dec 2026 18:30:00 GMT") +
             "\r\n";
    case Validator::None:
      break;
    }
    return "";
  }
  std::string currentValidator() const {
    const std::string line = validatorLine(currentVersion);
    return line.empty() ? "" : line.substr(line.find(": ") + 2, line.size() - line.find(": ") - 4);
  }
  void answer(const Request& r, Connection& c) {
    if (served++ == 0) {
      c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(oldData.size()) + "\r\n" +
             validatorLine(1) + "\r\n" + oldData.substr(0, 400'000));
      return; // the connection drops, and the song is replaced
    }
    const std::size_t from = rangeStart(r);
    const std::string ifRange = r.header("If-Range");
    const bool stale = !ifRange.empty() && ifRange != currentValidator();
    if (from == 0 || (stale && honoursIfRange)) {
      c.reply(200, newData, validatorLine(currentVersion));
      return;
    }
    c.send(
        partial(from, newData, from)
            .insert(std::string("HTTP/1.1 206 Partial\r\n").size(), validatorLine(currentVersion)));
  }
};

} // namespace

TEST_F(EngineTest, ASongThatChangesBetweenADropAndTheResumeIsSavedAsTheNewVersionWhole) {
  struct Case {
    const char* what;
    ChangingSong::Validator kind;
    bool honoursIfRange;
  };
  const Case cases[] = {
      {"ETag, If-Range honoured", ChangingSong::Validator::ETag, true},
      {"ETag, If-Range ignored", ChangingSong::Validator::ETag, false},
      {"Last-Modified, If-Range honoured", ChangingSong::Validator::LastModified, true},
      {"Last-Modified, If-Range ignored", ChangingSong::Validator::LastModified, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ChangingSong song;
    song.kind = k.kind;
    song.honoursIfRange = k.honoursIfRange;
    TestServer server([&song](const Request& r, Connection& c) { song.answer(r, c); });
    const int id = engine.start(task(server.url("/song.mp3"), "song.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->completed) << end->error;
    EXPECT_TRUE(readFile(dir / "song.mp3") == song.newData) << "two versions were spliced";
    EXPECT_EQ(files(), std::vector<std::string>{"song.mp3"});
    const auto reqs = server.requests();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].header("Range"), "bytes=400000-");
    EXPECT_EQ(reqs[1].header("If-Range"),
              k.kind == ChangingSong::Validator::ETag ? "\"v1\"" : "Tue, 01 Dec 2026 10:00:00 GMT");
    fs::remove(dir / "song.mp3");
  }
}

TEST_F(EngineTest, WithoutAValidatorOnlyTheSameLengthIsResumed) {
  // The new version is longer: its total tells it apart, and the engine starts again.
  ChangingSong song;
  song.kind = ChangingSong::Validator::None;
  song.newData = payload(1'200'000, 2);
  TestServer server([&song](const Request& r, Connection& c) { song.answer(r, c); });
  const int id = engine.start(task(server.url("/song.mp3"), "song.mp3"));
  const auto end = waitEnd(id);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "song.mp3") == song.newData) << "two versions were spliced";
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].header("Range"), "bytes=400000-");
  EXPECT_EQ(reqs[2].header("Range"), "");
}

TEST_F(EngineTest, APartialFileLeftByAnEarlierRunIsResumedOnlyWhenTheSongIsTheSame) {
  for (const bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "the song changed" : "the same song");
    ChangingSong song;
    if (!changed) {
      song.newData = song.oldData;
      song.currentVersion = 1;
    }
    std::atomic<int> n{0};
    std::atomic<bool> firstRun{true};
    TestServer server([&](const Request& r, Connection& c) {
      if (firstRun) {
        ++n;
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\nETag: \"v1\"\r\n\r\n" +
               song.oldData.substr(0, 400'000));
        c.stall(30000); // still under way when the program ends
        return;
      }
      song.served = 1;
      song.answer(r, c);
    });
    {
      // The first run ends while the song is under way.
      // (A platform may hand over the body in large pieces: at least one has arrived.)
      PlatformDownloadEngine first;
      first.start(task(server.url("/song.mp3"), "song.mp3"));
      ASSERT_TRUE(waitFor([&] {
        std::error_code ec;
        return fs::file_size(dir / "song.mp3.part", ec) >= 256 * 1024;
      }));
      first.release();
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"song.mp3.part", "song.mp3.part.info"}));
    const auto kept = fs::file_size(dir / "song.mp3.part");
    EXPECT_TRUE(readFile(dir / "song.mp3.part") == song.oldData.substr(0, kept));
    firstRun = false;
    const int id = engine.start(task(server.url("/song.mp3"), "song.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->completed) << end->error;
    EXPECT_TRUE(readFile(dir / "song.mp3") == song.newData) << "file differs from the song";
    EXPECT_EQ(files(), std::vector<std::string>{"song.mp3"});
    const auto reqs = server.requests();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].header("Range"), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(reqs[1].header("If-Range"), "\"v1\"");
    fs::remove(dir / "song.mp3");
  }
}

TEST_F(EngineTest, ASongAnotherWriterHoldsIsLeftAlone) {
  // Two engines stand for two programs: the partial file's claim is the system's, not the
  // engine's, so the second is refused at once and touches nothing.
  const std::string data = payload(600'000);
  std::atomic<bool> go{false};
  TestServer server([&](const Request&, Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 600000\r\nETag: \"a\"\r\n\r\n" +
           data.substr(0, 1000));
    while (!go)
      c.stall(10);
    c.send(data.substr(1000));
  });
  const int first = engine.start(task(server.url("/s"), "same.mp3"));
  ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "same.mp3.part.info"); }));
  PlatformDownloadEngine other;
  const int second = other.start(task(server.url("/s"), "same.mp3"));
  const auto refused = other.takeEnded();
  ASSERT_EQ(refused.size(), 1u) << "the refusal is immediate";
  EXPECT_EQ(refused[0].id, second);
  EXPECT_FALSE(refused[0].completed);
  EXPECT_TRUE(refused[0].heldElsewhere);
  EXPECT_EQ(refused[0].error, kHeldElsewhere);
  EXPECT_EQ(files(), (std::vector<std::string>{"same.mp3.part", "same.mp3.part.info"}));
  go = true;
  const auto end = waitEnd(first);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->completed) << end->error;
  EXPECT_TRUE(readFile(dir / "same.mp3") == data);
  EXPECT_EQ(server.requests().size(), 1u);
  // Once the holder is done, the other may fetch the song again.
  const int third = other.start(task(server.url("/s"), "same.mp3"));
  EXPECT_TRUE(other.takeEnded().empty());
  std::optional<DownloadEnd> e3;
  waitFor([&] {
    for (const DownloadEnd& e : other.takeEnded())
      if (e.id == third) e3 = e;
    return e3.has_value();
  });
  other.release();
  ASSERT_TRUE(e3);
  EXPECT_TRUE(e3->completed) << e3->error;
}

TEST_F(EngineTest, BoundsOnTheDiskAndOnTime) {
  DownloadLimits limits;
  limits.maxBodyBytes = 300'000;
  limits.floorBytesPerSecond = 1024;
  limits.floorSpan = std::chrono::milliseconds(1500);
  PlatformDownloadEngine bounded(nullptr, limits);
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/huge") {
      // A length no disk has room for: refused before a byte is written.
      c.send("HTTP/1.1 200 OK\r\nContent-Length: 4000000000000000\r\n\r\nID3");
      c.stall(20000);
    } else if (r.target == "/endless") {
      // No length, and more than the cap.
      if (!c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return;
      const std::string chunk = payload(65536);
      for (int i = 0; i < 64 && c.send(chunk); ++i) {
      }
    } else {
      // Two bytes a tenth of a second: never idle, far under the floor.
      c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nID3");
      for (int i = 0; i < 200 && c.send("ab"); ++i)
        c.stall(100);
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  std::map<int, std::string> ids;
  ids[bounded.start(task(server.url("/huge"), "huge.mp3"))] = "huge";
  ids[bounded.start(task(server.url("/endless"), "endless.mp3"))] = "endless";
  ids[bounded.start(task(server.url("/trickle"), "trickle.mp3"))] = "trickle";
  std::map<std::string, DownloadEnd> ends;
  waitFor(
      [&] {
        for (const DownloadEnd& e : bounded.takeEnded())
          ends[ids[e.id]] = e;
        return ends.size() == 3;
      },
      std::chrono::milliseconds(15000));
  const auto took = std::chrono::steady_clock::now() - t0;
  bounded.release();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends["huge"].error, "not enough free space on the disk for the song");
  EXPECT_EQ(ends["endless"].error, "the song has no length and passed the size limit");
  EXPECT_EQ(ends["trickle"].error, kTooSlow);
  for (const auto& [name, e] : ends)
    EXPECT_FALSE(e.completed) << name;
  EXPECT_LT(took, std::chrono::seconds(8)) << "the floor took too long to act";
  EXPECT_TRUE(files().empty());
}

TEST_F(EngineTest, RedirectsFollowOneRule) {
  const std::string data = payload(50'000);
  TestServer server([&data](const Request& r, Connection& c) {
    const std::string& t = r.target;
    if (t == "/song") {
      c.reply(200, data);
    } else if (t.rfind("/hop/", 0) == 0) {
      const int n = std::stoi(t.substr(5));
      c.reply(302, "moved",
              "Location: " + (n == 0 ? std::string("/song") : "/hop/" + std::to_string(n - 1)) +
                  "\r\n");
    } else if (t == "/file") {
      c.reply(302, "", "Location: file:///etc/passwd\r\n");
    } else if (t == "/nowhere") {
      c.reply(302, "");
    }
  });
  struct Case {
    const char* path;
    bool completes;
    const char* error;
  };
  const Case cases[] = {
      {"/hop/19", true, ""}, // twenty redirects in a row
      {"/hop/20", false, "too many redirects"},
      {"/file", false, "a redirect to an address that is not fetched"},
      {"/nowhere", false, "a redirect that names no address"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.path);
    const int id = engine.start(task(server.url(k.path), "r.mp3"));
    const auto end = waitEnd(id);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->completed, k.completes) << end->error;
    EXPECT_EQ(end->error, k.error);
    if (k.completes) {
      EXPECT_TRUE(readFile(dir / "r.mp3") == data);
      fs::remove(dir / "r.mp3");
    }
    EXPECT_TRUE(files().empty());
  }
  // The rule itself: never from https down to http, and only the two schemes.
  EXPECT_FALSE(redirectAllowed(true, "http://h/x"));
  EXPECT_FALSE(redirectAllowed(true, "HTTP://h/x"));
  EXPECT_TRUE(redirectAllowed(true, "https://h/x"));
  EXPECT_TRUE(redirectAllowed(false, "http://h/x"));
  EXPECT_TRUE(redirectAllowed(false, "https://h/x"));
  EXPECT_FALSE(redirectAllowed(false, "file:///etc/passwd"));
  EXPECT_FALSE(redirectAllowed(false, "ftp://h/x"));
}

// A transport that answers from a table: each address either redirects (its Location as the
// platform resolved it) or is a small song. It records every address it was asked to open.
class TableTransport : public Transport {
public:
  explicit TableTransport(std::map<std::string, std::string> redirects)
      : redirects_(std::move(redirects)) {}
  void open(const TransferRequest& request, TransferSink* sink) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(request.url);
    }
    const auto to = redirects_.find(request.url);
    if (to != redirects_.end()) {
      sink->onHead(302, "HTTP/1.1 302 Found\r\nLocation: " + to->second + "\r\n\r\n");
      sink->onEnd(TransferEnd{false, false, {}, to->second});
      return;
    }
    const std::string song = "ID3 a song";
    sink->onHead(200,
                 "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(song.size()) + "\r\n\r\n");
    sink->onBody(song.data(), song.size());
    sink->onEnd(TransferEnd{});
  }
  void stop() override {}
  std::vector<std::string> opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

private:
  std::map<std::string, std::string> redirects_;
  std::mutex mutex_;
  std::vector<std::string> opened_;
};

// The redirect rule is the engine's own, whatever carries the bytes: an https download is never
// sent on to plain http (the http address is not even opened), while the other directions are
// followed.
TEST(DownloadRedirects, NeverFromHttpsDownToHttpOnAnyTransport) {
  Sandbox sandbox{"tunova-dl-table"};
  struct Case {
    const char* from;
    const char* to;
    bool completes;
  };
  const Case cases[] = {
      {"https://songs.test/a.mp3", "http://songs.test/a.mp3", false},
      {"https://songs.test/b.mp3", "HTTP://songs.test/b.mp3", false},
      {"https://songs.test/c.mp3", "https://mirror.test/c.mp3", true},
      {"http://songs.test/d.mp3", "https://songs.test/d.mp3", true},
      {"http://songs.test/e.mp3", "http://mirror.test/e.mp3", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.from);
    auto owned =
        std::make_unique<TableTransport>(std::map<std::string, std::string>{{k.from, k.to}});
    TableTransport* transport = owned.get();
    PlatformDownloadEngine engine(nullptr, DownloadLimits{}, std::move(owned));
    DownloadTask task;
    task.url = k.from;
    task.path = fromUtf8((sandbox.path() / "song.mp3").string());
    const int id = engine.start(task);
    std::optional<DownloadEnd> end;
    waitFor(
        [&] {
          for (const DownloadEnd& e : engine.takeEnded())
            if (e.id == id) end = e;
          return end.has_value();
        },
        std::chrono::seconds(10));
    ASSERT_TRUE(end);
    EXPECT_EQ(end->completed, k.completes) << end->error;
    const std::vector<std::string> opened = transport->opened();
    if (k.completes) {
      EXPECT_EQ(opened, (std::vector<std::string>{k.from, k.to}));
      EXPECT_EQ(readFile(sandbox.path() / "song.mp3"), "ID3 a song");
      fs::remove(sandbox.path() / "song.mp3");
    } else {
      EXPECT_EQ(end->error, "a redirect to an address that is not fetched");
      EXPECT_EQ(opened, std::vector<std::string>{k.from});
      EXPECT_TRUE(fs::is_empty(sandbox.path()));
    }
    engine.release();
  }
}

TEST(DownloadRules, AnswersAndRecords) {
  const PartRecord etag{"\"v1\"", 1000};
  const PartRecord lengthOnly{"", 1000};
  const PartRecord nothing{};
  struct Case {
    const char* what;
    long long offset;
    int status;
    long long rangeStart, rangeTotal;
    std::string validator;
    PartRecord recorded;
    Answer answer;
  };
  const Case cases[] = {
      {"fresh", 0, 200, -1, -1, "\"v1\"", nothing, Answer::FromZero},
      {"resumed, same version", 400, 206, 400, 1000, "\"v1\"", etag, Answer::Append},
      {"resumed, no validator in the answer", 400, 206, 400, 1000, "", etag, Answer::Append},
      {"whole song for a stale If-Range", 400, 200, -1, -1, "\"v2\"", etag, Answer::FromZero},
      {"206 naming another version", 400, 206, 400, 1000, "\"v2\"", etag, Answer::Restart},
      {"206 of another length", 400, 206, 400, 1200, "\"v1\"", etag, Answer::Restart},
      {"206 from another offset", 400, 206, 300, 1000, "\"v1\"", etag, Answer::Restart},
      {"no validator, same length", 400, 206, 400, 1000, "", lengthOnly, Answer::Append},
      {"no validator, other length", 400, 206, 400, 999, "", lengthOnly, Answer::Restart},
      {"no validator, unknown length", 400, 206, 400, -1, "", lengthOnly, Answer::Restart},
      {"nothing recorded", 400, 206, 400, 1000, "", nothing, Answer::Restart},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(judgeAnswer(c.offset, c.status, c.rangeStart, c.rangeTotal, c.validator, c.recorded),
              c.answer);
  }
  EXPECT_EQ(validatorOf("\"abc\"", "Tue, 01 Dec 2026 10:00:00 GMT"), "\"abc\"");
  EXPECT_EQ(validatorOf("W/\"abc\"", "Tue, 01 Dec 2026 10:00:00 GMT"),
            "Tue, 01 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(validatorOf("", ""), "");
  PartRecord back;
  ASSERT_TRUE(parseRecord(recordText(etag), back));
  EXPECT_EQ(back.validator, etag.validator);
  EXPECT_EQ(back.total, etag.total);
  EXPECT_FALSE(parseRecord("half a record", back));
  EXPECT_FALSE(parseRecord("tunova-part 1\ntotal x\nvalidator \n", back));
  EXPECT_TRUE(resumable(etag, 400));
  EXPECT_TRUE(resumable(lengthOnly, 400));
  EXPECT_FALSE(resumable(nothing, 400));
  EXPECT_FALSE(resumable(etag, 0));
  EXPECT_FALSE(resumable(etag, 1001)); // more than the song: not this song
}
