#pragma once
// Settings-file access for the hosts: INI files whose values are GBK, read and written byte for
// byte the way other INI readers and writers treat them, so the file stays shared with other
// programs. Reading: section names and keys compared without regard to ASCII case and parsed
// character by character as GBK; the first of duplicate sections or keys wins; one pair of
// surrounding quotes is stripped from a value. Writing one value changes only that key's line
// (or adds it at the end of its section, or adds the section at the end of the file): comments,
// blank lines, spacing, line ends and the order of everything else stay as they were.
//
// Paths are in the platform's own form (file-system bytes), not GBK: a program folder whose
// name GBK cannot hold still finds its settings file.
#include <cstddef>
#include <string>

namespace tunova {

// The value, or empty when the file, section or key is absent.
std::string readIniValue(const std::string& path, const std::string& section,
                         const std::string& key);

// Sets one value; creates the file and section as needed, and the file's folder (private to
// the user) when it is missing. The file is replaced whole or not at
// all (written beside it, then renamed); a link is written through. False when nothing was
// stored: the folder or the file is not writable, or the disk refused.
bool writeIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value);

bool fileExistsAt(const std::string& path);
// The size of the plain file at `path` (native form), or -1 when there is none. Exact also for
// a file another program is writing.
long long fileSizeAt(const std::string& path);
// Up to `maxBytes` of a small file's bytes; false when it cannot be read.
bool readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

// The user's settings folder for this program: $XDG_CONFIG_HOME/tunova when that is an
// absolute path, else $HOME/.config/tunova; empty without either.
std::string userSettingsFolderOfProcess();
// Whether this process may create files in `folder`.
bool folderWritable(const std::string& folder);

// The platform's form of a GBK path (file names chosen in the program), for file calls.
std::string nativePath(const std::string& gbkPath);

} // namespace tunova
