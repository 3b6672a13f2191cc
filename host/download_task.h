#pragma once
// The record a download is described by, and the engine that carries it out in the background.
#include <cstdint>
#include <string>
#include <vector>

namespace tunova {

// Twenty fields in a fixed order; the comments give each field's number and the meaning the
// download engine gives it. Texts are GBK.
struct DownloadTask {
  std::int32_t receiveBufferBytes = 1; // 1: receive buffer size in bytes
  std::string url;                     // 2: source address
  std::string path;                    // 3: local file path
  std::string ftpUser;                 // 4: FTP log-in name (FTP is not fetched)
  std::string ftpPassword;             // 5: FTP password (FTP is not fetched)
  std::int32_t retries = 1;            // 6: retries after a dropped connection
  std::int32_t field7 = 0;             // 7: unused
  std::int32_t connectTimeoutMs = 0;   // 8: connect time-out in ms
  std::int32_t sendTimeoutMs = 0;      // 9: time-out for sending the request in ms
  std::int32_t receiveTimeoutMs = 0;   // 10: failure after this long without data, in ms
  std::int32_t retryPauseMs = 0;       // 11: pause between retries in ms
  std::int32_t field12 = 0;            // 12: unused
  std::int32_t field13 = 0;            // 13: unused
  std::int32_t field14 = 0;            // 14: unused
  std::int32_t field15 = 0;            // 15: unused
  std::string field16;                 // 16: unused
  std::int32_t field17 = 0;            // 17: unused
  std::string extensions;              // 18: "|"-separated file extensions (informational)
  std::string field19;                 // 19: unused
  std::string field20;                 // 20: unused
};

// How a task ended, as the engine reports it once.
struct DownloadEnd {
  int id = 0;
  bool completed = false;
  std::string error; // why it failed (UTF-8), empty when completed
  // Another program is writing this song into the same file: nothing here was touched.
  bool heldElsewhere = false;
};

class DownloadEngine {
public:
  virtual ~DownloadEngine() = default;
  // Copies the task and returns at once; the transfer goes on in the background. Returns the
  // task's id (> 0), or 0 when the task was refused (it is then reported as failed as well).
  virtual int start(const DownloadTask& task) = 0;
  // The overall receive rate in bytes per second over the last second; 0 when idle.
  virtual std::int32_t currentRate() = 0;
  // Tasks that ended since the last call.
  virtual std::vector<DownloadEnd> takeEnded() = 0;
  // Tasks still running.
  virtual int runningCount() = 0;
  // Stops every transfer and waits for the worker to end.
  virtual void release() = 0;
};

} // namespace tunova
