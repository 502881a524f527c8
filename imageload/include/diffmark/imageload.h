// The diffmark image library: the file-name rules, the choice of loader by
// extension, the process-wide plug-in table and decoding through a plug-in,
// with the BMP records, the reader and the 24-bit conversion of
// <diffmark/bitmap.h>.  Link diffmark::image (CMake) or diffmark (pkg-config).
//
// Several threads may load at once.  The plug-in table is process-wide and
// not synchronised: fill it (SetPluginDirectory, ScanPlugins) before they
// start and release it after they end; loads only read it.  The Palette
// and the reason behind a failure (LastLoadError) are kept per thread, and
// blocks may be allocated and freed on any thread.
#pragma once

#include <cstdint>

#include <diffmark/bitmap.h>

namespace diffmark {

// Path buffers, terminator included.
inline constexpr size_t kMaxPath = 260;

// --------------------------------------------------- blocks, failures

// Gives back a block the library handed out (pixel rows, an expanded
// image): unlocks and frees it.  Null and handles that name no live block
// are ignored.
void ReleaseBlock(BlockHandle block);

// The bytes a block holds; 0 for null or a handle that names no live block.
[[nodiscard]] uint64_t BlockBytes(BlockHandle block);

// Why the last LoadImageFile, ReadBitmapFile, LoadWithPlugin or
// ExpandToRgb24 on this thread failed, as a short English text ("file not
// found", "no plug-in for extension \"png\"", ...); null when it succeeded.
// The text stays valid until the next load on this thread.
[[nodiscard]] const char* LastLoadError();

// ------------------------------------------------------------ names

// 0 when equal.  With n == 0 the two strings are compared whole: when their
// lengths differ the result is the shorter length (so an empty string
// equals anything); otherwise their bytes.  With n > 0 exactly n bytes are
// compared, terminators included as ordinary bytes.  On the first mismatch
// at index i the result is i + 1.  Mode 1 compares exactly; any other mode
// folds the bytes 'A'..'Z' to lower case (bytes from 0x80 up never fold).
[[nodiscard]] int32_t CompareNames(int32_t mode, const char* a, const char* b, int32_t n);

// Writes the normalised extension of `name` into `out` (room for at least
// 7 bytes): the text after the last '.', when that dot is not the first
// character and at most 6 characters follow it; otherwise empty.  "jpeg",
// "jpe" and the empty extension become "jpg"; the letter case is kept.
void GetExtension(const char* name, char* out);

// ------------------------------------------------------- the loaders

// Loads an image: names whose extension is "bmp" (any letter case) go to
// ReadBitmapFile, all others to LoadWithPlugin.  Returns the locked pointer
// to the pixel rows, with the block's handle in *slot and the header in
// *info; null on failure.  The caller owns the block.
[[nodiscard]] uint8_t* LoadImageFile(const char* path, BlockHandle* slot, BitmapInfo* info);

// Decodes a file through the last registered plug-in whose filter accepts
// the name's extension.  Null when none does (the file is then not opened),
// when the file cannot be read or is 2 GiB or larger, when the plug-in
// cannot be loaded, lacks GetPluginInfo or GetPicture, or reports failure,
// and when its result is unusable: an info block shorter than the 40-byte
// header, or a pixel block smaller than the header's rows need.  A failure
// changes neither *info nor the Palette and leaves nothing allocated: every
// block a failed plug-in hands back is freed, and *slot is reset to null.
[[nodiscard]] uint8_t* LoadWithPlugin(const char* path, BlockHandle* slot, BitmapInfo* info);

// ------------------------------------------------------ plug-in table

// The entry LoadWithPlugin would decode an extension with: the last whose
// filter holds it followed by ';', '*' or the end of the text (letter case
// ignored); -1 when none does.
[[nodiscard]] int32_t FindPluginFor(const char* extension);

inline constexpr int32_t kMaxPlugins = 1024;

struct PluginEntry {
  BlockHandle fileNameBlock;
  char* fileName;  // the library's name, without directory
  BlockHandle filterBlock;
  char* filter;    // what GetPluginInfo(2) returned, e.g. "*.ppm;*.pgm"
};

struct PluginTableData {
  PluginEntry entries[kMaxPlugins];
  int32_t count;  // entries in registration order; the last match wins
};

extern PluginTableData PluginTable;

// Where plug-ins are looked for and loaded from; empty at start, which
// names the root directory ("\name").  Only a caller of the library sets it.
extern char PluginDirectory[kMaxPath];

// Sets PluginDirectory; false (and unchanged) when it does not fit.
[[nodiscard]] bool SetPluginDirectory(const char* directory);

// Registers every "*.spi" library of PluginDirectory, in the order the
// file system lists them, behind the entries already there.  Libraries that
// cannot be loaded or lack GetPluginInfo are skipped.  The table holds
// kMaxPlugins entries; the scan stops when it is full.
void ScanPlugins();

// Registers exactly what ScanPlugins registers, in the same order, but
// loads only the libraries that are new or changed since the last such
// scan of the same folder: for each "*.spi" file whose size and last-write
// time are those a cache file remembers, the entry is made from the cache
// (file name and filter text) without loading the library.  The cache is
// one small text file per plug-in folder (keyed by its full path) in the
// folder SetPluginCacheDirectory names, by default "diffmark" in the
// user's cache folder ($XDG_CACHE_HOME or ~/.cache; %LOCALAPPDATA% on
// Windows).  It is rewritten when anything changed, under a temporary name
// renamed into place, so processes that scan at once never read a part of
// it.  A cache file that is damaged, of another folder or unreadable is
// ignored and rewritten; when none can be written the scan simply loads
// every library, as ScanPlugins does.  Libraries that could not be
// registered are not remembered and are tried again on every scan.  A
// plug-in's filter text must depend on its file alone (every plug-in's
// does: it is a constant).
void ScanPluginsCached();

// Where ScanPluginsCached keeps its files: `directory` (made when missing,
// its parent must exist), or, when empty (the start value), "diffmark" in
// the user's cache folder.  False (and unchanged) when it does not fit.
[[nodiscard]] bool SetPluginCacheDirectory(const char* directory);

// What directory enumeration found: of the system's record only the name is used.
struct FindRecord {
  char cFileName[kMaxPath];  // name only, without directory
};

// Adds one entry for the library named by the record (in PluginDirectory),
// when it loads and exports GetPluginInfo and the table has room.
void RegisterPlugin(FindRecord record);

// Frees every entry and empties the table; PluginDirectory stays.
void ReleasePlugins();

}  // namespace diffmark
