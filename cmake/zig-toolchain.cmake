# Builds with Zig's C++ compiler (clang with its own libc++ and glibc stubs)
# for the target in FELTWISE_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17 or
# aarch64-linux-gnu.2.17: the binaries need no glibc newer than the target
# names and carry their C++ runtime, whatever the build machine has. The
# manylinux wheels are built so (tools/build-wheels.sh).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DFELTWISE_ZIG_TARGET=aarch64-linux-gnu.2.17
#
# Zig comes from PyPI (`pip install ziglang`); FELTWISE_ZIG names its
# executable when it is not `zig` on PATH nor the ziglang module of python3.
set(FELTWISE_ZIG_TARGET "" CACHE STRING "Zig target: ARCH-linux-gnu.GLIBC_VERSION")
set(FELTWISE_ZIG "" CACHE FILEPATH "The zig executable")
# The check programs that CMake compiles while it configures see this file
# again, without the cache: hand them the two settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FELTWISE_ZIG_TARGET FELTWISE_ZIG)

if(NOT FELTWISE_ZIG_TARGET MATCHES "^(x86_64|aarch64)-linux-gnu")
  message(FATAL_ERROR "FELTWISE_ZIG_TARGET: x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17, not '${FELTWISE_ZIG_TARGET}'")
endif()
if(NOT FELTWISE_ZIG)
  find_program(zig_on_path zig)
  if(zig_on_path)
    set(FELTWISE_ZIG "${zig_on_path}" CACHE FILEPATH "The zig executable" FORCE)
  else()
    execute_process(COMMAND python3 -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
                    OUTPUT_VARIABLE zig_of_python OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT EXISTS "${zig_of_python}")
      message(FATAL_ERROR "zig not found: pip install ziglang, or set FELTWISE_ZIG")
    endif()
    set(FELTWISE_ZIG "${zig_of_python}" CACHE FILEPATH "The zig executable" FORCE)
  endif()
endif()

# A cross-build in CMake's terms even for this machine's processor: the
# target's C library is another than the build machine's.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${FELTWISE_ZIG_TARGET}")

# The list's first item is the compiler, the others its fixed arguments.
set(CMAKE_C_COMPILER "${FELTWISE_ZIG}" cc -target ${FELTWISE_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${FELTWISE_ZIG}" c++ -target ${FELTWISE_ZIG_TARGET})
# The archiver of the build machine may not know the target's objects; Zig's
# does. The linker strips the modules (-s): the build machine's strip would
# not know an aarch64 file either, so CMake's strip steps do nothing here.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${FELTWISE_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${FELTWISE_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${FELTWISE_ZIG}\" ranlib <TARGET>")
endforeach()
set(CMAKE_STRIP /bin/true CACHE FILEPATH "strip: the linker strips (-s)")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")

# Nothing of the build machine's own libraries or headers: the target's come
# with Zig (a header of /usr/include could ask for a newer glibc than the
# target's), and what else the build needs is named by path or staged on its
# own (msgpack-c's headers: cmake/msgpack-cxx.cmake).
get_filename_component(zig_dir "${FELTWISE_ZIG}" DIRECTORY)
set(CMAKE_FIND_ROOT_PATH "${zig_dir}/lib/libc")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
