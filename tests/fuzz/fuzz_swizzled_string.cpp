// String lookup in an arbitrary swizzled block, at any byte alignment, and
// the trace line built from the block; the one-pass string checker against
// the string-by-string search. Input: one byte for the number of
// records (which may claim more than the block holds), one for the
// misalignment, then the block.
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzSupport.h"
#include "log/keldTrace.h"
#include "msgFmtInternal.h"
#include "platform/msgFmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 8192) return 0;
  int numArgs = data[0] % 40;
  size_t shift = data[1] % 8;
  size_t blockLen = size - 2;

  // Records inside observations follow variable-length text: try the block
  // at an odd address too.
  unsigned char *buffer = static_cast<unsigned char *>(malloc(shift + blockLen + 1));
  unsigned char *block = buffer + shift;
  memcpy(block, data + 2, blockLen);
  const MsgFmt_Arg *args = reinterpret_cast<const MsgFmt_Arg *>(block);
  for (int i = -1; i <= numArgs; ++i) {
    const char *text = nullptr;
    if (MsgFmt_GetSwizzledString(args, numArgs, i, block + blockLen, &text) == 0 && text) {
      (void)strlen(text);
    }
  }
  // The one-pass checker agrees with the string-by-string search.
  msgfmt::StringChecker checker(block, blockLen, static_cast<size_t>(numArgs));
  for (int i = 0; i < numArgs && static_cast<size_t>(i) < blockLen / sizeof(MsgFmt_Arg); ++i) {
    MsgFmt_Arg arg = msgfmt::LoadArg(block, static_cast<size_t>(i));
    if (!msgfmt::IsStringType(arg.type)) continue;
    const char *one = nullptr, *other = nullptr;
    bool a = msgfmt::SwizzledStringAt(block, blockLen, static_cast<size_t>(numArgs), arg, &one);
    bool b = checker.At(arg, &other);
    if (a != b || (a && one != other)) abort();
  }
  free(buffer);

  // The trace builder takes an aligned block (its callers copy one).
  unsigned char *aligned = Fuzz_Copy(data + 2, blockLen);
  std::string line;
  struct timespec now = {1800000000, 5};
  if (Trace_BuildLine(line, now, "IN", 42, "kel.fuzz.trace", reinterpret_cast<const MsgFmt_Arg *>(aligned),
                      static_cast<uint32_t>(numArgs), aligned + blockLen) &&
      (line.empty() || line.back() != '\n')) {
    abort();
  }
  free(aligned);
  return 0;
}
