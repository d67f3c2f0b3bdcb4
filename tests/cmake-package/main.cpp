// Reads samples through the installed library from a pseudo-terminal whose
// other end this program plays: the sensor sends protocol version 1 frames
//   FF FF | count (u16 LE) | count x value (u16 LE)
// and every sensor object must deliver them: FeltwiseComms its newest sample,
// SensorComms (what feltwise.Sensor is built on) stamped ones through its
// queue, Sensor a stamped newest sample and batches of its queue. It also
// reads the library's tables. Uses only the public headers.
// Exit status 0 when every check passed.
#include <feltwise_comm/feltwise_comms.h>
#include <feltwise_comm/port_open_error.h>
#include <feltwise_comm/sensor.h>
#include <feltwise_comm/sensor_comms.h>
#include <feltwise_comm/serial_errors.h>
#include <feltwise_comm/tables.h>
#include <feltwise_comm/version.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

int main() {
  std::printf("feltwise_comm %s\n", FELTWISE_COMM_VERSION);

  // A port that does not exist is refused with its cause kept.
  try {
    feltwise_comm::FeltwiseComms missing;
    missing.init("1");
    missing.connect("/dev/feltwise-consumer-no-such-port");
    std::fprintf(stderr, "a missing port opened\n");
    return 1;
  } catch (const feltwise_comm::PortOpenError& error) {
    std::printf("%s (%s)\n", error.what(), feltwise_comm::causeName(error.cause()));
  }
  const std::vector<feltwise_comm::ProtocolInfo> protocols = feltwise_comm::protocols();
  const std::vector<feltwise_comm::SensorTypeInfo> sensor_types = feltwise_comm::sensorTypes();
  if (protocols.empty() || protocols.front().version != 0 || sensor_types.empty()) {
    std::fprintf(stderr, "the library's tables are empty\n");
    return 1;
  }
  std::printf("%zu protocols, %zu sensor types\n", protocols.size(), sensor_types.size());

  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);

  std::atomic<bool> playing{true};
  std::thread sensor([&] {
    const std::uint8_t frame[] = {0xFF, 0xFF, 3, 0, 0x10, 0x00, 0x20, 0x00, 0x30, 0x00};
    while (playing) {
      if (::write(master, frame, sizeof frame) < 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  int status = 1;
  bool plain_ok = false;
  bool stamped_ok = false;
  // Each comms object lets the port go when it goes, at the end of its block.
  try {
    feltwise_comm::FeltwiseComms comms;
    comms.init("1");
    comms.connect(name);
    std::vector<double> sample;
    for (int attempt = 0; attempt < 50 && sample.empty(); ++attempt) comms.read_raw(sample, 100);
    if (sample == std::vector<double>{16.0, 32.0, 48.0}) {
      std::printf("raw sample: %g %g %g\n", sample[0], sample[1], sample[2]);
      plain_ok = true;
    } else {
      std::fprintf(stderr, "no sample or wrong values (%zu values)\n", sample.size());
    }
  } catch (const serial::SerialError& error) {
    std::fprintf(stderr, "port error: %s\n", error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
  }
  try {
    feltwise_comm::SensorComms stamped;
    stamped.init("1");
    stamped.connect(name, {/*queue_capacity=*/16, /*reconnect=*/false, /*collect_notices=*/true});
    feltwise_comm::StampedSample first;
    feltwise_comm::StampedSample second;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    if (stamped.take(feltwise_comm::SamplePath::kQueue, deadline, first) &&
        stamped.take(feltwise_comm::SamplePath::kQueue, deadline, second) && second.seq == first.seq + 1 &&
        second.raw == std::vector<double>{16.0, 32.0, 48.0}) {
      std::printf("stamped samples: seq %llu, %llu\n", static_cast<unsigned long long>(first.seq),
                  static_cast<unsigned long long>(second.seq));
      stamped_ok = true;
    } else {
      std::fprintf(stderr, "no stamped samples in order\n");
    }
  } catch (const serial::SerialError& error) {
    std::fprintf(stderr, "port error: %s\n", error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
  }
  try {
    feltwise_comm::Sensor device(name, "1", feltwise_comm::SensorOptions{/*queue=*/64, /*reconnect=*/false});
    feltwise_comm::StampedSample newest;
    feltwise_comm::SampleBatch batch;
    std::uint64_t rows = 0;
    bool in_order = true;
    std::uint64_t next_seq = 0;
    for (int attempt = 0; attempt < 50 && rows < 6; ++attempt) {
      device.readBatch(batch, 0, std::chrono::milliseconds(200), 3);
      for (std::size_t row = 0; row < batch.rows; ++row, ++rows) {
        in_order = in_order && (next_seq == 0 || batch.seq[row] == next_seq) && batch.raw_columns == 3 &&
                   batch.raw_row(row)[2] == 48.0 && batch.t_host_ns[row] > 0;
        next_seq = batch.seq[row] + 1;
      }
    }
    if (in_order && rows >= 6 && device.read(newest, std::chrono::seconds(5)) && newest.raw.size() == 3) {
      std::printf("sensor: %llu rows in batches, newest seq %llu, dropped %llu\n",
                  static_cast<unsigned long long>(rows), static_cast<unsigned long long>(newest.seq),
                  static_cast<unsigned long long>(batch.dropped));
      status = plain_ok && stamped_ok ? 0 : 1;
    } else {
      std::fprintf(stderr, "no batches in order from the sensor\n");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sensor error: %s\n", error.what());
  }
  playing = false;
  sensor.join();
  ::close(slave);
  ::close(master);
  return status;
}
