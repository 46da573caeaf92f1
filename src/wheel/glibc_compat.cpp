// What only the wheels' build compiles (-DTAVOLIN_WHEEL=ON): the C library
// names that the statically linked libcrypto of a newer Debian calls but the
// oldest glibc the wheels support lacks. Hidden: the module's own copies.

#include <cstdlib>

// glibc 2.38 maps strtol to this name under C23 (which also reads "0b" as a
// binary prefix for base 0 and 2; libcrypto's calls pass base 10).
extern "C" __attribute__((visibility("hidden"))) long __isoc23_strtol(const char* text, char** end,
                                                                       int base) {
  return std::strtol(text, end, base);
}
