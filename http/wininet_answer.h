#pragma once
// Windows only: what a WinInet answer's request handle (HINTERNET) says, for the request routine
// and the download transport alike.
#include <string>

namespace tunova {

// Where a redirect answer points, made absolute against the address it answered; empty when it
// names none.
std::string redirectTarget(void* request, const std::string& from);

// The answer's raw header block, each line ending in CRLF; empty when it holds
// kHeaderBufferSize bytes or more.
std::string rawHeaders(void* request);

} // namespace tunova
