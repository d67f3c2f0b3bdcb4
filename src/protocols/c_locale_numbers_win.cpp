#include <errno.h>
#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "protocols/c_locale_numbers.h"

namespace feltwise_comm {
namespace {

// Created once and never freed: it must outlive every protocol object, and
// the conversions may run on any thread until the process ends.
_locale_t cLocale() {
  static const _locale_t locale = _create_locale(LC_ALL, "C");
  if (locale == nullptr) throw std::runtime_error("The C locale is not available");
  return locale;
}

char lowerC(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(const char* text, const char* word) {
  for (; *word != '\0'; ++text, ++word) {
    if (lowerC(*text) != *word) return false;
  }
  return true;
}

bool isHexFloatChar(char c) {
  const char l = lowerC(c);
  return (c >= '0' && c <= '9') || (l >= 'a' && l <= 'f') || l == 'p' || c == '.' || c == '+' || c == '-';
}

// msvcrt.dll, the C runtime Debian's MinGW builds against, has the C89
// strtod: it takes "inf" and "nan" for no number and reads "0x10" as 0
// followed by text, where every POSIX libc (and the UCRT) reads the C99
// forms. A sensor line may carry them, so they are read here, after the
// optional sign at `p`; everything else goes to _strtod_l. False: none of them.
bool readC99Form(const char* p, double& value, const char*& stop) {
  if (startsWithNoCase(p, "inf")) {
    value = std::numeric_limits<double>::infinity();
    stop = p + (startsWithNoCase(p, "infinity") ? 8 : 3);
    return true;
  }
  if (startsWithNoCase(p, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
    stop = p + 3;
    if (*stop == '(') {
      const char* q = stop + 1;
      while ((*q >= '0' && *q <= '9') || (lowerC(*q) >= 'a' && lowerC(*q) <= 'z') || *q == '_') ++q;
      if (*q == ')') stop = q + 1;
    }
    return true;
  }
  if (p[0] != '0' || lowerC(p[1]) != 'x') return false;
  const char* digits = p + 2;
  // Only as far as a hexadecimal number can reach: the rest of a long line is
  // not looked at once per field.
  const char* last = digits;
  while (isHexFloatChar(*last)) ++last;
  const std::from_chars_result result = std::from_chars(digits, last, value, std::chars_format::hex);
  if (result.ec == std::errc::invalid_argument) {
    // "0x" with no digit after it is the number 0 followed by text.
    value = 0.0;
    stop = p + 1;
    return true;
  }
  stop = result.ptr;
  if (result.ec == std::errc::result_out_of_range) {
    errno = ERANGE;
    const char* exponent = digits;
    while (exponent != stop && lowerC(*exponent) != 'p') ++exponent;
    const bool too_small = exponent != stop && exponent[1] == '-';
    value = too_small ? 0.0 : HUGE_VAL;
  }
  return true;
}

}  // namespace

double strtodC(const char* text, char** end) {
  const char* p = text;
  while (isSpaceC(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  double value = 0.0;
  const char* stop = nullptr;
  if (readC99Form(p, value, stop)) {
    if (end != nullptr) *end = const_cast<char*>(stop);
    return negative ? -value : value;
  }
  return _strtod_l(text, end, cLocale());
}

long strtolC(const char* text, char** end, int base) { return _strtol_l(text, end, base, cLocale()); }

}  // namespace feltwise_comm
