// The query handlers against the fake host and a local catalogue stand-in.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include "sandbox.h"

#include <chrono>
#include <cstdlib>

#include "app/program.h"
#include "fake_host.h"
#include "test_server.h"
#include "text/codepage.h"
#include "json/script_engine.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::FakeHost;
using tunova::test::Request;
using tunova::test::TestServer;

namespace {

const Names& n = names();
const std::string kSuffix = "&count=20&iid=38210574693&device_id=61730482957&version_code=682"
                            "&device_platform=android&offset=";

std::string songs(int count, int first) {
  std::string out = "{\"status_code\":0,\"data\":[";
  for (int i = 0; i < count; ++i) {
    if (i) out += ",";
    const int k = first + i;
    out += "{\"title\":\"歌" + std::to_string(k) + "\",\"author\":\"人" + std::to_string(k) +
           "\",\"duration\":" + std::to_string(60 + k) +
           ",\"play_url\":{\"url_list\":[\"http://m/" + std::to_string(k) + ".mp3\"]}}";
  }
  return out + "]}";
}

int offsetOf(const Request& r) {
  return std::atoi(r.target.substr(r.target.rfind("offset=") + 7).c_str());
}

class QueryTest : public ::testing::Test {
protected:
  void serve(TestServer::Handler h) {
    server = std::make_unique<TestServer>(std::move(h));
    test::setEnv("TUNOVA_CATALOGUE_HOST", ("127.0.0.1:" + std::to_string(server->port())).c_str());
    program = std::make_unique<Program>(host);
    program->start();
  }
  void TearDown() override { test::unsetEnv("TUNOVA_CATALOGUE_HOST"); }
  FakeHost host;
  std::unique_ptr<TestServer> server;
  std::unique_ptr<Program> program;
};

} // namespace

TEST(Catalogue, DefaultHostAndEnvironmentOverride) {
  test::unsetEnv("TUNOVA_CATALOGUE_HOST");
  EXPECT_EQ(catalogueHost(), "127.0.0.1:8960");
  test::setEnv("TUNOVA_CATALOGUE_HOST", "music.example");
  EXPECT_EQ(catalogueBaseAddress("850", ""),
            "http://music.example/zamrilo/music/collection/songs?id=850" + kSuffix);
  test::unsetEnv("TUNOVA_CATALOGUE_HOST");
}

TEST(Catalogue, FormatDuration) {
  const std::pair<int, const char*> cases[] = {{0, "00:00"},     {9, "00:09"},   {59, "00:59"},
                                               {60, "01:00"},    {245, "04:05"}, {3599, "59:59"},
                                               {6000, "100:00"}, {-5, "00:00"}};
  for (const auto& [seconds, text] : cases)
    EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST_F(QueryTest, SearchRequestsThreePagesWithTheSuffixAndNumbersRowsAcrossThem) {
  serve([](const Request& r, Connection& c) {
    const int off = offsetOf(r);
    c.reply(200, songs(off == 40 ? 5 : 20, off + 1));
  });
  host.setEditText(n.mainWindow, n.searchBox, "abc");
  host.fire(n.mainWindow, n.searchButton, EventKind::Clicked);
  const auto reqs = server->requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reqs[i].target,
              "/zamrilo/music/search/songs?query=%61%62%63" + kSuffix + std::to_string(i * 20));
  }
  ASSERT_EQ(host.rows.size(), 45u);
  for (int i = 0; i < 45; ++i)
    EXPECT_EQ(host.rows[i][0], std::to_string(i + 1));
  EXPECT_EQ(host.rows[0][1], gbk("歌1"));
  EXPECT_EQ(host.rows[44][2], gbk("人45"));
  EXPECT_EQ(host.rows[0][3], "01:01");
  EXPECT_EQ(host.rows[44][4], "http://m/45.mp3");
  EXPECT_EQ(host.panes[0], gbk("状态：搜索完成"));
}

TEST_F(QueryTest, ChineseTermIsSentAsPercentEncodedUtf8) {
  serve([](const Request&, Connection& c) { c.reply(200, songs(0, 0)); });
  host.setEditText(n.mainWindow, n.searchBox, gbk("中 文"));
  host.fire(n.mainWindow, n.searchBox, EventKind::KeyDown, {0, 0, 0, 13});
  ASSERT_EQ(server->requests().size(), 3u);
  EXPECT_EQ(server->requests()[0].target.rfind(
                "/zamrilo/music/search/songs?query=%E4%B8%AD%20%E6%96%87&count=20", 0),
            0u);
}

TEST_F(QueryTest, TagClickUsesTheCollectionAndIgnoresTheSearchBox) {
  serve([](const Request&, Connection& c) { c.reply(200, songs(2, 1)); });
  host.setEditText(n.mainWindow, n.searchBox, "ignored");
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  const auto reqs = server->requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reqs[i].target,
              "/zamrilo/music/collection/songs?id=850" + kSuffix + std::to_string(i * 20));
  }
  EXPECT_EQ(host.rows.size(), 6u);
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), "ignored");
  // Pressing the label starts nothing; only the release does.
  host.fire(n.mainWindow, n.tagLabels[3], EventKind::LeftDown);
  EXPECT_EQ(server->requests().size(), 3u);
  host.fire(n.mainWindow, n.tagLabels[3], EventKind::LeftUp);
  EXPECT_NE(server->requests()[3].target.find("id=853&"), std::string::npos);
}

TEST_F(QueryTest, FailedPagesAddNoRowsAndThePreviousRowsGoFirst) {
  int calls = 0;
  serve([&calls](const Request& r, Connection& c) {
    ++calls;
    if (offsetOf(r) == 0)
      c.reply(200, songs(20, 1));
    else if (offsetOf(r) == 20)
      c.reply(500, "<html>oops</html>");
    else
      c.reply(200, "{\"data\":{\"a\":1,\"b\":2}}"); // an object: two empty rows
  });
  host.rows = {{"old", "", "", "", ""}};
  int requestsWhenCleared = -1;
  host.onClear = [&] { requestsWhenCleared = calls; };
  host.setEditText(n.mainWindow, n.searchBox, "x");
  host.fire(n.mainWindow, n.searchButton, EventKind::Clicked);
  EXPECT_EQ(requestsWhenCleared, 0);
  ASSERT_EQ(host.rows.size(), 22u);
  EXPECT_EQ(host.rows[21][0], "22");
  EXPECT_EQ(host.rows[21][1], "");
  EXPECT_EQ(host.rows[21][3], "00:00");
}

TEST_F(QueryTest, APageOverTheLimitCountsAsFailed) {
  serve([](const Request& r, Connection& c) {
    if (offsetOf(r) == 0) {
      std::string big = songs(1, 1);
      big.insert(big.size() - 2, ",\"pad\":\"" + std::string(kMaxPageBytes, 'x') + "\"");
      c.reply(200, big);
    } else {
      c.reply(200, songs(1, 2));
    }
  });
  host.setEditText(n.mainWindow, n.searchBox, "x");
  host.fire(n.mainWindow, n.searchButton, EventKind::Clicked);
  ASSERT_EQ(host.rows.size(), 2u);
  EXPECT_EQ(host.rows[0][1], gbk("歌2"));
}

TEST_F(QueryTest, EmptyBoxIsRefusedAndDoubleClickEmptiesIt) {
  serve([](const Request&, Connection& c) { c.reply(200, songs(1, 1)); });
  host.rows = {{"kept", "", "", "", ""}};
  host.fire(n.mainWindow, n.searchButton, EventKind::Clicked);
  EXPECT_EQ(host.messages, (std::vector<std::string>{gbk("搜索词不能为空")}));
  EXPECT_EQ(host.rows.size(), 1u);
  EXPECT_TRUE(server->requests().empty());
  host.setEditText(n.mainWindow, n.searchBox, "  ");
  host.fire(n.mainWindow, n.searchBox, EventKind::KeyDown, {0, 0, 0, 65}); // not Enter
  EXPECT_TRUE(server->requests().empty());
  host.fire(n.mainWindow, n.searchBox, EventKind::KeyDown, {0, 0, 0, 13});
  EXPECT_EQ(server->requests().size(), 3u); // spaces are searched for as typed
  EXPECT_NE(server->requests()[0].target.find("query=%20%20&"), std::string::npos);
  host.fire(n.mainWindow, n.searchBox, EventKind::DoubleClick);
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), "");
}

TEST_F(QueryTest, TheStatusSaysFailedOnlyWhenNoPageCouldBeRead) {
  struct Case {
    const char* what;
    std::function<void(const Request&, Connection&)> answer;
    const char* status;
  };
  const std::vector<Case> cases = {
      {"an empty list is a search that found nothing",
       [](const Request&, Connection& c) { c.reply(200, "{\"data\":[]}"); }, "状态：搜索完成"},
      {"garbage on every page", [](const Request&, Connection& c) { c.reply(200, "<html>"); },
       "状态：搜索失败"},
      {"an empty body on every page", [](const Request&, Connection& c) { c.reply(200, ""); },
       "状态：搜索失败"},
      {"one good page of three",
       [](const Request& r, Connection& c) {
         if (offsetOf(r) == 20) {
           c.reply(200, songs(2, 1));
         } else {
           c.send("HTTP/1.1 200 OK\r\n"); // then the connection drops
         }
       },
       "状态：搜索完成"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    serve(c.answer);
    host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
    EXPECT_EQ(host.panes[0], gbk(c.status));
    EXPECT_EQ(program->lastQuery().failed(), std::string(c.status) == "状态：搜索失败");
  }
}

TEST_F(QueryTest, AStoppedServiceIsAFailedSearch) {
  test::setEnv("TUNOVA_CATALOGUE_HOST",
               ("127.0.0.1:" + std::to_string(tunova::test::closedPort())).c_str());
  program = std::make_unique<Program>(host);
  program->start();
  host.rows = {{"old", "", "", "", ""}};
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  EXPECT_EQ(host.panes[0], gbk("状态：搜索失败"));
  EXPECT_TRUE(host.rows.empty());
  EXPECT_NE(program->lastQuery().failure.find("no answer from http://127.0.0.1:"),
            std::string::npos);
}

TEST_F(QueryTest, APageGivesAtMostTheRowsItAskedForAndATextGivesNone) {
  serve([](const Request& r, Connection& c) {
    if (offsetOf(r) == 0) {
      c.reply(200, songs(20000, 1)); // far more than the 20 asked for
    } else if (offsetOf(r) == 20) {
      c.reply(200, "{\"data\":\"abcdef\"}");
    } else {
      c.reply(200, songs(3, 100));
    }
  });
  // Counts, not time: a busy machine must not let the script limits cut the large page short.
  const EngineLimits saved = engineLimits();
  setEngineLimits(EngineLimits{60000, saved.heapCapBytes});
  setPageScriptBudget(60000);
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  setPageScriptBudget(kPageScriptBudgetMs);
  setEngineLimits(saved);
  ASSERT_EQ(host.rows.size(), 23u);
  EXPECT_EQ(host.rows[19][1], gbk("歌20"));
  EXPECT_EQ(host.rows[20][0], "21");
  EXPECT_EQ(host.rows[20][1], gbk("歌100"));
  EXPECT_EQ(host.panes[0], gbk("状态：搜索完成"));
}

TEST_F(QueryTest, OneQueryEndsByItsDeadlineWhateverTheServiceDoes) {
  setQueryTimeLimit(1500);
  const std::pair<const char*, TestServer::Handler> services[] = {
      {"silent", [](const Request&, Connection& c) { c.stall(60000); }},
      {"trickling",
       [](const Request&, Connection& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n{\"data\":[");
         for (int i = 0; i < 600 && c.send(" "); ++i)
           c.stall(100);
       }},
  };
  for (const auto& [what, handler] : services) {
    SCOPED_TRACE(what);
    serve(handler);
    const auto t0 = std::chrono::steady_clock::now();
    host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(s, 1.4); // the deadline ended it (the idle rule allows 30 s)
    EXPECT_LT(s, 6.0);
    EXPECT_EQ(host.panes[0], gbk("状态：搜索失败"));
  }
  setQueryTimeLimit(kQueryTimeLimitMs);
}

TEST_F(QueryTest, AHostileAnswerCostsAtMostItsPagesBudget) {
  const EngineLimits savedLimits = engineLimits();
  setEngineLimits(EngineLimits{300, savedLimits.heapCapBytes});
  setPageScriptBudget(1000);
  const std::string song = "{author:'s',duration:5}";
  std::string songs20;
  for (int i = 0; i < 20; ++i)
    songs20 += (i ? "," : "") + song;
  const std::pair<const char*, std::string> answers[] = {
      {"a getter on every title that never returns",
       "(function(){Object.defineProperty(Object.prototype,'title',{get:function(){for(;;){}}});"
       "return {data:[" +
           songs20 + "]}})()"},
      {"an endless loop of joins",
       "{data:[" + song + "], x:(function(){for(;;){new Array(100000).join('x')}})()}"},
      {"a backtracking regex caught in a loop",
       "(function(){var d={data:[" + songs20 +
           "]}; Object.defineProperty(Object.prototype,'title',"
           "{get:function(){for(;;){try{/(a+)+b/"
           ".test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa')}catch(e){}}}});"
           "return d})()"},
  };
  for (const auto& [what, answer] : answers) {
    SCOPED_TRACE(what);
    serve([&answer](const Request&, Connection& c) { c.reply(200, answer); });
    const auto t0 = std::chrono::steady_clock::now();
    host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Three pages, each at most its budget plus its parse (one limit): well under what the
    // answers would cost unbounded (20 rows x 4 reads x 3 pages of limits, or for ever).
    EXPECT_LT(s, 3 * (1.0 + 0.3) + 2.0);
    EXPECT_LT(host.rows.size(), 60u);
    EXPECT_EQ(host.panes[0], gbk("状态：搜索失败"));
  }
  // A redefined counting routine does not make up songs (one a page at most), and a number past
  // the decoder's range still reads.
  serve([](const Request&, Connection& c) {
    c.reply(200,
            "{\"x\":(get__count=function(){return 2000000000}), \"data\":[{\"title\":\"t\"}]}");
  });
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  EXPECT_LE(host.rows.size(), 3u);
  serve([](const Request&, Connection& c) {
    c.reply(200, "{\"data\":[{\"title\":\"big\",\"duration\":1e10000001}]}");
  });
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  ASSERT_EQ(host.rows.size(), 3u);
  EXPECT_EQ(host.rows[0][1], "big");
  EXPECT_EQ(host.panes[0], gbk("状态：搜索完成"));
  setPageScriptBudget(kPageScriptBudgetMs);
  setEngineLimits(savedLimits);
}

// An answer whose reading never ends keeps the window alive as a wait on the network does, and
// a close asked for meanwhile ends the query within half a second, without the later pages.
TEST_F(QueryTest, ACloseWhileAHostileAnswerIsReadEndsTheQuerySoon) {
  const EngineLimits savedLimits = engineLimits();
  setEngineLimits(EngineLimits{5000, savedLimits.heapCapBytes});
  setPageScriptBudget(5000);
  std::string songs20;
  for (int i = 0; i < 20; ++i)
    songs20 += std::string(i ? "," : "") + "{author:'s',duration:5}";
  const std::string answer =
      "(function(){Object.defineProperty(Object.prototype,'title',{get:function(){for(;;){}}});"
      "return {data:[" +
      songs20 + "]}})()";
  serve([&answer](const Request&, Connection& c) { c.reply(200, answer); });
  using Clock = std::chrono::steady_clock;
  Clock::time_point answered{}, closeAsked{};
  int alivesWhileReading = 0;
  host.onKeepAlive = [&] {
    if (server->requests().empty()) return;
    if (answered == Clock::time_point{}) answered = Clock::now();
    ++alivesWhileReading;
    if (!host.closeRequested && Clock::now() - answered > std::chrono::milliseconds(300)) {
      host.closeRequested = true;
      closeAsked = Clock::now();
    }
  };
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  const double s = std::chrono::duration<double>(Clock::now() - closeAsked).count();
  ASSERT_TRUE(host.closeRequested) << "the window was not kept alive while the answer was read";
  EXPECT_GT(alivesWhileReading, 5);
  EXPECT_LT(s, 0.5);
  EXPECT_EQ(server->requests().size(), 1u) << "pages after the close were still asked for";
  EXPECT_TRUE(host.rows.empty());
  setPageScriptBudget(kPageScriptBudgetMs);
  setEngineLimits(savedLimits);
}

TEST_F(QueryTest, TheWindowIsKeptAliveWhileThePagesAreAwaited) {
  serve([](const Request& r, Connection& c) {
    c.stall(300);
    c.reply(200, songs(2, offsetOf(r) + 1));
  });
  std::vector<std::string> panesWhileWaiting;
  host.onKeepAlive = [&] { panesWhileWaiting.push_back(host.panes[0]); };
  const auto t0 = std::chrono::steady_clock::now();
  host.fire(n.mainWindow, n.tagLabels[0], EventKind::LeftUp);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(host.waitsBegun, 1);
  EXPECT_EQ(host.waitsEnded, 1);
  // Often enough to paint smoothly: tens of times a second over the whole wait.
  EXPECT_GE(host.keepAlives, static_cast<int>(s * 20)) << s << " s";
  ASSERT_FALSE(panesWhileWaiting.empty());
  for (const std::string& pane : panesWhileWaiting)
    ASSERT_EQ(pane, gbk("状态：正在搜索…"));
  ASSERT_EQ(host.rows.size(), 6u);
  EXPECT_EQ(host.rows[5][1], gbk("歌42"));
  EXPECT_EQ(host.panes[0], gbk("状态：搜索完成"));
}

TEST_F(QueryTest, ACloseWhileWaitingAbandonsTheRemainingPages) {
  serve([](const Request&, Connection& c) { c.stall(20000); });
  host.onKeepAlive = [&] { host.closeRequested = !server->requests().empty(); };
  const auto t0 = std::chrono::steady_clock::now();
  QueryOutcome outcome = onTagClicked(host, n.tagLabels[0]);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(s, 1.0);
  EXPECT_TRUE(outcome.abandoned);
  EXPECT_EQ(server->requests().size(), 1u);
  EXPECT_EQ(host.waitsEnded, 1);
  EXPECT_TRUE(host.rows.empty());
}
