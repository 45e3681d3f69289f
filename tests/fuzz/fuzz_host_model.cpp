// The host model file parser on arbitrary text, and its field splitter and
// integer readers on each line.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "hostModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> errors;
  HostModel model = HostModel_Parse(text, &errors);
  (void)model.Fails("portgroup", {"VM Network"});
  (void)model.Fails("uuid");

  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    if (!HostModel_SplitFields(line, &fields)) continue;
    for (const std::string &f : fields) {
      int64_t s;
      uint64_t u;
      HostModel_ParseInt64(f, &s);
      HostModel_ParseUint64(f, &u);
    }
  }
  return 0;
}
