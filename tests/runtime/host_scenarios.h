#pragma once
// The scenarios both window hosts must pass, written once: the wx host's test (Linux, under
// xvfb) and the Win32 host's test (under wine) each give a driver for their platform, with
// real input, and run the same list. Each test adds what only its platform has.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/windows.h"
#include "host/host.h"
#include "test_server.h"
#include "text/codepage.h"

namespace tunova::test {

// What a scenario needs of a window host under test.
class HostDriver {
public:
  virtual ~HostDriver() = default;
  virtual Host& host() = 0;
  // Runs the window's events until `done` holds or `ms` have passed.
  virtual bool pump(int ms, const std::function<bool()>& done) = 0;
  // Real input: a pointer click in the middle of a control of the main window, text typed into
  // the control with the focus (UTF-8), the Enter key.
  virtual void click(const std::string& control) = 0;
  virtual void type(const std::string& utf8) = 0;
  virtual void pressEnter() = 0;
  // Alt with a letter or digit, wherever the focus is.
  virtual void pressAlt(char key) = 0;
  // Where a control of the main window was placed, in its window's client area.
  virtual bool placement(const std::string& control, int& x, int& y, int& width, int& height) = 0;
  // The title the main window shows, and the width of a column of the result list.
  virtual std::string mainTitle() = 0;
  virtual int columnCount() = 0;
  virtual int columnWidth(int column) = 0;
};

// The catalogue stand-in the scenarios query: two songs a page ("one" by a, 61 s, with an
// address; "中文" by b, 5 s, without), the first song's address naming its page (/media/1.mp3
// on the first, /media/pN.mp3 on page N after it), each page after `pageDelayMs` (the test's
// own setting). Anything else goes to `other`, or gets a 404.
class CatalogueStandIn {
public:
  explicit CatalogueStandIn(const std::atomic<int>& pageDelayMs,
                            std::function<void(const Request&, Connection&)> other = nullptr)
      : pageDelayMs_(pageDelayMs), other_(std::move(other)) {
    server = std::make_unique<TestServer>([this](const Request& r, Connection& c) {
      if (r.target.rfind("/zamrilo/", 0) != 0) {
        if (other_) {
          other_(r, c);
        } else {
          c.reply(404, "");
        }
        return;
      }
      if (pageDelayMs_ > 0) c.stall(pageDelayMs_);
      const std::string page = pageOf(r.target);
      c.reply(200,
              songsJson(server->url(page == "0" ? "/media/1.mp3" : "/media/p" + page + ".mp3")));
    });
  }
  // The page a request asks for, counted from 0.
  static std::string pageOf(const std::string& target) {
    const std::size_t at = target.rfind("offset=");
    return at == std::string::npos ? "0" : std::to_string(std::atoi(target.c_str() + at + 7) / 20);
  }
  static std::string songsJson(const std::string& address) {
    return "{\"data\":[{\"title\":\"one\",\"author\":\"a\",\"duration\":61,\"play_url\":{"
           "\"url_list\":[\"" +
           address +
           "\"]}},{\"title\":\"\xE4\xB8\xAD\xE6\x96\x87\",\"author\":\"b\",\"duration\":5}]}";
  }
  // The catalogue requests so far.
  std::vector<Request> queries() const {
    std::vector<Request> out;
    for (const Request& r : server->requests())
      if (r.target.rfind("/zamrilo/", 0) == 0) out.push_back(r);
    return out;
  }
  std::vector<Request> requests() const { return server->requests(); }
  std::string url(const std::string& path) const { return server->url(path); }
  int port() const { return server->port(); }

private:
  std::unique_ptr<TestServer> server;
  const std::atomic<int>& pageDelayMs_;
  std::function<void(const Request&, Connection&)> other_;
};

// The main window as its definition draws it: its title, every visible control where the
// definition puts it with its caption, the list's five columns, the status bar's panes, the
// download timer stopped and no player window yet.
inline void mainWindowIsBuiltFromItsDefinition(HostDriver& d) {
  const Names& n = names();
  const WindowDefinition& def = mainWindowDefinition();
  EXPECT_EQ(d.mainTitle(), def.caption);
  for (const Control& c : def.controls) {
    if (c.kind != ControlKind::Label && c.kind != ControlKind::Button &&
        c.kind != ControlKind::EditBox && c.kind != ControlKind::ReportList) {
      continue;
    }
    SCOPED_TRACE(toUtf8(c.name));
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(d.placement(c.name, x, y, width, height));
    EXPECT_EQ(x, c.left);
    EXPECT_EQ(y, c.top);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    if (c.kind == ControlKind::Label || c.kind == ControlKind::Button) {
      EXPECT_EQ(d.host().caption(n.mainWindow, c.name), c.caption);
    }
  }
  const Control& list = *std::find_if(def.controls.begin(), def.controls.end(),
                                      [&](const Control& c) { return c.name == n.resultList; });
  ASSERT_EQ(d.columnCount(), static_cast<int>(list.columns.size()));
  for (std::size_t i = 0; i < list.columns.size(); ++i) {
    // A native list may give the rest of its width to the last column.
    if (i + 1 < list.columns.size()) {
      EXPECT_EQ(d.columnWidth(static_cast<int>(i)), list.columns[i].width) << "column " << i;
    } else {
      EXPECT_GE(d.columnWidth(static_cast<int>(i)), list.columns[i].width) << "column " << i;
    }
  }
  EXPECT_EQ(d.host().paneText(n.mainWindow, n.statusBar, 0), gbk("状态："));
  EXPECT_EQ(d.host().paneText(n.mainWindow, n.statusBar, 1), gbk("下载速度："));
  EXPECT_EQ(d.host().timerPeriod(n.mainWindow, n.timer), 0);
  EXPECT_FALSE(d.host().isWindowLoaded(n.playerWindow));
}

// A term typed into the search box and Enter: exactly three requests, one per page, for the
// term as `encoded` spells it; the list filled with the six songs, numbered across pages; the
// status says the search is done.
inline void aTermAndEnterFillsTheList(HostDriver& d, CatalogueStandIn& catalogue,
                                      const std::string& termUtf8, const std::string& encoded) {
  const Names& n = names();
  Host& host = d.host();
  d.click(n.searchBox);
  d.type(termUtf8);
  d.pump(2000, [&] { return host.editText(n.mainWindow, n.searchBox) == fromUtf8(termUtf8); });
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), fromUtf8(termUtf8));
  d.pressEnter();
  ASSERT_TRUE(d.pump(10000, [&] { return host.rowCount(n.mainWindow, n.resultList) == 6; }));
  const auto reqs = catalogue.queries();
  ASSERT_EQ(reqs.size(), 3u);
  for (int page = 0; page < 3; ++page) {
    EXPECT_NE(reqs[page].target.find("query=" + encoded + "&"), std::string::npos);
    EXPECT_EQ(CatalogueStandIn::pageOf(reqs[page].target), std::to_string(page));
  }
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 0, 1), "one");
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 0, 3), "01:01");
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 0), "3");
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 4), catalogue.url("/media/p1.mp3"));
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 3, 1), gbk("中文"));
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 5, 0), "6");
  EXPECT_EQ(host.paneText(n.mainWindow, n.statusBar, 0), gbk("状态：搜索完成"));
}

// A click on a mood tag queries its collection: three pages of the tag's id, six rows.
inline void aTagClickQueriesItsCollection(HostDriver& d, CatalogueStandIn& catalogue, int tag) {
  const Names& n = names();
  Host& host = d.host();
  const std::string id = host.tagText(n.mainWindow, n.tagLabels[tag]);
  d.click(n.tagLabels[tag]);
  ASSERT_TRUE(d.pump(10000, [&] { return catalogue.queries().size() == 3; }));
  for (const Request& r : catalogue.queries()) {
    EXPECT_NE(r.target.find("/collection/songs?id=" + id + "&"), std::string::npos) << r.target;
  }
  d.pump(2000, [&] { return host.rowCount(n.mainWindow, n.resultList) == 6; });
  EXPECT_EQ(host.rowCount(n.mainWindow, n.resultList), 6);
}

// Alt+1 to Alt+7 act as a click on the seven tags, even while the search box has the focus
// (nothing is typed into it): Alt+6 queries 浪漫's collection.
inline void anAccessKeyClicksItsTag(HostDriver& d, CatalogueStandIn& catalogue) {
  const Names& n = names();
  Host& host = d.host();
  d.click(n.searchBox);
  d.pressAlt('6');
  ASSERT_TRUE(d.pump(10000, [&] { return catalogue.queries().size() == 3; }));
  const std::string id = host.tagText(n.mainWindow, n.tagLabels[5]);
  for (const Request& r : catalogue.queries()) {
    EXPECT_NE(r.target.find("/collection/songs?id=" + id + "&"), std::string::npos) << r.target;
  }
  EXPECT_TRUE(d.pump(2000, [&] { return host.rowCount(n.mainWindow, n.resultList) == 6; }));
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), "");
}

} // namespace tunova::test
