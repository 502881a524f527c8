// POSIX backend of the platform layer.
//
// It behaves the way the tool relies on the Windows calls behaving:
// opening a directory for reading fails, a backslash separates path parts,
// movable blocks carry a size and a lock count, and the "message box" is a
// caption and text written to standard error as UTF-8.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/platform.h"
#include "platform/sjis.h"

namespace diffmark::platform {
namespace {

std::string NativePath(const char* path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- files

struct File {
  int fd;
  bool pipe = false;  // a FIFO or a socket: its reader may go away mid-write
};

namespace {

FileHandle Wrap(int fd) {
  if (fd < 0) return nullptr;
  File* file = new (std::nothrow) File{fd, false};
  if (file == nullptr) ::close(fd);
  return file;
}

// Largest count handed to one read() or write(); Linux moves at most about
// 2 GiB per call anyway.
constexpr uint64_t kIoChunk = 1u << 30;

// The reason of the calling thread's last failed write-side call.
thread_local int lastFileError = 0;

// Keeps errno as the reason and passes `result` on.
template <typename T>
T Failed(T result) {
  lastFileError = errno;
  return result;
}

FileError ErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return FileError::NotFound;
    case EACCES:
    case EPERM:
      return FileError::AccessDenied;
    case EISDIR:
    case ENXIO:
    case ENODEV:
      return FileError::NotRegular;
    default:
      return FileError::Other;
  }
}

}  // namespace

FileHandle OpenForReading(const char* path, FileError* error) {
  FileError ignored = FileError::None;
  FileError& why = error != nullptr ? *error : ignored;
  why = FileError::None;
  const std::string native = NativePath(path);
  // Only regular files are read.  Anything else is refused before it is
  // opened (opening a device can have effects of its own), and the open
  // never waits: a FIFO without a writer would block a plain open.
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) {
    why = ErrorOf(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    why = FileError::NotRegular;
    return nullptr;
  }
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = ErrorOf(errno);
    return nullptr;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // replaced since the check
    why = FileError::NotRegular;
    ::close(fd);
    return nullptr;
  }
  return Wrap(fd);
}

FileHandle CreateAlways(const char* path) {
  // Non-blocking open: a FIFO without a reader fails (ENXIO) instead of
  // waiting for one.  Writes then block as usual.
  const int fd = ::open(NativePath(path).c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return Failed(nullptr);
  const int flags = ::fcntl(fd, F_GETFL);
  struct stat st {};
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::fstat(fd, &st) != 0) {
    lastFileError = errno;
    ::close(fd);
    return nullptr;
  }
  FileHandle file = Wrap(fd);
  if (file != nullptr) file->pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
  return file;
}

bool ReadBytes(FileHandle file, void* buffer, uint64_t bytes, uint64_t* got) {
  *got = 0;
  if (file == nullptr) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (*got < bytes) {
    const uint64_t want = bytes - *got < kIoChunk ? bytes - *got : kIoChunk;
    const ssize_t n = ::read(file->fd, out + *got, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *got += static_cast<uint64_t>(n);
  }
  return true;
}

// While alive, holds back SIGPIPE on this thread: a write to a pipe whose
// reader has gone then fails (EPIPE) instead of ending the process, and a
// SIGPIPE raised meanwhile is consumed.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    wasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~SigpipeHeld() {
    if (!wasPending_) {
      const timespec now{0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

bool WriteBytes(FileHandle file, const void* buffer, uint64_t bytes) {
  if (file == nullptr) return false;
  std::optional<SigpipeHeld> held;
  if (file->pipe) held.emplace();
  const auto* in = static_cast<const unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t want = bytes - done < kIoChunk ? bytes - done : kIoChunk;
    const ssize_t n = ::write(file->fd, in + done, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed(false);
    }
    if (n == 0) {
      lastFileError = ENOSPC;
      return false;
    }
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool ReadAt(FileHandle file, uint64_t offset, void* buffer, uint64_t bytes, uint64_t* got) {
  *got = 0;
  if (file == nullptr || offset > static_cast<uint64_t>(INT64_MAX) - bytes) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (*got < bytes) {
    const uint64_t want = bytes - *got < kIoChunk ? bytes - *got : kIoChunk;
    const ssize_t n = ::pread(file->fd, out + *got, static_cast<size_t>(want), static_cast<off_t>(offset + *got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *got += static_cast<uint64_t>(n);
  }
  return true;
}

bool WriteAt(FileHandle file, uint64_t offset, const void* buffer, uint64_t bytes) {
  if (file == nullptr || offset > static_cast<uint64_t>(INT64_MAX) - bytes) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t want = bytes - done < kIoChunk ? bytes - done : kIoChunk;
    const ssize_t n = ::pwrite(file->fd, in + done, static_cast<size_t>(want), static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed(false);
    }
    if (n == 0) {
      lastFileError = ENOSPC;
      return false;
    }
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool FileSize(FileHandle file, uint64_t* size) {
  struct stat st {};
  if (file == nullptr || ::fstat(file->fd, &st) != 0 || st.st_size < 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SeekTo(FileHandle file, uint64_t offset) {
  if (file == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void CloseFile(FileHandle file) {
  if (file == nullptr) return;
  ::close(file->fd);
  delete file;
}

bool SameFile(FileHandle a, FileHandle b) {
  struct stat sa {};
  struct stat sb {};
  return a != nullptr && b != nullptr && ::fstat(a->fd, &sa) == 0 && ::fstat(b->fd, &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool SameFile(FileHandle file, const char* path) {
  struct stat sa {};
  struct stat sb {};
  return file != nullptr && ::fstat(file->fd, &sa) == 0 && ::stat(NativePath(path).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool RenameReplacing(const char* from, const char* to) {
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0 || Failed(false);
}

bool CloseWritten(FileHandle file) {
  if (file == nullptr) return false;
  // close() reports what a file system (NFS, a full disk with delayed
  // allocation) could only tell at the end.
  const bool ok = ::close(file->fd) == 0 || Failed(false);
  delete file;
  return ok;
}

std::string LastFileErrorText() { return lastFileError != 0 ? std::strerror(lastFileError) : "unknown reason"; }

bool RemoveFile(const char* path) { return ::unlink(NativePath(path).c_str()) == 0; }

PathKind KindOfPath(const char* path) {
  struct stat st {};
  if (::stat(NativePath(path).c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::RegularFile;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  return PathKind::Other;
}

bool StampOfFile(const char* path, FileStamp* stamp) {
  struct stat st {};
  if (::stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + static_cast<int64_t>(st.st_mtim.tv_nsec);
  return true;
}

bool MakeFolder(const char* path) {
  const std::string native = NativePath(path);
  if (::mkdir(native.c_str(), 0700) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FullPath(const char* path) {
  char* resolved = ::realpath(NativePath(path).c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

// ------------------------------------------------------ movable blocks
//
// A block is a header placed in front of the data.  Small blocks come from
// calloc.  Large ones are anonymous mappings aligned to 2 MiB and advised
// for transparent huge pages: the kernel then faults them in a huge page at
// a time, which is what makes filling a 200 MB image run at memory speed;
// fresh anonymous memory is zero, so zero-filling costs nothing.
//
// A handle is a serial number, never reused, looked up in a table of the
// live blocks: a handle that was freed, or never allocated, finds nothing
// and is refused without touching memory, as GlobalLock and GlobalFree
// refuse it on Windows.  Plug-ins hand handles back, so this matters.  The
// table keeps each block's address complemented, so that a leak checker
// still reports a block that nobody freed as leaked.

namespace {

constexpr uint64_t kHeaderSpace = 64;  // data starts 64 to 127 bytes in
constexpr uint64_t kLine = 64;
constexpr uint64_t kMapThreshold = 1u << 20;
constexpr uint64_t kHugePage = 2u << 20;
constexpr uint64_t kPopulateLimit = 64u << 20;

struct BlockHeader {
  uint64_t size;        // bytes the caller asked for
  uint64_t mappedSize;  // 0: calloc block; otherwise the mapping's length
  uint64_t dataOffset;  // from the header to the first data byte
  int64_t locks;
};
static_assert(sizeof(BlockHeader) <= kHeaderSpace);

struct BlockTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, uintptr_t> live;  // handle -> ~address
  uintptr_t lastSerial = 0;
};

BlockTable& Blocks() {
  static BlockTable* table = new BlockTable;  // outlives every static destructor
  return *table;
}

// The live block behind a handle, or nullptr.  Call with the mutex held.
BlockHeader* LiveBlock(BlockTable& table, BlockHandle block) {
  const auto it = table.live.find(reinterpret_cast<uintptr_t>(block));
  return it == table.live.end() ? nullptr : reinterpret_cast<BlockHeader*>(~it->second);
}

void* MapAligned(uint64_t length) {
  const uint64_t padded = length + kHugePage;
  void* raw = ::mmap(nullptr, static_cast<size_t>(padded), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
  const uintptr_t end = start + static_cast<uintptr_t>(padded);
  const uintptr_t alignedEnd = aligned + static_cast<uintptr_t>(length);
  if (aligned > start) ::munmap(raw, aligned - start);
  if (end > alignedEnd) ::munmap(reinterpret_cast<void*>(alignedEnd), end - alignedEnd);
  auto* base = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  ::madvise(base, static_cast<size_t>(length), MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  // Blocks are filled whole as soon as they are had (a decoded picture, a
  // file read); faulting their pages in one call instead of one at a time
  // took a tenth off a 1280 x 800 PNG pair's run.  Larger blocks fault in
  // as they are written, so a header that claims a huge picture costs
  // nothing until its data is really there.  Kernels before 5.14 refuse
  // the advice, and nothing changes.
  if (length <= kPopulateLimit) ::madvise(base, static_cast<size_t>(length), MADV_POPULATE_WRITE);
#endif
  return base;
}

// Mappings freed last, kept for the next blocks of about their size.  On
// the machines measured, the first write to memory fresh from the kernel
// costs about 0.4 ms a MiB even when its pages were faulted in ahead (ten
// to twenty times a write to memory written before), and handing it back
// costs a TLB shootdown: a folder run frees two pictures and the decoders'
// scratch blocks for every pair and asks for the same sizes again for the
// next.  A few are kept, never more than kKeptBytes in all; a kept mapping
// serves a request of at least half its size, so little of it lies idle,
// and those too small for a request are given back then.
constexpr size_t kKeptMappings = 6;
constexpr uint64_t kKeptBytes = uint64_t{256} << 20;

struct KeptMappings {
  std::mutex mutex;
  size_t count = 0;  // oldest first
  void* base[kKeptMappings] = {};
  uint64_t size[kKeptMappings] = {};
  uint64_t total = 0;
};

KeptMappings& Kept() {
  static KeptMappings* kept = new KeptMappings;  // outlives every static destructor
  return *kept;
}

// Takes entry i out of the list; call with the mutex held.
void DropKept(KeptMappings& kept, size_t i) {
  kept.total -= kept.size[i];
  for (size_t k = i + 1; k < kept.count; ++k) {
    kept.base[k - 1] = kept.base[k];
    kept.size[k - 1] = kept.size[k];
  }
  --kept.count;
}

// The smallest kept mapping of at least `length` bytes and at most twice
// that, taken out of the list; nullptr when there is none.  Where none
// fits, the kept ones smaller than `length` are unmapped: the run has
// moved on to larger blocks, and memory nobody takes is not kept.
void* TakeKeptMapping(uint64_t length, uint64_t* mappedSize) {
  void* unmap[kKeptMappings];
  uint64_t unmapSize[kKeptMappings];
  size_t n = 0;
  {
    KeptMappings& kept = Kept();
    std::lock_guard<std::mutex> hold(kept.mutex);
    size_t best = kept.count;
    for (size_t i = 0; i < kept.count; ++i) {
      if (kept.size[i] < length || kept.size[i] / 2 > length) continue;
      if (best == kept.count || kept.size[i] < kept.size[best]) best = i;
    }
    if (best != kept.count) {
      void* base = kept.base[best];
      *mappedSize = kept.size[best];
      DropKept(kept, best);
      return base;
    }
    for (size_t i = 0; i < kept.count;) {
      if (kept.size[i] >= length) {
        ++i;
        continue;
      }
      unmap[n] = kept.base[i];
      unmapSize[n++] = kept.size[i];
      DropKept(kept, i);
    }
  }
  for (size_t i = 0; i < n; ++i) ::munmap(unmap[i], static_cast<size_t>(unmapSize[i]));
  return nullptr;
}

// Keeps a mapping for TakeKeptMapping, the oldest kept ones unmapped while
// it does not fit.
void KeepOrUnmap(void* base, uint64_t length) {
  if (length > kKeptBytes) {
    ::munmap(base, static_cast<size_t>(length));
    return;
  }
  void* unmap[kKeptMappings];
  uint64_t unmapSize[kKeptMappings];
  size_t n = 0;
  {
    KeptMappings& kept = Kept();
    std::lock_guard<std::mutex> hold(kept.mutex);
    while (kept.count == kKeptMappings || kept.total + length > kKeptBytes) {
      unmap[n] = kept.base[0];
      unmapSize[n++] = kept.size[0];
      DropKept(kept, 0);
    }
    kept.base[kept.count] = base;
    kept.size[kept.count++] = length;
    kept.total += length;
  }
  for (size_t i = 0; i < n; ++i) ::munmap(unmap[i], static_cast<size_t>(unmapSize[i]));
}

void Release(BlockHeader* header) {
  if (header->mappedSize != 0) {
    KeepOrUnmap(header, header->mappedSize);
  } else {
    std::free(header);
  }
}

}  // namespace

BlockHandle AllocBlockForRead(uint64_t bytes, uint64_t fileOffset) {
  if (bytes > kMaxBlockBytes) return nullptr;
  // read() copies from the page cache fastest when source and destination
  // share their offset within a cache line; a BMP's rows start at byte 54.
  const uint64_t dataOffset = kHeaderSpace + fileOffset % kLine;
  const uint64_t total = dataOffset + bytes;
  BlockHeader* header = nullptr;
  uint64_t mapped = 0;
  if (total >= kMapThreshold) {
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const uint64_t page = pageSize > 0 ? static_cast<uint64_t>(pageSize) : 4096u;
    mapped = (total + page - 1) / page * page;
    uint64_t keptSize = 0;
    header = static_cast<BlockHeader*>(TakeKeptMapping(mapped, &keptSize));
    if (header != nullptr) {
      mapped = keptSize;
      std::memset(header, 0, static_cast<size_t>(total));  // written before: zero it as a fresh one is
    } else {
      header = static_cast<BlockHeader*>(MapAligned(mapped));
    }
  } else {
    header = static_cast<BlockHeader*>(std::calloc(1, static_cast<size_t>(total)));
  }
  if (header == nullptr) return nullptr;
  *header = BlockHeader{bytes, mapped, dataOffset, 0};

  BlockTable& table = Blocks();
  std::lock_guard<std::mutex> hold(table.mutex);
  const uintptr_t handle = ++table.lastSerial << 4;
  try {
    table.live.emplace(handle, ~reinterpret_cast<uintptr_t>(header));
  } catch (...) {  // the table could not grow
    Release(header);
    return nullptr;
  }
  return reinterpret_cast<BlockHandle>(handle);
}

BlockHandle AllocBlock(uint64_t bytes) { return AllocBlockForRead(bytes, 0); }

void* LockBlock(BlockHandle block) {
  BlockTable& table = Blocks();
  std::lock_guard<std::mutex> hold(table.mutex);
  BlockHeader* header = LiveBlock(table, block);
  if (header == nullptr) return nullptr;
  ++header->locks;
  return reinterpret_cast<unsigned char*>(header) + header->dataOffset;
}

bool UnlockBlock(BlockHandle block) {
  BlockTable& table = Blocks();
  std::lock_guard<std::mutex> hold(table.mutex);
  BlockHeader* header = LiveBlock(table, block);
  if (header == nullptr) return false;
  if (header->locks > 0) --header->locks;
  return header->locks > 0;
}

bool FreeBlock(BlockHandle block) {
  BlockHeader* header = nullptr;
  {
    BlockTable& table = Blocks();
    std::lock_guard<std::mutex> hold(table.mutex);
    header = LiveBlock(table, block);
    if (header == nullptr) return false;
    table.live.erase(reinterpret_cast<uintptr_t>(block));
  }
  Release(header);
  return true;
}

uint64_t BlockSize(BlockHandle block) {
  BlockTable& table = Blocks();
  std::lock_guard<std::mutex> hold(table.mutex);
  const BlockHeader* header = LiveBlock(table, block);
  return header == nullptr ? 0 : header->size;
}

// ---------------------------------------------------- dynamic libraries

struct Library {
  void* handle;
};

// The dynamic loader serialises dlopen and dlclose with a lock of its own,
// which ThreadSanitizer cannot see: a library opened on one thread and
// closed on another (two plug-in decodes at once) reads to it as a race on
// the loader's memory.  Taking this lock around each call costs nothing the
// loader's lock does not already cost, and makes the order visible.
namespace {
std::mutex& LoaderLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

LibraryHandle OpenLibrary(const char* path, char* error, size_t errorSize) {
  // A name without a slash would make dlopen search the library path;
  // a plug-in is always named by its path, so anchor it to the directory.
  std::string native = NativePath(path);
  if (native.find('/') == std::string::npos) native = "./" + native;
  std::lock_guard<std::mutex> hold(LoaderLock());
  void* handle = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr && errorSize > 0) {
      const char* text = ::dlerror();
      std::snprintf(error, errorSize, "%s", text != nullptr ? text : "unknown error");
    }
    return nullptr;
  }
  auto* library = new (std::nothrow) Library{handle};
  if (library == nullptr) ::dlclose(handle);
  return library;
}

void* LookupSymbol(LibraryHandle library, const char* name) {
  return library == nullptr ? nullptr : ::dlsym(library->handle, name);
}

void CloseLibrary(LibraryHandle library) {
  if (library == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(LoaderLock());
    ::dlclose(library->handle);
  }
  delete library;
}

void ShareModuleSymbols(const void* address) {
  // Reopening a loaded module with RTLD_NOLOAD | RTLD_GLOBAL moves it into
  // the global scope, where a plug-in's undefined references find it.
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return;
  std::lock_guard<std::mutex> hold(LoaderLock());
  void* self = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
  if (self != nullptr) ::dlclose(self);
}

// ------------------------------------------------ directory enumeration

struct Find {
  DIR* dir;
  std::string glob;
};

namespace {

bool NextMatch(Find* find, FindRecord* record) {
  while (const dirent* entry = ::readdir(find->dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (::fnmatch(find->glob.c_str(), name, FNM_CASEFOLD) != 0) continue;
    const size_t length = std::strlen(name);
    if (length >= sizeof record->cFileName) continue;  // cannot be named in a path buffer
    std::memcpy(record->cFileName, name, length + 1);
    return true;
  }
  return false;
}

}  // namespace

FindHandle FindFirst(const char* pattern, FindRecord* record) {
  const std::string native = NativePath(pattern);
  const size_t slash = native.rfind('/');
  std::string dir;
  std::string glob;
  if (slash == std::string::npos) {
    dir = ".";
    glob = native;
  } else {
    dir = slash == 0 ? "/" : native.substr(0, slash);
    glob = native.substr(slash + 1);
  }
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return nullptr;
  auto* find = new (std::nothrow) Find{handle, glob};
  if (find == nullptr) {
    ::closedir(handle);
    return nullptr;
  }
  if (!NextMatch(find, record)) {
    FindEnd(find);
    return nullptr;
  }
  return find;
}

bool FindNext(FindHandle find, FindRecord* record) {
  return find != nullptr && NextMatch(find, record);
}

void FindEnd(FindHandle find) {
  if (find == nullptr) return;
  ::closedir(find->dir);
  delete find;
}

// -------------------------------------------------------------- process

std::string ExecutablePath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

std::string UserCacheFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;  // a relative value is to be ignored
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache";
  return {};
}

unsigned ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

// ------------------------------------------------------------ messages

void ShowMessage(const char* text, const char* caption, MessageIcon /*icon*/) {
  const std::string line = ShiftJisToUtf8(caption) + ": " + ShiftJisToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace diffmark::platform
