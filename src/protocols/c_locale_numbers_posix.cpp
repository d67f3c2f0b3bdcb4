#include <locale.h>
#include <stdlib.h>

#include <stdexcept>

#include "protocols/c_locale_numbers.h"

namespace feltwise_comm {
namespace {

// Created once and never freed: it must outlive every protocol object, and
// the conversions may run on any thread until the process ends.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) throw std::runtime_error("The C locale is not available");
  return locale;
}

}  // namespace

double strtodC(const char* text, char** end) { return strtod_l(text, end, cLocale()); }

long strtolC(const char* text, char** end, int base) { return strtol_l(text, end, base, cLocale()); }

}  // namespace feltwise_comm
