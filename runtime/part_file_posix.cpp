#include "runtime/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// The claim is a flock(2) on the open partial file: it belongs to the open file description,
// so the system drops it when the program ends however it ends. A file that was removed or
// replaced between our open and our lock is not the one the path names any more: the claim is
// then tried again on what the path names now.

namespace tunova {

namespace {

bool sameFile(int fd, const std::string& path) {
  struct stat a {
  }, b{};
  return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncFolder(const std::string& path) {
  const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const bool ok = ::fsync(dir) == 0;
  ::close(dir);
  return ok;
}

bool writeWhole(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

} // namespace

PartFile::~PartFile() {
  if (held()) keep();
}

bool PartFile::held() const {
  return fd_ >= 0;
}

Claim PartFile::claim(const std::string& finalPath) {
  finalPath_ = finalPath;
  partPath_ = finalPath + ".part";
  recordPath_ = partPath_ + ".info";
  for (int round = 0; round < 16; ++round) {
    int fd =
        ::open(partPath_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0 && (errno == ELOOP || errno == EISDIR || errno == ENXIO)) {
      // Not a file of ours (a link, a folder, a socket): out of the way, then a fresh file.
      if (::unlink(partPath_.c_str()) != 0 && ::rmdir(partPath_.c_str()) != 0) return Claim::Failed;
      continue;
    }
    if (fd < 0) return Claim::Failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      if (::unlink(partPath_.c_str()) != 0) return Claim::Failed;
      continue;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) return Claim::HeldElsewhere;
      return Claim::Failed;
    }
    if (!sameFile(fd, partPath_)) {
      // Its holder renamed or removed it while we opened it: look again.
      ::close(fd);
      continue;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ::lseek(fd, 0, SEEK_END); // what is there is continued, not written over
    fd_ = fd;
    return Claim::Held;
  }
  return Claim::Failed;
}

long long PartFile::size() const {
  struct stat st {};
  return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

bool PartFile::readRecord(PartRecord& record) const {
  record = PartRecord{};
  const int fd = ::open(recordPath_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[1024];
  ssize_t n;
  while (text.size() < 16384 &&
         ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return parseRecord(text, record);
}

bool PartFile::writeRecord(const PartRecord& record) {
  if (fd_ < 0) return false;
  const std::string temporary = recordPath_ + ".tmp";
  ::unlink(temporary.c_str());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string text = recordText(record);
  bool ok = writeWhole(fd, text.data(), text.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), recordPath_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool PartFile::truncate() {
  if (fd_ < 0) return false;
  unflushed_ = 0;
  ::unlink(recordPath_.c_str());
  return ::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0;
}

// Every few megabytes the system is asked to start writing the new bytes to disk (without
// waiting for it), so the flush before the rename finds little left to do and a large song is
// not announced seconds after its last byte arrived.
bool PartFile::write(const char* data, std::size_t n) {
  constexpr long long kWriteBackEvery = 8LL << 20;
  if (fd_ < 0 || !writeWhole(fd_, data, n)) return false;
  unflushed_ += static_cast<long long>(n);
  if (unflushed_ >= kWriteBackEvery) {
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end >= unflushed_)
      ::sync_file_range(fd_, end - unflushed_, unflushed_, SYNC_FILE_RANGE_WRITE);
    unflushed_ = 0;
  }
  return true;
}

long long PartFile::freeSpace() const {
  struct statvfs fs {};
  if (::statvfs(folderOf(partPath_).c_str(), &fs) != 0) return -1;
  return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

bool PartFile::stillOurs() const {
  return fd_ >= 0 && sameFile(fd_, partPath_);
}

bool PartFile::commit(std::string& error) {
  if (fd_ < 0) {
    error = "the partial file is not held";
    return false;
  }
  if (::fdatasync(fd_) != 0) {
    error = "could not write the file";
    discard();
    return false;
  }
  if (!stillOurs()) {
    error = "the partial file was changed by someone else";
    release(); // what the path names now is not ours to touch
    return false;
  }
  ::unlink(recordPath_.c_str());
  if (::rename(partPath_.c_str(), finalPath_.c_str()) != 0) {
    error = "could not rename the finished file";
    discard();
    return false;
  }
  const bool synced = syncFolder(finalPath_);
  release();
  if (!synced) {
    error = "could not write the folder";
    return false;
  }
  return true;
}

void PartFile::discard() {
  if (fd_ < 0) return;
  if (stillOurs()) {
    ::unlink(recordPath_.c_str());
    ::unlink(partPath_.c_str());
  }
  release();
}

void PartFile::keep() {
  release();
}

void PartFile::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

} // namespace tunova
