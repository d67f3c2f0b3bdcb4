// The floor: what this design (a thread that waits on the port, reads and
// decodes, and hands the newest frame to a waiting consumer) costs with
// nothing else in it. No Python, no protocol objects, no models: one blocking
// read() per wake-up, every complete frame of that read decoded, the newest one
// swapped into the shared slot under a mutex, a condition variable to wake the
// consumer. Also the bare drain: read() of the same pty into nothing.
//
// Loaded by bench/performance.py through ctypes (which releases the
// interpreter lock for the length of each call), so the floor runs in the same
// process, on the same pseudo-terminals and streams as the library; its
// threads are measured the same way, from /proc/self/task.
//
// Frames as the library reads them: FF FF | count (u16 LE) | count x u16 LE.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Raw, blocking, and a read() returns as soon as one byte is there or after
// 100 ms of silence (VMIN 0, VTIME 1): one system call per wake-up, and a
// reader that can be stopped.
int openRaw(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 1;
  ::tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

class FloorReader {
 public:
  // `poll_first`: wait in poll() with a 100 ms time-out, then read() the
  // non-blocking descriptor, as a port layer with its own deadlines does; two
  // system calls per wake-up instead of one. Kept to measure what that costs.
  FloorReader(int fd, bool poll_first) : fd_(fd), poll_first_(poll_first), rx_(65536), thread_([this] { run(); }) {
    if (poll_first_) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }

  ~FloorReader() {
    running_ = false;
    thread_.join();
    ::close(fd_);
  }

  // Waits up to `timeout_ms` for a frame nobody took; its first value, or -1.
  [[gnu::noinline]] double take(int timeout_ms) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!fresh_ && !ready_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [this] { return fresh_; })) {
      return -1;
    }
    taken_.swap(slot_);
    fresh_ = false;
    return taken_.empty() ? -1 : taken_[0];
  }

 private:
  void run() {
    std::vector<double> scratch;
    scratch.reserve(1024);
    std::size_t end = 0;
    while (running_) {
      if (poll_first_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) continue;
      }
      const ssize_t n = ::read(fd_, rx_.data() + end, rx_.size() - end);
      if (n <= 0) continue;
      end += static_cast<std::size_t>(n);
      const std::size_t at = decodeNewest(end, scratch);
      if (!scratch.empty()) handOff(scratch);
      std::memmove(rx_.data(), rx_.data() + at, end - at);
      end -= at;
    }
  }

  // Every complete frame in the first `end` bytes; only the last one is
  // decoded, into `scratch` (left empty without one). Returns where the
  // first incomplete frame starts. Out of line, as the hand-off, so that
  // bench/counts.py can tell the stages apart.
  [[gnu::noinline]] std::size_t decodeNewest(std::size_t end, std::vector<double>& scratch) {
    std::size_t at = 0;
    std::size_t newest = SIZE_MAX;
    while (end - at >= 4) {
      if (rx_[at] != 0xFF || rx_[at + 1] != 0xFF) {
        ++at;
        continue;
      }
      const std::size_t count = rx_[at + 2] | (rx_[at + 3] << 8);
      if (count == 0 || count > 1023) {
        at += 4;
        continue;
      }
      if (end - at < 4 + 2 * count) break;
      newest = at;
      at += 4 + 2 * count;
    }
    scratch.clear();
    if (newest != SIZE_MAX) {
      const std::size_t count = rx_[newest + 2] | (rx_[newest + 3] << 8);
      const std::uint8_t* values = rx_.data() + newest + 4;
      scratch.resize(count);
      for (std::size_t i = 0; i < count; ++i) scratch[i] = values[2 * i] | (values[2 * i + 1] << 8);
    }
    return at;
  }

  [[gnu::noinline]] void handOff(std::vector<double>& scratch) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      slot_.swap(scratch);
      fresh_ = true;
    }
    ready_.notify_one();
  }

  int fd_;
  bool poll_first_;
  std::vector<std::uint8_t> rx_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<double> slot_;
  std::vector<double> taken_;
  bool fresh_ = false;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

double monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

extern "C" {

void* floor_open(const char* path, int poll_first) {
  const int fd = openRaw(path);
  if (fd < 0) return nullptr;
  return new FloorReader(fd, poll_first != 0);
}

void floor_close(void* reader) { delete static_cast<FloorReader*>(reader); }

// The consumer: takes frames until one whose first value is `last`, or until
// `timeout_ms` pass without a frame. Returns the frames taken (negative when it
// timed out) and leaves in `*done_at` the CLOCK_MONOTONIC second of the last one.
long floor_consume(void* reader, double last, int timeout_ms, double* done_at) {
  auto& floor = *static_cast<FloorReader*>(reader);
  long taken = 0;
  for (;;) {
    const double first = floor.take(timeout_ms);
    if (first < 0) return -taken;
    ++taken;
    if (first == last) {
      *done_at = monotonicSeconds();
      return taken;
    }
  }
}

// Latency as the library's is measured: this thread writes frame i of
// `frames` (each `frame_size` bytes) to `master`, waits for it and notes the
// microseconds in `micros[i]` (-1 if it never came), then waits for the next
// period of 1/rate s.
void floor_latency(void* reader, int master, const std::uint8_t* frames, long frame_size, long count, double rate,
                   double* micros) {
  auto& floor = *static_cast<FloorReader*>(reader);
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  auto next_at = Clock::now();
  for (long i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (::write(master, frames + i * frame_size, static_cast<std::size_t>(frame_size)) != frame_size) {
      micros[i] = -1;
      continue;
    }
    const double first = floor.take(1000);
    micros[i] = first < 0 ? -1 : std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    next_at += period;
    std::this_thread::sleep_until(next_at);
  }
}

// For bench/counts.py: the consumer takes `count` frames of `frames` (each
// `frame_size` bytes), each written by counts_feed once the one before was
// taken, and counts callgrind's instructions from frame `warmup` on. Returns
// the frames taken.
extern "C" void counts_instrument(int on);
extern "C" int counts_feed(int master, int slave, const std::uint8_t* frames, long frame_size, long count,
                           long settle_us);

long floor_counts(void* reader, int master, int slave, const std::uint8_t* frames, long frame_size, long count,
                  long warmup) {
  auto& floor = *static_cast<FloorReader*>(reader);
  long taken = 0;
  for (long i = 0; i < count; ++i) {
    if (i == warmup) {
      // As bench/counts.py does: the reader waits for the next frame first.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      counts_instrument(1);
    }
    if (counts_feed(master, slave, frames + i * frame_size, frame_size, 1, 0) != 0) break;
    if (floor.take(1000) >= 0) ++taken;
  }
  counts_instrument(0);
  return taken;
}

// The bare drain: read() of `total` bytes from `path` into nothing, as fast
// as the pty hands them over. Open it first (the writer starts after), then
// drain; returns the CLOCK_MONOTONIC second of the last byte, or -1.
int floor_drain_open(const char* path) { return openRaw(path); }

double floor_drain(int fd, long total) {
  std::vector<std::uint8_t> sink(65536);
  long got = 0;
  int silent_reads = 0;
  while (got < total) {
    const ssize_t n = ::read(fd, sink.data(), sink.size());
    if (n > 0) {
      got += n;
      silent_reads = 0;
    } else if (++silent_reads > 20) {
      break;
    }
  }
  const double done = monotonicSeconds();
  ::close(fd);
  return got == total ? done : -1;
}

}  // extern "C"
