// Reading a file that must be a regular file, one implementation per system
// (regular_file_posix.cpp, regular_file_win.cpp).
#ifndef FELTWISE_PARAMETERS_REGULAR_FILE_H
#define FELTWISE_PARAMETERS_REGULAR_FILE_H

#include <cstddef>
#include <string>

namespace feltwise_comm {

enum class FileRead { read, missing, not_regular, too_large, failed };

// Reads the whole file at `path` into `bytes` when it is a regular file. It is
// too_large when its size is over `limit`, checked before reading, or as soon
// as more than `limit` bytes have been read (a file may grow, and some report
// a size of 0). missing: it does not exist or cannot be opened; failed: a
// read failed.
FileRead read_regular_file(const std::string& path, std::size_t limit, std::string& bytes);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_REGULAR_FILE_H
