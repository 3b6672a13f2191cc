#pragma once
// What a window manager and a user do to a window, from a connection of our own to the X
// display: find a top-level window by title, ping it the way a window manager checks that it
// is alive, ask it to close, cover and uncover it, read back its pixels, and send real input
// through XTest. Each probe has its own connection, so it may run on any thread.
#include <cstdint>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace tunova::test {

class XProbe {
public:
  XProbe(); // connects to $DISPLAY; ok() tells whether that worked
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;
  bool ok() const { return display_ != nullptr; }

  // The shown top-level window whose _NET_WM_NAME (UTF-8) or WM_NAME is `title` (and, when `pid` is
  // given, whose _NET_WM_PID is `pid`), or 0.
  unsigned long findWindow(const std::string& title, long pid = 0);
  // Sends _NET_WM_PING and waits up to `timeoutMs` for the answer: the milliseconds it took, or
  // -1 when none came.
  long ping(unsigned long window, int timeoutMs);
  // Sends WM_DELETE_WINDOW, as a window manager does when the user closes the window.
  void askToClose(unsigned long window);
  // The window's rectangle on the screen.
  bool geometry(unsigned long window, int& x, int& y, int& width, int& height);
  // The topmost shown window that bypasses the window manager (a pop-up menu), or 0.
  unsigned long topPopup();
  // The pixels of a screen rectangle (0xRRGGBB each), row by row.
  std::vector<std::uint32_t> pixels(int x, int y, int width, int height);
  // Maps a black window over the rectangle, then takes it away again.
  void cover(int x, int y, int width, int height);
  void uncover();
  // Real input: a left click at a screen point, and a key (an X keysym name such as "x").
  void click(int x, int y);
  void typeKey(const std::string& keysymName);

private:
  Display* display_ = nullptr;
  unsigned long cover_ = 0;
};

} // namespace tunova::test
