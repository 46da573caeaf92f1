# Toolchain of the wheels (scripts/build_wheels.py): zig's clang with its own
# libc++, for the target TAVOLIN_ZIG_TARGET, e.g. x86_64-linux-gnu.2.28 or
# aarch64-linux-gnu.2.28: the number after the ABI is the oldest glibc whose
# symbol versions the module may use. Every other library and header
# (libcrypto, zlib, zstd, nlohmann-json, libgcc_s) comes only from
# TAVOLIN_WHEEL_SYSROOT, where the builder unpacked Debian's packages, in
# Debian's multiarch layout (usr/lib/<arch>-linux-gnu).
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig_toolchain.cmake -DTAVOLIN_ZIG=/path/to/zig
#   -DTAVOLIN_ZIG_TARGET=x86_64-linux-gnu.2.28 -DTAVOLIN_WHEEL_SYSROOT=/path
#
# A target whose programs this machine cannot run (aarch64 on x86_64) runs the
# stub generator through CMAKE_CROSSCOMPILING_EMULATOR (qemu-user, with the
# sysroot's C library).
foreach(setting TAVOLIN_ZIG TAVOLIN_ZIG_TARGET TAVOLIN_WHEEL_SYSROOT)
  if(NOT ${setting})
    message(FATAL_ERROR "cmake/zig_toolchain.cmake needs -D${setting}=...")
  endif()
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVOLIN_ZIG TAVOLIN_ZIG_TARGET TAVOLIN_WHEEL_SYSROOT)

string(REGEX MATCH "^([^-]+)-([^-]+)-([^.]+)" _tavolin_triple "${TAVOLIN_ZIG_TARGET}")
set(CMAKE_LIBRARY_ARCHITECTURE ${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3})
if(NOT CMAKE_MATCH_1 STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_MATCH_1})
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(_tavolin_qemu qemu-${CMAKE_MATCH_1}-static qemu-${CMAKE_MATCH_1} REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_tavolin_qemu} -L ${TAVOLIN_WHEEL_SYSROOT})
  endif()
endif()

# zig runs as `zig c++ -target ...`; CMake wants one program per tool.
get_filename_component(_tavolin_zig_dir "${TAVOLIN_ZIG}" DIRECTORY)
set(TAVOLIN_LIBCXXABI_SOURCE "${_tavolin_zig_dir}/lib/libcxxabi/src")
set(_tavolin_tools "${CMAKE_BINARY_DIR}/zig-${TAVOLIN_ZIG_TARGET}")
# The same text for every build of one target and zig release (a compiler
# cache may compare the wrappers' content).
execute_process(COMMAND "${TAVOLIN_ZIG}" version OUTPUT_VARIABLE _tavolin_zig_version
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
foreach(tool cc c++ ar ranlib)
  set(_tavolin_args "")
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    # -O2 unless the build says otherwise (a later -O wins): zig builds its C
    # and C++ runtimes once per optimisation mode, and CMake's compiler checks
    # would otherwise ask for an unoptimised (and UBSan-checked) one.
    set(_tavolin_args "-target ${TAVOLIN_ZIG_TARGET} -O2")
  endif()
  file(WRITE "${_tavolin_tools}/${tool}"
    "#!/bin/sh\n# zig ${_tavolin_zig_version}\nexec \"${TAVOLIN_ZIG}\" ${tool} ${_tavolin_args} \"$@\"\n")
  file(CHMOD "${_tavolin_tools}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_tavolin_tools}/cc")
set(CMAKE_CXX_COMPILER "${_tavolin_tools}/c++")
set(CMAKE_AR "${_tavolin_tools}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_tavolin_tools}/ranlib" CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH "${TAVOLIN_WHEEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
