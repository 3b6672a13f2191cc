// The download engine against local servers that answer, fail, drop and stall.
#include "runtime/download_engine.h"
#include "runtime/rate_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
