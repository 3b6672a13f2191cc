#pragma once
// What the platform clients of httpRequest share besides the public interface.
#include <cstddef>
#include <string>

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

} // namespace tunova
