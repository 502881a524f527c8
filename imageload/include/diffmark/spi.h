/*
 * diffmark image-input plug-in interface.
 *
 * A plug-in is a dynamic library whose file name ends in ".spi" and which
 * exports two functions under these exact, undecorated names:
 *
 *   GetPluginInfo(index, buffer, size)
 *       The host calls it with index 2, a 256-byte buffer and size 256.
 *       Leave a NUL-terminated filter text of at most 255 characters in the
 *       buffer, for example "*.ppm;*.pgm;*.pnm": every extension the plug-in
 *       decodes followed by ';', '*' or the end of the text.  The result is
 *       not used.
 *
 *   GetPicture(data, length, flags, info, pixels, progress, user)
 *       The host passes the file's whole contents (data, length), flags 1,
 *       a null progress callback and user value 0.  *info and *pixels are
 *       null on entry.
 *
 *       Success: return 0, with *info holding a movable block with the
 *       40-byte BMP info header followed by its colour table (4 bytes an
 *       entry, 1 << biBitCount entries below 24 bits per pixel), and
 *       *pixels a movable block with the pixel rows, bottom row first, each
 *       padded to a multiple of 4 bytes, in the image's own bit depth.  Both
 *       blocks become the host's.
 *
 *       Failure: return any other value (the SPI_ERROR_ codes below tell the
 *       host what to report).  Leave each of *info and *pixels either null
 *       or holding a live block: the host frees every non-null handle it
 *       gets back from a failed call.  So either free a block and set its
 *       handle to null, or leave it for the host; never leave a handle to a
 *       block you freed.
 *
 * Both functions use the Windows standard calling convention (SPI_CALL).
 *
 * Blocks are allocated with GlobalAlloc(GMEM_MOVEABLE, bytes) and filled
 * through GlobalLock / GlobalUnlock, on every platform:
 *   - on Windows these are the kernel32 functions from <windows.h>;
 *   - elsewhere the host process provides them (declared below); a plug-in
 *     built as a shared library leaves them undefined and they bind to the
 *     host's when it is loaded.  Blocks are always zero-filled.
 * A handle is not a pointer: reach the memory through GlobalLock.
 *
 * Exporting the names:
 *   - Windows: list GetPluginInfo and GetPicture in a .def file (needed on
 *     32-bit, where __stdcall names are otherwise decorated as Name@N);
 *   - elsewhere: SPI_EXPORT gives them default visibility.
 * The CMake function diffmark_plugin() (installed with the package) does
 * both.
 *
 * The host includes this header with SPI_HOST defined; it then sees only
 * the plain types below and none of <windows.h>.
 */
#ifndef DIFFMARK_SPI_H
#define DIFFMARK_SPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if !defined(SPI_HOST)
#    include <windows.h>
#  endif
#  define SPI_CALL __stdcall
#  define SPI_EXPORT
#else
#  define SPI_CALL
#  define SPI_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A movable block handle: HGLOBAL on Windows, the same void pointer here. */
typedef void* SpiHandle;

typedef int32_t(SPI_CALL* SpiProgressCallback)(int32_t done, int32_t total, int32_t user);
typedef int32_t(SPI_CALL* SpiGetPluginInfoFn)(int32_t index, char* buffer, int32_t size);
typedef int32_t(SPI_CALL* SpiGetPictureFn)(const char* data, int32_t length, uint32_t flags,
                                           SpiHandle* info, SpiHandle* pixels,
                                           SpiProgressCallback progress, int32_t user);

#define SPI_INFO_INDEX_FILTER 2
#define SPI_INFO_BUFFER_BYTES 256
#define SPI_FLAG_MEMORY 1

/* Results of GetPicture.  Any non-zero value is a failure; these are the
 * ones the host puts into words. */
#define SPI_OK 0
#define SPI_ERROR_UNSUPPORTED 2 /* not a file this plug-in decodes, or a variant it does not */
#define SPI_ERROR_CORRUPT 3     /* the data is damaged or cut short */
#define SPI_ERROR_NO_MEMORY 4   /* a block could not be allocated */
#define SPI_ERROR_TOO_LARGE 5   /* the image exceeds the plug-in's size limit */
#define SPI_ERROR_INTERNAL 8    /* the decoder failed for a reason of its own */

#if !defined(_WIN32)
/* The host's movable-block allocator, with the Windows names and meaning.
 * Blocks are always zero-filled; GMEM_ZEROINIT is accepted and implied.
 * Every call refuses a handle that was freed or never allocated. */
typedef void* HGLOBAL;
#  define GMEM_MOVEABLE 0x0002u
#  define GMEM_ZEROINIT 0x0040u
#  define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
HGLOBAL GlobalAlloc(unsigned int flags, size_t bytes);
void* GlobalLock(HGLOBAL block);   /* null for no live block */
int GlobalUnlock(HGLOBAL block);   /* non-zero while still locked */
HGLOBAL GlobalFree(HGLOBAL block); /* null on success, the handle when refused */
size_t GlobalSize(HGLOBAL block);  /* 0 for no live block */
#endif

#if !defined(SPI_HOST)
SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size);
SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user);
#endif

#ifdef __cplusplus
}
#endif

#endif /* DIFFMARK_SPI_H */
