#pragma once
// The command line as UTF-8 texts, whatever the platform hands a program.
#include <string>
#include <vector>

namespace tunova {

// The arguments after the program's name.
std::vector<std::string> utf8Arguments(int argc, char** argv);

} // namespace tunova
