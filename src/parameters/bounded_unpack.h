// Unpacking of a parameter file that came from outside.
//
// msgpack-c allocates the elements of an array or map as soon as it reads the
// header, before it knows whether the bytes hold them: five bytes declaring
// four billion elements ask for some 100 GB before "insufficient bytes". So
// the bytes are first walked by msgpack-c's parser with a visitor that builds
// nothing. Only a complete object is then read, by the loader in place
// (PackedValue) or by the real unpacking, and in a complete object every
// declared element has used up at least one byte of the input: what is then
// allocated is bounded by a small multiple of the input's size.
//
// The walk also bounds the nesting, which the record schema needs five levels
// of; deeper files are refused with msgpack-c's depth_size_overflow.
#ifndef FELTWISE_PARAMETERS_BOUNDED_UNPACK_H
#define FELTWISE_PARAMETERS_BOUNDED_UNPACK_H

#include <msgpack.hpp>

#include <cstddef>

namespace feltwise_comm {

constexpr std::size_t kMaxParameterNesting = 32;

// Walks the first msgpack object of the bytes (trailing bytes are ignored)
// and builds nothing; refuses it with msgpack-c's own errors:
// insufficient_bytes for an empty or truncated input, parse_error for bytes
// that are not msgpack, depth_size_overflow beyond kMaxParameterNesting open
// arrays and maps. What it accepts, PackedValue can read in place.
void check_bounded(const char* data, std::size_t size);

// The first msgpack object of the bytes (trailing bytes are ignored), with
// msgpack-c's own errors: insufficient_bytes for an empty or truncated input,
// parse_error for bytes that are not msgpack, depth_size_overflow beyond
// kMaxParameterNesting open arrays and maps.
msgpack::v1::object_handle unpack_bounded(const char* data, std::size_t size);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_BOUNDED_UNPACK_H
