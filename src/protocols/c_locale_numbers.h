// strtod and strtol with the "C" numeric conventions, whatever locale the host
// process has set.
//
// The sensor writes "1.5" on every machine, but a Python program that calls
// locale.setlocale() for a decimal-comma language changes what plain strtod
// accepts in the whole process: "1.5" would then read as 1 and a field "1,5"
// would swallow the comma that separates two values. Everything else about
// the conversion (white space, signs, exponents, hexadecimal, infinity and
// not-a-number forms, where parsing stops, errno on overflow) stays strtod's.
//
// One implementation per system: c_locale_numbers_posix.cpp (strtod_l),
// c_locale_numbers_win.cpp (_strtod_l); the build picks one.
#ifndef FELTWISE_PROTOCOLS_C_LOCALE_NUMBERS_H
#define FELTWISE_PROTOCOLS_C_LOCALE_NUMBERS_H

namespace feltwise_comm {

// As std::strtod / std::strtol, in the "C" locale. Throws std::runtime_error
// only if the system cannot provide that locale at all.
double strtodC(const char* text, char** end);
long strtolC(const char* text, char** end, int base);

// isspace() in the "C" locale: space, \t, \n, \v, \f, \r.
constexpr bool isSpaceC(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_C_LOCALE_NUMBERS_H
