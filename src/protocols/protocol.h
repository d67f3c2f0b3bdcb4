// The wire-protocol interface. One object per `init`; the acquisition thread
// calls `readSample` in a loop, register calls arrive from the caller's thread.
//
// Contract
// - `startStream` is called by the acquisition thread before the first
//   `readSample` of every stream: at the start of each connection (connect,
//   and every reopen of the port on the same comms object) with kPortOpened,
//   and with kJoined when the stream is known to be running already: this
//   protocol takes it over (an `init` while connected), or the port was
//   reopened while its device kept sending. The device does not wait for us, so a
//   stream may begin anywhere inside a frame or line. Text protocols then
//   take no sample from the bytes before a line feed received on this stream
//   (SampleRule says when the first line may be trusted); binary ones forget
//   what they carried from the previous stream. A protocol that is never
//   told a stream started reads as if it had begun at a line start.
// - `readSample` clears and refills `sample` and returns true when a whole
//   frame or line was read (the sample may then be empty: a frame that carries
//   no values); false when the line fell silent for the port's read time-out
//   before a frame or line was complete, and for what was read but is no
//   sample (a register reply, bytes between frames, a line that was rejected
//   or that began before the stream did). A frame still arriving, however
//   slowly, is never cut. Port failures propagate as the port layer's
//   exceptions.
// - `sampleWaiting`, asked by the acquisition thread right after a
//   `readSample` that returned a sample: true only when the next sample frame
//   has arrived whole already, so that the next `readSample` returns it
//   without waiting. The thread then hands off only the newer one. A variant
//   that cannot tell says false (the default), and every sample is handed off.
// - `readRegister` / `writeRegister` are refused unless a variant carries
//   register traffic.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_H
#define FELTWISE_PROTOCOLS_PROTOCOL_H

#include <cstdint>
#include <memory>
#include <vector>

#include "serial/serial.h"

namespace feltwise_comm {

// What a protocol sees of the comms object: its port. The comms object's state
// extends this, so protocols never depend on the rest of it.
struct PortHolder {
  std::unique_ptr<serial::Serial> port_;
};

// The port a protocol may use; PortNotOpenedException when there is none.
serial::Serial& portOf(PortHolder& comms);

// Where a stream begins (Protocol::startStream).
enum class StreamStart {
  kPortOpened,  // the port has just been opened: a connect, or a reopen
  kJoined,      // a running stream: taken over from another protocol, or reopened mid-stream
};

// How much of a text stream may become samples.
enum class SampleRule {
  // feltwise.Sensor and the tools: whole samples only. Nothing before the
  // first line feed received on the stream is a sample, and a line that ends
  // without its line feed (silent for the read time-out, or cut at the line
  // limit) is dropped together with the bytes up to the next line feed: its
  // rest, if it comes, would be a tail again.
  kWholeSamples,
  // FeltwiseComms: a line the device writes after connect is read, the first
  // one included, unless the port shows that the device was already sending
  // as it opened (Serial::bytesDroppedAtOpen): the bytes up to the first line
  // feed are then dropped. A line without its line feed is parsed as far as
  // it came, and its rest read as the next line. On a joined stream the
  // first line feed is always waited for.
  kAsReceived,
};

class Protocol {
 public:
  virtual ~Protocol() = default;

  virtual void startStream(PortHolder& comms, StreamStart start, SampleRule rule);

  virtual bool readSample(std::vector<double>& sample, PortHolder& comms) = 0;
  virtual void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                            std::int64_t timeout_ms);
  virtual void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                             PortHolder& comms, std::int64_t timeout_ms);
  virtual bool sampleWaiting(PortHolder& comms);
};

// Every 16-bit field of the binary protocols: exactly two bytes give
// byte 0 + 256 * byte 1 (little-endian); any other length gives 0.
std::uint16_t decodeWord(const std::vector<std::uint8_t>& bytes);

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_H
