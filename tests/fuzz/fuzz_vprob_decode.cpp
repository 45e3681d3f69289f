// hubdsink's decoder of event records on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzSupport.h"
#include "vprobRecordReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  unsigned char *copy = Fuzz_Copy(data, size);
  VProbRecordDecoded decoded;
  std::string error;
  if (!VProbRecord_Decode(copy, size, &decoded, &error) && error.empty()) abort();
  free(copy);
  return 0;
}
