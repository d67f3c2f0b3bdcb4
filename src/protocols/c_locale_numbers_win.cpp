#include <locale.h>
#include <stdlib.h>

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

}  // namespace

double strtodC(const char* text, char** end) { return _strtod_l(text, end, cLocale()); }

long strtolC(const char* text, char** end, int base) { return _strtol_l(text, end, base, cLocale()); }

}  // namespace feltwise_comm
