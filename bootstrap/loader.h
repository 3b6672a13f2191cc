#pragma once
// The loader stub: finds the host runtime, loads it, asks it for its start function and hands
// that function the program image.
//
// The runtime is looked for beside the program ("tunova-runtime.so", on Windows too, where it
// is a DLL of that name); failing that, in the install folder ("tunova-runtime-full.so" there)
// named on Linux by the key file Lorvane/Install in the user's configuration folder
// ($XDG_CONFIG_HOME, default ~/.config), a text file with a line Path=FOLDER, and on Windows by
// the value Path of HKEY_CURRENT_USER\Software\Lorvane\Install. Every failure ends in one
// message and exit code -1.
#include <string>

namespace tunova {

struct ProgramImage;

inline constexpr const char* kRuntimeFile = "tunova-runtime.so";
inline constexpr const char* kInstalledRuntimeFile = "tunova-runtime-full.so";
inline constexpr const char* kStartExport = "GetStartEntry";
inline constexpr const char* kLoaderError = "The runtime library is missing or invalid!";

// The folder of the running program, with a trailing '/'; any length.
std::string programFolder();

// The install folder from the key file; false when the file or its Path line is missing.
bool installFolder(std::string& folder);

// Runs the whole start-up; returns the process exit code (0 when the program ran, else -1).
int runLoader(const ProgramImage* image);

// What each platform gives the rule above.
// Tells the user that the runtime could not be started: always on standard error, and in a
// message box when a display is available (on Windows the box alone).
void showLoaderError();
// Loads a library by path (nullptr when it cannot), finds a symbol in it, unloads it.
void* loadLibrary(const std::string& path);
void* findSymbol(void* library, const char* name);
void unloadLibrary(void* library);
// The separator that ends a folder name.
char folderSeparator();
// Ends the program with `code` after the runtime ran it (on Windows the process ends here, as
// the platform's programs do, whatever threads are left).
int endProgram(int code);

} // namespace tunova
