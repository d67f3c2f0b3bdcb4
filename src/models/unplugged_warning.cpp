#include "models/unplugged_warning.h"

#include "console/console_sink.h"

namespace feltwise_comm {

void UnpluggedWarning::raise() noexcept {
  // A listener hears of every unit, and the console line stays for the
  // comms objects that print it.
  if (console::Listener* const listener = console::Redirect::current()) {
    listener->notice(console::Notice::kUnitNotPluggedIn, {});
    return;
  }
  // An unplugged unit reaches this on every sample: the plain load keeps those
  // calls from fighting over the cache line; the exchange picks one printer.
  if (!pending_.load(std::memory_order_relaxed) || !pending_.exchange(false)) return;
  // One line of the console sink, so that lines of two model classes never
  // interleave and a console that nobody reads never holds up the caller, an
  // acquisition thread.
  static constexpr char kLine[] =
      "\x1b[1;32m[Feltwise]:\x1b[0m \x1b[35m["
      "Sensor"
      "]\x1b[0m \x1b[33m"
      "configured but not plugged in"
      "\x1b[0m\n";
  console::post(std::string_view(kLine, sizeof kLine - 1));
}

}  // namespace feltwise_comm
