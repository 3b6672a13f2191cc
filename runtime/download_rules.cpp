#include "runtime/download_rules.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include "host/address.h"
#include "runtime/part_file.h"
#include "text/text.h"

namespace tunova {

bool allowedScheme(const std::string& url) {
  return fetchableAddress(url);
}

bool plainlyNotAudio(const std::string& contentType, const std::string& head) {
  const std::string type = asciiLower(contentType);
  if (type.rfind("text/", 0) == 0 || type.find("json") != std::string::npos ||
      type.find("html") != std::string::npos || type.find("xml") != std::string::npos) {
    return true;
  }
  for (char c : head) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    return c == '<' || c == '{' || c == '[';
  }
  return false;
}

void parseContentRange(const std::string& value, long long& start, long long& total) {
  start = total = -1;
  std::size_t i = findNoCase(value, "bytes");
  if (i == std::string::npos) return;
  i += 5;
  while (i < value.size() && value[i] == ' ')
    ++i;
  if (i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])))
    start = std::strtoll(value.c_str() + i, nullptr, 10);
  const std::size_t slash = value.find('/', i);
  if (slash != std::string::npos && slash + 1 < value.size() &&
      std::isdigit(static_cast<unsigned char>(value[slash + 1]))) {
    total = std::strtoll(value.c_str() + slash + 1, nullptr, 10);
  }
}

} // namespace tunova

namespace tunova {

std::string validatorOf(const std::string& etag, const std::string& lastModified) {
  const std::string tag = trimSpaces(etag);
  if (!tag.empty() && tag.rfind("W/", 0) != 0 && tag.rfind("w/", 0) != 0) return tag;
  return trimSpaces(lastModified);
}

std::string recordText(const PartRecord& record) {
  std::string validator = record.validator;
  for (char& c : validator) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return "tunova-part 1\ntotal " + std::to_string(record.total) + "\nvalidator " + validator + "\n";
}

bool parseRecord(const std::string& text, PartRecord& record) {
  record = PartRecord{};
  const std::vector<std::string> lines = splitText(text, "\n");
  if (lines.size() < 3 || lines[0] != "tunova-part 1" || lines[1].rfind("total ", 0) != 0 ||
      lines[2].rfind("validator ", 0) != 0) {
    return false;
  }
  const std::string total = lines[1].substr(6);
  char* end = nullptr;
  const long long value = std::strtoll(total.c_str(), &end, 10);
  if (total.empty() || *end != '\0' || value < -1) return false;
  record.total = value;
  record.validator = lines[2].substr(10);
  return true;
}

bool resumable(const PartRecord& record, long long size) {
  if (size <= 0) return false;
  if (record.total >= 0 && size > record.total) return false;
  return !record.validator.empty() || record.total >= 0;
}

Answer judgeAnswer(long long offset, int status, long long rangeStart, long long rangeTotal,
                   const std::string& validator, const PartRecord& recorded) {
  if (status == 206 && rangeStart != offset) return Answer::Restart; // another range
  if (offset == 0) return Answer::FromZero;
  if (status != 206) return Answer::FromZero; // the whole song again (a new version, or no ranges)
  // A part of the song from where the file stops: only when it is the version the file holds.
  if (recorded.total >= 0 && rangeTotal != recorded.total) return Answer::Restart;
  if (!recorded.validator.empty()) {
    // The server should have sent the whole song for another version; one that answers with a
    // part anyway is caught by the validator it names.
    if (!validator.empty() && validator != recorded.validator) return Answer::Restart;
    return Answer::Append;
  }
  return recorded.total >= 0 ? Answer::Append : Answer::Restart;
}

long long announcedTotal(int status, long long contentLength, long long rangeTotal) {
  if (status == 206) return rangeTotal;
  if (status == 200) return contentLength;
  return -1;
}

bool SpeedFloor::tooSlow(Clock::time_point now, long long bytes) {
  if (samples_.empty() || now - samples_.back().at >= std::chrono::milliseconds(100))
    samples_.push_back(Sample{now, bytes});
  else
    samples_.back().bytes = bytes;
  // Keep one sample at or before the start of the span, none older.
  while (samples_.size() >= 2 && samples_[1].at <= now - limits_.floorSpan)
    samples_.pop_front();
  const Sample& first = samples_.front();
  if (now - first.at < limits_.floorSpan) return false; // not a whole span yet
  const double seconds = std::chrono::duration<double>(now - first.at).count();
  return static_cast<double>(bytes - first.bytes) <
         static_cast<double>(limits_.floorBytesPerSecond) * seconds;
}

PartStart startPart(PartFile& part, const std::string& url, const std::string& finalPath) {
  PartStart ready;
  if (!allowedScheme(url)) {
    ready.refusal = "only http and https addresses are fetched";
    return ready;
  }
  switch (part.claim(finalPath)) {
  case Claim::Held:
    break;
  case Claim::HeldElsewhere:
    ready.refusal = kHeldElsewhere;
    ready.heldElsewhere = true;
    return ready;
  case Claim::Failed:
    ready.refusal = "cannot write the file";
    return ready;
  }
  PartRecord record;
  const long long size = part.size();
  if (part.readRecord(record) && resumable(record, size)) {
    ready.record = record;
    ready.written = size;
  } else if (!part.truncate()) {
    part.discard();
    ready.refusal = "cannot write the file";
  }
  return ready;
}

} // namespace tunova
