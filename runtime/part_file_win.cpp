#include "runtime/part_file.h"

#include <windows.h>

#include <cstring>

#include "runtime/wide_text.h"

// The claim is the open handle itself: the partial file is opened without write or delete
// sharing, so no other program can open it to write, truncate, rename or remove it while we
// hold it, and the system closes the handle when the program ends however it ends. Renaming
// into place and removing go through the held handle.

namespace tunova {

namespace {

HANDLE handleOf(void* h) {
  return static_cast<HANDLE>(h);
}

bool writeWhole(HANDLE file, const char* data, std::size_t n) {
  while (n > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    DWORD w = 0;
    if (!WriteFile(file, data, chunk, &w, nullptr) || w == 0) return false;
    data += w;
    n -= w;
  }
  return true;
}

std::wstring folderOf(const std::wstring& path) {
  const std::size_t sep = path.find_last_of(L"\\/");
  return sep == std::wstring::npos ? L"." : path.substr(0, sep + 1);
}

} // namespace

PartFile::~PartFile() {
  if (held()) keep();
}

bool PartFile::held() const {
  return handle_ != nullptr;
}

Claim PartFile::claim(const std::string& finalPath) {
  finalPath_ = finalPath;
  partPath_ = finalPath + ".part";
  recordPath_ = partPath_ + ".info";
  const std::wstring part = wideOf(partPath_);
  for (int round = 0; round < 2; ++round) {
    const HANDLE h =
        CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info{};
      if (GetFileInformationByHandle(h, &info) &&
          !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        LARGE_INTEGER zero{};
        SetFilePointerEx(h, zero, nullptr, FILE_END); // what is there is continued
        handle_ = h;
        return Claim::Held;
      }
      CloseHandle(h);
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return Claim::HeldElsewhere;
      if (error != ERROR_ACCESS_DENIED) return Claim::Failed;
    }
    // Not a file of ours (a folder, a link, a read-only leftover): out of the way, then again.
    SetFileAttributesW(part.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(part.c_str()) && !RemoveDirectoryW(part.c_str())) return Claim::Failed;
  }
  return Claim::Failed;
}

long long PartFile::size() const {
  LARGE_INTEGER n{};
  return handle_ && GetFileSizeEx(handleOf(handle_), &n) ? n.QuadPart : 0;
}

bool PartFile::readRecord(PartRecord& record) const {
  record = PartRecord{};
  const HANDLE h = CreateFileW(wideOf(recordPath_).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string text(16384, '\0');
  DWORD n = 0;
  const BOOL ok = ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(h);
  if (!ok) return false;
  text.resize(n);
  return parseRecord(text, record);
}

bool PartFile::writeRecord(const PartRecord& record) {
  if (!handle_) return false;
  const std::wstring temporary = wideOf(recordPath_ + ".tmp");
  const HANDLE h = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::string text = recordText(record);
  bool ok = writeWhole(h, text.data(), text.size());
  ok = CloseHandle(h) && ok;
  if (!ok ||
      !MoveFileExW(temporary.c_str(), wideOf(recordPath_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool PartFile::truncate() {
  if (!handle_) return false;
  DeleteFileW(wideOf(recordPath_).c_str());
  LARGE_INTEGER zero{};
  return SetFilePointerEx(handleOf(handle_), zero, nullptr, FILE_BEGIN) &&
         SetEndOfFile(handleOf(handle_));
}

bool PartFile::write(const char* data, std::size_t n) {
  return handle_ && writeWhole(handleOf(handle_), data, n);
}

long long PartFile::freeSpace() const {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folderOf(wideOf(partPath_)).c_str(), &available, nullptr, nullptr))
    return -1;
  return static_cast<long long>(available.QuadPart);
}

bool PartFile::stillOurs() const {
  return handle_ != nullptr; // no other program can rename or remove it while it is open
}

bool PartFile::commit(std::string& error) {
  if (!handle_) {
    error = "the partial file is not held";
    return false;
  }
  if (!FlushFileBuffers(handleOf(handle_))) {
    error = "could not write the file";
    discard();
    return false;
  }
  DeleteFileW(wideOf(recordPath_).c_str());
  // Renamed through the held handle, so the claim lasts until the song is in place.
  const std::wstring target = wideOf(finalPath_);
  std::string buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t), '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
  if (!SetFileInformationByHandle(handleOf(handle_), FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    error = "could not rename the finished file";
    discard();
    return false;
  }
  release();
  return true;
}

void PartFile::discard() {
  if (!handle_) return;
  DeleteFileW(wideOf(recordPath_).c_str());
  FILE_DISPOSITION_INFO dispose{};
  dispose.DeleteFile = TRUE;
  SetFileInformationByHandle(handleOf(handle_), FileDispositionInfo, &dispose, sizeof dispose);
  release();
}

void PartFile::keep() {
  release();
}

void PartFile::release() {
  if (handle_) CloseHandle(handleOf(handle_));
  handle_ = nullptr;
}

} // namespace tunova
