#pragma once
// The save folder, remembered in bc.ini (section 保存目录, key 保存, the value always ending in
// the path separator). Nothing is cached: every reader reads the file afresh, and whether the
// file exists is itself the state ("no folder chosen yet" when it is missing).
//
// Where bc.ini is: beside the program while its folder can be written (a portable folder).
// Installed where the user cannot write, it is the user's own file in the host's settings
// folder (on Linux $XDG_CONFIG_HOME/tunova/bc.ini); until the user has saved one there, a
// bc.ini beside the program is read, so a folder set up in advance still counts.
#include <string>

#include "host/host.h"

namespace tunova {

// The platform's path separator, which ends the stored folder.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The settings file to read, and the one a change is written to (see above).
std::string settingsPath(Host& host);
std::string settingsWritePath(Host& host);
// The user's own settings file, or empty when the host has no user settings folder.
std::string userSettingsPath(Host& host);

// Shows "保存目录：" + the stored folder in 存放目录, if bc.ini exists.
void showSaveFolder(Host& host);

// Asks for a folder and stores it. A cancelled picker changes nothing, and the label shows the
// new folder only once it has been stored.
void chooseSaveFolder(Host& host);

// The stored folder, used exactly as stored; false when bc.ini does not exist.
bool lookupSaveFolder(Host& host, std::string& folder);

} // namespace tunova
