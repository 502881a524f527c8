// The thin layer between diffmark and the operating system.
//
// Everything the tool and its image library need from the system goes
// through these few calls: files, movable memory blocks, dynamic libraries,
// directory enumeration, a message box and path joining.  One backend per
// platform implements them (win32.cpp, posix.cpp); nothing else in the tree
// includes a system header of its own platform.
//
// Paths are 8-bit, NUL-terminated strings.  A backslash is a path separator
// on every platform, so paths formed as "dir\name" work everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace diffmark::platform {

// ---------------------------------------------------------------- files

struct File;
using FileHandle = File*;  // nullptr: no file

// Why a file could not be opened.
enum class FileError { None, NotFound, AccessDenied, NotRegular, Other };

// Opens an existing regular file for reading (no sharing).  Fails for a
// missing file, a file that cannot be read, a directory, and anything that
// is not a regular file (a FIFO, a socket, a device), never waiting for a
// writer.  `*error`, when given, tells why.
[[nodiscard]] FileHandle OpenForReading(const char* path, FileError* error = nullptr);

// Creates the file for writing, replacing an existing one (no sharing).
// Never waits: a FIFO without a reader fails at once.
[[nodiscard]] FileHandle CreateAlways(const char* path);

// Reads up to `bytes` bytes; `*got` receives how many were read (fewer only
// at the end of the file).  Large counts are read in few large calls.
[[nodiscard]] bool ReadBytes(FileHandle file, void* buffer, uint64_t bytes, uint64_t* got);

// Writes all `bytes` bytes; false when fewer could be written.
[[nodiscard]] bool WriteBytes(FileHandle file, const void* buffer, uint64_t bytes);

// Reads up to `bytes` bytes from `offset` on, without moving the file's
// position and safely from several threads at once; `*got` as ReadBytes.
[[nodiscard]] bool ReadAt(FileHandle file, uint64_t offset, void* buffer, uint64_t bytes, uint64_t* got);

// Writes all `bytes` bytes at `offset`, as ReadAt reads.
[[nodiscard]] bool WriteAt(FileHandle file, uint64_t offset, const void* buffer, uint64_t bytes);

// The file's full 64-bit length.
[[nodiscard]] bool FileSize(FileHandle file, uint64_t* size);

// Moves the read position to `offset` from the start (may lie past the end).
[[nodiscard]] bool SeekTo(FileHandle file, uint64_t offset);

void CloseFile(FileHandle file);

// Closes a file that was written, telling whether everything written
// reached it (some file systems report a failed write only here).
[[nodiscard]] bool CloseWritten(FileHandle file);

// The system's words for why the calling thread's last failed
// CreateAlways, WriteBytes, WriteAt, CloseWritten or RenameReplacing
// failed ("No such file or directory", "Permission denied", "No space
// left on device", ...).
[[nodiscard]] std::string LastFileErrorText();

// Whether two open files, or an open file and a path, are the same file
// on disk (hard links and symbolic links included).  False for a path
// that names nothing.
[[nodiscard]] bool SameFile(FileHandle a, FileHandle b);
[[nodiscard]] bool SameFile(FileHandle file, const char* path);

// Renames `from` to `to`, replacing an existing `to` in one step where the
// system allows it (rename(); MoveFileEx with MOVEFILE_REPLACE_EXISTING).
[[nodiscard]] bool RenameReplacing(const char* from, const char* to);

// Deletes a file; false when it could not be deleted.
bool RemoveFile(const char* path);

// What a path names, without opening it.
enum class PathKind { Missing, RegularFile, Directory, Other };
[[nodiscard]] PathKind KindOfPath(const char* path);

// A regular file's size and last-write time, read without opening it.
// `modified` counts in the system's own unit and epoch (nanoseconds since
// 1970 on POSIX, 100-nanosecond ticks since 1601 on Windows): compare two
// stamps of one machine, never show it.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified = 0;
};
// False for a path that names nothing or no regular file.
[[nodiscard]] bool StampOfFile(const char* path, FileStamp* stamp);

// Creates one folder whose parent exists, readable by its owner only where
// the system has such modes.  True when `path` is a folder afterwards (made
// now or before, by anyone).
[[nodiscard]] bool MakeFolder(const char* path);

// The absolute form of a path to something that exists, links resolved
// where the system has them; empty when it cannot be told.
[[nodiscard]] std::string FullPath(const char* path);

// A file written beside its final path and renamed into place once
// complete: a reader never sees half a file, and a run that fails leaves
// what was there before.  A path that names a device or a pipe is written
// straight in.  What is not committed is closed and removed with the
// object.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the file that will become `path`, and the folders on its way
  // that are missing.  False, with the system's reason, when it cannot be
  // created (a directory, a file where a folder should be, no permission).
  [[nodiscard]] bool Begin(const std::string& path, std::string* reason);
  [[nodiscard]] FileHandle file() const { return file_; }
  // Where the bytes go until Commit (the temporary name, or the path).
  [[nodiscard]] const std::string& writtenPath() const { return temporary_.empty() ? path_ : temporary_; }
  // Closes the file and renames it over the path.  False, with the reason,
  // when a write failed late or the rename did; the path is then as it was.
  [[nodiscard]] bool Commit(std::string* reason);

 private:
  FileHandle file_ = nullptr;
  std::string path_;
  std::string temporary_;  // empty: written straight in
};

// Writes `bytes` bytes as the whole of `path`, through a ReplacementFile.
// False with the reason.
[[nodiscard]] bool ReplaceFileWith(const std::string& path, const void* data, uint64_t bytes, std::string* reason);

// ------------------------------------------------------ movable blocks
//
// A movable block is the unit of ownership for pixel data and plug-in
// strings.  It has a size, a lock count, and zero-filled contents when
// allocated.  On Windows it is a GlobalAlloc(GMEM_MOVEABLE) block; plug-ins
// allocate theirs with the same allocator.  A handle is not a pointer: a
// handle that was freed or never allocated is refused by every call below
// (nullptr, false, 0, or nothing done), as Windows refuses it.  The calls
// may be made from several threads at once.

using BlockHandle = void*;  // nullptr: no block

// Largest block any caller asks for: sizes derived from file headers are
// checked against it before they reach the allocator.
inline constexpr uint64_t kMaxBlockBytes = 0x7FFFFFFFu;

[[nodiscard]] BlockHandle AllocBlock(uint64_t bytes);  // zero-filled; nullptr on failure
// The same, for a block that will be filled by reading a file from
// `fileOffset` on: where it helps (large blocks), the data starts at the same place within
// a 64-byte line as that offset, which lets the kernel copy at full speed.
[[nodiscard]] BlockHandle AllocBlockForRead(uint64_t bytes, uint64_t fileOffset);
[[nodiscard]] void* LockBlock(BlockHandle block);      // nullptr for no block
bool UnlockBlock(BlockHandle block);                   // true while still locked
bool FreeBlock(BlockHandle block);                     // frees even a locked block; false: refused
[[nodiscard]] uint64_t BlockSize(BlockHandle block);   // 0 for no block

// ---------------------------------------------------- dynamic libraries

struct Library;
using LibraryHandle = Library*;

// nullptr on failure; then `error` (when given) receives the system
// loader's own text, cut to `errorSize` bytes, terminator included.
[[nodiscard]] LibraryHandle OpenLibrary(const char* path, char* error = nullptr, size_t errorSize = 0);
[[nodiscard]] void* LookupSymbol(LibraryHandle library, const char* name);
void CloseLibrary(LibraryHandle library);

// Makes the symbols of the module (executable or shared library) that
// contains `address` visible to libraries loaded later, even when that
// module itself was loaded with local scope; libraries refer to the host's
// definitions that way.  Does nothing where libraries cannot refer to their
// host (Windows).
void ShareModuleSymbols(const void* address);

// ------------------------------------------------ directory enumeration

inline constexpr size_t kMaxPath = 260;  // path buffers, terminator included

struct FindRecord {
  char cFileName[kMaxPath];  // name only, without directory
};

struct Find;
using FindHandle = Find*;

// Starts listing the entries of the directory part of `pattern` whose name
// matches its last part ('*' and '?' wildcards, letter case ignored).
// nullptr when the directory cannot be listed or nothing matches.
[[nodiscard]] FindHandle FindFirst(const char* pattern, FindRecord* record);
[[nodiscard]] bool FindNext(FindHandle find, FindRecord* record);
void FindEnd(FindHandle find);

// -------------------------------------------------------------- process

// The full path of the running program; empty when it cannot be told.
[[nodiscard]] std::string ExecutablePath();

// Where this user's programs keep caches they can rebuild: $XDG_CACHE_HOME
// when it is an absolute path, else $HOME/.cache (POSIX); %LOCALAPPDATA%
// (Windows).  The folder need not exist yet; empty when none can be told.
[[nodiscard]] std::string UserCacheFolder();

// The number of processors the process may run on (at least 1).
[[nodiscard]] unsigned ProcessorCount();

// Whether standard error is a terminal (a console on Windows), where a
// program may show progress; false for a file or a pipe.
[[nodiscard]] bool StandardErrorIsTerminal();

// ------------------------------------------------------------ messages

enum class MessageIcon { None, Warning };

// Shows a modal message with an OK button and returns once it is dismissed.
// `text` and `caption` are Shift_JIS (code page 932) bytes.  Where there is
// no message box, the caption and text go to standard error as UTF-8.
void ShowMessage(const char* text, const char* caption, MessageIcon icon);

// --------------------------------------------------------------- paths

// Forms "dir\name" in `out`.  False, with `out` holding an empty string,
// when the result would not fit in kMaxPath bytes.
[[nodiscard]] bool JoinPath(char (&out)[kMaxPath], const char* dir, const char* name);

}  // namespace diffmark::platform
