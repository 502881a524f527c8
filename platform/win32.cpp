// Win32 backend of the platform layer: the kernel32 and user32 calls the
// tool was made for, with the ANSI (8-bit, code page) entry points.
#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace diffmark::platform {

// ---------------------------------------------------------------- files

struct File {
  HANDLE handle;
};

namespace {

FileHandle Wrap(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  File* file = new (std::nothrow) File{handle};
  if (file == nullptr) ::CloseHandle(handle);
  return file;
}

constexpr uint64_t kIoChunk = 1u << 30;  // one ReadFile/WriteFile moves a DWORD at most

}  // namespace

FileHandle OpenForReading(const char* path, FileError* error) {
  FileError ignored = FileError::None;
  FileError& why = error != nullptr ? *error : ignored;
  why = FileError::None;
  HANDLE handle = ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      why = FileError::NotRegular;
    } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      why = FileError::NotFound;
    } else if (code == ERROR_ACCESS_DENIED) {
      why = FileError::AccessDenied;
    } else {
      why = FileError::Other;
    }
    return nullptr;
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK) {  // a device or a pipe
    ::CloseHandle(handle);
    why = FileError::NotRegular;
    return nullptr;
  }
  return Wrap(handle);
}

namespace {

// The reason of the calling thread's last failed write-side call.
thread_local DWORD lastFileError = 0;

bool Failed() {
  lastFileError = ::GetLastError();
  return false;
}

}  // namespace

FileHandle CreateAlways(const char* path) {
  FileHandle file = Wrap(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file == nullptr) Failed();
  return file;
}

bool CloseWritten(FileHandle file) {
  if (file == nullptr) return false;
  const bool ok = ::CloseHandle(file->handle) != 0 || Failed();
  delete file;
  return ok;
}

std::string LastFileErrorText() {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   lastFileError, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text,
                                   nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "system error " + std::to_string(lastFileError);
  return out;
}

bool ReadBytes(FileHandle file, void* buffer, uint64_t bytes, uint64_t* got) {
  *got = 0;
  if (file == nullptr) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (*got < bytes) {
    const uint64_t want = bytes - *got < kIoChunk ? bytes - *got : kIoChunk;
    DWORD n = 0;
    if (!::ReadFile(file->handle, out + *got, static_cast<DWORD>(want), &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool WriteBytes(FileHandle file, const void* buffer, uint64_t bytes) {
  if (file == nullptr) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t want = bytes - done < kIoChunk ? bytes - done : kIoChunk;
    DWORD n = 0;
    if (!::WriteFile(file->handle, in + done, static_cast<DWORD>(want), &n, nullptr)) return Failed();
    if (n == 0) {
      lastFileError = ERROR_DISK_FULL;
      return false;
    }
    done += n;
  }
  return true;
}

bool ReadAt(FileHandle file, uint64_t offset, void* buffer, uint64_t bytes, uint64_t* got) {
  *got = 0;
  if (file == nullptr) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (*got < bytes) {
    const uint64_t want = bytes - *got < kIoChunk ? bytes - *got : kIoChunk;
    OVERLAPPED at{};
    const uint64_t position = offset + *got;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD n = 0;
    if (!::ReadFile(file->handle, out + *got, static_cast<DWORD>(want), &n, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool WriteAt(FileHandle file, uint64_t offset, const void* buffer, uint64_t bytes) {
  if (file == nullptr) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t want = bytes - done < kIoChunk ? bytes - done : kIoChunk;
    OVERLAPPED at{};
    const uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD n = 0;
    if (!::WriteFile(file->handle, in + done, static_cast<DWORD>(want), &n, &at)) return Failed();
    if (n == 0) {
      lastFileError = ERROR_DISK_FULL;
      return false;
    }
    done += n;
  }
  return true;
}

bool FileSize(FileHandle file, uint64_t* size) {
  if (file == nullptr) return false;
  DWORD high = 0;
  const DWORD low = ::GetFileSize(file->handle, &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return false;
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool SeekTo(FileHandle file, uint64_t offset) {
  if (file == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(file->handle, distance, nullptr, FILE_BEGIN) != 0;
}

void CloseFile(FileHandle file) {
  if (file == nullptr) return;
  ::CloseHandle(file->handle);
  delete file;
}

namespace {

bool Identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, info) != 0;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

bool SameFile(FileHandle a, FileHandle b) {
  BY_HANDLE_FILE_INFORMATION ia;
  BY_HANDLE_FILE_INFORMATION ib;
  return a != nullptr && b != nullptr && Identity(a->handle, &ia) && Identity(b->handle, &ib) &&
         SameIdentity(ia, ib);
}

bool SameFile(FileHandle file, const char* path) {
  if (file == nullptr) return false;
  // Opened for no access at all: only the file's identity is asked.
  HANDLE other = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION ia;
  BY_HANDLE_FILE_INFORMATION ib;
  const bool same = Identity(file->handle, &ia) && Identity(other, &ib) && SameIdentity(ia, ib);
  if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  return same;
}

bool RenameReplacing(const char* from, const char* to) {
  return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 || Failed();
}

bool RemoveFile(const char* path) { return ::DeleteFileA(path) != 0; }

PathKind KindOfPath(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
  return PathKind::RegularFile;
}

bool StampOfFile(const char* path, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return false;
  stamp->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  stamp->modified = static_cast<int64_t>(ticks & 0x7FFFFFFFFFFFFFFFu);
  return true;
}

bool MakeFolder(const char* path) {
  if (::CreateDirectoryA(path, nullptr)) return true;
  const DWORD attributes = ::GetFileAttributesA(path);  // made before, perhaps by another process
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string FullPath(const char* path) {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameA(path, sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return {};
  if (::GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES) return {};
  return std::string(buffer, n);
}

// ------------------------------------------------------ movable blocks

BlockHandle AllocBlock(uint64_t bytes) {
  if (bytes > kMaxBlockBytes || bytes > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
  return ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(bytes));
}

BlockHandle AllocBlockForRead(uint64_t bytes, uint64_t /*fileOffset*/) { return AllocBlock(bytes); }

void* LockBlock(BlockHandle block) { return block == nullptr ? nullptr : ::GlobalLock(block); }

bool UnlockBlock(BlockHandle block) { return block != nullptr && ::GlobalUnlock(block) != 0; }

bool FreeBlock(BlockHandle block) { return block != nullptr && ::GlobalFree(block) == nullptr; }

uint64_t BlockSize(BlockHandle block) { return block == nullptr ? 0 : ::GlobalSize(block); }

// ---------------------------------------------------- dynamic libraries

LibraryHandle OpenLibrary(const char* path, char* error, size_t errorSize) {
  // No "cannot load" dialog for a broken plug-in: the failure is the result.
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryA(path);
  const DWORD code = module == nullptr ? ::GetLastError() : 0;
  ::SetErrorMode(previous);
  if (module == nullptr && error != nullptr && errorSize > 0) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, text, sizeof text, nullptr);
    DWORD end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '.')) --end;
    text[end] = '\0';
    std::snprintf(error, errorSize, "%s (error %lu)", end > 0 ? text : "LoadLibrary failed",
                  static_cast<unsigned long>(code));
  }
  return reinterpret_cast<LibraryHandle>(module);
}

void* LookupSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void CloseLibrary(LibraryHandle library) {
  if (library != nullptr) ::FreeLibrary(reinterpret_cast<HMODULE>(library));
}

// A Windows plug-in imports GlobalAlloc and friends from kernel32, not from
// its host, so there is nothing to share.
void ShareModuleSymbols(const void* /*address*/) {}

// ------------------------------------------------ directory enumeration

namespace {

void CopyName(const WIN32_FIND_DATAA& data, FindRecord* record) {
  static_assert(sizeof data.cFileName == sizeof record->cFileName);
  ::CopyMemory(record->cFileName, data.cFileName, sizeof record->cFileName);
  record->cFileName[kMaxPath - 1] = '\0';
}

}  // namespace

FindHandle FindFirst(const char* pattern, FindRecord* record) {
  WIN32_FIND_DATAA data;
  HANDLE handle = ::FindFirstFileA(pattern, &data);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  CopyName(data, record);
  return reinterpret_cast<FindHandle>(handle);
}

bool FindNext(FindHandle find, FindRecord* record) {
  if (find == nullptr) return false;
  WIN32_FIND_DATAA data;
  if (!::FindNextFileA(reinterpret_cast<HANDLE>(find), &data)) return false;
  CopyName(data, record);
  return true;
}

void FindEnd(FindHandle find) {
  if (find != nullptr) ::FindClose(reinterpret_cast<HANDLE>(find));
}

// -------------------------------------------------------------- process

std::string ExecutablePath() {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  return std::string(buffer, n);
}

std::string UserCacheFolder() {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetEnvironmentVariableA("LOCALAPPDATA", buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  return std::string(buffer, n);
}

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// ------------------------------------------------------------ messages

void ShowMessage(const char* text, const char* caption, MessageIcon icon) {
  const UINT style = MB_OK | (icon == MessageIcon::Warning ? MB_ICONEXCLAMATION : 0u);
  ::MessageBoxA(nullptr, text, caption, style);
}

}  // namespace diffmark::platform
