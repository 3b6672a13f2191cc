#pragma once
// The download engine: libcurl's multi interface driven by one worker thread that owns it.
//
// start() copies the task into a queue and returns at once; the worker picks it up, writes the
// file as PATH.part and renames it over PATH only when the transfer is complete (its size
// checked against Content-Length when the server gave one), so a failed or interrupted download
// never destroys an existing file nor leaves a truncated one under the final name. A dropped
// connection is retried with a byte-range request from what is already written; a server that
// ignores the range restarts the file cleanly.
//
// What the task's settings mean here: field 1 is the receive buffer size in bytes (raised to
// at least 256 KiB, below which reads cost throughput); field 6 the number of retries after a
// transient failure; field 8 the connect time-out in ms; field 10 the time without any data after
// which an attempt fails; field 11 the pause between retries in ms. Fields 4 and 5 (FTP log-in) are
// unused: only http:// and https:// are fetched, also after a redirect. 0 in a time field means a
// default.
#include <memory>

#include "app/download_task.h"

namespace tunova {

class CurlDownloadEngine : public DownloadEngine {
public:
  CurlDownloadEngine();
  ~CurlDownloadEngine() override;
  CurlDownloadEngine(const CurlDownloadEngine&) = delete;
  CurlDownloadEngine& operator=(const CurlDownloadEngine&) = delete;

  int start(const DownloadTask& task) override;
  std::int32_t currentRate() override;
  std::vector<DownloadEnd> takeEnded() override;
  int runningCount() override;
  void release() override;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace tunova
