// One msgpack value read where it lies in the bytes, without unpacking it.
//
// msgpack-c's unpacking builds a 24-byte object for every element, so a file
// of one-byte numbers becomes a tree some 24 to 48 times its size before a
// single record is made. The loader instead reads the file through this view:
// a container gives its size and its first element, a scalar is decoded on its
// own, and the numbers of an array or map are handed over one by one as they
// are parsed. Everything is decoded by msgpack-c's own parser, so a scalar
// arrives as exactly the msgpack::v1::object that unpacking would have built
// (str, bin and ext pointing into the bytes instead of a copy).
//
// Only for bytes that hold the whole value: the loader's walk (check_bounded)
// has accepted them, or msgpack-c packed them. Nothing here allocates but
// msgpack-c's small parse stack.
#ifndef FELTWISE_PARAMETERS_PACKED_VALUE_H
#define FELTWISE_PARAMETERS_PACKED_VALUE_H

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>

namespace feltwise_comm {

namespace detail {

// msgpack-c's parse events turned into objects as its unpacking builds them.
// Scalars and container headers at one depth (0: the parsed value itself, 1:
// its elements) go to `take`; the others are passed over.
template <typename Take>
class ElementEvents : public msgpack::v2::null_visitor {
 public:
  ElementEvents(Take& take, std::size_t taken_depth) : take_(take), taken_depth_(taken_depth) {}

  bool visit_nil() { return scalar(with_type(msgpack::v1::type::NIL)); }
  bool visit_boolean(bool v) {
    msgpack::v1::object o = with_type(msgpack::v1::type::BOOLEAN);
    o.via.boolean = v;
    return scalar(o);
  }
  bool visit_positive_integer(std::uint64_t v) {
    msgpack::v1::object o = with_type(msgpack::v1::type::POSITIVE_INTEGER);
    o.via.u64 = v;
    return scalar(o);
  }
  bool visit_negative_integer(std::int64_t v) {
    // The signed formats hold non-negative values too; unpacking files them
    // as positive integers.
    if (v >= 0) return visit_positive_integer(static_cast<std::uint64_t>(v));
    msgpack::v1::object o = with_type(msgpack::v1::type::NEGATIVE_INTEGER);
    o.via.i64 = v;
    return scalar(o);
  }
  bool visit_float32(float v) {
    msgpack::v1::object o = with_type(msgpack::v1::type::FLOAT32);
    o.via.f64 = v;
    return scalar(o);
  }
  bool visit_float64(double v) {
    msgpack::v1::object o = with_type(msgpack::v1::type::FLOAT64);
    o.via.f64 = v;
    return scalar(o);
  }
  bool visit_str(const char* v, std::uint32_t size) {
    msgpack::v1::object o = with_type(msgpack::v1::type::STR);
    o.via.str.ptr = v;
    o.via.str.size = size;
    return scalar(o);
  }
  bool visit_bin(const char* v, std::uint32_t size) {
    msgpack::v1::object o = with_type(msgpack::v1::type::BIN);
    o.via.bin.ptr = v;
    o.via.bin.size = size;
    return scalar(o);
  }
  bool visit_ext(const char* v, std::uint32_t size) {  // the type byte, then the data
    msgpack::v1::object o = with_type(msgpack::v1::type::EXT);
    o.via.ext.ptr = v;
    o.via.ext.size = size - 1;
    return scalar(o);
  }
  bool start_array(std::uint32_t elements) { return open(msgpack::v1::type::ARRAY, elements); }
  bool end_array() { return close(); }
  bool start_map(std::uint32_t pairs) { return open(msgpack::v1::type::MAP, pairs); }
  bool end_map() { return close(); }
  void parse_error(std::size_t /*parsed*/, std::size_t /*at*/) { throw msgpack::v1::parse_error("parse error"); }
  void insufficient_bytes(std::size_t /*parsed*/, std::size_t /*at*/) {
    throw msgpack::v1::insufficient_bytes("insufficient bytes");
  }

 private:
  static msgpack::v1::object with_type(msgpack::v1::type::object_type type) {
    msgpack::v1::object o;
    o.type = type;
    return o;
  }
  bool scalar(const msgpack::v1::object& o) { return depth_ != taken_depth_ || take_(o); }
  // A nested container reaches `take` as its header: its type and size, no
  // elements.
  bool open(msgpack::v1::type::object_type type, std::uint32_t size) {
    bool go_on = true;
    if (depth_ == taken_depth_) {
      msgpack::v1::object o = with_type(type);
      o.via.array.size = size;  // same place as via.map.size
      o.via.array.ptr = nullptr;
      go_on = take_(o);
    }
    ++depth_;
    return go_on;
  }
  bool close() {
    --depth_;
    return true;
  }

  Take& take_;
  std::size_t taken_depth_;
  std::size_t depth_ = 0;
};

}  // namespace detail

class PackedValue {
 public:
  PackedValue(const char* data, std::size_t size, std::size_t offset) : data_(data), size_(size), offset_(offset) {}

  // The value as msgpack-c would unpack it when it is a scalar; for an array
  // or a map, an object of that type and size whose `ptr` is null (read the
  // elements with first_element and next, or for_each_element).
  msgpack::v1::object head() const;

  // The value that follows this one in the bytes.
  PackedValue next() const;

  // The first element of a non-empty array, or the first key of a non-empty map.
  PackedValue first_element() const;

  // Hands each element of an array, or each key and each value of a map in
  // turn, to `take` as head() would give it, in one pass over the bytes.
  // `take` returns false to stop.
  template <typename Take>
  void for_each_element(Take take) const {
    detail::ElementEvents<Take> events(take, 1);
    std::size_t offset = offset_;
    msgpack::v2::parse(data_, size_, offset, events);
  }

  // Calls take(key head, value) for the entries of a map in stored order
  // until it returns false. Values are not decoded, only stepped over.
  template <typename Take>
  void for_each_entry(std::uint32_t pairs, Take take) const {
    if (pairs == 0) return;
    PackedValue key = first_element();
    for (std::uint32_t i = 0;; ++i) {
      const PackedValue value = key.next();
      if (!take(key.head(), value) || i + 1 == pairs) return;
      key = value.next();
    }
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t offset_;
};

// The bytes of an object msgpack-c has unpacked, every value in the format
// of its type, so that reading them back gives the same object. (msgpack-c's
// own packer writes a float that holds a whole number as an integer.)
msgpack::v1::sbuffer pack_exactly(const msgpack::v1::object& value);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_PACKED_VALUE_H
