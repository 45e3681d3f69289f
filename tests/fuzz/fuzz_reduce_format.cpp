// The reduction of a message format to a conversion-only one, into an output
// buffer of any size (an exact allocation, so that a write past it is seen),
// and GetObservationArgs with that message format on a fixed observation.
// Input: one byte for the output size, then the format text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "correlators/keldToolkit.h"
#include "fuzzSupport.h"
#include "kelRecord.h"
#include "platform/kelLib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  size_t outSize = data[0];
  std::string format(reinterpret_cast<const char *>(data + 1), size - 1);
  format = format.c_str();

  char *out = static_cast<char *>(malloc(outSize ? outSize : 1));
  if (VProb_ReduceFormat(format.c_str(), out, outSize) == 0 && strlen(out) >= outSize) abort();
  free(out);

  if (Fuzz_CountPercent(format) > FuzzSlots::kCount) return 0;
  static const std::vector<uint8_t> record = KelRecord_Build(
      "kel.fuzz.reduce", "%s %d %lu %s",
      {KelArg::Str("hba1"), KelArg::I32(-3), KelArg::U64(1ull << 40), KelArg::NullStr(),
       KelArg::U32(7), KelArg::F64(0.5)},
      1);
  unsigned char *copy = Fuzz_Copy(record.data(), record.size());
  Observation obs = nullptr;
  Kel_MakeKel(copy, static_cast<uint32_t>(record.size()), &obs);
  if (!obs) abort();
  FuzzSlots slots;
  GetObservationArgs(obs, format.c_str(), FUZZ_SLOT_ARGS(slots));
  Kel_Free(obs);
  return 0;
}
