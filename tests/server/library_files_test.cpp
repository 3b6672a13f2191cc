// tunova-catalogue serves only the library's own audio files, counts a play once an hour per
// client address, and cuts clients that take an answer too slowly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http/http_request.h"
#include "sandbox.h"
#include "server/library.h"
#include "server/service.h"
#include "text/text.h"

using namespace tunova;
using namespace tunova::catalogue;
namespace fs = std::filesystem;

namespace {

// `frames` MPEG-1 layer III frames (128 kbit/s, 44.1 kHz) of silence: a file TagLib reads as
// audio.
std::string mp3(int frames) {
  std::string frame(417, '\0');
  frame[0] = static_cast<char>(0xFF);
  frame[1] = static_cast<char>(0xFB);
  frame[2] = static_cast<char>(0x90);
  frame[3] = static_cast<char>(0x64);
  std::string out;
  for (int i = 0; i < frames; ++i)
    out += frame;
  return out;
}

void write(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

// A service on a library folder, served from a thread while it lives.
struct Serving {
  Serving(const fs::path& folder, const fs::path& index, HttpLimits limits = {})
      : library(folder.string(), index.string()), service(library, limits) {
    EXPECT_TRUE(service.bind("127.0.0.1:0"));
    thread = std::thread([this] { service.run(); });
  }
  ~Serving() {
    service.stop();
    thread.join();
  }
  std::string get(const std::string& path, int* status = nullptr) {
    std::string head;
    HttpOptions options;
    options.returnedHeaders = &head;
    const Bytes body =
        httpRequest("http://127.0.0.1:" + std::to_string(service.port()) + path, options);
    if (status) *status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
    return std::string(body.begin(), body.end());
  }
  long long idOf(const std::string& term) {
    const Page p = library.search(term, 0, 5);
    return p.songs.size() == 1 ? p.songs[0].id : 0;
  }
  Library library;
  Service service;
  std::thread thread;
};

// A request from a given loopback address; the whole answer as received.
std::string getFrom(const char* from, int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char chunk[65536];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
      answer.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

TEST(LibraryFiles, OnlyAudioFilesInsideTheFolderAreIndexedAndServed) {
  test::Sandbox dir("tunova-files");
  const fs::path lib = dir / "lib", outside = dir / "outside";
  fs::create_directories(lib);
  fs::create_directories(outside);
  write(lib / "歌手 - 好歌.mp3", mp3(40));
  write(outside / "secret.mp3", mp3(30));
  fs::create_symlink(outside / "secret.mp3", lib / "链接 - 外面.mp3");
  fs::create_symlink("/etc/passwd", lib / "passwd.mp3");
  fs::create_symlink(lib / "歌手 - 好歌.mp3", lib / "里面 - 同一首.mp3"); // a link inside
  write(lib / "网页 - 页面.mp3", "<!DOCTYPE html><html><body>not a song</body></html>");
  write(lib / "空 - 空的.mp3", "");
  write(lib / "\xD4\xC2\xB9\xE2 - gbk.mp3", mp3(20)); // a name in GBK, not UTF-8
  Serving s(lib, dir / "index.sqlite");
  EXPECT_EQ(s.library.size(), 3); // 好歌, its link inside the folder, and the GBK name
  EXPECT_NE(s.idOf("好歌"), 0);
  EXPECT_NE(s.idOf("同一首"), 0);
  for (const char* term : {"外面", "passwd", "root", "页面", "空的"})
    EXPECT_EQ(s.library.search(term, 0, 5).songs.size(), 0u) << term;
  // The GBK name answers as valid UTF-8 (U+FFFD for what is not UTF-8).
  const std::string answer = s.get("/zamrilo/music/search/songs?query=gbk");
  EXPECT_EQ(validUtf8(answer), answer);
  EXPECT_NE(answer.find("\xEF\xBF\xBD"), std::string::npos) << answer;
  int status = 0;
  EXPECT_EQ(s.get("/media/" + std::to_string(s.idOf("好歌")) + ".mp3", &status), mp3(40));
  EXPECT_EQ(status, 200);

  // A song replaced by a link to a file outside after the scan is refused, not served.
  const long long id = s.idOf("好歌");
  fs::remove(lib / "歌手 - 好歌.mp3");
  fs::create_symlink(outside / "secret.mp3", lib / "歌手 - 好歌.mp3");
  EXPECT_NE(s.get("/media/" + std::to_string(id) + ".mp3", &status), mp3(30));
  EXPECT_EQ(status, 404);
}

TEST(LibraryFiles, APlayCountsOnceAnHourForEachClientAddress) {
  test::Sandbox dir("tunova-plays");
  fs::create_directories(dir / "lib");
  write(dir / "lib" / "歌手 - 常听.mp3", mp3(10));
  Serving s(dir / "lib", dir / "index.sqlite");
  const long long id = s.idOf("常听");
  ASSERT_NE(id, 0);
  const std::string media = "/media/" + std::to_string(id) + ".mp3";
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(s.get(media), mp3(10));
  EXPECT_EQ(s.library.song(id)->plays, 1);
  // Another address counts on its own.
  EXPECT_NE(getFrom("127.0.0.2", s.service.port(), media).find(" 200 OK"), std::string::npos);
  getFrom("127.0.0.2", s.service.port(), media);
  EXPECT_EQ(s.library.song(id)->plays, 2);
}

TEST(LibraryFiles, AReaderTooSlowIsCutWhileOthersAreServed) {
  test::Sandbox dir("tunova-slow");
  fs::create_directories(dir / "lib");
  write(dir / "lib" / "长 - 长歌.mp3", mp3(60000)); // 25 MB
  HttpLimits limits;
  limits.writeMs = 1000;
  limits.minReadBytesPerSecond = 4 * 1024 * 1024;
  Serving s(dir / "lib", dir / "index.sqlite", limits);
  const long long id = s.idOf("长歌");
  ASSERT_NE(id, 0);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(s.service.port()));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  const std::string request =
      "GET /media/" + std::to_string(id) + ".mp3 HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  // Reads about 20 KB a second until the service hangs up (or 15 s pass).
  const auto t0 = std::chrono::steady_clock::now();
  long long got = 0;
  bool cut = false;
  while (!cut && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(15)) {
    char chunk[1000];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      cut = n <= 0;
      got += n > 0 ? n : 0;
    }
    EXPECT_EQ(s.get("/ping"), "ok\n"); // everyone else is served meanwhile
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::close(fd);
  EXPECT_TRUE(cut) << "a reader taking " << got << " bytes in 15 s was kept";
  EXPECT_LT(got, 25'000'000);
  EXPECT_EQ(s.library.song(id)->plays, 0); // a song cut short is no play
}

} // namespace
