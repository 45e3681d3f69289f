// The observation scenario parser on arbitrary text; every line it accepts
// is then built into a record, as kelinject does.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelScenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<KelScenarioLine> lines;
  std::string error;
  if (!KelScenario_Parse(text, &lines, &error)) {
    if (error.empty()) abort();  // a refusal always says why
    return 0;
  }
  for (const KelScenarioLine &l : lines) {
    try {
      KelRecord_Build(l.id, l.format, l.args, 0);
    } catch (const std::length_error &) {
    }
  }
  return 0;
}
