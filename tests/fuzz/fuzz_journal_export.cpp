// The journal export reader on arbitrary bytes, fed in chunks whose size the
// first byte chooses (entries split anywhere must read the same), then
// through the SSH session table.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "authLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 262144) return 0;
  size_t chunk = data[0] % 64 + 1;
  const char *bytes = reinterpret_cast<const char *>(data + 1);
  size_t length = size - 1;
  JournalExportReader whole, pieces;
  std::vector<SyslogLine> a, b;
  whole.Feed(bytes, length, &a);
  for (size_t pos = 0; pos < length; pos += chunk) pieces.Feed(bytes + pos, std::min(chunk, length - pos), &b);
  if (a.size() != b.size()) abort();
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].message != b[i].message || a[i].pid != b[i].pid || a[i].program != b[i].program) abort();
    if (a[i].message.size() > kJournalMaxField) abort();
  }
  SshSessions sessions;
  std::vector<WatchObservation> obs;
  for (const SyslogLine &line : a) sessions.Feed(line, &obs);
  return 0;
}
