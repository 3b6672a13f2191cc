#pragma once
// Cuts an address into the host, port and object path that a connection needs. Nothing here
// fails: an address that makes no sense gives an empty host, a default port or the path "/".
#include <string>

namespace tunova {

// The host between the scheme and the first "/" after it, lower-cased; the ":port" suffix is
// removed unless `keepPort`.
std::string splitUrl(const std::string& url, bool keepPort = false);

// The explicit port, else 443 when the address starts with "https" in any case, else 80.
int urlPort(const std::string& url);

// From the first "/" after the host to the end, query included; "/" when there is none.
std::string urlPath(const std::string& url);

} // namespace tunova
