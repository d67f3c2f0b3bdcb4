#include "parameters/bounded_unpack.h"

namespace feltwise_comm {

namespace {

// Builds nothing; counts the open containers and turns the parser's verdicts
// into msgpack-c's usual exceptions.
class ShapeCheck : public msgpack::v2::null_visitor {
 public:
  bool start_array(std::uint32_t /*elements*/) { return open(); }
  bool end_array() { return close(); }
  bool start_map(std::uint32_t /*pairs*/) { return open(); }
  bool end_map() { return close(); }
  void insufficient_bytes(std::size_t /*parsed*/, std::size_t /*at*/) {
    throw msgpack::v1::insufficient_bytes("insufficient bytes");
  }

 private:
  bool open() {
    if (++depth_ > kMaxParameterNesting) throw msgpack::v1::depth_size_overflow("depth size overflow");
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
};

}  // namespace

void check_bounded(const char* data, std::size_t size) {
  ShapeCheck check;
  std::size_t offset = 0;
  if (!msgpack::v2::parse(data, size, offset, check)) throw msgpack::v1::parse_error("parse error");
}

msgpack::v1::object_handle unpack_bounded(const char* data, std::size_t size) {
  check_bounded(data, size);
  return msgpack::v1::unpack(data, size);
}

}  // namespace feltwise_comm
