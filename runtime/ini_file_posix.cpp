#include "runtime/ini_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "text/codepage.h"
#include "text/text.h"

namespace tunova {

namespace {

bool isLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back()))
    s.remove_suffix(1);
  return std::string(s);
}

// One line of the file without its line end, and that line end ("\r\n", "\n" or none).
struct Line {
  std::string text;
  std::string end;
};

std::vector<Line> splitLines(const std::string& bytes) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t lf = bytes.find('\n', at);
    Line line;
    if (lf == std::string::npos) {
      line.text = bytes.substr(at);
      at = bytes.size();
    } else {
      line.text = bytes.substr(at, lf - at);
      line.end.assign(1, '\n');
      at = lf + 1;
    }
    if (!line.text.empty() && line.text.back() == '\r') {
      line.text.pop_back();
      line.end = "\r" + line.end;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// The name of a section line ("[name]", GBK, spaces around it trimmed), or false when the line
// is no section line. The closing bracket is found character by character, so a GBK trail byte
// that happens to be 0x5D is not taken for it.
bool sectionName(const std::string& line, std::string& name) {
  std::size_t i = 0;
  while (i < line.size() && isBlank(line[i]))
    ++i;
  if (i >= line.size() || line[i] != '[') return false;
  const std::size_t start = ++i;
  while (i < line.size() && line[i] != ']')
    i += isLeadByte(static_cast<unsigned char>(line[i])) && i + 1 < line.size() ? 2 : 1;
  name = trimBlanks(std::string_view(line).substr(start, std::min(i, line.size()) - start));
  return true;
}

// The key of a "key=value" line, trimmed; false for a line without '='. ('=' is never a GBK
// trail byte, so a plain search is exact.)
bool keyOf(const std::string& line, std::string& key, std::string& value) {
  const std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = trimBlanks(std::string_view(line).substr(0, eq));
  value = trimBlanks(std::string_view(line).substr(eq + 1));
  return true;
}

bool sameName(const std::string& a, const std::string& b) {
  return asciiLower(a) == asciiLower(b);
}

bool readAll(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes.clear();
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return n == 0;
}

// Writes `bytes` to `path` whole or not at all: into a temporary file beside it, then renamed
// over it. A link is written through (its target is replaced), and a file without write
// permission is a failed write: a read-only settings file stays as its owner made it.
bool replaceFile(const std::string& path, const std::string& bytes) {
  std::string target = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return false;
    target = resolved;
    std::free(resolved);
  }
  mode_t mode = 0644;
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR) || ::access(target.c_str(), W_OK) != 0)
      return false;
    mode = st.st_mode & 07777;
  }
  // A temporary file of this writer's own: two programs saving at the same moment each write
  // and rename their own, and each rename that succeeds put that writer's whole file in place.
  std::string temporary = target + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  if (::fchmod(fd, mode) != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  bool ok = true;
  for (std::size_t at = 0; ok && at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    ok = n > 0;
    if (ok) at += static_cast<std::size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// Creates `folder` and the folders above it that are missing, private to the user.
bool makeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash)))
    return false;
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

std::string nativePath(const std::string& gbkPath) {
  return toUtf8(gbkPath);
}

std::string userSettingsFolderOfProcess() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/tunova";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config/tunova";
  return {};
}

bool folderWritable(const std::string& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool fileExistsAt(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

long long fileSizeAt(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

bool readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
  if (fileSizeAt(path) < 0 || !readAll(path, bytes)) return false;
  if (bytes.size() > maxBytes) bytes.resize(maxBytes);
  return true;
}

std::string readIniValue(const std::string& path, const std::string& section,
                         const std::string& key) {
  std::string bytes;
  if (!readAll(path, bytes)) return std::string();
  bool inside = false, seen = false;
  for (const Line& line : splitLines(bytes)) {
    std::string name, k, value;
    if (sectionName(line.text, name)) {
      if (inside) break; // only the first section of that name counts
      inside = !seen && sameName(name, section);
      seen = seen || inside;
      continue;
    }
    if (!inside || !keyOf(line.text, k, value) || !sameName(k, key)) continue;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::string();
}

bool writeIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value) {
  if (!makeFolders(path.substr(0, path.rfind('/')))) return false;
  std::string bytes;
  if (fileExistsAt(path) && !readAll(path, bytes)) return false;
  std::vector<Line> lines = splitLines(bytes);
  // Line ends as the file has them; CRLF for a new file, so it reads the same everywhere it is
  // shared.
  std::string eol = "\r\n";
  for (const Line& line : lines) {
    if (!line.end.empty()) {
      eol = line.end;
      break;
    }
  }
  const std::string entry = key + "=" + value;
  std::size_t sectionAt = lines.size(), insertAt = lines.size(), keyAt = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (sectionName(lines[i].text, name)) {
      if (sectionAt != lines.size()) break;
      if (sameName(name, section)) sectionAt = insertAt = i;
      continue;
    }
    if (sectionAt == lines.size()) continue;
    if (keyOf(lines[i].text, k, v) && sameName(k, key)) {
      keyAt = i;
      break;
    }
    if (!trimBlanks(lines[i].text).empty()) insertAt = i; // after the section's last line
  }
  if (keyAt != lines.size()) {
    lines[keyAt].text = entry; // only this line changes
  } else {
    if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
    if (sectionAt == lines.size()) {
      lines.push_back(Line{"[" + section + "]", eol});
      lines.push_back(Line{entry, eol});
    } else {
      if (lines[insertAt].end.empty()) lines[insertAt].end = eol;
      lines.insert(lines.begin() + static_cast<long>(insertAt) + 1, Line{entry, eol});
    }
  }
  std::string out;
  out.reserve(bytes.size() + entry.size() + 16);
  for (const Line& line : lines)
    out += line.text + line.end;
  return replaceFile(path, out);
}

} // namespace tunova
