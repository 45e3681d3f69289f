// The decoder of event records on arbitrary bytes, and what the tools that
// play hubd do with a record that decodes: hubdsink's JSON line (with the
// catalog's message) and hubd-alertmanager's alerts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "amBridge.h"
#include "eventCatalog.h"
#include "fuzzSupport.h"
#include "vprobRecordReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  unsigned char *copy = Fuzz_Copy(data, size);
  VProbRecordDecoded decoded;
  std::string error;
  if (!VProbRecord_Decode(copy, size, &decoded, &error)) {
    if (error.empty()) abort();
  } else {
    static AlertBridge bridge(BridgeOptions{"fuzz", 60, true, 64});
    std::string line = Catalog_Dump(Catalog_EventJson(decoded)), note;
    for (const Json &alert : bridge.Handle(decoded, 1, &note)) line += Catalog_Dump(alert);
    bridge.Refresh(2);
  }
  free(copy);
  return 0;
}
