#include "http/http_request.h"

#include <gtest/gtest.h>

#include <chrono>

#include "test_server.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::Request;
using tunova::test::TestServer;

namespace {

std::string text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

TestServer okServer(const std::string& body = "hello", const std::string& extra = {}) {
  return TestServer([body, extra](const Request&, Connection& c) { c.reply(200, body, extra); });
}

class HttpRequestTest : public ::testing::Test {
protected:
  void SetUp() override { clearCookieStore(); }
};

} // namespace

TEST_F(HttpRequestTest, UrlAloneSendsTheDefaultHeaderTextAndReturnsTheBody) {
  TestServer server = okServer("hello");
  const std::string url = server.url("/a/b?x=1");
  std::string headers, returned;
  const Bytes body = httpRequest(url, kHttpGet, {}, nullptr, nullptr, &headers, &returned);
  EXPECT_EQ(text(body), "hello");
  EXPECT_EQ(headers, "Accept: */*\r\nReferer: " + url + "\r\nAccept-Language: zh-cn");
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].raw,
            "GET /a/b?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                "\r\nUser-Agent: " + kDefaultUserAgent + "\r\nAccept: */*\r\nReferer: " + url +
                "\r\nAccept-Language: zh-cn\r\n\r\n");
  EXPECT_EQ(returned.rfind("HTTP/1.1 200 Test\r\n", 0), 0u);
  EXPECT_NE(returned.find("Content-Length: 5\r\n"), std::string::npos);
}

TEST_F(HttpRequestTest, MethodsOutsideTheTableAreGetAndGetSendsNoBody) {
  TestServer server = okServer();
  for (int method : {8, -1, 0}) {
    Bytes postBytes{'z'};
    httpRequest(server.url("/m"), method, "a=1", nullptr, nullptr, nullptr, nullptr, false,
                &postBytes);
  }
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (const Request& r : reqs) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.header("Content-Length"), "");
  }
}

TEST_F(HttpRequestTest, PostFillsPostBytesFromPostTextAndAddsTheFormType) {
  TestServer server = okServer();
  Bytes postBytes;
  std::string headers;
  httpRequest(server.url("/p"), kHttpPost, "a=1", nullptr, nullptr, &headers, nullptr, false,
              &postBytes);
  EXPECT_EQ(postBytes, (Bytes{'a', '=', '1'}));
  ASSERT_EQ(server.requests().size(), 1u);
  const Request r = server.requests()[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.body, "a=1");
  EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.headerCount("Content-Type"), 1);
  EXPECT_NE(headers.find("\r\nContent-Type: application/x-www-form-urlencoded"), std::string::npos);
}

TEST_F(HttpRequestTest, ContentTypeRules) {
  TestServer server = okServer();
  std::string given = "Content-Type: text/plain";
  httpRequest(server.url("/1"), kHttpPost, "x", nullptr, nullptr, &given);
  httpRequest(server.url("/2"), kHttpPut, "y");
  Bytes bytes{'b', 0, 'c'}; // postBytes wins over postText and may hold zero bytes
  httpRequest(server.url("/3"), kHttpDelete, "ignored", nullptr, nullptr, nullptr, nullptr, false,
              &bytes);
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].header("Content-Type"), "text/plain");
  EXPECT_EQ(reqs[0].headerCount("Content-Type"), 1);
  EXPECT_EQ(reqs[1].method, "PUT");
  EXPECT_EQ(reqs[1].body, "y");
  EXPECT_EQ(reqs[1].headerCount("Content-Type"), 0);
  EXPECT_EQ(reqs[2].method, "DELETE");
  EXPECT_EQ(reqs[2].body, std::string("b\0c", 3));
}

TEST_F(HttpRequestTest, AcceptAndUserAgentTests) {
  TestServer server = okServer();
  std::string lower = "accept: text/html";
  httpRequest(server.url("/a"), kHttpGet, {}, nullptr, nullptr, &lower);
  EXPECT_EQ(lower.rfind("accept: text/html\r\nAccept: */*\r\nReferer: ", 0), 0u);
  std::string agent = "user-agent: Foo";
  httpRequest(server.url("/b"), kHttpGet, {}, nullptr, nullptr, &agent);
  std::string both = "X-A: 1\r\nUser-Agent:  Bar Baz \r\nX-B: 2";
  httpRequest(server.url("/c"), kHttpGet, {}, nullptr, nullptr, &both);
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1].header("User-Agent"), "Foo");
  EXPECT_EQ(reqs[1].headerCount("User-Agent"), 1);
  EXPECT_EQ(reqs[2].header("User-Agent"), "Bar Baz");
  EXPECT_EQ(reqs[2].headerCount("User-Agent"), 1);
  EXPECT_EQ(reqs[2].header("X-B"), "2");
  EXPECT_EQ(userAgentOf("user-agent: Foo"), "Foo");
  EXPECT_EQ(userAgentOf("X: 1"), kDefaultUserAgent);
  // An agent ends at its line end, whatever follows it.
  EXPECT_EQ(userAgentOf("user-agent: Foo\r\nX-Evil: 1"), "Foo");
  EXPECT_EQ(userAgentOf("X: 1\r\nuser-agent: Foo\r\nY: 2"), "Foo");
  EXPECT_EQ(userAgentOf("User-Agent: Foo\nX-Evil: 1"), "Foo");
  EXPECT_EQ(userAgentOf("user-agent: Foo\rX-Evil: 1"), "Foo");
  for (const char* h : {"User-Agent: A\nB", "user-agent: A\r\nB: c", "User-Agent:\r\nX: y"}) {
    const std::string one = userAgentOf(h);
    EXPECT_EQ(one.find_first_of("\r\n"), std::string::npos) << h;
  }
}

TEST_F(HttpRequestTest, CookieLinesAndCollection) {
  TestServer server = okServer("", "Set-Cookie: a=1; path=/\r\nset-cookie: b=2\r\n");
  std::string send = "Cookie: a=1";
  std::string got, returnedHeaders;
  httpRequest(server.url("/c"), kHttpGet, {}, &send, &got, nullptr, &returnedHeaders, false,
              nullptr, {}, false);
  EXPECT_EQ(server.requests()[0].header("Cookie"), "a=1");
  EXPECT_EQ(server.requests()[0].headerCount("Cookie"), 1);
  EXPECT_EQ(got, "a=1; b=2");
  EXPECT_NE(returnedHeaders.find("Set-Cookie: b=2\r\n"), std::string::npos); // normalised case

  std::string jar = "z=9";
  got.clear();
  httpRequest(server.url("/d"), kHttpGet, {}, &jar, &got);
  EXPECT_EQ(server.requests()[1].header("Cookie"), "z=9");
  EXPECT_EQ(got, "a=1; b=2; z=9");
  EXPECT_EQ(jar, "a=1; b=2; z=9");
}

TEST_F(HttpRequestTest, CookieStoreCarriesCookiesUnlessCookiesAreSupplied) {
  int n = 0;
  TestServer server([&n](const Request&, Connection& c) {
    c.reply(200, "", ++n == 1 ? "Set-Cookie: sid=abc; path=/\r\n" : "");
  });
  httpRequest(server.url("/login"));
  httpRequest(server.url("/next"));
  std::string empty;
  std::string got = "untouched";
  httpRequest(server.url("/private"), kHttpGet, {}, &empty, &got);
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].header("Cookie"), "");
  EXPECT_EQ(reqs[1].header("Cookie"), "sid=abc");
  EXPECT_EQ(reqs[2].headerCount("Cookie"), 0);
  EXPECT_EQ(got, ""); // the merge still runs with the empty cookie text
}

TEST_F(HttpRequestTest, RedirectsFollowedUnlessTurnedOff) {
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/from") {
      c.reply(302, "moved", "Location: /to\r\n");
    } else {
      c.reply(200, "arrived");
    }
  });
  std::string headers;
  EXPECT_EQ(
      text(httpRequest(server.url("/from"), kHttpGet, {}, nullptr, nullptr, nullptr, &headers)),
      "arrived");
  EXPECT_EQ(headers.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(text(httpRequest(server.url("/from"), kHttpGet, {}, nullptr, nullptr, nullptr, &headers,
                             true)),
            "moved");
  EXPECT_EQ(headers.rfind("HTTP/1.1 302", 0), 0u);
}

TEST_F(HttpRequestTest, OnlyHttpAndHttpsAreFetchedAlsoAfterARedirect) {
  TestServer server(
      [](const Request&, Connection& c) { c.reply(302, "", "Location: file:///etc/passwd\r\n"); });
  EXPECT_TRUE(httpRequest(server.url("/x")).empty());
  EXPECT_TRUE(httpRequest("ftp://127.0.0.1/x").empty());
  EXPECT_TRUE(httpRequest("file:///etc/passwd").empty());
}

TEST_F(HttpRequestTest, ErrorStatusReturnsItsBody) {
  TestServer server([](const Request&, Connection& c) { c.reply(404, "not here"); });
  std::string headers;
  EXPECT_EQ(
      text(httpRequest(server.url("/none"), kHttpGet, {}, nullptr, nullptr, nullptr, &headers)),
      "not here");
  EXPECT_EQ(headers.rfind("HTTP/1.1 404", 0), 0u);
}

TEST_F(HttpRequestTest, BodyLimitFailsTheRequest) {
  TestServer server = okServer(std::string(5000, 'x'));
  EXPECT_EQ(httpRequest(server.url("/big")).size(), 5000u);
  HttpOptions limited;
  limited.maxBodyBytes = 4999;
  EXPECT_TRUE(httpRequest(server.url("/big"), limited).empty());
  limited.maxBodyBytes = 5000;
  EXPECT_EQ(httpRequest(server.url("/big"), limited).size(), 5000u);
}

TEST_F(HttpRequestTest, UnreachableAndSilentServersFailWithinTheBound) {
  const HttpTimeouts saved = httpTimeouts();
  setHttpTimeouts({2000, 1000});
  const auto t0 = std::chrono::steady_clock::now();
  std::string got = "kept?";
  EXPECT_TRUE(httpRequest("http://127.0.0.1:" + std::to_string(test::closedPort()) + "/", kHttpGet,
                          {}, nullptr, &got)
                  .empty());
  EXPECT_EQ(got, "");
  TestServer silent([](const Request&, Connection& c) { c.stall(20000); });
  EXPECT_TRUE(httpRequest(silent.url("/")).empty());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 6.0);
  setHttpTimeouts(saved);
}

TEST_F(HttpRequestTest, AnyTextAsUrlGivesAnEmptyResult) {
  setHttpTimeouts({1000, 1000});
  std::string headers = "keep";
  for (const std::string& url : {std::string(), std::string("garbage"), std::string(100000, 'a'),
                                 std::string("http://\xD6\xD0\xCE\xC4/"),
                                 std::string("http://a b/"), std::string("http://127.0.0.1:99999/"),
                                 std::string("http://[::1/"), std::string("http://127.0.0.1:0/")}) {
    EXPECT_TRUE(httpRequest(url, kHttpGet, {}, nullptr, nullptr, &headers).empty());
  }
  setHttpTimeouts({});
}

TEST(HttpFlags, ComputedAsThePlatformWould) {
  EXPECT_EQ(requestFlags(false, false, false), 0x80000000u | 0x10u | 0x4000u);
  EXPECT_EQ(requestFlags(true, true, true), 0x80000000u | 0x10u | 0x80000u | 0x200000u | 0x800000u);
  EXPECT_STREQ(httpVerb(7), "CONNECT");
  EXPECT_STREQ(httpVerb(99), "GET");
}

TEST(Redirects, MethodAndSchemeRules) {
  EXPECT_EQ(methodAfterRedirect(303, kHttpPost), kHttpGet);
  EXPECT_EQ(methodAfterRedirect(303, kHttpPut), kHttpGet);
  EXPECT_EQ(methodAfterRedirect(303, kHttpHead), kHttpHead);
  EXPECT_EQ(methodAfterRedirect(302, kHttpPost), kHttpGet);
  EXPECT_EQ(methodAfterRedirect(301, kHttpPost), kHttpGet);
  EXPECT_EQ(methodAfterRedirect(302, kHttpPut), kHttpPut);
  EXPECT_EQ(methodAfterRedirect(307, kHttpPost), kHttpPost);
  EXPECT_EQ(methodAfterRedirect(308, kHttpPost), kHttpPost);
  EXPECT_TRUE(redirectAllowed(false, "http://a/"));
  EXPECT_TRUE(redirectAllowed(false, "https://a/"));
  EXPECT_TRUE(redirectAllowed(true, "HTTPS://a/"));
  EXPECT_FALSE(redirectAllowed(true, "http://a/"));
  EXPECT_FALSE(redirectAllowed(false, "ftp://a/"));
  EXPECT_FALSE(redirectAllowed(false, "file:///etc/passwd"));
}

TEST_F(HttpRequestTest, RedirectsOnTheWire) {
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/see-other") c.reply(303, "", "Location: /landing\r\n");
    if (r.target == "/found") c.reply(302, "", "Location: /landing\r\n");
    if (r.target == "/temporary") c.reply(307, "", "Location: /landing\r\n");
    if (r.target == "/landing") c.reply(200, r.method + ":" + r.body);
  });
  const std::pair<std::string, std::string> cases[] = {
      {"/see-other", "GET:"}, {"/found", "GET:"}, {"/temporary", "POST:a=1"}};
  for (const auto& [path, landed] : cases) {
    SCOPED_TRACE(path);
    const Bytes body = httpRequest(server.url(path), kHttpPost, "a=1");
    EXPECT_EQ(text(body), landed);
  }
  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 6u);
  EXPECT_EQ(reqs[1].method, "GET");
  EXPECT_EQ(reqs[1].header("Content-Length"), "");
  // A 303 answering a PUT goes on as a GET too.
  EXPECT_EQ(text(httpRequest(server.url("/see-other"), kHttpPut, "x")), "GET:");
}

TEST_F(HttpRequestTest, BareLineFeedsAndTrailersInTheHeaderBlock) {
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/lf") {
      c.send("HTTP/1.1 200 OK\nSet-Cookie: a=1; path=/\nset-cookie: b=2\nContent-Length: 2\n"
             "Connection: close\n\nok");
    } else {
      c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Trail\r\n"
             "Connection: close\r\n\r\n2\r\nok\r\n0\r\nX-Trail: late\r\n\r\n");
    }
  });
  std::string headers, cookies;
  std::string sent = "";
  EXPECT_EQ(text(httpRequest(server.url("/lf"), kHttpGet, {}, &sent, &cookies, nullptr, &headers)),
            "ok");
  EXPECT_EQ(cookies, "a=1; b=2");
  EXPECT_EQ(headers, "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n"
                     "Content-Length: 2\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(
      text(httpRequest(server.url("/chunked"), kHttpGet, {}, nullptr, nullptr, nullptr, &headers)),
      "ok");
  EXPECT_EQ(headers.find("X-Trail: late"), std::string::npos) << headers;
  EXPECT_EQ(headers.substr(headers.size() - 4), "\r\n\r\n");
}

TEST_F(HttpRequestTest, ADeadlineEndsATricklingAnswer) {
  // Two bytes every 100 ms never trips the idle rule; only the deadline ends it.
  TestServer server([](const Request&, Connection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 600 && c.send("xx"); ++i)
      c.stall(100);
  });
  HttpOptions o;
  o.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(httpRequest(server.url("/slow"), o).empty());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(s, 0.7); // it was the deadline, not an error, that ended it
  EXPECT_LT(s, 5.0);
  // A deadline already passed sends nothing.
  o.deadline = std::chrono::steady_clock::now() - std::chrono::milliseconds(1);
  EXPECT_TRUE(httpRequest(server.url("/slow"), o).empty());
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpRequestTest, TheWaitingRoutineRunsOftenAndCanAbandonTheRequest) {
  // A body that comes after 400 ms, and redirects on the way: the routine runs between polls
  // throughout, and the answer is the same as without it.
  TestServer server([](const Request& r, Connection& c) {
    if (r.target == "/start") {
      c.reply(302, "", "Location: /late\r\n");
      return;
    }
    c.stall(400);
    c.reply(200, std::string(300000, 'b'));
  });
  int calls = 0;
  HttpOptions o;
  std::string returned;
  o.returnedHeaders = &returned;
  o.whileWaiting = [&calls] { return ++calls > 0; };
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(text(httpRequest(server.url("/start"), o)), std::string(300000, 'b'));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(returned.rfind("HTTP/1.1 200", 0), 0u) << returned;
  EXPECT_GE(calls, static_cast<int>(s * 20)) << calls << " calls in " << s << " s";

  // Abandoned while the server says nothing: the call fails at once.
  TestServer silent([](const Request&, Connection& c) { c.stall(20000); });
  o.whileWaiting = [&silent] { return silent.requests().empty(); };
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_TRUE(httpRequest(silent.url("/x"), o).empty());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count(), 1.0);
  // What the abandoned request left running ends when the program asks for it, though the
  // server still says nothing.
  const auto t2 = std::chrono::steady_clock::now();
  finishAbandonedRequests();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t2).count(), 5.0);
}

TEST_F(HttpRequestTest, PostOnTheWire) {
  TestServer server = okServer();
  const std::string url = server.url("/form");
  httpRequest(url, kHttpPost, "a=1&b=2");
  ASSERT_EQ(server.requests().size(), 1u);
  const Request r = server.requests()[0];
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  const std::string agent = std::string("User-Agent: ") + kDefaultUserAgent + "\r\n";
  const std::string length = "Content-Length: 7\r\n";
  const std::string caller = "Accept: */*\r\nReferer: " + url +
                             "\r\nAccept-Language: zh-cn\r\nContent-Type: "
                             "application/x-www-form-urlencoded\r\n";
#ifdef _WIN32
  // WinInet writes the body's length right after Host, before the agent.
  EXPECT_EQ(r.raw, "POST /form HTTP/1.1\r\n" + host + length + agent + caller + "\r\n");
#else
  EXPECT_EQ(r.raw, "POST /form HTTP/1.1\r\n" + host + agent + caller + length + "\r\n");
#endif
  EXPECT_EQ(r.body, "a=1&b=2");
}
