// io_floor: the least work a difference run can do.  In the current
// directory it reads Image0.bmp and Image1.bmp whole into fresh anonymous
// memory advised for transparent huge pages, and writes Image.bmp with the
// first file's bytes.  No comparing, no marking.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace {

unsigned char* ReadWhole(const char* path, size_t* size) {
  const int fd = open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return nullptr;
  *size = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, *size, MADV_HUGEPAGE);
  auto* out = static_cast<unsigned char*>(p);
  size_t done = 0;
  while (done < *size) {
    const ssize_t n = read(fd, out + done, *size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return out;
}

}  // namespace

int main() {
  size_t a = 0;
  size_t b = 0;
  unsigned char* first = ReadWhole("Image0.bmp", &a);
  unsigned char* second = ReadWhole("Image1.bmp", &b);
  if (first == nullptr || second == nullptr) {
    std::fprintf(stderr, "io_floor: cannot read the inputs\n");
    return 1;
  }
  const int fd = open("Image.bmp", O_WRONLY | O_CREAT | O_TRUNC, 0666);
  size_t done = 0;
  while (fd >= 0 && done < a) {
    const ssize_t n = write(fd, first + done, a - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (fd >= 0) close(fd);
  // Touch the second image so that its read cannot be skipped.
  volatile unsigned char sink = second[b / 2];
  (void)sink;
  return 0;
}
