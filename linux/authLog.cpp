#include "authLog.h"

#include <cstring>

namespace {

constexpr size_t kMaxLogins = 4096;

// The next blank-separated word at *pos; advances past it and its blanks.
std::string Word(const std::string &text, size_t *pos) {
  size_t start = text.find_first_not_of(' ', *pos);
  if (start == std::string::npos) {
    *pos = text.size();
    return {};
  }
  size_t end = text.find(' ', start);
  if (end == std::string::npos) end = text.size();
  *pos = end;
  return text.substr(start, end - start);
}

bool Digits(const std::string &text) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "METHOD for [invalid user ]USER from HOST port N": the user and host.
bool ForUserFrom(const std::string &text, std::string *user, std::string *host) {
  size_t pos = 0;
  std::string method = Word(text, &pos);
  if (method.empty() || Word(text, &pos) != "for") return false;
  size_t before = pos;
  if (Word(text, &pos) == "invalid" && Word(text, &pos) == "user") {
    // "invalid user NAME"
  } else {
    pos = before;
  }
  *user = Word(text, &pos);
  if (user->empty() || Word(text, &pos) != "from") return false;
  *host = Word(text, &pos);
  return !host->empty();
}

}  // namespace

std::optional<SyslogLine> Syslog_ParseLine(const std::string &raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t pos = 0;
  std::string first = Word(line, &pos);
  if (first.empty()) return std::nullopt;
  if (!(first[0] >= '0' && first[0] <= '9')) {
    // "Mon DD HH:MM:SS": two more words of time.
    Word(line, &pos);
    Word(line, &pos);
  }
  std::string host = Word(line, &pos);
  if (host.empty() || pos >= line.size()) return std::nullopt;
  size_t tagStart = line.find_first_not_of(' ', pos);
  if (tagStart == std::string::npos) return std::nullopt;
  size_t colon = line.find(": ", tagStart);
  if (colon == std::string::npos) return std::nullopt;
  std::string tag = line.substr(tagStart, colon - tagStart);
  if (tag.empty() || tag.find(' ') != std::string::npos) return std::nullopt;
  SyslogLine out;
  size_t bracket = tag.find('[');
  if (bracket != std::string::npos) {
    if (tag.back() != ']') return std::nullopt;
    std::string pid = tag.substr(bracket + 1, tag.size() - bracket - 2);
    if (!Digits(pid)) return std::nullopt;
    out.pid = std::stoll(pid);
    tag.resize(bracket);
  }
  out.program = tag;
  out.message = line.substr(colon + 2);
  return out;
}

void JournalExportReader::Feed(const char *data, size_t size, std::vector<SyslogLine> *out) {
  buffer_.append(data, size);
  while (ParseOne(out)) {
  }
}

void JournalExportReader::EndEntry(std::vector<SyslogLine> *out) {
  auto message = entry_.find("MESSAGE");
  if (message != entry_.end()) {
    SyslogLine line;
    auto id = entry_.find("SYSLOG_IDENTIFIER");
    line.program = id != entry_.end() ? id->second : entry_["_COMM"];
    auto pid = entry_.find("_PID");
    if (pid == entry_.end()) pid = entry_.find("SYSLOG_PID");
    if (pid != entry_.end() && Digits(pid->second)) line.pid = std::stoll(pid->second);
    line.message = message->second;
    out->push_back(std::move(line));
  }
  entry_.clear();
}

bool JournalExportReader::ParseOne(std::vector<SyslogLine> *out) {
  if (skip_ > 0) {
    size_t n = skip_ < buffer_.size() ? skip_ : buffer_.size();
    buffer_.erase(0, n);
    skip_ -= n;
    if (skip_ > 0) return false;
  }
  size_t newline = buffer_.find('\n');
  if (newline == std::string::npos) {
    // A name or text field without its end: bounded, then given up.
    if (buffer_.size() > kJournalMaxField + 256) {
      buffer_.clear();
      entry_.clear();
      resync_ = true;
    }
    return false;
  }
  if (newline == 0) {
    buffer_.erase(0, 1);
    if (resync_) entry_.clear();
    else EndEntry(out);
    resync_ = false;
    return true;
  }
  std::string head = buffer_.substr(0, newline);
  size_t eq = head.find('=');
  if (eq != std::string::npos) {
    buffer_.erase(0, newline + 1);
    if (!resync_ && head.size() <= kJournalMaxField) entry_[head.substr(0, eq)] = head.substr(eq + 1);
    return true;
  }
  // Binary field: NAME, newline, 8-byte length, data, newline.
  if (resync_) {
    buffer_.erase(0, newline + 1);
    return true;
  }
  if (buffer_.size() < newline + 1 + 8) return false;
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) {
    length = (length << 8) | static_cast<unsigned char>(buffer_[newline + 1 + static_cast<size_t>(i)]);
  }
  size_t dataStart = newline + 1 + 8;
  if (length > kJournalMaxField) {
    // Dropped unread; the trailing newline goes with it.
    buffer_.erase(0, dataStart);
    skip_ = static_cast<size_t>(length > SIZE_MAX - 1 ? SIZE_MAX - 1 : length) + 1;
    return true;
  }
  if (buffer_.size() < dataStart + length + 1) return false;
  if (buffer_[dataStart + length] != '\n') {
    buffer_.erase(0, dataStart);
    entry_.clear();
    resync_ = true;
    return true;
  }
  entry_[head] = buffer_.substr(dataStart, length);
  buffer_.erase(0, dataStart + length + 1);
  return true;
}

void SshSessions::Feed(const SyslogLine &line, std::vector<WatchObservation> *out) {
  // The server's own name, or its per-session process's ("sshd-session").
  if (line.program.compare(0, 4, "sshd") != 0) return;
  // A journal message may carry more lines; the server's own is the first.
  std::string message = line.message.substr(0, line.message.find('\n'));
  uint32_t repeat = 1;
  static const char kRepeated[] = "message repeated ";
  if (message.compare(0, sizeof kRepeated - 1, kRepeated) == 0) {
    size_t pos = sizeof kRepeated - 1;
    std::string count = Word(message, &pos);
    size_t open = message.find("[ ", pos);
    if (!Digits(count) || open == std::string::npos || message.back() != ']') return;
    uint64_t n = std::stoull(count);
    repeat = n < kAuthMaxRepeat ? static_cast<uint32_t>(n) : kAuthMaxRepeat;
    message = message.substr(open + 2, message.size() - open - 3);
    while (!message.empty() && message.back() == ' ') message.pop_back();
  }
  std::string user, host;
  if (message.compare(0, 9, "Accepted ") == 0 && ForUserFrom(message.substr(9), &user, &host)) {
    if (line.pid >= 0) {
      if (logins_.size() >= kMaxLogins) logins_.erase(logins_.begin());
      logins_[line.pid] = {user, host};
    }
    for (uint32_t i = 0; i < repeat; ++i) out->push_back(WatchObs_Ssh(SshKind::Opened, user, host));
    return;
  }
  if (message.compare(0, 7, "Failed ") == 0 && ForUserFrom(message.substr(7), &user, &host)) {
    for (uint32_t i = 0; i < repeat; ++i) out->push_back(WatchObs_Ssh(SshKind::Failed, user, host));
    return;
  }
  static const char kClosed[] = "session closed for user ";
  size_t closed = message.find(kClosed);
  if (message.compare(0, 9, "pam_unix(") == 0 && closed != std::string::npos) {
    size_t pos = closed + sizeof kClosed - 1;
    user = Word(message, &pos);
    if (user.empty()) return;
    host = "unknown";
    auto login = logins_.find(line.pid);
    if (login != logins_.end()) {
      if (login->second.first == user) host = login->second.second;
      logins_.erase(login);
    }
    out->push_back(WatchObs_Ssh(SshKind::Closed, user, host));
  }
}
