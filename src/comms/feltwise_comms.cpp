#include "feltwise_comm/feltwise_comms.h"

#include "comms/comms_state.h"

namespace feltwise_comm {

FeltwiseComms::FeltwiseComms() : state_(std::make_unique<CommsState>()) {}

FeltwiseComms::~FeltwiseComms() {
  try {
    state_->disconnect();
  } catch (...) {
  }
}

void FeltwiseComms::init(const std::string& file_name) { state_->init(file_name); }
void FeltwiseComms::connect(const std::string& port) { state_->connect(port); }
bool FeltwiseComms::is_connected() const { return state_->is_connected(); }
void FeltwiseComms::read(std::vector<double>& output, std::int64_t timeout) { state_->read(output, timeout); }
void FeltwiseComms::read_raw(std::vector<double>& output, std::int64_t timeout) { state_->read_raw(output, timeout); }
void FeltwiseComms::zero(const std::vector<std::int32_t>& taxel_ids) { state_->zero(taxel_ids); }
void FeltwiseComms::zero(const std::vector<std::vector<double>>& data_buf, const std::vector<std::int32_t>& taxel_ids) {
  state_->zero(data_buf, taxel_ids);
}
void FeltwiseComms::read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output,
                                  std::int64_t timeout) {
  state_->read_register(address, id, output, timeout);
}
void FeltwiseComms::write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                                   std::int64_t timeout) {
  state_->write_register(address, id, data, timeout);
}
std::string FeltwiseComms::version() { return "dev"; }

}  // namespace feltwise_comm
