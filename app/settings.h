#pragma once
// The save folder, remembered in bc.ini beside the program (section 保存目录, key 保存, the value
// always ending in the path separator). Nothing is cached: every reader reads the file afresh,
// and whether the file exists is itself the state ("no folder chosen yet" when it is missing).
#include <string>

#include "app/host.h"

namespace tunova {

inline constexpr char kPathSeparator = '/';

// run folder + "/bc.ini"
std::string settingsPath(Host& host);

// Shows "保存目录：" + the stored folder in 存放目录, if bc.ini exists.
void showSaveFolder(Host& host);

// Asks for a folder and stores it. A cancelled picker changes nothing, and the label shows the
// new folder only once it has been stored.
void chooseSaveFolder(Host& host);

// The stored folder, used exactly as stored; false when bc.ini does not exist.
bool lookupSaveFolder(Host& host, std::string& folder);

} // namespace tunova
