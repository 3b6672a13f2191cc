#pragma once
// The download engine: its rules written once, over the platform's transport (http/transfer.h:
// libcurl's multi interface on Linux, WinInet on Windows).
//
// start() claims PATH.part (see part_file.h), copies the task and returns at once; a worker
// picks it up, writes the file as PATH.part and renames it over PATH only when the transfer is
// complete: its size checked against the announced length, every write checked, an empty body
// or a page (HTML, JSON, text) refused, its bytes flushed to disk before the rename and the
// folder after it. So a failed or interrupted download never destroys an existing file nor
// leaves a truncated one under the final name, and a download reported complete is on disk
// whole. A dropped connection is retried with a byte-range request from what is already
// written, conditional on the version the partial file holds (If-Range, and the recorded
// length and validator checked against the answer), so two versions of a song never meet in
// one file; a partial file left by an earlier run is continued the same way. One destination
// has one writer, in this program and across programs: a task for a path already being
// downloaded ends at once as failed and touches nothing. Redirects are followed by the engine:
// http and https only, never from https to http, at most 20 in a row. The idle worker sleeps
// until a task arrives.
//
// Bounds: a song announced larger than the free space is refused before anything is written; a
// body of unknown length is cut at the limits' maximum; a transfer whose rate over the floor's
// span stays under the floor fails. A task stopped by release() keeps its partial file for a
// later run when it can be resumed.
//
// What the task's settings mean here: receiveBufferBytes is raised to at least 256 KiB (below
// which reads cost throughput); retries counts the attempts after a transient failure;
// connectTimeoutMs bounds connecting; receiveTimeoutMs is the time without any data after which
// an attempt fails; retryPauseMs the pause between retries. 0 in a time setting means a default.
// ftpUser and ftpPassword are unused: only http:// and https:// are fetched, also after a
// redirect.
#include <chrono>
#include <functional>
#include <memory>

#include "host/download_task.h"
#include "http/transfer.h"
#include "runtime/download_rules.h"

namespace tunova {

class PlatformDownloadEngine : public DownloadEngine {
public:
  // `clock` gives the time the rate and the pauses between retries are measured by (tests set
  // it; by default the steady clock). `transport` carries the transfers (by default the
  // platform's, made when the first task starts).
  explicit PlatformDownloadEngine(
      std::function<std::chrono::steady_clock::time_point()> clock = nullptr,
      DownloadLimits limits = DownloadLimits{}, std::unique_ptr<Transport> transport = nullptr);
  ~PlatformDownloadEngine() override;
  PlatformDownloadEngine(const PlatformDownloadEngine&) = delete;
  PlatformDownloadEngine& operator=(const PlatformDownloadEngine&) = delete;

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
