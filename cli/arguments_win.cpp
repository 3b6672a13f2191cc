#include <windows.h>

#include "cli/arguments.h"

#include <shellapi.h>

namespace tunova {

// The ANSI arguments would lose what the code page cannot hold: take the wide command line and
// convert it to UTF-8.
std::vector<std::string> utf8Arguments(int argc, char** argv) {
  std::vector<std::string> out;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv + 1, argv + argc);
  for (int i = 1; i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(n > 0 ? static_cast<std::size_t>(n) : 1u, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
    arg.resize(arg.size() - 1); // the terminating zero
    out.push_back(std::move(arg));
  }
  LocalFree(wide);
  return out;
}

} // namespace tunova
