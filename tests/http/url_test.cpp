#include "http/url.h"

#include <gtest/gtest.h>

using namespace tunova;

TEST(UrlSplitting, Table) {
  struct Row {
    const char* url;
    const char* host;
    int port;
    const char* path;
  } rows[] = {
      {"http://Host.Example:8080/Path/A?q=1&r=2", "host.example", 8080, "/Path/A?q=1&r=2"},
      {"https://host.example/x", "host.example", 443, "/x"},
      {"host.example/x", "host.example", 80, "/x"},
      {"http://host.example", "host.example", 80, "/"},
      {"https-mirror.example/x", "https-mirror.example", 443, "/x"},
      {"", "", 80, "/"},
      {"HTTPS://H.EXAMPLE/A", "h.example", 443, "/A"},
      {"http://h.example?x=1", "h.example?x=1", 80, "/"},
      {"http:///x", "", 80, "/x"},
      // Hosts whose text also occurs in the scheme, and IPv6 literals.
      {"http://h/x", "h", 80, "/x"},
      {"http://t/x", "t", 80, "/x"},
      {"http://tp/x?y=1", "tp", 80, "/x?y=1"},
      {"http://http/x", "http", 80, "/x"},
      {"https://s/x", "s", 443, "/x"},
      {"http://[::1]:8960/zamrilo/x", "[::1]", 8960, "/zamrilo/x"},
      {"http://[::1]/x", "[::1]", 80, "/x"},
      {"https://[fe80::1:2]/", "[fe80::1:2]", 443, "/"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.url);
    EXPECT_EQ(splitUrl(r.url), r.host);
    EXPECT_EQ(urlPort(r.url), r.port);
    EXPECT_EQ(urlPath(r.url), r.path);
  }
  EXPECT_EQ(splitUrl("http://h.example:81/", true), "h.example:81");
  EXPECT_EQ(splitUrl("http://[::1]:8960/", true), "[::1]:8960");
  EXPECT_EQ(urlPort("http://h.example:abc/"), 0);
  // The port is read after the last colon of the host-with-port text.
  EXPECT_EQ(urlPort("http://h:80:90/x"), 90);
  EXPECT_EQ(splitUrl("http://h:80:90/x"), "h");
  EXPECT_EQ(urlPort("http://[::1]:80:91/x"), 91);
}

TEST(UrlSplitting, CatalogueAddress) {
  const std::string url = "http://127.0.0.1:8960/zamrilo/music/search/songs?query=%61&count=20"
                          "&offset=0";
  EXPECT_EQ(splitUrl(url), "127.0.0.1");
  EXPECT_EQ(urlPort(url), 8960);
  EXPECT_EQ(urlPath(url), "/zamrilo/music/search/songs?query=%61&count=20&offset=0");
}
