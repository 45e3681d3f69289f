// The rtnetlink message walk on arbitrary bytes, then the link tracker on
// whatever links it reports.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "linkTracker.h"
#include "rtnl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  // A copy that ends where the input ends, aligned as a receive buffer is.
  std::vector<uint64_t> buffer(size / 8 + 1);
  memcpy(buffer.data(), data, size);
  WatchConfig config;
  LinkTracker tracker(config);
  std::vector<WatchObservation> obs;
  Rtnl_ParseMessages(
      buffer.data(), size, [&](const LinkInfo &link) { tracker.Update(link, &obs); },
      [&](int index) { tracker.Remove(index); });
  for (const WatchObservation &o : obs) {
    if (o.args.empty() || o.args[0].s.empty()) abort();
  }
  return 0;
}
