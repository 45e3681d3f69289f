// kelwatch's configuration file (examples/kelwatch.conf is the commented
// example). One setting per line, fields split as in the host model (blanks,
// double quotes around a field with blanks, '#' comments):
//
//   allow VERB [PATTERN...]      carry out keld's VERB (nic.down, page.retire,
//                                cpu.offline) for objects matching a pattern
//                                (shell wildcards; none: every object)
//   ignore-interface PATTERN...  interfaces whose carrier is not reported
//   context N                    kernel context for kernel observations (0..23)
//   clock-poll SECONDS           adjtimex() poll interval (0: not watched)
//   kernel-log PATH|off          default /dev/kmsg
//   auth-log auto|journal|off|PATH
//   core-dir PATH, core-max-bytes N   where kelcore keeps cores, and their cap
//   include PATH                 operator's host model records, appended
//   uuid, build, option, advoption, cpu, cpuoffline, pageretire, pagestatus,
//   vmgroup, vm    host model records, written after kelwatch's own
//
// Nothing in the file is required: without it kelwatch watches everything
// and changes nothing on the machine.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct WatchConfig {
  // Allowed action verbs -> object patterns (empty: any object).
  std::map<std::string, std::vector<std::string>> allow;
  std::vector<std::string> ignoreInterfaces{"lo"};
  uint32_t context = 0;
  uint32_t clockPollSeconds = 5;
  std::string kernelLog = "/dev/kmsg";
  std::string authLog = "auto";
  std::string coreDir;  // empty: R/var/lib/keld/cores
  uint64_t coreMaxBytes = 256ull << 20;
  std::string include;
  std::vector<std::string> hostModelLines;  // verbatim, in file order

  // True when `verb` on `object` may be carried out.
  bool Allows(const std::string &verb, const std::string &object) const;
  bool IgnoresInterface(const std::string &name) const;
};

// The default configuration file, R/etc/keld/kelwatch.conf.
std::string WatchConfig_DefaultPath();
// Reads the options kelwatch and kelcore share (--config FILE, --help) from
// the command line, leaving optind at the first operand. -1 to go on, or the
// exit status: 0 after printing `usage` for --help, 2 after printing it to
// stderr for an unknown option.
int WatchConfig_ParseOptions(int argc, char **argv, const char *usage, std::string *path, bool *isDefault);
// Parses a configuration text. False with "line N: reason" in *error.
bool WatchConfig_Parse(const std::string &text, WatchConfig *config, std::string *error);
// Reads and parses `path`. A missing file at the default path gives the
// defaults; any other missing or bad file is an error ("PATH: reason").
bool WatchConfig_Load(const std::string &path, bool isDefault, WatchConfig *config,
                      std::string *error);
