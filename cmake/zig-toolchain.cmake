# The release wheel's toolchain: zig's clang, targeting x86_64 Linux with glibc 2.17 (the
# manylinux2014 baseline). zig links against its own glibc 2.17 stubs, so a symbol that newer
# glibc releases added fails at link time rather than on a user's machine, and it builds libc++,
# libc++abi and libunwind for the target and links them in statically, so the module needs
# nothing but the C library at run time. `make dist` selects this file; `pip install .` does not.
#
# BITLOOM_ZIG names the zig executable (a cache variable or the environment; the Makefile points
# it at the ziglang package in .venv), else `zig` on PATH. CMake wants executables for the
# compiler and the archiver, so this writes small wrappers into the build directory; try_compile
# projects get the parent's wrappers through CMAKE_TRY_COMPILE_PLATFORM_VARIABLES.

set(BITLOOM_ZIG_TARGET "x86_64-linux-gnu.2.17" CACHE STRING "zig target triple with glibc version")

if(NOT BITLOOM_ZIG_WRAPPERS)
  if(NOT BITLOOM_ZIG AND DEFINED ENV{BITLOOM_ZIG})
    set(BITLOOM_ZIG "$ENV{BITLOOM_ZIG}")
  endif()
  if(NOT BITLOOM_ZIG)
    find_program(BITLOOM_ZIG zig)
  endif()
  if(NOT BITLOOM_ZIG OR NOT EXISTS "${BITLOOM_ZIG}")
    message(FATAL_ERROR "zig-toolchain.cmake: no zig executable (set BITLOOM_ZIG, or install "
                        "PyPI's ziglang and point BITLOOM_ZIG at its zig)")
  endif()
  set(_dir "${CMAKE_BINARY_DIR}/zig-wrappers")
  foreach(_tool c++ ar ranlib)
    set(_args "${_tool}")
    if(_tool STREQUAL "c++")
      string(APPEND _args " -target ${BITLOOM_ZIG_TARGET}")
    endif()
    file(CONFIGURE OUTPUT "${_dir}/${_tool}"
         CONTENT "#!/bin/sh\nexec \"${BITLOOM_ZIG}\" ${_args} \"$@\"\n")
    file(CHMOD "${_dir}/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(BITLOOM_ZIG_WRAPPERS "${_dir}" CACHE INTERNAL "wrappers that run zig for CMake")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BITLOOM_ZIG_WRAPPERS)

set(CMAKE_CXX_COMPILER "${BITLOOM_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "${BITLOOM_ZIG_WRAPPERS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${BITLOOM_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "")
# Link-time optimisation archives LLVM bitcode, which only zig's llvm-ar indexes.
set(CMAKE_CXX_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "")
# CMakeLists.txt links the C++ runtime per compiler: zig always links its own statically.
set(BITLOOM_ZIG_RUNTIME ON)
