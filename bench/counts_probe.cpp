// What bench/counts.py needs inside the process it counts, beside the floor
// reader (compiled into the same library, loaded through ctypes):
// - counts_instrument(on): starts and stops callgrind's instrumentation, so
//   that only the steady state is counted (the run starts with
//   --instr-atstart=no). Outside callgrind it does nothing.
// - counts_feed(...): plays the sensor, one frame at a time: writes a frame
//   to the pty's master side and waits until the reader has taken it off the
//   slave side before the next, so each read() of the reader brings exactly
//   one frame, whatever valgrind's slow-down. Its instructions are the
//   harness's and are left out of every figure.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FELTWISE_HAS_CALLGRIND 1
#endif
#endif

namespace {

void pause(long micros) {
  timespec nap{0, micros * 1000};
  ::nanosleep(&nap, nullptr);
}

// Bytes written to the master side that the reader has not read() yet.
int unread(int slave) {
  int waiting = 0;
  return ::ioctl(slave, FIONREAD, &waiting) == 0 ? waiting : 0;
}

}  // namespace

extern "C" {

void counts_instrument(int on) {
#ifdef FELTWISE_HAS_CALLGRIND
  if (on) {
    CALLGRIND_START_INSTRUMENTATION;
  } else {
    CALLGRIND_STOP_INSTRUMENTATION;
  }
#else
  (void)on;
#endif
}

// Writes `count` frames of `frame_size` bytes from `frames` to `master`, each
// once the previous one was read off `slave`; then waits `settle_us` more
// (a reader decodes and hands off the last one meanwhile). -1 when a write failed.
int counts_feed(int master, int slave, const std::uint8_t* frames, long frame_size, long count, long settle_us) {
  for (long i = 0; i < count; ++i) {
    if (i > 0) {
      while (unread(slave) > 0) pause(50);
    }
    const std::uint8_t* at = frames + i * frame_size;
    long left = frame_size;
    while (left > 0) {
      const ssize_t n = ::write(master, at, static_cast<std::size_t>(left));
      if (n <= 0) return -1;
      at += n;
      left -= n;
    }
  }
  if (settle_us > 0) {
    while (unread(slave) > 0) pause(50);
    pause(settle_us);
  }
  return 0;
}

}  // extern "C"
