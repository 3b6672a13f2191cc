#pragma once
// The catalogue query: a search term (or a collection id from a mood tag) becomes up to three
// pages of songs in the result list, each row holding number, title, singer, duration and
// download address.
#include <string>

#include "host/host.h"

namespace tunova {

// Where the catalogue service is: TUNOVA_CATALOGUE_HOST ("host" or "host:port") when set, else
// 127.0.0.1:8960, where tunova-catalogue listens by default.
std::string catalogueHost();

inline constexpr const char* kSearchEndpoint = "/zamrilo/music/search/songs?query=";
inline constexpr const char* kCollectionEndpoint = "/zamrilo/music/collection/songs?id=";
inline constexpr const char* kQuerySuffix = "&count=20&iid=38210574693&device_id=61730482957"
                                            "&version_code=682&device_platform=android&offset=";
// A page larger than this counts as failed, so a hostile server cannot exhaust memory.
inline constexpr std::size_t kMaxPageBytes = 8u << 20;

// One query, its three pages together, ends within this time whatever the service does.
inline constexpr long kQueryTimeLimitMs = 60000;
// Changes that limit for the queries that follow (tests shorten it).
void setQueryTimeLimit(long ms);
void setPageScriptBudget(long ms);

// The address of a query without its page offset.
std::string catalogueBaseAddress(const std::string& collectionId, const std::string& searchText);

// How a query went: whether it ran, how many of its pages were fetched and read, and why the
// last page that failed did.
struct QueryOutcome {
  bool ran = false;
  int pagesRead = 0;
  std::string failure;    // UTF-8, empty when every page was read
  bool abandoned = false; // the window was closed while it waited
  bool failed() const { return ran && pagesRead == 0; }
};

inline constexpr int kPages = 3;
inline constexpr int kRowsPerPage = 20; // the count= each page asks for
// All script evaluation for one page (parsing it and reading its rows) shares this budget; a
// page that spends it adds no more rows and counts as failed.
inline constexpr long kPageScriptBudgetMs = 6000;

// Fills the result list from the three pages. Pane 0 reads "状态：正在搜索…" while the
// requests wait (the host keeps the window alive meanwhile) and then "状态：搜索完成", or
// "状态：搜索失败" when not one page could be fetched and read (an empty song list is a page
// read). A page gives at most the rows it asked for; a "data" that is a string gives none; a
// page whose script budget runs out keeps the rows read before and counts as failed.
QueryOutcome queryCatalogue(Host& host, const std::string& collectionId,
                            const std::string& searchText);

// Seconds as MM:SS (minutes not limited to two digits); negative values give "00:00".
std::string formatDuration(int seconds);

// The handlers that may start a query return its outcome (not run: `ran` false).
QueryOutcome onSearchClicked(Host& host);
QueryOutcome onSearchBoxKeyDown(Host& host, int keyCode, int modifiers);
void onSearchBoxDoubleClick(Host& host);
// A click on the mood tag `label` queries the collection named by its tag text.
QueryOutcome onTagClicked(Host& host, const std::string& label);

} // namespace tunova
