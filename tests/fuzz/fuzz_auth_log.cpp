// The authentication log reader on arbitrary lines, through one session
// table, as kelwatch reads a followed log.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "authLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
  SshSessions sessions;
  std::vector<WatchObservation> obs;
  std::string line;
  while (std::getline(in, line)) {
    auto parsed = Syslog_ParseLine(line);
    if (parsed) sessions.Feed(*parsed, &obs);
  }
  for (const WatchObservation &o : obs) {
    if (o.args.size() != 2 || o.args[0].s.empty() || o.args[1].s.empty()) abort();
  }
  return 0;
}
