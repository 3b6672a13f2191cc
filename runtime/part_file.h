#pragma once
// The partial file a download writes (PATH.part) and the small record beside it
// (PATH.part.info), which names the version of the song the partial file holds.
//
// One writer per song across programs: claim() opens PATH.part and takes an exclusive lock on
// it that the system drops when the program ends, however it ends (killed, crashed, the machine
// off). A program that does not hold the claim never removes, truncates, resumes or renames the
// file. Only the holder renames it into place, and only after its bytes are on disk.
//
// The record is written whole or not at all (a temporary file renamed over it). It is removed
// before the partial file is renamed into place, so a killed program leaves nothing, the
// partial file (with or without its record), or the whole song: never a record beside a
// finished song, and never a partial file under the song's name.
#include <cstddef>
#include <string>

#include "runtime/download_rules.h"

namespace tunova {

enum class Claim {
  Held,          // the partial file is ours until commit(), discard() or keep()
  HeldElsewhere, // another program is writing this song
  Failed,        // the folder refused the file
};

class PartFile {
public:
  PartFile() = default;
  ~PartFile(); // keeps the file for a later run when still held
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Claims `finalPath` + ".part" (a native path). Something that is not a plain file under that
  // name (a link, a folder, a device) is removed and a fresh file made in its place.
  Claim claim(const std::string& finalPath);
  bool held() const;

  // Bytes in the partial file now.
  long long size() const;
  // The record beside the file; false (and an empty record) when there is none or it is not
  // one of ours.
  bool readRecord(PartRecord& record) const;
  bool writeRecord(const PartRecord& record);
  // Empties the file (and forgets its record) so the song is written again from its start.
  bool truncate();
  bool write(const char* data, std::size_t n);
  // Bytes free in the file's folder for this user; -1 when unknown.
  long long freeSpace() const;

  // Puts the finished song in place: flushes the file to disk, removes the record, renames the
  // file over finalPath and flushes the folder, then drops the claim. False with `error` set
  // when any step failed or the file under PATH.part is no longer the one held (the partial
  // file is then removed when still ours).
  bool commit(std::string& error);
  // Removes the file and its record, then drops the claim.
  void discard();
  // Drops the claim and leaves the file and its record for a later run to resume.
  void keep();

  const std::string& finalPath() const { return finalPath_; }

private:
  // Whether PATH.part still names the file held.
  bool stillOurs() const;
  void release();

  std::string finalPath_;
  std::string partPath_;
  std::string recordPath_;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  long long unflushed_ = 0; // bytes written since the system was last asked to write back
#endif
};

// A new task's partial file made ready: an address that is not fetched is refused, the file is
// claimed, and what an earlier run left in it is kept when its record says which version it is
// (else emptied). `refusal` is empty when the file is ready.
struct PartStart {
  std::string refusal;
  bool heldElsewhere = false;
  PartRecord record;
  long long written = 0;
};
PartStart startPart(PartFile& part, const std::string& url, const std::string& finalPath);

} // namespace tunova
