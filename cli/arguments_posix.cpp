#include "cli/arguments.h"

namespace tunova {

// A UTF-8 terminal hands the arguments over as UTF-8 already.
std::vector<std::string> utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

} // namespace tunova
