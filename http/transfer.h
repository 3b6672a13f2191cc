#pragma once
// What a platform gives the download engine: transfers of one answer each, its head and its body
// handed to a sink as they arrive. Everything the engine decides (what the answer means for the
// partial file, redirects, retries, verdicts, rates) is written once on top of this.
//
// A transport runs its transfers on threads of its own. The calls for one transfer come one at
// a time, and the last of them is onEnd (unless the transport was stopped first); nothing of the
// sink is touched after that.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tunova {

struct TransferRequest {
  std::string url;
  std::vector<std::string> headerLines; // added to the request as they stand ("Name: value")
  long bufferBytes = 256 * 1024;        // how much one read may take
  long connectMs = 20000;
  long idleMs = 20000; // an attempt receiving nothing this long fails
};

struct TransferEnd {
  bool failed = false;    // no whole answer (also when the sink stopped the transfer)
  bool transient = false; // a failure the next attempt may not meet (a drop, a time-out)
  std::string error;      // why it failed, in the transport's words
  std::string location;   // a redirect answer's target made absolute; empty when it names none
};

class TransferSink {
public:
  virtual ~TransferSink() = default;
  // The final answer's status and header block (each line ending in CRLF); false stops it.
  virtual bool onHead(int status, const std::string& headerBlock) = 0;
  // Body bytes as they arrive; false stops the transfer.
  virtual bool onBody(const char* data, std::size_t n) = 0;
  // At least about once a second while the transfer runs (on a platform that says nothing
  // while a read waits, after each piece of the body); false stops the transfer.
  virtual bool onTick() = 0;
  virtual void onEnd(const TransferEnd& end) = 0;
};

class Transport {
public:
  virtual ~Transport() = default;
  // Starts a transfer; returns at once.
  virtual void open(const TransferRequest& request, TransferSink* sink) = 0;
  // Cuts every running transfer and waits for the transport's threads: when it returns, no
  // sink is called any more (a cut transfer gets no onEnd).
  virtual void stop() = 0;
};

// The platform's transport: libcurl's multi interface on one thread, or WinInet with a thread
// per transfer.
std::unique_ptr<Transport> openTransport();

} // namespace tunova
