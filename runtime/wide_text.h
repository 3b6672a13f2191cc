#pragma once
// Windows: the UTF-16 text the wide API calls take, from the GBK texts the program works in, and
// back. Wide calls open any file name on any system locale.
#include <string>

namespace tunova {

std::wstring wideOf(const std::string& gbkText);
std::string gbkOf(const std::wstring& text);

} // namespace tunova
