// tunova-cli: the program's own handlers, run from a terminal.
//
//   tunova-cli search TERM [--json]
//   tunova-cli tag NAME [--json]                  (热门, 飙演技, ... or 850, 851, ...)
//   tunova-cli download SELECTION (search TERM | tag NAME) [--folder DIR] [--jobs N]
//              [--overwrite]                      (SELECTION: 7, 1-3,5,10-12 or all)
//   tunova-cli folder [DIR]                       (shows, or chooses, the save folder, as
//                                                  设置目录 does)
//
// Rows print as five tab-separated cells (a tab, CR or LF inside a cell written as \t, \r,
// \n), then pane 0 of the status bar; with --json, as a JSON array. Arguments and output are
// UTF-8; the program itself works in GBK.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/program.h"
#include "cli/arguments.h"
#include "cli/batch.h"
#include "cli/console_host.h"
#include "cli/rows_json.h"
#include "cli/selection.h"
#include "media/download.h"
#include "settings/settings.h"
#include "text/codepage.h"
#include "text/text.h"

using namespace tunova;

namespace {

// What the command line asked for.
struct Request {
  std::string command; // search, tag, download, folder
  std::string kind;    // for download: search or tag
  std::string argument;
  std::string selection;
  std::string folder;
  bool json = false;
  BatchOptions batch;
};

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

std::string withoutTrailingSeparator(std::string dir) {
  while (dir.size() > 1 && dir.back() == kPathSeparator)
    dir.pop_back();
  return dir;
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

void printRows(ConsoleHost& host, bool json) {
  if (json) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& row : host.rows) {
      std::vector<std::string> cells;
      for (const std::string& cell : row)
        cells.push_back(out(cell));
      rows.push_back(std::move(cells));
    }
    std::printf("%s\n", rowsJson(rows).c_str());
    return;
  }
  for (const auto& row : host.rows) {
    std::printf("%s\t%s\t%s\t%s\t%s\n", cellText(row[0]).c_str(), cellText(row[1]).c_str(),
                cellText(row[2]).c_str(), cellText(row[3]).c_str(), cellText(row[4]).c_str());
  }
  std::printf("%s\n", out(host.paneText(names().mainWindow, names().statusBar, 0)).c_str());
}

// "folder": prints the save folder in effect and the settings file that holds it; with DIR,
// chooses DIR through the program's own handler first (the picker answering DIR).
int chooseFolder(const Request& request) {
  ConsoleHost host;
  Program program(host);
  program.start();
  if (!request.argument.empty()) {
    host.pickFolder(fromUtf8(withoutTrailingSeparator(request.argument)));
    host.fire(names().mainWindow, names().chooseFolder, EventKind::LeftDown);
    if (!host.messages().empty()) return 1; // the handler said why on stderr
  }
  std::string folder;
  const bool set = lookupSaveFolder(host, folder);
  std::printf("%s\n%s\n", set ? out(folder).c_str() : "", settingsPath(host).c_str());
  host.finish();
  return set ? 0 : 1;
}

// search, tag and download: one query, then its rows printed or the chosen ones downloaded.
int query(const Request& request) {
  Selection selection;
  std::string error;
  const bool download = request.command == "download";
  if (download && !parseSelection(request.selection, selection, error)) {
    std::fprintf(stderr, "tunova-cli: %s\n", error.c_str());
    return 2; // before anything is fetched
  }
  ConsoleHost host;
  if (!request.folder.empty())
    host.overrideSaveFolder(fromUtf8(withoutTrailingSeparator(request.folder)));
  Program program(host);
  program.start();
  int code = 0;
  std::vector<int> rows;
  if (!runQuery(host, download ? request.kind : request.command, request.argument)) {
    code = 1;
  } else if (program.lastQuery().failed()) {
    printRows(host, request.json);
    std::fprintf(stderr, "tunova-cli: %s\n", program.lastQuery().failure.c_str());
    code = 1;
  } else if (!download) {
    printRows(host, request.json);
  } else if (!chosenRows(selection, static_cast<int>(host.rows.size()), rows, error)) {
    std::fprintf(stderr, "tunova-cli: %s\n", error.c_str());
    code = 2;
  } else if (rows.empty()) {
    std::fprintf(stderr, "tunova-cli: the query gave no rows; nothing to download\n");
  } else {
    code = downloadRows(host, rows, request.batch);
  }
  host.finish();
  return code;
}

void describe(CLI::App& app, Request& request) {
  app.require_subcommand(1);
  app.fallthrough(false);
  CLI::App* search = app.add_subcommand("search", "List the songs the catalogue finds for TERM");
  search->add_option("TERM", request.argument, "What to look for")->required();
  search->add_flag("--json", request.json, "The rows as a JSON array, for scripts");
  CLI::App* tag = app.add_subcommand("tag", "List the songs of a mood tag");
  tag->add_option("NAME", request.argument,
                  "热门, 飙演技, 民族风, 流行, 怀旧, 浪漫, 伤感, or its "
                  "number (850 to 856)")
      ->required();
  tag->add_flag("--json", request.json, "The rows as a JSON array, for scripts");
  CLI::App* download = app.add_subcommand(
      "download", "Save the chosen rows of a search or a tag into the save folder, as the "
                  "window's 下载 does");
  download
      ->add_option("SELECTION", request.selection,
                   "Rows: a number (7), ranges and lists (1-3,5,10-12), or all")
      ->required();
  download->add_option("KIND", request.kind, "search or tag")
      ->required()
      ->check(CLI::IsMember({"search", "tag"}));
  download->add_option("TERM", request.argument, "The search term or the tag")->required();
  download
      ->add_option("--folder", request.folder,
                   "Save into DIR for this run (bc.ini is left as it is)")
      ->type_name("DIR");
  download->add_option("--jobs", request.batch.jobs, "Songs downloaded at once (1 to 8)")
      ->type_name("N")
      ->check(CLI::Range(1, 8))
      ->capture_default_str();
  download->add_flag("--overwrite", request.batch.overwrite,
                     "Fetch songs again even when their file is already there whole");
  CLI::App* folder = app.add_subcommand(
      "folder", "Show the save folder and the settings file; with DIR, choose DIR first");
  folder->add_option("DIR", request.argument, "The folder to choose");
  for (CLI::App* command : {search, tag, download, folder})
    command->callback([&request, command] { request.command = command->get_name(); });
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = utf8Arguments(argc, argv);
  CLI::App app("tunova-cli: find songs in the music catalogue and keep them, from a terminal.",
               "tunova-cli");
  Request request;
  describe(app, request);
  try {
    std::reverse(args.begin(), args.end()); // the order CLI11 takes a vector in
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e); // --help
    std::fprintf(stderr, "tunova-cli: %s\nRun tunova-cli --help (or COMMAND --help) for more.\n",
                 e.what());
    return 2;
  }
  if (request.command == "folder") return chooseFolder(request);
  return query(request);
}
