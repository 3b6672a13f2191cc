#pragma once
// Windows only: where a WinInet redirect answer points, made absolute against the address it
// answered; empty when it names none. `request` is the answer's request handle (HINTERNET).
#include <string>

namespace tunova {

std::string redirectTarget(void* request, const std::string& from);

} // namespace tunova
