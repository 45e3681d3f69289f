// Helpers shared by the fuzz targets: bounded copies of the input into
// buffers that end exactly where the bytes end (so that the address
// sanitizer sees any read past them), and a fixed set of output slots for
// the variadic readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

// A malloc'd copy of `size` bytes (at least one byte is allocated so that an
// empty input is still a valid pointer). Caller frees.
inline unsigned char *Fuzz_Copy(const void *data, size_t size) {
  unsigned char *copy = static_cast<unsigned char *>(malloc(size ? size : 1));
  if (copy && size) memcpy(copy, data, size);
  return copy;
}

// Number of '%' characters in `text`: an upper bound on the conversions a
// format holds, and so on the pointers a variadic reader may take from its
// argument list.
inline size_t Fuzz_CountPercent(const std::string &text) {
  size_t n = 0;
  for (char c : text) n += c == '%';
  return n;
}

// Sixteen 8-byte slots: enough for any output of a conversion (a pointer, a
// double, or up to 8 integer bytes).
struct FuzzSlots {
  static constexpr size_t kCount = 16;
  uint64_t v[kCount] = {};
};
#define FUZZ_SLOT_ARGS(s)                                                                    \
  &(s).v[0], &(s).v[1], &(s).v[2], &(s).v[3], &(s).v[4], &(s).v[5], &(s).v[6], &(s).v[7],     \
      &(s).v[8], &(s).v[9], &(s).v[10], &(s).v[11], &(s).v[12], &(s).v[13], &(s).v[14],       \
      &(s).v[15]
