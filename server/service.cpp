#include "server/service.h"

#include <httplib.h>

#include <cstdio>
#include <fstream>

namespace tunova::catalogue {

namespace {

// Each keep-alive connection holds a worker while it is open, so the pool is sized for many
// clients at once; idle connections are closed after a short wait.
constexpr int kThreads = 64;
constexpr std::size_t kMaxPayload = 64 * 1024;

void appendJsonString(std::string& out, const std::string& s) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  out += '"';
}

// A whole number from a query parameter; `fallback` when absent or not a number.
long long numberParam(const httplib::Request& req, const char* name, long long fallback) {
  if (!req.has_param(name)) return fallback;
  const std::string v = req.get_param_value(name);
  if (v.empty() || v.size() > 9) return fallback;
  for (char c : v) {
    if (c < '0' || c > '9') return fallback;
  }
  return std::stoll(v);
}

bool safeHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (unsigned char c : host) {
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']')) {
      return false;
    }
  }
  return true;
}

} // namespace

std::string pageJson(const Page& page, const std::string& host) {
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
    appendJsonString(out, "http://" + host + "/media/" + std::to_string(s.id) + ".mp3");
    out += "]}}";
  }
  out += "]}";
  return out;
}

struct Service::Impl {
  Library& library;
  httplib::Server server;
  explicit Impl(Library& l) : library(l) {}
};

Service::Service(Library& library) : impl_(std::make_unique<Impl>(library)) {
  httplib::Server& s = impl_->server;
  Library& lib = library;
  s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  s.set_payload_max_length(kMaxPayload);
  s.set_read_timeout(5, 0);
  s.set_write_timeout(30, 0);
  s.set_keep_alive_max_count(1000);
  s.set_keep_alive_timeout(2);

  auto answer = [](const httplib::Request& req, httplib::Response& res, const Page& page) {
    std::string host = req.get_header_value("Host");
    if (!safeHost(host)) host = "127.0.0.1";
    res.set_content(pageJson(page, host), "application/json; charset=utf-8");
  };
  auto paging = [](const httplib::Request& req, int& offset, int& count) {
    count = static_cast<int>(std::clamp<long long>(numberParam(req, "count", 20), 1, 50));
    offset = static_cast<int>(numberParam(req, "offset", 0));
  };
  s.Get("/zamrilo/music/search/songs",
        [&lib, answer, paging](const httplib::Request& req, httplib::Response& res) {
          int offset, count;
          paging(req, offset, count);
          const std::string term = req.has_param("query") ? req.get_param_value("query") : "";
          answer(req, res, term.size() > 200 ? Page{} : lib.search(term, offset, count));
        });
  s.Get("/zamrilo/music/collection/songs",
        [&lib, answer, paging](const httplib::Request& req, httplib::Response& res) {
          int offset, count;
          paging(req, offset, count);
          const long long id = numberParam(req, "id", -1);
          answer(req, res, id < 0 ? Page{} : lib.collection(static_cast<int>(id), offset, count));
        });
  s.Get(R"(/media/(\d{1,12})\.mp3)", [&lib](const httplib::Request& req, httplib::Response& res) {
    const auto song = lib.song(std::stoll(req.matches[1]));
    if (!song || song->path.empty()) {
      res.status = 404;
      return;
    }
    auto file = std::make_shared<std::ifstream>(song->path, std::ios::binary);
    if (!*file) {
      res.status = 404;
      return;
    }
    file->seekg(0, std::ios::end);
    const std::size_t length = static_cast<std::size_t>(file->tellg());
    const bool fromStart = req.ranges.empty() || req.ranges.front().first <= 0;
    if (req.method == "GET" && fromStart) lib.countPlay(song->id);
    res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(length, "audio/mpeg",
                             [file](std::size_t offset, std::size_t len, httplib::DataSink& sink) {
                               char buf[64 * 1024];
                               file->clear();
                               file->seekg(static_cast<std::streamoff>(offset));
                               while (len > 0) {
                                 const std::size_t n = std::min(len, sizeof buf);
                                 file->read(buf, static_cast<std::streamsize>(n));
                                 const std::size_t got = static_cast<std::size_t>(file->gcount());
                                 if (got == 0 || !sink.write(buf, got)) return false;
                                 len -= got;
                               }
                               return true;
                             });
  });
}

Service::~Service() {
  stop();
}

bool Service::bind(const std::string& address) {
  std::string host = address;
  int port = 8960;
  const auto colon = address.rfind(':');
  if (colon != std::string::npos) {
    host = address.substr(0, colon);
    port = std::atoi(address.c_str() + colon + 1);
  }
  if (host.empty()) host = "127.0.0.1";
  if (port == 0) {
    port_ = impl_->server.bind_to_any_port(host.c_str());
    return port_ > 0;
  }
  if (!impl_->server.bind_to_port(host.c_str(), port)) return false;
  port_ = port;
  return true;
}

void Service::run() {
  impl_->server.listen_after_bind();
}

void Service::stop() {
  impl_->server.stop();
}

} // namespace tunova::catalogue
