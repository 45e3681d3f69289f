// Appending to the actions journal. The descriptor is opened for every line,
// so a change of $KELD_ROOT between tests is honoured; the mutex only keeps
// one line's open/write/close together within this process (O_APPEND makes
// the write itself atomic against other processes). The mutex also guards
// the observer, its context and whether it replaces the file, and the flag that keeps a journal that
// cannot be opened to one message on stderr.
#include "actionsJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/simRoot.h"

namespace {

const char kJournalPath[] = "/var/log/hostsim-actions.log";
std::mutex gJournalLock;
void (*gObserver)(void *ctx, const std::string &written) = nullptr;
void *gObserverCtx = nullptr;
bool gObserverOnly = false;  // the observer instead of the file
bool gOpenFailureReported = false;  // guarded by gJournalLock

bool NeedsQuotes(const std::string &text) {
  if (text.empty()) return true;
  for (unsigned char c : text) {
    if (c <= ' ' || c == '"' || c == '\\' || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

std::string ActionsJournal_Path(void) { return SimRoot_Path(kJournalPath); }

std::string ActionsJournal_Quoted(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < ' ' || c == 0x7f) {
          char hex[5];
          snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string ActionsJournal_Field(const std::string &text) {
  return NeedsQuotes(text) ? ActionsJournal_Quoted(text) : text;
}

void ActionsJournal_Append(const std::string &line) {
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%" PRId64 " ", Clock_NowSeconds());
  std::string whole = stamp + line + "\n";

  std::lock_guard<std::mutex> hold(gJournalLock);
  if (gObserver != nullptr && gObserverOnly) {
    gObserver(gObserverCtx, whole);
    return;
  }
  // The directory is made when the journal cannot be opened without it, not
  // for every line.
  std::string path = ActionsJournal_Path();
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    SimRoot_MakeParents(kJournalPath);
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    // Said once on stderr until an open works again; the caller goes on.
    if (!gOpenFailureReported) {
      fprintf(stderr, "hostsim: cannot open the actions journal %s: %s; actions are not journaled\n", path.c_str(),
              strerror(errno));
      gOpenFailureReported = true;
    }
    return;
  }
  gOpenFailureReported = false;
  ssize_t written = write(fd, whole.data(), whole.size());
  close(fd);
  if (gObserver != nullptr && written == static_cast<ssize_t>(whole.size())) gObserver(gObserverCtx, whole);
}

void ActionsJournal_SetObserver(void (*observer)(void *ctx, const std::string &written), void *ctx, bool only) {
  std::lock_guard<std::mutex> hold(gJournalLock);
  gObserver = observer;
  gObserverCtx = ctx;
  gObserverOnly = only;
}
