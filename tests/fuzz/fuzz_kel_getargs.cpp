// Kel_GetArgs with an arbitrary conversion-only format on a well-formed
// observation whose arguments the input chooses. Input: one byte for the
// first argument index, one byte for the number of arguments, then per
// argument a kind byte and its value, then the format text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzSupport.h"
#include "kelRecord.h"
#include "platform/kelLib.h"

namespace {

KelArg TakeArg(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: return KelArg::Str(in.ConsumeRandomLengthString(32));
    case 1: return KelArg::NullStr();
    case 2: return KelArg::I32(in.ConsumeIntegral<int32_t>());
    case 3: return KelArg::U32(in.ConsumeIntegral<uint32_t>());
    case 4: return KelArg::I64(in.ConsumeIntegral<int64_t>());
    case 5: return KelArg::U64(in.ConsumeIntegral<uint64_t>());
    default: return KelArg::F64(in.ConsumeFloatingPoint<double>());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  FuzzedDataProvider in(data, size);
  uint32_t first = in.ConsumeIntegralInRange<uint32_t>(0, 20);
  size_t numArgs = in.ConsumeIntegralInRange<size_t>(0, 20);
  std::vector<KelArg> args;
  for (size_t i = 0; i < numArgs; ++i) args.push_back(TakeArg(in));
  std::string format = in.ConsumeRemainingBytesAsString();
  format = format.c_str();  // up to the first NUL, as a C caller would see it
  if (Fuzz_CountPercent(format) > FuzzSlots::kCount) return 0;

  std::vector<uint8_t> record = KelRecord_Build("kel.fuzz.args", "f", args, 1);
  unsigned char *copy = Fuzz_Copy(record.data(), record.size());
  Observation obs = nullptr;
  Kel_MakeKel(copy, static_cast<uint32_t>(record.size()), &obs);
  if (!obs) abort();  // the builder's records are always valid
  FuzzSlots slots;
  Kel_GetArgs(obs, first, format.c_str(), FUZZ_SLOT_ARGS(slots));
  Kel_Free(obs);
  return 0;
}
