#include "support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testsupport {

namespace {

void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes MakeBmp(const BmpParts& parts) {
  Bytes out;
  const size_t offBits = 54 + parts.headerTail.size() + parts.colourTable.size();
  const auto total = static_cast<uint32_t>(offBits + parts.pixels.size());
  Put16(out, 0x4D42);
  Put32(out, total);
  Put16(out, 0);
  Put16(out, 0);
  Put32(out, static_cast<uint32_t>(offBits));
  Put32(out, parts.infoSize);
  Put32(out, static_cast<uint32_t>(parts.width));
  Put32(out, static_cast<uint32_t>(parts.height));
  Put16(out, 1);
  Put16(out, parts.bitCount);
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(parts.pixels.size()));
  Put32(out, static_cast<uint32_t>(parts.xPels));
  Put32(out, static_cast<uint32_t>(parts.yPels));
  Put32(out, parts.clrUsed);
  Put32(out, 0);
  out.insert(out.end(), parts.headerTail.begin(), parts.headerTail.end());
  out.insert(out.end(), parts.colourTable.begin(), parts.colourTable.end());
  out.insert(out.end(), parts.pixels.begin(), parts.pixels.end());
  return out;
}

Bytes PatternRows(int32_t width, int32_t height, uint32_t seed) {
  const int64_t stride = 3 * int64_t{width} + width % 4;
  Bytes out(static_cast<size_t>(stride * height));
  uint32_t state = seed * 2654435761u + 1;
  for (auto& b : out) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return out;
}

Bytes ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
#if defined(_WIN32)
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  path_ = std::filesystem::temp_directory_path() /
          ("diffmark-test-" + std::to_string(pid) + "-" + std::to_string(stamp) + "-" +
           std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

#if defined(_WIN32)

RunOutcome RunProgram(const std::string& program, const std::filesystem::path& directory) {
  RunOutcome outcome;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::string commandLine = "\"" + program + "\"";
  const std::string dir = directory.string();
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.c_str(), &startup, &process)) {
    return outcome;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  outcome.exitCode = static_cast<int>(code);
  return outcome;
}

std::string BuildPath(const char* configured) { return std::string("Z:") + configured; }

#else

RunOutcome RunProgram(const std::string& program, const std::filesystem::path& directory) {
  RunOutcome outcome;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return outcome;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 2);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    outcome.standardError.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    outcome.exitCode = WEXITSTATUS(status);
  }
  return outcome;
}

std::string BuildPath(const char* configured) { return configured; }

#endif

}  // namespace testsupport
