#include "cli/workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace diffmark::cli {

namespace {

class Progress {
 public:
  Progress(bool shown, size_t total) : shown_(shown), total_(total), start_(std::chrono::steady_clock::now()) {}

  void Draw(size_t done) const {
    if (!shown_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    constexpr size_t kWidth = 30;
    const size_t filled = total_ == 0 ? kWidth : done * kWidth / total_;
    char bar[kWidth + 1];
    for (size_t i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::fprintf(stderr, "\r[%s] %zu/%zu pairs  %.1f s  %.1f pairs/s ", bar, done, total_, seconds, rate);
    std::fflush(stderr);
  }

  void Erase() const {
    if (!shown_) return;
    std::fprintf(stderr, "\r%79s\r", "");
    std::fflush(stderr);
  }

 private:
  bool shown_;
  size_t total_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

void RunWorkers(size_t count, unsigned jobs, bool shown, const std::function<void(size_t)>& work) {
  const Progress progress(shown, count);
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::mutex lock;
  std::condition_variable finished;
  unsigned running = 0;
  const unsigned threads = static_cast<unsigned>(std::min<size_t>(std::max(jobs, 1u), std::max<size_t>(count, 1)));
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) {
    {
      std::lock_guard<std::mutex> hold(lock);
      ++running;
    }
    workers.emplace_back([&] {
      for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        work(i);
        done.fetch_add(1);
      }
      std::lock_guard<std::mutex> hold(lock);
      --running;
      finished.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> wait(lock);
    while (!finished.wait_for(wait, std::chrono::milliseconds(100), [&] { return running == 0; })) {
      progress.Draw(done.load());
    }
  }
  for (std::thread& w : workers) w.join();
  progress.Draw(done.load());
  progress.Erase();
}

}  // namespace diffmark::cli
