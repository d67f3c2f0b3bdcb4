# msgpack-c's C++ library, as the target feltwise_msgpack.
#
# It is header-only. Debian's package config insists on Boost although we use
# nothing of msgpack-c that needs it, so we look for the header ourselves and
# build with MSGPACK_NO_BOOST (public: every translation unit that sees the
# headers must agree on it).
#
# A Windows cross-build finds no msgpack-c in the mingw-w64 root. Being
# header-only, the build machine's copy serves as well; it is staged into the
# build tree on its own, because putting the build machine's whole include
# directory on the cross compiler's path would bring in the wrong C library.
find_path(FELTWISE_MSGPACK_INCLUDE_DIR msgpack.hpp)
if(NOT FELTWISE_MSGPACK_INCLUDE_DIR AND CMAKE_CROSSCOMPILING)
  find_path(FELTWISE_MSGPACK_HOST_INCLUDE_DIR msgpack.hpp PATHS /usr/local/include /usr/include
            NO_CMAKE_FIND_ROOT_PATH)
  if(FELTWISE_MSGPACK_HOST_INCLUDE_DIR)
    set(staged ${CMAKE_BINARY_DIR}/msgpack-include)
    file(MAKE_DIRECTORY ${staged})
    file(CREATE_LINK ${FELTWISE_MSGPACK_HOST_INCLUDE_DIR}/msgpack.hpp ${staged}/msgpack.hpp SYMBOLIC)
    file(CREATE_LINK ${FELTWISE_MSGPACK_HOST_INCLUDE_DIR}/msgpack ${staged}/msgpack SYMBOLIC)
    set(FELTWISE_MSGPACK_INCLUDE_DIR ${staged} CACHE PATH "msgpack-c headers" FORCE)
  endif()
endif()
if(NOT FELTWISE_MSGPACK_INCLUDE_DIR)
  message(FATAL_ERROR "msgpack-c's C++ headers (msgpack.hpp) not found: install libmsgpack-cxx-dev")
endif()

add_library(feltwise_msgpack INTERFACE)
target_include_directories(feltwise_msgpack SYSTEM INTERFACE ${FELTWISE_MSGPACK_INCLUDE_DIR})
target_compile_definitions(feltwise_msgpack INTERFACE MSGPACK_NO_BOOST)
