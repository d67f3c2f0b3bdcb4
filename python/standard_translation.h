// pybind11's standard translation of C++ errors to Python (RuntimeError with
// the message, ValueError, IndexError, MemoryError, ...), registered as the
// module's own exception translator.
//
// pybind11 keeps its translators in state that every pybind11 module of the
// process shares, and the standard one there is the copy of whichever module
// created that state. A module that carries its own C++ runtime (a wheel:
// Zig's libc++, linked statically into each module) has type identities of
// its own, so the other module's copy cannot catch its std::exception and
// reports "Caught an unknown exception!". This module's own copy, tried
// before the shared ones, translates its errors in any import order.
#ifndef FELTWISE_PYTHON_STANDARD_TRANSLATION_H
#define FELTWISE_PYTHON_STANDARD_TRANSLATION_H

#include <pybind11/pybind11.h>

#include <exception>

namespace feltwise_python {

// Register before the module's other translators: the last registered is tried first.
inline void registerStandardTranslation() {
  pybind11::register_local_exception_translator(
      [](std::exception_ptr error) { pybind11::detail::translate_exception(error); });
}

}  // namespace feltwise_python

#endif  // FELTWISE_PYTHON_STANDARD_TRANSLATION_H
