// Start-up to the first window shown, and resident memory at that moment: tunova against a bare
// wx program with one empty frame, alternating, 9 runs each; medians and spreads. A second
// reference, the bare frame with one line of Chinese text, shows what text itself costs.
//   bench-startup BIN_DIR [RUNS]    (needs a display; xvfb-run works)
// A window counts as shown when the X server maps a top-level window of the started process
// (seen as a MapNotify on the root window, so no polling delay is added to either program).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long pidOf(Display* d, Window w) {
  const Atom netPid = XInternAtom(d, "_NET_WM_PID", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  long pid = 0;
  if (XGetWindowProperty(d, w, netPid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    if (type == XA_CARDINAL && format == 32 && count == 1) pid = *reinterpret_cast<long*>(data);
    XFree(data);
  }
  return pid;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

struct Run {
  double ms = -1;
  long kib = 0;
};

// Starts `program` and waits (up to 20 s) until a window of it is mapped.
Run measure(Display* d, const std::string& program, const char* option = nullptr) {
  const Window root = DefaultRootWindow(d);
  XSelectInput(d, root, SubstructureNotifyMask);
  XSync(d, True); // drop what came before
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(option), nullptr};
  pid_t pid = 0;
  Run run;
  const auto t0 = Clock::now();
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return run;
  const auto until = t0 + std::chrono::seconds(20);
  while (Clock::now() < until && run.ms < 0) {
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type != MapNotify || e.xmap.override_redirect) continue;
      if (pidOf(d, e.xmap.window) != pid) continue;
      run.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      run.kib = residentKiB(pid);
      if (const char* dir = std::getenv("BENCH_SMAPS_DIR")) {
        // Where the resident memory is at that moment, per mapping (for tracing start-up).
        std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
        std::ofstream out(std::string(dir) + "/" + program.substr(program.rfind('/') + 1) +
                          (option ? option : "") + ".smaps");
        out << in.rdbuf();
      }
      break;
    }
    if (run.ms >= 0) break;
    const int fd = ConnectionNumber(d);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(fd, &read);
    timeval tv{0, 20000};
    select(fd + 1, &read, nullptr, nullptr, &tv);
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  XSelectInput(d, root, NoEventMask);
  return run;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-startup BIN_DIR [RUNS]\n");
    return 2;
  }
  const std::string bin = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 9;
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "no display\n");
    return 1;
  }
  // One unmeasured start of each first: the files are then in the page cache for both.
  const std::string bare = bin + "/bench-bare-wx";
  measure(d, bare);
  measure(d, bare, "--caption");
  measure(d, bin + "/tunova");
  std::vector<double> bareMs, textMs, tunovaMs, bareMiB, textMiB, tunovaMiB;
  for (int i = 0; i < runs; ++i) {
    const Run b = measure(d, bare);
    const Run t = measure(d, bare, "--caption");
    const Run tunova = measure(d, bin + "/tunova");
    if (b.ms < 0 || t.ms < 0 || tunova.ms < 0) {
      std::fprintf(stderr, "run %d: a window did not appear\n", i + 1);
      return 1;
    }
    bareMs.push_back(b.ms);
    textMs.push_back(t.ms);
    tunovaMs.push_back(tunova.ms);
    bareMiB.push_back(b.kib / 1024.0);
    textMiB.push_back(t.kib / 1024.0);
    tunovaMiB.push_back(tunova.kib / 1024.0);
  }
  XCloseDisplay(d);
  using tunova::bench::Summary;
  const Summary tm = Summary::of(tunovaMs), bm = Summary::of(bareMs);
  const Summary tr = Summary::of(tunovaMiB), br = Summary::of(bareMiB);
  const Summary xm = Summary::of(textMs), xr = Summary::of(textMiB);
  std::printf("window shown  tunova %7.1f ms (%.1f-%.1f)  bare wx %7.1f ms (%.1f-%.1f)\n",
              tm.median, tm.min, tm.max, bm.median, bm.min, bm.max);
  std::printf("resident then tunova %7.1f MiB (%.1f-%.1f)  bare wx %7.1f MiB (%.1f-%.1f)\n",
              tr.median, tr.min, tr.max, br.median, br.min, br.max);
  std::printf("ratios tunova/bare (medians of %d alternating runs): start-up %.2f, memory %.2f\n",
              runs, tm.median / bm.median, tr.median / br.median);
  std::printf("bare wx with one line of Chinese text: %.1f ms (%.1f-%.1f), %.1f MiB (%.1f-%.1f)\n",
              xm.median, xm.min, xm.max, xr.median, xr.min, xr.max);
  std::printf("ratios tunova/(bare wx with text): start-up %.2f, memory %.2f\n",
              tm.median / xm.median, tr.median / xr.median);
  return 0;
}
