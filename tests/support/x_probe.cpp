#include "x_probe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <sys/select.h>

#include <chrono>
#include <functional>

namespace tunova::test {

namespace {

std::string textProperty(Display* d, Window w, Atom property, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(d, w, property, 0, 4096, False, type, &actual, &format, &count, &after,
                         &data) == Success &&
      data) {
    if (actual == type && format == 8) out.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return out;
}

// Waits for an event that `match` accepts, up to `until`.
bool waitForEvent(Display* d, std::chrono::steady_clock::time_point until,
                  const std::function<bool(const XEvent&)>& match) {
  for (;;) {
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (match(e)) return true;
    }
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    const int fd = ConnectionNumber(d);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(fd, &read);
    const long us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    select(fd + 1, &read, nullptr, nullptr, &tv);
  }
}

} // namespace

XProbe::XProbe() : display_(XOpenDisplay(nullptr)) {}

XProbe::~XProbe() {
  if (!display_) return;
  uncover();
  XCloseDisplay(display_);
}

unsigned long XProbe::findWindow(const std::string& title, long pid) {
  if (!display_) return 0;
  const Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
  const Atom netPid = XInternAtom(display_, "_NET_WM_PID", False);
  const auto pidOf = [&](Window w) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long value = 0;
    if (XGetWindowProperty(display_, w, netPid, 0, 1, False, XA_CARDINAL, &actual, &format, &count,
                           &after, &data) == Success &&
        data) {
      if (actual == XA_CARDINAL && format == 32 && count == 1)
        value = *reinterpret_cast<long*>(data);
      XFree(data);
    }
    return value;
  };
  // Breadth first from the root: a window manager puts its frames between the root and the
  // window that carries the title.
  std::vector<Window> queue{DefaultRootWindow(display_)};
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const Window w = queue[i];
    if ((textProperty(display_, w, netName, utf8) == title ||
         textProperty(display_, w, XA_WM_NAME, XA_STRING) == title) &&
        (pid == 0 || pidOf(w) == pid)) {
      XWindowAttributes a;
      if (XGetWindowAttributes(display_, w, &a) && a.map_state == IsViewable) return w;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(display_, w, &root, &parent, &children, &n) && children) {
      queue.insert(queue.end(), children, children + n);
      XFree(children);
    }
  }
  return 0;
}

long XProbe::ping(unsigned long window, int timeoutMs) {
  if (!display_ || !window) return -1;
  const Window root = DefaultRootWindow(display_);
  const Atom protocols = XInternAtom(display_, "WM_PROTOCOLS", False);
  const Atom pingAtom = XInternAtom(display_, "_NET_WM_PING", False);
  // The answer goes to the root window with the substructure masks; selecting one of them on
  // the root is enough to receive it.
  XSelectInput(display_, root, SubstructureNotifyMask);
  static long serial = 0;
  const long stamp = ++serial + 1000;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = protocols;
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(pingAtom);
  e.xclient.data.l[1] = stamp;
  e.xclient.data.l[2] = static_cast<long>(window);
  const auto t0 = std::chrono::steady_clock::now();
  XSendEvent(display_, window, False, NoEventMask, &e);
  XFlush(display_);
  const bool answered =
      waitForEvent(display_, t0 + std::chrono::milliseconds(timeoutMs), [&](const XEvent& got) {
        return got.type == ClientMessage && got.xclient.message_type == protocols &&
               static_cast<Atom>(got.xclient.data.l[0]) == pingAtom &&
               got.xclient.data.l[1] == stamp;
      });
  XSelectInput(display_, root, NoEventMask);
  if (!answered) return -1;
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count());
}

void XProbe::askToClose(unsigned long window) {
  if (!display_ || !window) return;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &e);
  XFlush(display_);
}

bool XProbe::geometry(unsigned long window, int& x, int& y, int& width, int& height) {
  if (!display_ || !window) return false;
  XWindowAttributes a;
  if (!XGetWindowAttributes(display_, window, &a)) return false;
  Window child = 0;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  width = a.width;
  height = a.height;
  return true;
}

unsigned long XProbe::topPopup() {
  if (!display_) return 0;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
    return 0;
  unsigned long found = 0;
  for (unsigned int i = 0; i < count; ++i) { // bottom to top
    XWindowAttributes a;
    if (XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable &&
        a.override_redirect && children[i] != cover_) {
      found = children[i];
    }
  }
  if (children) XFree(children);
  return found;
}

std::vector<std::uint32_t> XProbe::pixels(int x, int y, int width, int height) {
  std::vector<std::uint32_t> out;
  if (!display_) return out;
  XImage* image =
      XGetImage(display_, DefaultRootWindow(display_), x, y, width, height, AllPlanes, ZPixmap);
  if (!image) return out;
  out.reserve(static_cast<std::size_t>(width) * height);
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i)
      out.push_back(static_cast<std::uint32_t>(XGetPixel(image, i, j) & 0xFFFFFF));
  }
  XDestroyImage(image);
  return out;
}

void XProbe::cover(int x, int y, int width, int height) {
  if (!display_) return;
  uncover();
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = BlackPixel(display_, DefaultScreen(display_));
  cover_ =
      XCreateWindow(display_, DefaultRootWindow(display_), x, y, width, height, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(display_, cover_);
  XSync(display_, False);
}

void XProbe::uncover() {
  if (!display_ || !cover_) return;
  XDestroyWindow(display_, cover_);
  cover_ = 0;
  XSync(display_, False);
}

void XProbe::click(int x, int y) {
  if (!display_) return;
  XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
  XTestFakeButtonEvent(display_, 1, True, CurrentTime);
  XTestFakeButtonEvent(display_, 1, False, CurrentTime);
  XSync(display_, False);
}

void XProbe::typeKey(const std::string& keysymName) {
  if (!display_) return;
  const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(keysymName.c_str()));
  if (!code) return;
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
  XSync(display_, False);
}

} // namespace tunova::test
