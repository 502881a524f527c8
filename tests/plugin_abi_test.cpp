// The binary interface of the plug-ins the build produces: every one of
// them registers, and on 32-bit Windows each exported function removes its
// own arguments from the stack (__stdcall) and leaves the registers a
// caller keeps (EBX, ESI, EDI, EBP) as it found them.  A mismatch there
// corrupts the host's stack only on x86, so it is checked there by calling
// the exports through a small assembly thunk that measures the stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#define SPI_HOST
#include <diffmark/imageload.h>
#include <diffmark/spi.h>

#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;

const std::string kProductPlugins = testsupport::BuildPath(DIFFMARK_PLUGIN_DIR);
const std::string kTestPlugins = testsupport::BuildPath(DIFFMARK_TEST_PLUGIN_DIR);

// The names of the *.spi files in a folder.
std::vector<std::string> PluginFiles(const std::string& dir) {
  std::vector<std::string> names;
  platform::FindRecord record;
  const std::string pattern = dir + "\\*.spi";
  platform::FindHandle find = platform::FindFirst(pattern.c_str(), &record);
  if (find == nullptr) return names;
  do {
    names.emplace_back(record.cFileName);
  } while (platform::FindNext(find, &record));
  platform::FindEnd(find);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BuiltPlugins, EveryOneRegistersWithAFilter) {
  const std::vector<std::string> files = PluginFiles(kProductPlugins);
  ASSERT_FALSE(files.empty()) << kProductPlugins;  // at least the Netpbm plug-in
  ReleasePlugins();
  ASSERT_TRUE(SetPluginDirectory(kProductPlugins.c_str()));
  ScanPlugins();
  std::vector<std::string> registered;
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    registered.emplace_back(PluginTable.entries[i].fileName);
    EXPECT_STRNE(PluginTable.entries[i].filter, "") << registered.back();
  }
  std::sort(registered.begin(), registered.end());
  EXPECT_EQ(registered, files);
  ReleasePlugins();
  ASSERT_TRUE(SetPluginDirectory(""));
}

#if defined(_WIN32) && defined(__i386__)

// What a call through the thunk leaves: bytes the callee left on the stack
// (0 for a __stdcall function, 4 per argument for a __cdecl one) and the
// callee-saved registers after the call (the thunk sets them to kEbx, kEsi).
struct CallRecord {
  int32_t leftOnStack;
  uint32_t ebx;
  uint32_t esi;
};
constexpr uint32_t kEbx = 0x5EB15EB1u;
constexpr uint32_t kEsi = 0x5E515E51u;

// ProbeCall(fn, args, count, record), a __cdecl function: pushes
// args[count-1] .. args[0] on a 16-byte aligned stack, calls fn, fills
// *record and returns fn's EAX; the stack pointer is restored whatever the
// callee did.  EDI holds the stack pointer across the call (callee-saved).
__attribute__((naked)) int32_t ProbeCall(const void* /*fn*/, const uint32_t* /*args*/, uint32_t /*count*/,
                                         CallRecord* /*record*/) {
  asm(R"(
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  16(%ebp), %ecx
    movl  12(%ebp), %esi
    leal  (,%ecx,4), %edx
    movl  %esp, %eax
    subl  %edx, %eax
    andl  $-16, %eax
    addl  %edx, %eax
    movl  %eax, %esp
    movl  %esp, %edi
1:  testl %ecx, %ecx
    jz    2f
    pushl -4(%esi,%ecx,4)
    decl  %ecx
    jmp   1b
2:  movl  $0x5EB15EB1, %ebx
    movl  $0x5E515E51, %esi
    call  *8(%ebp)
    movl  20(%ebp), %ecx
    movl  %edi, %edx
    subl  %esp, %edx
    movl  %edx, 0(%ecx)
    movl  %ebx, 4(%ecx)
    movl  %esi, 8(%ecx)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");
}

uint32_t Arg(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
uint32_t Arg(int32_t v) { return static_cast<uint32_t>(v); }

// One library, opened for the test.
class Library {
 public:
  explicit Library(const std::string& path) : handle_(platform::OpenLibrary(path.c_str())) {}
  ~Library() {
    if (handle_ != nullptr) platform::CloseLibrary(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool loaded() const { return handle_ != nullptr; }
  const void* Function(const char* name) const { return platform::LookupSymbol(handle_, name); }

 private:
  platform::LibraryHandle handle_;
};

struct InfoCall {
  int32_t result;
  CallRecord record;
};
InfoCall CallGetPluginInfo(const void* fn, int32_t index, char* buffer, int32_t size) {
  const uint32_t args[] = {Arg(index), Arg(buffer), Arg(size)};
  InfoCall call{};
  call.result = ProbeCall(fn, args, 3, &call.record);
  return call;
}

struct PictureCall {
  int32_t result;
  CallRecord record;
  SpiHandle info = nullptr;
  SpiHandle pixels = nullptr;
};
PictureCall CallGetPicture(const void* fn, const Bytes& data, int32_t length, uint32_t flags,
                           const void* progress, int32_t user) {
  PictureCall call{};
  const uint32_t args[] = {Arg(data.data()), Arg(length),   static_cast<uint32_t>(flags), Arg(&call.info),
                           Arg(&call.pixels), Arg(progress), Arg(user)};
  call.result = ProbeCall(fn, args, 7, &call.record);
  return call;
}

void FreeBlocks(PictureCall& call) {
  for (SpiHandle block : {call.info, call.pixels}) {
    if (block != nullptr) platform::FreeBlock(block);
  }
  call.info = call.pixels = nullptr;
}

void ExpectStdcall(const CallRecord& record, const std::string& what) {
  EXPECT_EQ(record.leftOnStack, 0) << what << ": the arguments were left on the stack";
  EXPECT_EQ(record.ebx, kEbx) << what << ": EBX not kept";
  EXPECT_EQ(record.esi, kEsi) << what << ": ESI not kept";
}

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A file for the test plug-in: status, the two block lengths, then the blocks.
Bytes TestImage(uint32_t status, uint32_t infoBytes, uint32_t pixelBytes, uint8_t seed) {
  Bytes out;
  Put32(out, status);
  Put32(out, infoBytes);
  Put32(out, pixelBytes);
  for (uint32_t i = 0; i < infoBytes + pixelBytes; ++i) out.push_back(static_cast<uint8_t>(seed + 7 * i));
  return out;
}

TEST(StdcallExports, EveryBuiltPluginRemovesItsOwnArguments) {
  int checked = 0;
  for (const std::string& dir : {kProductPlugins, kTestPlugins}) {
    for (const std::string& file : PluginFiles(dir)) {
      Library library(dir + "\\" + file);
      ASSERT_TRUE(library.loaded()) << file;
      if (const void* getInfo = library.Function("GetPluginInfo")) {
        for (const int32_t index : {0, 1, 2, 3, -1}) {
          for (const int32_t size : {SPI_INFO_BUFFER_BYTES, 64, 1}) {
            char buffer[SPI_INFO_BUFFER_BYTES] = {};
            ExpectStdcall(CallGetPluginInfo(getInfo, index, buffer, size).record,
                          file + " GetPluginInfo(" + std::to_string(index) + ", " + std::to_string(size) + ")");
          }
        }
      }
      if (const void* getPicture = library.Function("GetPicture")) {
        const Bytes inputs[] = {Bytes(1, 0), Bytes(16, 'x'), TestImage(0, 40, 4, 1), TestImage(9, 0, 0, 0)};
        for (const Bytes& input : inputs) {
          for (const int32_t user : {0, 12345}) {
            PictureCall call = CallGetPicture(getPicture, input, static_cast<int32_t>(input.size()),
                                              SPI_FLAG_MEMORY, nullptr, user);
            ExpectStdcall(call.record, file + " GetPicture(" + std::to_string(input.size()) + " bytes)");
            FreeBlocks(call);
          }
        }
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 2);
}

TEST(StdcallExports, ManyCallsWithDifferentArgumentsGiveCorrectResults) {
  Library library(kTestPlugins + "\\tplain.spi");
  ASSERT_TRUE(library.loaded());
  const void* getInfo = library.Function("GetPluginInfo");
  const void* getPicture = library.Function("GetPicture");
  ASSERT_NE(getInfo, nullptr);
  ASSERT_NE(getPicture, nullptr);

  const std::string filter = "*.tst;*.raw";
  for (int32_t index = -2; index <= 5; ++index) {
    for (int32_t size = 0; size <= 300; size += 23) {
      char buffer[512];
      std::memset(buffer, 0xCC, sizeof buffer);
      const InfoCall call = CallGetPluginInfo(getInfo, index, buffer, size);
      const std::string what = "GetPluginInfo(" + std::to_string(index) + ", " + std::to_string(size) + ")";
      ExpectStdcall(call.record, what);
      const int32_t written = index == SPI_INFO_INDEX_FILTER && size > 0 ? std::min(size, SPI_INFO_BUFFER_BYTES) : 0;
      ASSERT_EQ(call.result, written) << what;
      for (int32_t i = 0; i < written; ++i) {
        const char expected = static_cast<size_t>(i) < filter.size() ? filter[static_cast<size_t>(i)] : '\0';
        ASSERT_EQ(buffer[i], expected) << what << " byte " << i;
      }
      ASSERT_EQ(static_cast<uint8_t>(buffer[written]), 0xCC) << what;
    }
  }

  const int dummyProgress = 0;
  for (uint32_t status : {0u, 5u}) {
    for (uint32_t infoBytes : {0u, 40u, 44u}) {
      for (uint32_t pixelBytes : {0u, 3u, 64u}) {
        const Bytes file = TestImage(status, infoBytes, pixelBytes, static_cast<uint8_t>(infoBytes + pixelBytes));
        for (int32_t cut : {0, 5}) {  // a length shorter than the data: the rest reads as zero
          for (uint32_t flags : {0u, uint32_t{SPI_FLAG_MEMORY}}) {
            const int32_t length = static_cast<int32_t>(file.size()) - cut;
            const std::string what = "GetPicture(status " + std::to_string(status) + ", " +
                                     std::to_string(infoBytes) + "+" + std::to_string(pixelBytes) + ", length " +
                                     std::to_string(length) + ", flags " + std::to_string(flags) + ")";
            PictureCall call = CallGetPicture(getPicture, file, length, flags, &dummyProgress, length * 3);
            ExpectStdcall(call.record, what);
            const int32_t expected = flags != SPI_FLAG_MEMORY || length < 12 ? 1 : static_cast<int32_t>(status);
            EXPECT_EQ(call.result, expected) << what;
            if (call.result == 0) {
              const uint32_t lengths[2] = {infoBytes, pixelBytes};
              const SpiHandle blocks[2] = {call.info, call.pixels};
              size_t from = 12;
              for (int b = 0; b < 2; ++b) {
                ASSERT_NE(blocks[b], nullptr) << what;
                EXPECT_EQ(platform::BlockSize(blocks[b]), std::max<uint64_t>(lengths[b], 1)) << what;
                const auto* p = static_cast<const uint8_t*>(platform::LockBlock(blocks[b]));
                for (uint32_t i = 0; i < lengths[b]; ++i, ++from) {
                  const uint8_t want = from < static_cast<size_t>(length) ? file[from] : 0;
                  ASSERT_EQ(p[i], want) << what << " block " << b << " byte " << i;
                }
                platform::UnlockBlock(blocks[b]);
              }
            } else {
              EXPECT_EQ(call.info, nullptr) << what;
              EXPECT_EQ(call.pixels, nullptr) << what;
            }
            FreeBlocks(call);
          }
        }
      }
    }
  }
}

TEST(StdcallExports, CdeclFunctionsAreCaught) {
  // The check itself: a plug-in built with the C calling convention leaves
  // its 3 and 7 arguments on the stack, and the thunk sees them.
  Library library(testsupport::BuildPath(DIFFMARK_CDECL_PLUGIN));
  ASSERT_TRUE(library.loaded());
  char buffer[8];
  const InfoCall info = CallGetPluginInfo(library.Function("GetPluginInfo"), 2, buffer, 7);
  EXPECT_EQ(info.result, 2007);
  EXPECT_EQ(info.record.leftOnStack, 12);
  const PictureCall picture = CallGetPicture(library.Function("GetPicture"), Bytes(4, 0), 100, 1, nullptr, 20);
  EXPECT_EQ(picture.result, 121);
  EXPECT_EQ(picture.record.leftOnStack, 28);
}

#endif

}  // namespace
}  // namespace diffmark
