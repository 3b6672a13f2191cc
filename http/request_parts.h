#pragma once
// What the platform clients of httpRequest share besides the public interface.
#include <cstddef>
#include <string>

#include "http/http_request.h"

namespace tunova {

// Response header blocks of this size or more are handed back as an empty text.
inline constexpr std::size_t kHeaderBufferSize = 5000;

// The path and query as a request line may carry it: bytes it cannot carry raw are
// percent-encoded, everything else passes unchanged.
std::string requestTarget(const std::string& path);

// Whether `host` (from splitUrl) names a host a connection can be made to.
bool validHost(const std::string& host);

// The cookies a response header block sets, "name=value" pairs joined by "; ".
std::string collectCookies(const std::string& returnedHeaders);

// The texts one call reads and fills: those the options point to, else the call's own.
class CallTexts {
  std::string ownHeaders_, ownReturnedHeaders_, ownReturnedCookies_;
  Bytes ownPostBytes_;

public:
  explicit CallTexts(const HttpOptions& o);
  CallTexts(const CallTexts&) = delete;
  CallTexts& operator=(const CallTexts&) = delete;

  std::string& headers;         // the request's header text, completed in place
  std::string& returnedHeaders; // the response's header block
  std::string& returnedCookies; // the cookies the response sets
  Bytes& postBytes;             // the body sent

  // Hands back a response's header block (an empty text when it holds kHeaderBufferSize bytes or
  // more; the cookie header names normalised) and the cookies it sets, merged with the ones sent
  // when the options ask for that.
  void handBack(const std::string& headerBlock, const HttpOptions& o);
};

} // namespace tunova
