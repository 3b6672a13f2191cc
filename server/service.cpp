#include "server/service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "text/text.h"

namespace tunova::catalogue {

namespace {

bool digits(const std::string& s) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeComponent(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
               hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A whole number from a query parameter; `fallback` when absent or not a number.
long long numberParam(const std::string& query, const char* name, long long fallback) {
  bool found = false;
  const std::string v = queryParam(query, name, &found);
  if (!found || v.empty() || v.size() > 9) return fallback;
  for (char c : v) {
    if (c < '0' || c > '9') return fallback;
  }
  return std::stoll(v);
}

// A search term with a control character in it (a NUL would cut the term short in the index)
// matches nothing.
bool plainTerm(const std::string& term) {
  for (unsigned char c : term)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

bool hostChar(unsigned char c) {
  return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
}

HttpResponse plain(int status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  r.body = text + "\n";
  return r;
}

} // namespace

std::string pageJson(const Page& page, const std::string& publicUrl) {
  std::string out = "{\"status_code\":0,\"has_more\":";
  out += page.hasMore ? "true" : "false";
  out += ",\"data\":[";
  bool first = true;
  for (const Song& s : page.songs) {
    if (!first) out += ',';
    first = false;
    out += "{\"id\":" + std::to_string(s.id) + ",\"title\":";
    appendJsonString(out, s.title);
    out += ",\"author\":";
    appendJsonString(out, s.artist);
    out += ",\"album\":";
    appendJsonString(out, s.album);
    out += ",\"duration\":" + std::to_string(s.duration);
    out += ",\"play_url\":{\"url_list\":[";
    appendJsonString(out, publicUrl + "/media/" + std::to_string(s.id) + ".mp3");
    out += "]}}";
  }
  out += "]}";
  return out;
}

ByteRange parseRange(const std::string& header, std::uint64_t size) {
  const ByteRange whole;
  if (header.size() < 6) return whole;
  if (asciiLower(header.substr(0, 6)) != "bytes=") return whole;
  std::string ranges = header.substr(6);
  while (!ranges.empty() && (ranges.front() == ' ' || ranges.front() == '\t'))
    ranges.erase(0, 1);
  while (!ranges.empty() && (ranges.back() == ' ' || ranges.back() == '\t'))
    ranges.pop_back();
  // More than one range is answered with the whole file, which is never more than the file.
  if (ranges.find(',') != std::string::npos) return whole;
  const std::size_t dash = ranges.find('-');
  if (dash == std::string::npos) return whole;
  const std::string a = ranges.substr(0, dash), b = ranges.substr(dash + 1);
  const ByteRange none{ByteRange::Unsatisfiable, 0, 0};
  ByteRange r;
  r.kind = ByteRange::Part;
  if (a.empty()) { // the last b bytes
    if (!digits(b)) return whole;
    const std::uint64_t n = std::stoull(b);
    if (n == 0 || size == 0) return none;
    r.first = n >= size ? 0 : size - n;
    r.last = size - 1;
    return r;
  }
  if (!digits(a) || (!b.empty() && !digits(b))) return whole;
  r.first = std::stoull(a);
  r.last = b.empty() ? UINT64_MAX : std::stoull(b);
  if (r.last < r.first) return whole;
  if (r.first >= size) return none;
  r.last = std::min(r.last, size - 1);
  return r;
}

std::string queryParam(const std::string& query, const std::string& name, bool* found) {
  if (found) *found = false;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const std::size_t eq = pair.find('=');
    if (decodeComponent(pair.substr(0, eq)) == name) {
      if (found) *found = true;
      return eq == std::string::npos ? std::string() : decodeComponent(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return {};
}

namespace {

// HOST:PORT, an IPv6 host in brackets.
std::string hostAndPort(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace

std::string defaultPublicUrl(const std::string& host, int port) {
  return "http://" + hostAndPort(host, port);
}

bool validPublicUrl(const std::string& url) {
  std::size_t at = 0;
  if (url.rfind("http://", 0) == 0) {
    at = 7;
  } else if (url.rfind("https://", 0) == 0) {
    at = 8;
  } else {
    return false;
  }
  const std::size_t slash = url.find('/', at);
  const std::string host = url.substr(at, slash == std::string::npos ? slash : slash - at);
  if (host.empty() || host.size() > 255) return false;
  for (unsigned char c : host)
    if (!hostChar(c)) return false;
  for (std::size_t i = at + host.size(); i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\' || c == '<' || c == '>') return false;
  }
  return true;
}

Service::Service(Library& library, HttpLimits limits)
    : library_(library), server_([this](const HttpRequest& r) { return handle(r); }, limits) {}

Service::~Service() {
  stop();
}

bool Service::bind(const std::string& address) {
  // HOST:PORT, [V6]:PORT, or a host alone (the default port).
  std::string host = address;
  std::string number = "8960";
  const std::size_t close = address.find(']');
  const std::size_t colon = address.rfind(':');
  if (address.rfind('[', 0) == 0 && close != std::string::npos) {
    host = address.substr(1, close - 1);
    if (close + 1 < address.size()) {
      if (address[close + 1] != ':') return false;
      number = address.substr(close + 2);
    }
  } else if (colon != std::string::npos && address.find(':') == colon) {
    host = address.substr(0, colon);
    number = address.substr(colon + 1);
  }
  if (!digits(number) || number.size() > 5) return false;
  if (host.empty()) host = "127.0.0.1";
  if (!server_.bind(host, std::atoi(number.c_str()))) return false;
  address_ = hostAndPort(host, server_.port());
  if (publicUrl_.empty()) publicUrl_ = "http://" + address_;
  return true;
}

std::string Service::address() const {
  return address_;
}

int Service::port() const {
  return server_.port();
}

void Service::setPublicUrl(const std::string& url) {
  publicUrl_ = url;
  while (!publicUrl_.empty() && publicUrl_.back() == '/')
    publicUrl_.pop_back();
}

const std::string& Service::publicUrl() const {
  return publicUrl_;
}

void Service::run() {
  server_.run();
}

void Service::stop() {
  server_.stop();
}

HttpResponse Service::handle(const HttpRequest& req) {
  const bool head = req.method == "HEAD";
  if (req.method != "GET" && !head) {
    HttpResponse r = plain(405, "Method Not Allowed");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  const auto page = [&](const Page& p) {
    HttpResponse r;
    r.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
    r.body = pageJson(p, publicUrl_);
    r.headOnly = head;
    return r;
  };
  const auto paging = [&req](int& offset, int& count) {
    count = static_cast<int>(std::clamp<long long>(numberParam(req.query, "count", 20), 1, 50));
    offset = static_cast<int>(numberParam(req.query, "offset", 0));
  };
  if (req.path == "/ping") { // for health checks
    HttpResponse r = plain(200, "ok");
    r.headOnly = head;
    return r;
  }
  if (req.path == "/zamrilo/music/search/songs") {
    int offset, count;
    paging(offset, count);
    const std::string term = queryParam(req.query, "query");
    return page(term.size() > 200 || !plainTerm(term) ? Page{}
                                                      : library_.search(term, offset, count));
  }
  if (req.path == "/zamrilo/music/collection/songs") {
    int offset, count;
    paging(offset, count);
    const long long id = numberParam(req.query, "id", -1);
    return page(id < 0 ? Page{} : library_.collection(static_cast<int>(id), offset, count));
  }
  // /media/ID.mp3 with an id of 1 to 12 digits: only indexed files are ever opened.
  const std::string prefix = "/media/", suffix = ".mp3";
  const std::string& path = req.path;
  if (path.size() <= prefix.size() + suffix.size() || path.rfind(prefix, 0) != 0 ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return plain(404, "Not Found");
  }
  const std::string id = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  if (id.size() > 12 || !digits(id)) return plain(404, "Not Found");
  const auto song = library_.song(std::stoll(id));
  if (!song || song->path.empty()) return plain(404, "Not Found");
  // Opened only when the file is still a plain file inside the library (not a link to
  // elsewhere swapped in since the scan).
  const int fd = library_.openMedia(*song);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    return plain(404, "Not Found");
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const ByteRange range =
      req.headerCount("Range") == 1 ? parseRange(req.header("Range"), size) : ByteRange{};
  HttpResponse r;
  r.headers.emplace_back("Accept-Ranges", "bytes");
  r.headOnly = head;
  if (range.kind == ByteRange::Unsatisfiable) {
    ::close(fd);
    r.status = 416;
    r.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return r;
  }
  r.headers.emplace_back("Content-Type", "audio/mpeg");
  r.fileFd = fd;
  r.fileLength = size;
  if (range.kind == ByteRange::Part) {
    r.status = 206;
    r.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                std::to_string(range.last) + "/" +
                                                std::to_string(size));
    r.fileOffset = static_cast<off_t>(range.first);
    r.fileLength = range.last - range.first + 1;
  }
  // A play is a whole song handed to a client, from its first byte to its last, counted once
  // an hour for each client address: a loop of downloads does not push a song up 热门.
  if (!head && r.fileOffset == 0 && r.fileLength == size) {
    r.onSent = [this, songId = song->id, peer = req.peer] {
      if (firstPlayThisHour(peer, songId)) library_.countPlay(songId);
    };
  }
  return r;
}

bool Service::firstPlayThisHour(const std::string& peer, long long song) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kHour = std::chrono::hours(1);
  constexpr std::size_t kRemembered = 100000;
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(playsMutex_);
  if (lastPlays_.size() >= kRemembered) {
    // Forget the plays older than an hour; while that leaves too many (a flood of addresses),
    // plays are not counted rather than remembered without bound.
    for (auto it = lastPlays_.begin(); it != lastPlays_.end();)
      it = now - it->second >= kHour ? lastPlays_.erase(it) : std::next(it);
    if (lastPlays_.size() >= kRemembered) return false;
  }
  const auto [it, fresh] = lastPlays_.try_emplace({peer, song}, now);
  if (fresh) return true;
  if (now - it->second < kHour) return false;
  it->second = now;
  return true;
}

} // namespace tunova::catalogue
