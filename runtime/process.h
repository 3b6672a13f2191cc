#pragma once
// Facts about the running process that the loader and the hosts share.
#include <string>

namespace tunova {

// The folder of the running program's file (links resolved), in the platform's form, without a
// trailing separator; "." when it cannot be found.
std::string programFolderOfProcess();

// Whether a graphical display is there to open windows on (X11 or Wayland).
bool displayAvailable();

} // namespace tunova
