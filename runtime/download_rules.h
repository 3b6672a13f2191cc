#pragma once
// The rules the download engine judges an answer by, apart from the engine so they are tested
// on their own.
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace tunova {

// Only http:// and https:// addresses are fetched (any letter case).
bool allowedScheme(const std::string& url);

// An answer that is plainly a page rather than a song: a text, HTML, JSON or XML type, or a
// body that opens like markup or a JSON document. (MP3 data opens with an ID3 tag or a frame
// sync byte.)
bool plainlyNotAudio(const std::string& contentType, const std::string& head);

// "bytes START-END/TOTAL" or "bytes */TOTAL" (TOTAL may be "*"); -1 for what is not there.
void parseContentRange(const std::string& value, long long& start, long long& total);

// Which version of a song a partial file holds: the server's validator for it (a strong ETag,
// else its Last-Modified date; empty when it gave neither) and its whole length (-1 unknown).
struct PartRecord {
  std::string validator;
  long long total = -1;
};

// The validator a resume names in If-Range: a strong ETag, else the Last-Modified date (a weak
// ETag cannot make a range conditional).
std::string validatorOf(const std::string& etag, const std::string& lastModified);

// The record as the small text file beside the partial file holds it, and back; false for a
// text that is not such a record.
std::string recordText(const PartRecord& record);
bool parseRecord(const std::string& text, PartRecord& record);

// Whether a partial file of `size` bytes may be continued: only when its record can tell the
// same version from another (a validator, or at least the whole length).
bool resumable(const PartRecord& record, long long size);

// What the first bytes of an answer mean for the partial file.
enum class Answer {
  Append,   // continues the file where it stops
  FromZero, // the whole song from its first byte: empty the file, then write it
  Restart,  // cannot continue this file (another range, another version): ask again from zero
};

// `offset` is where the request asked to start (0: no range asked); `status`, `rangeStart` and
// `rangeTotal` what the answer says (-1 where it says nothing); `validator` the answer's own;
// `recorded` what the partial file holds. Never lets two versions of a song meet in one file.
Answer judgeAnswer(long long offset, int status, long long rangeStart, long long rangeTotal,
                   const std::string& validator, const PartRecord& recorded);

// The whole length an answer announces: a 206's Content-Range total, a 200's Content-Length;
// -1 when unknown.
long long announcedTotal(int status, long long contentLength, long long rangeTotal);

// Bounds on one download.
struct DownloadLimits {
  // A body without a Content-Length is cut here (far beyond any song).
  long long maxBodyBytes = 2LL * 1024 * 1024 * 1024;
  // A transfer whose average rate over `floorSpan` stays under this fails.
  long long floorBytesPerSecond = 1024;
  std::chrono::milliseconds floorSpan{60000};
};

// The speed floor: fed the running byte count of one transfer, tells when the bytes of the last
// span stayed under the floor for a whole span.
class SpeedFloor {
public:
  using Clock = std::chrono::steady_clock;
  explicit SpeedFloor(const DownloadLimits& limits) : limits_(limits) {}
  // Called as bytes arrive and at least every second while none do: records the count and
  // answers whether the span before `now` brought fewer than the floor's bytes.
  bool tooSlow(Clock::time_point now, long long bytes);

private:
  struct Sample {
    Clock::time_point at;
    long long bytes;
  };
  DownloadLimits limits_;
  std::deque<Sample> samples_;
};

// Texts of the verdicts that callers look at.
inline constexpr const char* kHeldElsewhere = "being downloaded by another program";
inline constexpr const char* kTooSlow = "too slow: under the floor for its whole span";

} // namespace tunova
