// The one builder of observation records, shared by the tools and the tests,
// and the parser of the tools' typed argument syntax.
//
// Record layout (little-endian): header word (0, not checked by readers),
// time stamp, total length, number of arguments, identifier area length,
// format area length; then the identifier area, the format area and the
// argument block (the message-format library's swizzled form). Each area
// holds its NUL-terminated text padded with zeros to a multiple of 8 bytes,
// so that the argument block starts 8-byte aligned. A null string argument is
// a STRING8 record with offset 0. Integers: I32 -> INT32 (signed value),
// U32 -> INT32 (unsigned value), I64 and U64 -> INT64, F64 -> FLOAT64.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One typed argument of an observation.
struct KelArg {
  enum class Kind { Str, NullStr, I32, U32, I64, U64, F64 };
  Kind kind = Kind::I32;
  std::string s;  // Str
  int64_t i = 0;  // I32, I64
  uint64_t u = 0; // U32, U64
  double f = 0;   // F64

  static KelArg Str(std::string text);
  static KelArg NullStr();
  static KelArg I32(int32_t value);
  static KelArg U32(uint32_t value);
  static KelArg I64(int64_t value);
  static KelArg U64(uint64_t value);
  static KelArg F64(double value);
};

// The swizzled argument block for `args`: one 32-byte record per argument,
// then the string bytes (NUL included); string offsets count from the block
// start.
std::vector<uint8_t> KelRecord_BuildArgBlock(const std::vector<KelArg> &args);

// One complete observation record. Throws std::length_error for a record
// whose size does not fit in 32 bits.
std::vector<uint8_t> KelRecord_Build(const std::string &id, const std::string &format,
                                     const std::vector<KelArg> &args, uint64_t timestampUs);

// Parses one argument of the tools' syntax: "s:TEXT" string, "n:" null
// string, "i:N" 32-bit signed, "u:N" 32-bit unsigned, "l:N" 64-bit signed,
// "L:N" 64-bit unsigned (integers in decimal or 0x hex, optionally signed
// where the type is), "f:N" float. False with a one-line reason in *error on
// an unknown type, a malformed number or a value out of range.
bool KelRecord_ParseArg(const std::string &text, KelArg *out, std::string *error);
// Parses every text in order; stops at the first bad one.
bool KelRecord_ParseArgs(const std::vector<std::string> &texts, std::vector<KelArg> *out,
                         std::string *error);
