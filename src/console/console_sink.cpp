#include "console/console_sink.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "console/standard_output.h"

namespace feltwise_comm {
namespace console {
namespace {

// A few hundred device error lines; a stalled console beyond that loses lines,
// never samples.
constexpr std::size_t kCapacity = 64 * 1024;
constexpr auto kExitDrainLimit = std::chrono::seconds(1);

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

Listener*& threadListener() noexcept {
  static thread_local Listener* listener = nullptr;
  return listener;
}

// Writes `body` through `put`, each control byte as \xHH.
template <typename Put>
void putVisible(std::string_view body, Put&& put) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char byte : body) {
    const auto value = static_cast<unsigned char>(byte);
    if (!isControl(value)) {
      put(byte);
      continue;
    }
    put('\\');
    put('x');
    put(kHex[value >> 4]);
    put(kHex[value & 0x0F]);
  }
}

// A byte ring between any number of posting threads and one writer. The
// writer copies nothing: it writes straight from the ring, outside the lock,
// the bytes [head_, head_ + in_flight) that posts never touch, because posts
// only fill the free space after head_ + size_.
class Sink {
 public:
  static Sink& instance() {
    // Never destroyed: a writer thread still blocked on the console when the
    // process exits must not find its queue gone.
    static Sink* const sink = new Sink;
    return *sink;
  }

  template <typename Fill>
  bool post(std::size_t length, Fill fill) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!startWriter() || length > kCapacity - size_) {
        ++dropped_;
        return false;
      }
      std::size_t at = (head_ + size_) % kCapacity;
      fill([&](char byte) {
        ring_[at] = byte;
        at = at + 1 == kCapacity ? 0 : at + 1;
      });
      size_ += length;
    }
    queued_.notify_one();
    return true;
  }

  bool drain(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(mutex_);
    return written_.wait_for(guard, limit, [this] { return size_ == 0; });
  }

  std::uint64_t dropped() {
    std::lock_guard<std::mutex> guard(mutex_);
    return dropped_;
  }

 private:
  Sink() : ring_(new char[kCapacity]) {}

  // Under mutex_. The thread starts with the first line, so a program that
  // never prints has none.
  bool startWriter() noexcept {
    if (writer_started_) return true;
    try {
      std::thread(&Sink::writeOut, this).detach();
    } catch (...) {
      return false;
    }
    writer_started_ = true;
    std::atexit([] { Sink::instance().drain(kExitDrainLimit); });
    return true;
  }

  void writeOut() {
    shieldWriterThread();
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
      queued_.wait(guard, [this] { return size_ > 0; });
      const std::size_t in_flight = std::min(size_, kCapacity - head_);
      const char* const from = ring_.get() + head_;
      guard.unlock();
      std::size_t done = writeStandardOutput(from, in_flight);
      // A console that is gone takes nothing more; what was queued for it is
      // dropped, or drain() would wait for it in vain.
      if (done == 0) done = in_flight;
      guard.lock();
      head_ = (head_ + done) % kCapacity;
      size_ -= done;
      if (size_ == 0) written_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable written_;
  const std::unique_ptr<char[]> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint64_t dropped_ = 0;
  bool writer_started_ = false;
};

}  // namespace

bool post(std::string_view text) noexcept {
  try {
    return Sink::instance().post(text.size(), [text](auto&& put) {
      for (const char byte : text) put(byte);
    });
  } catch (...) {
    // No memory for the queue, or a lock the system refused: the line is lost,
    // the caller goes on.
    return false;
  }
}

Redirect::Redirect(Listener* listener) noexcept : previous_(threadListener()) { threadListener() = listener; }

Redirect::~Redirect() { threadListener() = previous_; }

Listener* Redirect::current() noexcept { return threadListener(); }

std::string visibleLine(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::string shown;
  shown.reserve(text.size());
  putVisible(text, [&shown](char byte) { shown.push_back(byte); });
  return shown;
}

bool postDeviceText(std::string_view prefix, std::string_view device_text, std::string_view suffix) noexcept {
  if (Listener* const listener = threadListener()) {
    listener->notice(Notice::kDeviceError, device_text);
    return true;
  }
  const bool ends_line = !device_text.empty() && device_text.back() == '\n';
  const std::string_view body = ends_line ? device_text.substr(0, device_text.size() - 1) : device_text;
  std::size_t length = prefix.size() + (ends_line ? 1 : 0) + suffix.size();
  for (const char byte : body) length += isControl(static_cast<unsigned char>(byte)) ? 4 : 1;

  try {
    return Sink::instance().post(length, [&](auto&& put) {
      for (const char byte : prefix) put(byte);
      putVisible(body, put);
      if (ends_line) put('\n');
      for (const char byte : suffix) put(byte);
    });
  } catch (...) {
    return false;
  }
}

bool drain(std::chrono::milliseconds limit) noexcept {
  try {
    return Sink::instance().drain(limit);
  } catch (...) {
    return false;
  }
}

std::uint64_t droppedLines() noexcept {
  try {
    return Sink::instance().dropped();
  } catch (...) {
    return 0;
  }
}

}  // namespace console
}  // namespace feltwise_comm
