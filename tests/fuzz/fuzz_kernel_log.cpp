// The kernel log reader on arbitrary records: each line of the input is one
// /dev/kmsg record (a "\n " inside keeps continuation lines), or, when its
// header does not parse, a bare message.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernelLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  MachineCheckReader reader;
  std::vector<MachineCheck> found;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    while (end != std::string::npos && end + 1 < text.size() && text[end + 1] == ' ') {
      end = text.find('\n', end + 1);
    }
    std::string record = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    auto parsed = Kmsg_ParseRecord(record);
    reader.Feed(parsed ? parsed->text : record, &found);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  reader.Flush(&found);
  for (const MachineCheck &mc : found) {
    // A corrected memory-controller error always carries a page-aligned
    // page number that fits, and an offset inside the page.
    if (mc.status == kEdacCorrectedStatus && mc.addr >> 12 > (UINT64_MAX >> 12)) abort();
  }
  return 0;
}
