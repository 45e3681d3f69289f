// MsgFmt_Asprintf on an arbitrary format and an arbitrary swizzled argument
// block, after MsgFmt_UnswizzleArgs has checked the block as every reader
// does. Input: one byte for the number of records, two for the format
// length, the format, then the block.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzSupport.h"
#include "platform/msgFmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) return 0;
  FuzzedDataProvider in(data, size);
  int numArgs = in.ConsumeIntegralInRange<int>(0, 32);
  std::string format = in.ConsumeRandomLengthString(512);
  std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

  // The block in an allocation of exactly its size (malloc aligns it).
  unsigned char *block = Fuzz_Copy(bytes.data(), bytes.size());
  MsgFmt_Arg *args = reinterpret_cast<MsgFmt_Arg *>(block);
  if (MsgFmt_UnswizzleArgs(args, numArgs, block + bytes.size())) {
    size_t length = 0;
    char *text = MsgFmt_Asprintf(&length, format.c_str(), args, numArgs);
    // "%c" may render a NUL inside the text: the length counts past it.
    if (text && (strlen(text) > length || text[length] != '\0')) abort();
    free(text);
  }
  free(block);
  return 0;
}
