#include "catalogue/catalogue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "http/http_request.h"
#include "text/codepage.h"
#include "text/text.h"
#include "json/json_object.h"

namespace tunova {

namespace {
std::atomic<long> g_queryTimeLimitMs{kQueryTimeLimitMs};

// Brackets a wait on the network for the host.
class WaitScope {
public:
  explicit WaitScope(Host& host) : host_(host) { host_.beginWait(); }
  ~WaitScope() { host_.endWait(); }
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;

private:
  Host& host_;
};

std::atomic<long> g_pageScriptBudgetMs{kPageScriptBudgetMs};
} // namespace

void setPageScriptBudget(long ms) {
  g_pageScriptBudgetMs = ms;
}

void setQueryTimeLimit(long ms) {
  g_queryTimeLimitMs = ms;
}

std::string catalogueHost() {
  const char* env = std::getenv("TUNOVA_CATALOGUE_HOST");
  if (env && *env) return env;
  return "127.0.0.1:8960";
}

std::string catalogueBaseAddress(const std::string& collectionId, const std::string& searchText) {
  std::string base = "http://" + catalogueHost();
  if (collectionId.empty()) {
    base += kSearchEndpoint + urlEncode(searchText);
  } else {
    base += kCollectionEndpoint + collectionId;
  }
  return base + kQuerySuffix;
}

QueryOutcome queryCatalogue(Host& host, const std::string& collectionId,
                            const std::string& searchText) {
  const Names& n = names();
  QueryOutcome outcome;
  outcome.ran = true;
  // One query ends by its deadline whatever the service does (silent, trickling, unreachable):
  // the pages share it.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(g_queryTimeLimitMs.load());
  JsonObject json;
  const std::string base = catalogueBaseAddress(collectionId, searchText);
  host.clearRows(n.mainWindow, n.resultList);
  host.setPaneText(n.mainWindow, n.statusBar, 0, gbk("状态：正在搜索…"));
  // The window stays alive while the requests wait; a close asked for meanwhile abandons the
  // pages not yet fetched.
  WaitScope waiting(host);
  // Reading a long answer keeps the window alive too, and a close ends the reading.
  json.setWhileRunning([&host, &outcome] {
    if (!host.keepAlive()) outcome.abandoned = true;
    return !outcome.abandoned;
  });
  for (int page = 1; page <= kPages && !outcome.abandoned; ++page) {
    const std::string address =
        base + numberToText(static_cast<long long>((page - 1) * kRowsPerPage));
    HttpOptions request;
    request.maxBodyBytes = kMaxPageBytes;
    request.deadline = deadline;
    request.whileWaiting = [&host, &outcome] {
      if (!host.keepAlive()) outcome.abandoned = true;
      return !outcome.abandoned;
    };
    const Bytes body = httpRequest(address, request);
    if (outcome.abandoned) {
      outcome.failure = "abandoned: the window is closing";
      break;
    }
    if (body.empty()) {
      outcome.failure = "no answer from " + address;
      continue;
    }
    const std::string answer = fromUtf8(textOfBytes(body));
    // The page's script work shares one budget: a hostile answer costs at most that.
    const auto budgetEnd =
        std::min(deadline, std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(g_pageScriptBudgetMs.load()));
    if (!json.parse(answer) || outcome.abandoned) {
      outcome.failure = outcome.abandoned ? "abandoned: the window is closing"
                                          : "the answer from " + address + " could not be read";
      continue;
    }
    json.setScriptBudgetEnd(budgetEnd);
    const bool text = json.valueType("data") == kJsonString; // a text has no songs
    const int m = text ? 0 : std::min(json.count("data"), kRowsPerPage);
    bool spent = json.scriptBudgetSpent();
    for (int i = 1; i <= m && !spent && !outcome.abandoned; ++i) {
      const std::string k = "data[" + numberToText(static_cast<long long>(i - 1)) + "]";
      const std::string title = json.getText(k + ".title");
      const std::string singer = json.getText(k + ".author");
      const int seconds = textToInt(json.getText(k + ".duration"));
      const std::string songAddress = json.getText(k + ".play_url.url_list[0]");
      // This row's reads may have been cut short by the budget or a close.
      if ((spent = json.scriptBudgetSpent()) || outcome.abandoned) break;
      const int r = host.appendRow(n.mainWindow, n.resultList);
      host.setCell(n.mainWindow, n.resultList, r, 0,
                   numberToText(static_cast<long long>(host.rowCount(n.mainWindow, n.resultList))));
      host.setCell(n.mainWindow, n.resultList, r, 1, title);
      host.setCell(n.mainWindow, n.resultList, r, 2, singer);
      host.setCell(n.mainWindow, n.resultList, r, 3, formatDuration(seconds));
      host.setCell(n.mainWindow, n.resultList, r, 4, songAddress);
    }
    if (outcome.abandoned) {
      outcome.failure = "abandoned: the window is closing";
      break;
    }
    if (spent) {
      outcome.failure = "the answer from " + address + " took longer than its budget to read";
      continue;
    }
    ++outcome.pagesRead;
  }
  host.setPaneText(n.mainWindow, n.statusBar, 0,
                   outcome.failed() ? gbk("状态：搜索失败") : gbk("状态：搜索完成"));
  return outcome;
}

std::string formatDuration(int seconds) {
  if (seconds < 0) return "00:00";
  const int m = seconds >= 60 ? seconds / 60 : 0;
  const int s = seconds >= 60 ? seconds % 60 : seconds;
  auto two = [](int v) {
    std::string t = numberToText(static_cast<long long>(v));
    return v < 10 ? "0" + t : t;
  };
  return two(m) + ":" + two(s);
}

QueryOutcome onSearchClicked(Host& host) {
  const Names& n = names();
  if (host.editText(n.mainWindow, n.searchBox).empty()) {
    host.messageBox(gbk("搜索词不能为空"));
    return {};
  }
  return queryCatalogue(host, std::string(), host.editText(n.mainWindow, n.searchBox));
}

QueryOutcome onSearchBoxKeyDown(Host& host, int keyCode, int modifiers) {
  if (keyCode == 13) return onSearchClicked(host);
  return {};
}

void onSearchBoxDoubleClick(Host& host) {
  host.setEditText(names().mainWindow, names().searchBox, std::string());
}

QueryOutcome onTagClicked(Host& host, const std::string& label) {
  return queryCatalogue(host, host.tagText(names().mainWindow, label), std::string());
}

} // namespace tunova
