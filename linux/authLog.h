// SSH sessions from the authentication log or the system journal.
//
// Both sources come down to (program, pid, message): a syslog line names
// them as "TIME HOST PROGRAM[PID]: MESSAGE" (TIME in the traditional
// "Mon DD HH:MM:SS" form or RFC 3339), a journal entry as the fields
// SYSLOG_IDENTIFIER, _PID and MESSAGE of the export format that journalctl
// writes. The SSH server's messages then give:
//
//   "Accepted METHOD for USER from HOST port N ..."       -> session opened
//   "Failed METHOD for [invalid user ]USER from HOST ..." -> login failed
//   "pam_unix(sshd:session): session closed for user USER" -> session closed
//
// The close names no host: the host of the same server process's accepted
// login is used ("unknown" when kelwatch did not see it). A message that the
// log daemon folded ("message repeated N times: [ ... ]") counts N times, at
// most kAuthMaxRepeat. Everything else is ignored. Single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "watchObservation.h"

constexpr uint32_t kAuthMaxRepeat = 16;

struct SyslogLine {
  std::string program;
  int64_t pid = -1;  // -1 when the line has none
  std::string message;
};
// Splits one traditional or RFC 3339 syslog line; nullopt when it has no
// "PROGRAM[PID]: " or "PROGRAM: " after the time and host.
std::optional<SyslogLine> Syslog_ParseLine(const std::string &line);

// Reads journalctl's export format incrementally: entries are blocks of
// fields separated by an empty line; a field is "NAME=VALUE\n", or "NAME\n"
// then its length as 64-bit little-endian, the bytes and "\n". Fields longer
// than kJournalMaxField are skipped; input that breaks the format makes the
// reader drop bytes up to the next empty line.
constexpr size_t kJournalMaxField = size_t{64} * 1024;
class JournalExportReader {
 public:
  // Appends the bytes and moves every complete entry to *out.
  void Feed(const char *data, size_t size, std::vector<SyslogLine> *out);

 private:
  bool ParseOne(std::vector<SyslogLine> *out);  // false: more bytes needed
  void EndEntry(std::vector<SyslogLine> *out);
  std::string buffer_;
  size_t skip_ = 0;  // bytes of an oversized binary field still to drop
  std::map<std::string, std::string> entry_;
  bool resync_ = false;
};

// Turns the SSH server's messages into observations.
class SshSessions {
 public:
  // Appends what the message means to *out; messages of other programs are
  // ignored.
  void Feed(const SyslogLine &line, std::vector<WatchObservation> *out);

 private:
  // Server process -> (user, host) of its accepted login; bounded.
  std::map<int64_t, std::pair<std::string, std::string>> logins_;
};
