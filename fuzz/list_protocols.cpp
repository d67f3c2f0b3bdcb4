// Prints the rows of the protocol table as a CMake list, one
// "version:wire:registers" element per row ("3:text:yes"). fuzz/CMakeLists.txt
// compiles and runs it when the fuzz build is configured: the compiler reads
// protocols/protocol_rows.def as the library does, so the fuzz targets are
// the table's rows however the file is laid out.
#include <cstdio>

int main() {
  const char* separator = "";
#define FELTWISE_PROTOCOL(version, class_name, wire, registers)     \
  std::printf("%s%d:%s:%s", separator, version, #wire, #registers); \
  separator = ";";
#include "protocols/protocol_rows.def"
  return 0;
}
