# The module as the wheels carry it (-DTAVOLIN_WHEEL=ON, built with
# cmake/zig_toolchain.cmake by scripts/build_wheels.py): the libcrypto of the
# toolchain's sysroot linked in statically with the zlib and zstd it calls,
# libc++ linked in statically, all of it hidden (the module exports its entry
# point only, src/wheel/exports.map); libgcc_s as the unwinder, the one
# glibc's pthread_exit unwinds a thread with (see common/forced_unwind.hpp).
# Source builds never come here: they link the system's libcrypto.
if(NOT TAVOLIN_LIBCXXABI_SOURCE)
  message(FATAL_ERROR "TAVOLIN_WHEEL needs the zig toolchain (cmake/zig_toolchain.cmake)")
endif()
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "-musl$")
  # The musllinux wheels (scripts/musl_host.sh): a libcrypto built for musl
  # without compression (no zlib or zstd to link), and zig's own unwinder:
  # musl's pthread_exit runs no unwinding for libgcc_s to take part in.
  set(TAVOLIN_LIBZ "")
  set(TAVOLIN_LIBZSTD "")
  set(TAVOLIN_LIBGCC_S "")
else()
  find_library(TAVOLIN_LIBZ NAMES libz.a REQUIRED)
  find_library(TAVOLIN_LIBZSTD NAMES libzstd.a REQUIRED)
  find_library(TAVOLIN_LIBGCC_S NAMES libgcc_s.so.1 REQUIRED)
endif()

file(GLOB TAVOLIN_WHEEL_SOURCES CONFIGURE_DEPENDS src/wheel/*.cpp)
target_sources(tavolin_core PRIVATE ${TAVOLIN_WHEEL_SOURCES})
set_source_files_properties(src/wheel/forced_unwind_libcxx.cpp PROPERTIES
  COMPILE_OPTIONS "-isystem;${TAVOLIN_LIBCXXABI_SOURCE}")
target_link_libraries(tavolin_core PUBLIC ${TAVOLIN_LIBZSTD} ${TAVOLIN_LIBZ})
# Debian keeps OpenSSL's configuration headers under the multiarch folder.
target_include_directories(tavolin_core SYSTEM PUBLIC
  ${TAVOLIN_WHEEL_SYSROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE})

# libgcc_s before the objects: its _Unwind_* are then the ones every object
# and libc++abi bind to, and zig's own unwinder is not linked in.
# zig's libc++ comes with debug information, which the wheels leave out.
target_link_options(tavolin_native_backend PRIVATE ${TAVOLIN_LIBGCC_S} -Wl,--strip-debug
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/wheel/exports.map)
set_property(TARGET tavolin_native_backend APPEND PROPERTY
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/wheel/exports.map)
