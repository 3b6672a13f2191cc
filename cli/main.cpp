// tunova-cli: the program's own handlers, run from a terminal.
//
//   tunova-cli search TERM
//   tunova-cli tag NAME                       (热门, 飙演技, ... or 850, 851, ...)
//   tunova-cli download N search TERM [--folder DIR]
//   tunova-cli download N tag NAME [--folder DIR]
//   tunova-cli folder [DIR]                   (shows, or chooses, the save folder, as 设置目录
//   does)
//
// Rows print as five tab-separated cells (a tab, CR or LF inside a cell written as \t, \r,
// \n), then pane 0 of the status bar. Arguments and output
// are UTF-8; the program itself works in GBK.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/program.h"
#include "cli/arguments.h"
#include "cli/console_host.h"
#include "media/download.h"
#include "settings/settings.h"
#include "text/codepage.h"
#include "text/text.h"

using namespace tunova;

namespace {

int usage() {
  std::fprintf(stderr, "usage: tunova-cli search TERM\n"
                       "       tunova-cli tag NAME\n"
                       "       tunova-cli download N (search TERM | tag NAME) [--folder DIR]\n"
                       "       tunova-cli folder [DIR]\n");
  return 2;
}

std::string out(const std::string& gbkText) {
  return toUtf8(gbkText);
}

// A cell as one field of a tab-separated line: tabs and line ends inside it are written as
// \t, \r and \n, so every row keeps its five columns.
std::string cellText(const std::string& gbkText) {
  std::string s = out(gbkText);
  s = replaceAll(s, "\t", "\\t");
  s = replaceAll(s, "\r", "\\r");
  return replaceAll(s, "\n", "\\n");
}

// A row number as typed: digits only, from 1 up; 0 for anything else ("1abc", "0", "-1", "2-").
int rowNumber(const std::string& text) {
  if (text.empty() || text.size() > 6 || text[0] == '0') return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  return std::atoi(text.c_str());
}

// Runs the query through the bound events; false when the program refused it.
bool runQuery(ConsoleHost& host, const std::string& kind, const std::string& utf8Argument) {
  const Names& n = names();
  const std::string argument = fromUtf8(utf8Argument);
  if (kind == "search") {
    host.setEditText(n.mainWindow, n.searchBox, argument);
    host.fire(n.mainWindow, n.searchButton, EventKind::Clicked);
    return host.messages().empty();
  }
  for (const std::string& label : n.tagLabels) {
    if (host.caption(n.mainWindow, label) == argument ||
        host.tagText(n.mainWindow, label) == argument) {
      host.fire(n.mainWindow, label, EventKind::LeftUp);
      return true;
    }
  }
  std::fprintf(stderr, "no tag named %s\n", utf8Argument.c_str());
  return false;
}

void printRows(ConsoleHost& host) {
  for (const auto& row : host.rows) {
    std::printf("%s\t%s\t%s\t%s\t%s\n", cellText(row[0]).c_str(), cellText(row[1]).c_str(),
                cellText(row[2]).c_str(), cellText(row[3]).c_str(), cellText(row[4]).c_str());
  }
}

// "folder": prints the save folder in effect and the settings file that holds it; with DIR,
// chooses DIR through the program's own handler first (the picker answering DIR).
int chooseFolder(const std::vector<std::string>& args) {
  if (args.size() > 2) return usage();
  ConsoleHost host;
  Program program(host);
  program.start();
  if (args.size() == 2) {
    std::string dir = args[1];
    while (dir.size() > 1 && dir.back() == kPathSeparator)
      dir.pop_back();
    host.pickFolder(fromUtf8(dir));
    host.fire(names().mainWindow, names().chooseFolder, EventKind::LeftDown);
    if (!host.messages().empty()) return 1; // the handler said why on stderr
  }
  std::string folder;
  const bool set = lookupSaveFolder(host, folder);
  std::printf("%s\n%s\n", set ? out(folder).c_str() : "", settingsPath(host).c_str());
  host.finish();
  return set ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = utf8Arguments(argc, argv);
  std::string folder;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--folder" && i + 1 < args.size()) {
      folder = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  if (!args.empty() && args[0] == "folder") return chooseFolder(args);
  int row = 0;
  bool download = false;
  if (!args.empty() && args[0] == "download") {
    if (args.size() != 4) return usage();
    row = rowNumber(args[1]);
    if (row < 1) {
      std::fprintf(stderr, "tunova-cli: \"%s\" is not a row number (1, 2, 3, ...)\n",
                   args[1].c_str());
      return 2;
    }
    download = true;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2 || (args[0] != "search" && args[0] != "tag")) return usage();

  ConsoleHost host;
  if (!folder.empty()) {
    while (folder.size() > 1 && folder.back() == kPathSeparator)
      folder.pop_back();
    host.overrideSaveFolder(fromUtf8(folder));
  }
  Program program(host);
  program.start();
  const Names& n = names();
  int code = 0;
  if (!runQuery(host, args[0], args[1])) {
    code = 1;
  } else if (program.lastQuery().failed()) {
    printRows(host);
    std::printf("%s\n", out(host.paneText(n.mainWindow, n.statusBar, 0)).c_str());
    std::fprintf(stderr, "tunova-cli: %s\n", program.lastQuery().failure.c_str());
    code = 1;
  } else if (!download) {
    printRows(host);
    std::printf("%s\n", out(host.paneText(n.mainWindow, n.statusBar, 0)).c_str());
  } else if (row > static_cast<int>(host.rows.size())) {
    std::fprintf(stderr, "tunova-cli: no row %d: the query gave %zu rows\n", row, host.rows.size());
    code = 2;
  } else {
    host.selected = row - 1;
    host.afterTick = [&host, &n] {
      std::printf("%s\n", out(host.paneText(n.mainWindow, n.statusBar, 1)).c_str());
      std::fflush(stdout);
    };
    host.choose(gbk("下载"));
    if (!host.messages().empty()) {
      code = 1;
    } else {
      host.runMessageLoop();
      std::printf("%s\n", out(host.paneText(n.mainWindow, n.statusBar, 2)).c_str());
      const DownloadState& state = program.downloads();
      if (state.heldElsewhere > 0)
        std::fprintf(stderr, "tunova-cli: another program is downloading this song into the "
                             "same folder; nothing was changed\n");
      code = state.completed == 1 && state.failed == 0 ? 0 : 1;
    }
  }
  host.finish();
  return code;
}
