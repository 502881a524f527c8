#include "support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

namespace {

// One argument as the C runtime splits a command line: quoted when it has
// spaces or quotes, backslashes before a quote doubled.
std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t slashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++slashes;
    } else {
      if (c == '"') out.append(slashes + 1, '\\');
      slashes = 0;
    }
    out += c;
  }
  out.append(slashes, '\\');
  return out + "\"";
}

// Moves what is waiting in `pipe` into `text`; false once the pipe is
// closed at the other end.
bool Take(HANDLE pipe, std::string& text) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return false;
  while (waiting > 0) {
    char buffer[4096];
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &n, nullptr) || n == 0) {
      return false;
    }
    text.append(buffer, n);
    waiting -= n;
  }
  return true;
}

}  // namespace

RunOutcome RunProgram(const std::string& program, const std::filesystem::path& directory,
                      const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  RunOutcome outcome;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    return outcome;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process;
  std::string commandLine = Quote(program);
  for (const std::string& a : arguments) commandLine += " " + Quote(a);
  // The child inherits this process's environment, with the additions.
  std::vector<std::pair<std::string, std::string>> saved;
  for (const std::string& e : environment) {
    const std::string name = e.substr(0, e.find('='));
    char old[32768];
    const DWORD n = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
    saved.emplace_back(name, n > 0 && n < sizeof old ? std::string(old, n) : std::string("\x01"));
    SetEnvironmentVariableA(name.c_str(), e.substr(name.size() + 1).c_str());
  }
  const std::string dir = directory.string();
  const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, dir.c_str(), &startup, &process);
  for (const auto& [name, value] : saved) {
    SetEnvironmentVariableA(name.c_str(), value == "\x01" ? nullptr : value.c_str());
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (started) {
    // Read both pipes until the program has ended and they are empty.  The
    // end of the pipes alone is not waited for: a process the program
    // started (under wine, its desktop) may have inherited them.
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline = std::chrono::steady_clock::now() + kProgramTimeLimit;
    bool killed = false;
    for (;;) {
      const bool ended = WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
      if (outOpen) outOpen = Take(outRead, outcome.standardOutput);
      if (errOpen) errOpen = Take(errRead, outcome.standardError);
      if (ended || (!outOpen && !errOpen)) break;
      if (std::chrono::steady_clock::now() > deadline) {
        TerminateProcess(process.hProcess, 1);
        killed = true;
        break;
      }
      WaitForSingleObject(process.hProcess, 5);
    }
    const DWORD left = killed ? 10000 : static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               kProgramTimeLimit)
                                                               .count());
    if (WaitForSingleObject(process.hProcess, left) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 1);
      killed = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    outcome.exitCode = killed ? -1 : static_cast<int>(code);
    if (killed) outcome.standardError += "(killed: still running after the tests' time limit)\n";
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  return outcome;
}

std::string BuildPath(const char* configured) { return std::string("Z:") + configured; }

#else

RunOutcome RunProgram(const std::string& program, const std::filesystem::path& directory,
                      const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  RunOutcome outcome;
  int out[2];
  int err[2];
  if (pipe(out) != 0) return outcome;
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return outcome;
  }
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    for (std::string& e : env) putenv(e.data());
    if (chdir(directory.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Both pipes at once, so that a child filling one never waits on the other.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&outcome.standardOutput, &outcome.standardError};
  int open = 2;
  const auto deadline = std::chrono::steady_clock::now() + kProgramTimeLimit;
  bool killed = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      // A program that hangs, or a process it started that holds the pipes.
      kill(child, SIGKILL);
      killed = true;
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && !killed) {
    outcome.exitCode = WEXITSTATUS(status);
  }
  if (killed) outcome.standardError += "(killed: still running after the tests' time limit)\n";
  return outcome;
}

std::string BuildPath(const char* configured) { return configured; }

#endif

}  // namespace testsupport

#if defined(_WIN32) && defined(__i386__)
// GoogleTest copies every failure and skip message to OutputDebugString,
// which raises an exception for a debugger to see.  32-bit wine under
// qemu's user-mode emulator cannot resume a thread from an exception
// (measured: the next message already runs on a broken thread, which dies
// of an illegal instruction), so a failing or skipped test took the whole
// one-process 32-bit suite down with no message.  The suite's messages go
// to standard output anyway: here OutputDebugStringA is bound to nothing,
// through the import slot that the calls in GoogleTest go through.
namespace {
void __stdcall NoDebugString(const char*) {}
}  // namespace
extern "C" {
void(__stdcall* _imp__OutputDebugStringA)(const char*) __asm__("__imp__OutputDebugStringA@4") = NoDebugString;
}
#endif
