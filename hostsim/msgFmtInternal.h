// Pieces of the message-format library shared with the observation library
// and the record builder: the conversion parser and byte-wise access to
// argument records. Argument blocks inside records are not necessarily 8-byte
// aligned, so records are only ever read and written through memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/msgFmt.h"

namespace msgfmt {

enum class Len { None, hh, h, l, ll, z, j, t, L };

// One printf conversion, as written in a format.
struct Conversion {
  bool minus = false, plus = false, space = false, hash = false, zero = false;
  bool hasWidth = false, widthStar = false;
  int width = 0;
  bool hasPrecision = false, precisionStar = false;
  int precision = 0;
  Len len = Len::None;
  char letter = 0;  // '%' for "%%"
};

// Widths and precisions beyond this are refused: a format from outside must
// not make a renderer allocate without bound.
constexpr int kMaxWidth = 4096;

// Parses the conversion whose '%' is at `p`. Returns the character after it,
// or null for a malformed or unsupported conversion (%n, positional
// arguments, unknown letters, a format ending inside a conversion).
const char *ParseConversion(const char *p, Conversion *cv);

// The argument type code that the conversion's value is captured as;
// MSGFMT_ARG_INVALID for "%%".
int32_t ValueType(const Conversion &cv);

// Number of argument records the conversion consumes ('*' ones included).
inline int ArgsConsumed(const Conversion &cv) {
  return (cv.widthStar ? 1 : 0) + (cv.precisionStar ? 1 : 0) + (cv.letter == '%' ? 0 : 1);
}

inline bool IsStringType(int32_t type) {
  return type == MSGFMT_ARG_STRING8 || type == MSGFMT_ARG_STRING16 ||
         type == MSGFMT_ARG_STRING32;
}
inline bool IsIntegerType(int32_t type) {
  return type == MSGFMT_ARG_INT32 || type == MSGFMT_ARG_INT64 || type == MSGFMT_ARG_PTR32 ||
         type == MSGFMT_ARG_PTR64;
}
inline bool IsKnownType(int32_t type) {
  return type >= MSGFMT_ARG_INT32 && type <= MSGFMT_ARG_STRING32;
}

inline MsgFmt_Arg LoadArg(const void *args, size_t index) {
  MsgFmt_Arg arg;
  memcpy(&arg, static_cast<const unsigned char *>(args) + index * sizeof(MsgFmt_Arg), sizeof arg);
  return arg;
}
// `args` holds at least index + 1 records (the callers check the buffer's
// size first, so a null buffer never reaches here).
inline void StoreArg(void *args, size_t index, const MsgFmt_Arg &arg) {
  // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker): see above
  memcpy(static_cast<unsigned char *>(args) + index * sizeof(MsgFmt_Arg), &arg, sizeof arg);
}

// The string of swizzled argument `arg` inside a block of `blockLen` bytes
// holding `numArgs` records: true, with *str the text (null for a null
// string), when the text lies after the records and wholly inside the block,
// terminator included. `arg` must be of a string type.
bool SwizzledStringAt(const unsigned char *block, size_t blockLen, size_t numArgs,
                      const MsgFmt_Arg &arg, const char **str);

// Checks the strings of one block in constant time each after one pass over
// the block, so that many arguments sharing one long text cost no more than
// the block itself: a string of unit u at offset o is terminated inside the
// block exactly when the last terminator whose start is congruent to o modulo
// u starts at o or later. The block must outlive the checker.
class StringChecker {
 public:
  StringChecker(const unsigned char *block, size_t blockLen, size_t numArgs)
      : block_(block), blockLen_(blockLen), numArgs_(numArgs) {}
  // Same contract as SwizzledStringAt.
  bool At(const MsgFmt_Arg &arg, const char **str);

 private:
  const unsigned char *block_;
  size_t blockLen_;
  size_t numArgs_;
  // Per unit (1, 2, 4) and residue: one past the start of the last
  // terminator, 0 for none; computed on first use of the unit.
  bool scanned_[3] = {false, false, false};
  size_t lastEnd_[3][4] = {};
};

// True when the block holds `numArgs` records of known types whose strings
// all lie inside it. Linear in the block's size.
bool ValidateSwizzledBlock(const unsigned char *block, size_t blockLen, size_t numArgs);

// Integer value of an integer argument record widened to 64 bits: 32-bit
// integers sign-extended, pointers zero-extended.
int64_t IntegerValue(const MsgFmt_Arg &arg);

}  // namespace msgfmt
