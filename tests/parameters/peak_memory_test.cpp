// The loader's memory, measured: for a file that declares containers far
// larger than it holds, the most memory in use at any moment while it is
// loaded stays within a small multiple of the file's size. Every hostile file
// of the tests and every seed of the loader's fuzzer is a regression case.
//
// A program of its own: it replaces malloc and its relatives to count the
// bytes in use (msgpack-c takes its zone from malloc; operator new takes its
// memory from malloc too). Not built with the sanitizers, which bring their
// own allocator.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hostile_files.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

// The msgpack builders below are laid out one key and its value to a line, as the file reads.
// clang-format off
namespace {

std::atomic<std::size_t> bytes_in_use{0};
std::atomic<std::size_t> most_in_use{0};

void counted(void* block) {
  if (block == nullptr) return;
  const std::size_t now = bytes_in_use += malloc_usable_size(block);
  std::size_t most = most_in_use.load();
  while (now > most && !most_in_use.compare_exchange_weak(most, now)) {
  }
}

void uncounted(void* block) {
  if (block != nullptr) bytes_in_use -= malloc_usable_size(block);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  void* block = __libc_malloc(size);
  counted(block);
  return block;
}
void free(void* block) {
  uncounted(block);
  __libc_free(block);
}
void* calloc(std::size_t count, std::size_t size) {
  void* block = __libc_calloc(count, size);
  counted(block);
  return block;
}
void* realloc(void* old, std::size_t size) {
  const std::size_t before = old == nullptr ? 0 : malloc_usable_size(old);
  void* block = __libc_realloc(old, size);
  // A failed realloc leaves the old block as it was; size 0 frees it.
  if (block != nullptr || size == 0) bytes_in_use -= before;
  counted(block);
  return block;
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  void* block = __libc_memalign(alignment, size);
  counted(block);
  return block;
}
void* memalign(std::size_t alignment, std::size_t size) {
  void* block = __libc_memalign(alignment, size);
  counted(block);
  return block;
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  counted(block);
  *out = block;
  return 0;
}
}

namespace {

using feltwise_test::MsgpackBytes;

// The most memory in use at once while `bytes` are loaded, above what was in
// use before; the records a valid file yields are counted too.
std::size_t peakWhileLoading(const std::string& bytes) {
  feltwise_comm::ParameterHolder holder;
  const std::size_t before = bytes_in_use.load();
  most_in_use.store(before);
  try {
    feltwise_comm::decode_parameters(holder, bytes, feltwise_comm::decodeRecord);
  } catch (const std::exception&) {
  }
  return most_in_use.load() - before;
}

// The loader's promise (parameter_file.h): 24 times the size, and room for
// what any load allocates whatever the file (the exception, the parse stack).
// Nothing is unpacked into a tree, so all that grows with the file is the
// records it yields: a map entry of two one-byte integers becomes a 40-byte
// tree node (20 x), a one-byte number in a vector 8 bytes, the smallest record
// (32 bytes) a 280-byte object; a header that declares more than the file
// holds costs nothing beyond the slack.
constexpr std::size_t kFactor = 24;
constexpr std::size_t kSlack = 64 * 1024;

struct Measured {
  std::string name;
  std::size_t size;
  std::size_t peak;
};

void report(const std::vector<Measured>& files) {
  for (const Measured& file : files) {
    std::printf("[ figures  ] %-32s %9zu bytes, peak %10zu bytes (%.1f x)\n", file.name.c_str(), file.size, file.peak,
                static_cast<double>(file.peak) / static_cast<double>(std::max<std::size_t>(file.size, 1)));
  }
}

void expectBounded(const std::vector<Measured>& files) {
  for (const Measured& file : files) {
    EXPECT_LE(file.peak, kFactor * file.size + kSlack) << file.name << ": " << file.size << " bytes";
  }
  report(files);
}

TEST(PeakMemory, HostileFilesStayWithinASmallMultipleOfTheirSize) {
  std::vector<Measured> files;
  for (const auto& hostile : feltwise_test::hostile_cases()) {
    const std::string bytes = hostile.bytes.bytes();
    files.push_back({hostile.name, bytes.size(), peakWhileLoading(bytes)});
  }
  expectBounded(files);
}

// Whole files whose every byte is an element: what msgpack-c builds for them
// is the most any file of their size can make it build.
TEST(PeakMemory, DenseCompleteFilesStayWithinASmallMultipleOfTheirSize) {
  const auto nils = [](MsgpackBytes bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) bytes.raw({0xc0});
    return bytes;
  };
  MsgpackBytes empty_records = MsgpackBytes().array(2).integer(1).array(200000);
  for (int i = 0; i < 200000; ++i) empty_records.map(0);
  MsgpackBytes nil_pairs = MsgpackBytes().map(300000);
  for (int i = 0; i < 600000; ++i) nil_pairs.raw({0xc0});
  MsgpackBytes small_arrays = MsgpackBytes().array(2).integer(1).array(100000);
  for (int i = 0; i < 100000; ++i) small_arrays.array(1).raw({0xc0});

  std::vector<Measured> files;
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, MsgpackBytes>>{
           {"AMillionNils", nils(MsgpackBytes().array(1000000), 1000000)},
           {"AMillionNilsAfterTheVersion", nils(MsgpackBytes().array(2).integer(1).array(1000000), 1000000)},
           {"EmptyRecords", empty_records},
           {"NilPairs", nil_pairs},
           {"SmallArrays", small_arrays},
           {"AMegabyteString", MsgpackBytes().array(2).integer(1).str(std::string(1 << 20, 'x'))},
       }) {
    const std::string text = bytes.bytes();
    files.push_back({name, text.size(), peakWhileLoading(text)});
  }
  expectBounded(files);
}

// A file made of one taxel record with `key` holding `value`.
MsgpackBytes one_taxel_with(const std::string& key, const MsgpackBytes& value) {
  return MsgpackBytes().array(2).integer(1).array(1).map(2)
      .str("SensorParameters").map(1).str("sensor_type").integer(1)
      .str(key).append(value);
}

// A file made of one taxel record whose base map has `key` holding `value`.
MsgpackBytes one_taxel_whose_base_has(const std::string& key, const MsgpackBytes& value) {
  return MsgpackBytes().array(2).integer(1).array(1).map(1)
      .str("SensorParameters").map(2).str("sensor_type").integer(1)
      .str(key).append(value);
}

// Valid files of the shapes that cost the most per byte: many one-byte
// numbers, many of the smallest records, large integer maps, nesting up to
// the bound. What they yield is kept, so it counts.
TEST(PeakMemory, EveryShapeOfValidFileStaysWithinTheBound) {
  MsgpackBytes small_numbers = MsgpackBytes().array(1000000);
  for (int i = 0; i < 1000000; ++i) small_numbers.integer(i % 100);
  MsgpackBytes small_records = MsgpackBytes().array(2).integer(1).array(100000);
  for (int i = 0; i < 100000; ++i) {
    small_records.map(1).str("SensorParameters").map(1).str("sensor_type").integer(i % 3);
  }
  // Distinct keys take three bytes or more, but for a few hundred.
  MsgpackBytes distinct_keys = MsgpackBytes().map(65536);
  for (int i = 0; i < 65536; ++i) distinct_keys.raw({0xcd, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}).integer(0);
  MsgpackBytes repeated_keys = MsgpackBytes().map(500000);
  for (int i = 0; i < 500000; ++i) repeated_keys.integer(i % 100).integer(i % 50);
  // The map entries that cost the most: both integers of one byte, the 160
  // distinct keys that fit, in every record.
  MsgpackBytes small_maps = MsgpackBytes().array(2).integer(1).array(5000);
  for (int i = 0; i < 5000; ++i) {
    small_maps.map(1).str("SensorParameters").map(3).str("sensor_type").integer(1);
    for (const char* name : {"input_map", "output_map"}) {
      small_maps.str(name).map(160);
      for (int key = -32; key < 128; ++key) small_maps.integer(key).integer(0);
    }
  }
  MsgpackBytes nested = MsgpackBytes().array(30000);
  for (int i = 0; i < 30000; ++i) nested.append(feltwise_test::nested_arrays(feltwise_comm::kMaxParameterNesting - 4));

  std::vector<Measured> files;
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, MsgpackBytes>>{
           {"AMillionOneByteCoefs", one_taxel_with("coefs", small_numbers)},
           {"SmallestRecords", small_records},
           {"InputMapOfDistinctKeys", one_taxel_whose_base_has("input_map", distinct_keys)},
           {"OutputMapOfRepeatedKeys", one_taxel_whose_base_has("output_map", repeated_keys)},
           {"RecordsOfOneByteMaps", small_maps},
           {"NestedToTheBoundUnderAnUnknownKey", one_taxel_with("extra", nested)},
       }) {
    const std::string text = bytes.bytes();
    files.push_back({name, text.size(), peakWhileLoading(text)});
  }
  expectBounded(files);
}

TEST(PeakMemory, EverySeedOfTheLoadersFuzzerStaysWithinTheBound) {
  std::vector<Measured> files;
  DIR* dir = ::opendir(FELTWISE_PARAMETER_SEEDS_DIR);
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string(FELTWISE_PARAMETER_SEEDS_DIR "/") + entry->d_name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files.push_back({entry->d_name, bytes.str().size(), peakWhileLoading(bytes.str())});
  }
  ::closedir(dir);
  ASSERT_GT(files.size(), 20u);
  expectBounded(files);
}

TEST(PeakMemory, ALargeValidFileNeedsAFewTimesItsSize) {
  // Its records are kept, so they count: maps and vectors per record.
  const std::string bytes = feltwise_test::large_file();
  const Measured file{"Large (20,000 records)", bytes.size(), peakWhileLoading(bytes)};
  EXPECT_LE(file.peak, kFactor * file.size + kSlack);
  report({file});
}

}  // namespace
// clang-format on
