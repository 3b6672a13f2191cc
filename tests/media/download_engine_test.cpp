// The download engine against local servers that answer, fail, drop and stall.
#include "runtime/download_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/program.h"
#include "fake_host.h"
#include "runtime/ini_file.h"
#include "test_server.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::Request;
using tunova::test::TestServer;
namespace fs = std::filesystem;

namespace {

std::string payload(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t rangeStart(const Request& r) {
  const std::string range = r.header("Range");
  return range.empty() ? 0 : std::stoul(range.substr(range.find('=') + 1));
}

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tunova-dl-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
  }
  void TearDown() override {
    engine.release();
    fs::remove_all(dir);
  }
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
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      for (const DownloadEnd& e : engine.takeEnded())
        ended.push_back(e);
      for (const DownloadEnd& e : ended) {
        if (e.id == id) return e;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }
  fs::path dir;
  CurlDownloadEngine engine;
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
    c.send("HTTP/1.1 206 Partial\r\nContent-Length: " + std::to_string(data.size() - from) +
           "\r\nContent-Range: bytes " + std::to_string(from) + "-" +
           std::to_string(data.size() - 1) + "/" + std::to_string(data.size()) + "\r\n\r\n" +
           data.substr(from));
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

TEST(DownloadFlow, HostileTitleLandsInsideTheFolder) {
  const std::string data = payload(20'000);
  TestServer server([&data](const Request&, Connection& c) { c.reply(200, data); });
  tunova::test::FakeHost host;
  host.engine = std::make_unique<CurlDownloadEngine>();
  Program program(host);
  program.start();
  const fs::path save = host.folder / "save";
  fs::create_directory(save);
  ASSERT_TRUE(writeIniValue(fromUtf8((host.folder / "bc.ini").string()), gbk("保存目录"),
                            gbk("保存"), fromUtf8(save.string() + "/")));
  host.rows = {{"1", "../../evil", "/etc/x", "00:01", server.url("/x.mp3")}};
  host.selected = 0;
  host.choose(gbk("下载"));
  const Names& n = names();
  for (int i = 0; i < 100 && host.timerPeriod(n.mainWindow, n.timer) != 1000000000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    host.fire(n.mainWindow, n.timer, EventKind::Tick);
  }
  EXPECT_EQ(host.panes[2], "../../evil - /etc/x" + gbk("  下载完成"));
  EXPECT_EQ(host.sounds, 1);
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(host.folder)) {
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), host.folder).string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"bc.ini", "save/_._.._evil__etc_x.mp3"}));
  EXPECT_TRUE(readFile(save / "_._.._evil__etc_x.mp3") == data) << "file differs from the source";
  host.exit();
}
