#pragma once
// What a platform gives httpRequest: one exchange at a time (send this request, hand back the
// status, the header block and the body), within the limits the call sets. Everything around
// it is written once in http_request.cpp: the header text, the checks an address passes, the
// redirect loop and its method and scheme rules, the deadline between hops, the cookies an
// answer sets.
//
// An Exchange lives for one httpRequest call and carries each of its hops in turn, so a
// platform may keep its connection (and, with the store, its cookies) from one hop to the next.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "text/text.h"

namespace tunova {

// What holds for every hop of one call.
struct ExchangeSetup {
  std::string agent;
  std::string proxy;      // empty: a direct connection, whatever the environment says
  std::string headerText; // the completed header text, lines separated by CRLF
  bool useCookieStore = true;
  std::size_t maxBodyBytes = 0; // 0: no limit
  long connectMs = 60000;
  long idleMs = 30000; // a transfer that receives nothing this long fails
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // Called tens of times a second while a hop waits; false abandons it.
  std::function<bool()> whileWaiting;
  // Whether httpRequest goes on to a redirect's target (then its body is not needed).
  bool followRedirects = true;
};

// One request: its address cut into the parts a connection needs, already checked.
struct Hop {
  bool https = false;
  std::string host;
  int port = 80;
  std::string target; // path and query as the request line carries them
  int method = 0;
  const Bytes* body = nullptr; // sent by every method but GET and HEAD
};

// The hop's address with its port spelt out: what a relative redirect target is resolved against.
std::string hopAddress(const Hop& hop);

struct HopAnswer {
  bool failed = false; // no answer, or an answer cut short, over the limit or past the deadline
  int status = 0;
  std::string headerBlock; // the final answer's lines, each ending in CRLF, trailers left out
  Bytes body;
  std::string location; // a redirect's target made absolute; empty when it names none
};

class Exchange {
public:
  virtual ~Exchange() = default;
  virtual HopAnswer send(const Hop& hop) = 0;
};

// The platform's exchange for one call.
std::unique_ptr<Exchange> openExchange(const ExchangeSetup& setup);

// The platform's forgetting of every cookie of its process-wide store.
void forgetStoredCookies();

// Joins whatever exchanges that were given up left running.
void endAbandonedExchanges();

// The body of an answer as it arrives: room made once from the announced length (a hostile
// length reserves no more than the limit, or 64 MiB without one), and a body over the limit
// refused.
class BodyCollector {
public:
  explicit BodyCollector(std::size_t maxBytes) : max_(maxBytes) {}
  // An announced Content-Length; false when it is already over the limit.
  bool expect(long long length);
  // False when the bytes would pass the limit (they are then not kept).
  bool add(const char* data, std::size_t n);
  bool overLimit() const { return over_; }
  Bytes take() { return std::move(body_); }
  void clear() {
    body_.clear();
    over_ = false;
  }

private:
  std::size_t max_;
  Bytes body_;
  bool over_ = false;
};

} // namespace tunova
