// tunova-catalogue: indexing, search, paging, collections, media ranges and hostile requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "http/http_request.h"
#include "server/demo.h"
#include "server/library.h"
#include "server/service.h"
#include "text/codepage.h"
#include "json/json_object.h"

using namespace tunova;
using namespace tunova::catalogue;
namespace fs = std::filesystem;

namespace {

fs::path g_library;

class ServiceTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "tunova-lib-XXXXXX").string();
    g_library = ::mkdtemp(pattern.data());
    ASSERT_GE(makeDemoLibrary(g_library.string()), 40);
  }
  static void TearDownTestSuite() { fs::remove_all(g_library); }

  void SetUp() override {
    index = g_library / ("index-" + std::to_string(counter++) + ".sqlite");
    library = std::make_unique<Library>(g_library.string(), index.string());
    service = std::make_unique<Service>(*library);
    ASSERT_TRUE(service->bind("127.0.0.1:0"));
    thread = std::thread([this] { service->run(); });
    for (int i = 0; i < 100 && get("/zamrilo/music/search/songs?query=x").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void TearDown() override {
    service->stop();
    thread.join();
  }
  std::string url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(service->port()) + path;
  }
  std::string get(const std::string& path, std::string* headers = nullptr,
                  const std::string& extra = {}, int method = kHttpGet) {
    std::string h = extra;
    const Bytes b = httpRequest(url(path), method, {}, nullptr, nullptr, &h, headers);
    return std::string(b.begin(), b.end());
  }
  // The songs of an answer as "title/author" in GBK, and has_more.
  std::vector<std::string> titles(const std::string& path, bool* hasMore = nullptr) {
    JsonObject j;
    std::vector<std::string> out;
    if (!j.parse(fromUtf8(get(path)))) return {"<not json>"};
    if (hasMore) *hasMore = j.getText("has_more") == "true";
    for (int i = 0; i < j.count("data"); ++i) {
      out.push_back(toUtf8(j.getText("data[" + std::to_string(i) + "].title")));
    }
    return out;
  }

  static inline int counter = 0;
  fs::path index;
  std::unique_ptr<Library> library;
  std::unique_ptr<Service> service;
  std::thread thread;
};

} // namespace

TEST_F(ServiceTest, IndexesTheLibraryAndRescansOnlyChangedFiles) {
  EXPECT_EQ(library->size(), 42);
  EXPECT_EQ(library->scanned(), 42);
  service->stop();
  thread.join();
  Library again(g_library.string(), index.string());
  EXPECT_EQ(again.scanned(), 0);
  // A file without tags is named by "Artist - Title.mp3"; a removed file leaves the index.
  const fs::path first = *fs::directory_iterator(g_library);
  std::ofstream(g_library / "无名 - 新歌.mp3", std::ios::binary) << std::string(4096, '\0');
  Library third(g_library.string(), index.string());
  EXPECT_EQ(third.scanned(), 1);
  EXPECT_EQ(third.size(), 43);
  const Page p = third.search("新歌", 0, 10);
  ASSERT_EQ(p.songs.size(), 1u);
  EXPECT_EQ(p.songs[0].artist, "无名");
  fs::remove(g_library / "无名 - 新歌.mp3");
  Library fourth(g_library.string(), index.string());
  EXPECT_EQ(fourth.size(), 42);
  thread = std::thread([] {});
}

TEST_F(ServiceTest, ChineseSubstringsMatchShortAndLong) {
  EXPECT_EQ(titles("/zamrilo/music/search/songs?query=" + urlEncode(gbk("月光"))),
            (std::vector<std::string>{"你的名字是月光"}));
  EXPECT_EQ(titles("/zamrilo/music/search/songs?query=" + urlEncode(gbk("名字是"))),
            (std::vector<std::string>{"你的名字是月光"}));
  EXPECT_EQ(titles("/zamrilo/music/search/songs?query=" + urlEncode(gbk("林晓岚"))).size(), 6u);
  EXPECT_TRUE(titles("/zamrilo/music/search/songs?query=%25").empty()); // "%" is literal
  EXPECT_TRUE(titles("/zamrilo/music/search/songs?query=zzzzz").empty());
}

TEST_F(ServiceTest, PagingAndCountClamp) {
  bool more = false;
  const auto p1 = titles("/zamrilo/music/collection/songs?id=850&count=20&offset=0", &more);
  EXPECT_EQ(p1.size(), 20u);
  EXPECT_TRUE(more);
  const auto p3 = titles("/zamrilo/music/collection/songs?id=850&count=20&offset=40", &more);
  EXPECT_EQ(p3.size(), 2u);
  EXPECT_FALSE(more);
  EXPECT_EQ(titles("/zamrilo/music/collection/songs?id=850&count=0").size(), 1u);
  EXPECT_EQ(titles("/zamrilo/music/collection/songs?id=850&count=9999").size(), 42u);
  EXPECT_EQ(titles("/zamrilo/music/collection/songs?id=850&count=50&offset=0").size(), 42u);
}

TEST_F(ServiceTest, CollectionsByGenreAndByPlays) {
  const auto romance = titles("/zamrilo/music/collection/songs?id=856");
  EXPECT_EQ(romance.size(), 7u);
  EXPECT_NE(std::find(romance.begin(), romance.end(), "玫瑰与诗"), romance.end());
  EXPECT_TRUE(titles("/zamrilo/music/collection/songs?id=852").empty());
  EXPECT_TRUE(titles("/zamrilo/music/collection/songs?id=9999999").empty());
  // The most fetched song leads 热门; a HEAD or a resumed range does not count as a play.
  const Page target = library->search("老街故事", 0, 1);
  ASSERT_EQ(target.songs.size(), 1u);
  const std::string media = "/media/" + std::to_string(target.songs[0].id) + ".mp3";
  get(media);
  get(media);
  EXPECT_EQ(titles("/zamrilo/music/collection/songs?id=850&count=1"),
            (std::vector<std::string>{"老街故事"}));
}

TEST_F(ServiceTest, AnswerShapeAndHostHeader) {
  const std::string body =
      get("/zamrilo/music/collection/songs?id=857&count=1", nullptr, "Host: music.example:8080");
  EXPECT_EQ(body.rfind("{\"status_code\":0,\"has_more\":true,\"data\":[{\"id\":", 0), 0u);
  EXPECT_NE(body.find("\"play_url\":{\"url_list\":[\"http://music.example:8080/media/"),
            std::string::npos);
  EXPECT_NE(body.find("\"duration\":"), std::string::npos);
  // A hostile Host header does not reach the answer.
  const std::string odd =
      get("/zamrilo/music/collection/songs?id=857&count=1", nullptr, "Host: a\"b</x>");
  EXPECT_EQ(odd.find("a\"b"), std::string::npos);
}

TEST_F(ServiceTest, MediaWithRangesAndHead) {
  std::string headers;
  const std::string whole = get("/media/1.mp3", &headers);
  EXPECT_GT(whole.size(), 10000u);
  EXPECT_NE(headers.find("Content-Type: audio/mpeg"), std::string::npos);
  const std::string part = get("/media/1.mp3", &headers, "Range: bytes=100-199");
  EXPECT_EQ(headers.rfind("HTTP/1.1 206", 0), 0u);
  EXPECT_EQ(part, whole.substr(100, 100));
  const std::string tail = get("/media/1.mp3", &headers, "Range: bytes=1000-");
  EXPECT_EQ(tail, whole.substr(1000));
  get("/media/1.mp3", &headers, {}, kHttpHead);
  EXPECT_NE(headers.find("Content-Length: " + std::to_string(whole.size())), std::string::npos);
}

TEST_F(ServiceTest, BadParametersGiveAnEmptyDataNeverAnError) {
  for (const char* path :
       {"/zamrilo/music/search/songs", "/zamrilo/music/search/songs?query=",
        "/zamrilo/music/search/songs?query=a&count=abc&offset=-5",
        "/zamrilo/music/collection/songs?id=abc", "/zamrilo/music/collection/songs",
        "/zamrilo/music/collection/songs?id=850&offset=99999999999999"}) {
    SCOPED_TRACE(path);
    std::string headers;
    const std::string body = get(path, &headers);
    EXPECT_EQ(headers.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(body.find("\"status_code\":0"), std::string::npos);
  }
  EXPECT_NE(get("/zamrilo/music/search/songs?query=a&count=abc&offset=-5").find("\"data\":["),
            std::string::npos);
}

TEST_F(ServiceTest, NoRequestPathReachesTheFilesystem) {
  for (const char* path :
       {"/media/../../../etc/passwd", "/media/..%2F..%2Fetc%2Fpasswd",
        "/media/1.mp3/../../etc/passwd", "/media/99999.mp3", "/media/x.mp3", "/etc/passwd", "/",
        "/media/", "/.tunova-index.sqlite", "/zamrilo/../../etc/passwd"}) {
    SCOPED_TRACE(path);
    std::string headers;
    const std::string body = get(path, &headers);
    EXPECT_EQ(headers.rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(body.find("root:"), std::string::npos);
  }
}
