#pragma once
// tunova-cli's download command: the chosen rows of the list a query gave, each saved as the
// window's 下载 saves it (the program's own handler, the same engine, name and folder), a few at
// a time, with progress on a terminal and a line per song as it ends.
#include <vector>

#include "cli/console_host.h"

namespace tunova {

struct BatchOptions {
  int jobs = 3;           // transfers at once
  bool overwrite = false; // fetch a song again even when its file is there whole
};

// Downloads `rows` (1-based rows of the host's list). Returns the exit code: 0 when every
// chosen song is in the folder, 1 when one is not (each listed with its reason on standard
// error), 130 when interrupted (SIGINT): transfers stop, keeping their partial files for the
// next run.
int downloadRows(ConsoleHost& host, const std::vector<int>& rows, const BatchOptions& options);

} // namespace tunova
