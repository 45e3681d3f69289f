// Machine checks and corrected memory errors from the kernel log.
//
// /dev/kmsg gives one record per read: "PRI,SEQ,USEC,FLAGS[,...];TEXT" and
// optional continuation lines (" KEY=VALUE") that are ignored here. Two kinds
// of text matter:
//
// - the machine-check driver's report, several lines that all carry
//   "[Hardware Error]: " (with or without a "mce: " prefix, depending on the
//   kernel version): "CPU N: Machine Check[ Exception]: MCGSTATUS Bank B:
//   STATUS" opens a record, "... ADDR A ... MISC M ..." adds the address and
//   the misc word, "PROCESSOR ..." closes it (other lines are ignored);
// - the memory controller drivers' corrected-error lines, "EDAC MCn: [COUNT]
//   CE ... page:0xP offset:0xO ..." (or the older "CE page 0xP, offset 0xO,
//   ..."): each corrected error becomes one machine-check record on that
//   address, with a status word that says "memory controller read error,
//   address valid", so that keld counts it against the page but never
//   against a CPU's caches.
//
// All input is untrusted: an unparsable line is ignored, numbers that do not
// fit are rejected, and nothing is kept from a line beyond the record it
// builds. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "watchObservation.h"

struct KmsgRecord {
  uint32_t priority = 0;  // facility * 8 + level
  uint64_t sequence = 0;
  uint64_t timeUs = 0;    // since boot
  std::string text;       // the message, continuation lines removed
};
// Parses one /dev/kmsg record; nullopt when the header is malformed.
std::optional<KmsgRecord> Kmsg_ParseRecord(const std::string &record);

// Status word given to a corrected memory-controller error: valid, address
// valid, MCA error code 0x0090 (memory controller, read, channel 0).
constexpr uint64_t kEdacCorrectedStatus = 0x8400000000000090ull;
// At most this many records are made from one EDAC line, whatever COUNT says.
constexpr uint32_t kEdacMaxPerLine = 16;

class MachineCheckReader {
 public:
  // Takes one kernel log message (the text of a record, or a line as dmesg
  // prints it without its time prefix) and appends the records it completes
  // to *out.
  void Feed(const std::string &text, std::vector<MachineCheck> *out);
  // Ends a machine-check report that was opened and never closed (called
  // when the log has been quiet for a while, and at exit).
  void Flush(std::vector<MachineCheck> *out);

 private:
  std::optional<MachineCheck> open_;
};
