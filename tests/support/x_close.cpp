// x-close TITLE: asks the shown top-level window titled TITLE to close, as a window manager does
// when the user clicks its close button (WM_DELETE_WINDOW). Exit code 1 when there is no such
// window or no display.
#include <cstdio>

#include "x_probe.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: x-close TITLE\n");
    return 2;
  }
  tunova::test::XProbe probe;
  if (!probe.ok()) return 1;
  const unsigned long window = probe.findWindow(argv[1]);
  if (!window) return 1;
  probe.askToClose(window);
  return 0;
}
