#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/terminal.h"

namespace tunova {

bool outputIsTerminal() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

int terminalColumns() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

} // namespace tunova
