// An independent decoder of event records as they reach the management
// agent: used by hubdsink and by tests to check what the daemon sent. It
// trusts nothing in the bytes it is given.
//
// Layout (little-endian): u64 time @0, u64 second stamp word @8, 38 UUID bytes
// @16, 2 padding bytes, u32 totalLength @56, u32 numArgs @60, u32 idLength
// @64, the NUL-terminated identifier @68, the swizzled argument block (numArgs
// 32-byte argument records, then the string bytes) @68+idLength, and 4 slack
// bytes at the end; totalLength is the number of bytes of the whole record.
//
// Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

struct VProbNullString {
  bool operator==(const VProbNullString &) const { return true; }
};
// An argument of a type that the decoder does not render (invalid, float
// kinds other than 64-bit, wide strings).
struct VProbUnknownArg {
  int32_t type;
  bool operator==(const VProbUnknownArg &o) const { return type == o.type; }
};

// One argument: an 8-bit string, a null string, a signed integer (32- and
// 64-bit integers), an unsigned integer (32- and 64-bit pointers), a 64-bit
// float, or an unknown kind.
using VProbArg =
    std::variant<std::string, VProbNullString, int64_t, uint64_t, double, VProbUnknownArg>;

struct VProbRecordDecoded {
  uint64_t time = 0;
  uint64_t stampWord = 0;
  std::string uuid;  // the UUID bytes up to the first NUL
  std::string id;    // the full event identifier
  std::vector<VProbArg> args;
};

// Decodes the `size` bytes at `data` as exactly one record. True and *out
// filled; or false and *error set to a one-line reason (*out unspecified).
bool VProbRecord_Decode(const void *data, size_t size, VProbRecordDecoded *out,
                        std::string *error);
