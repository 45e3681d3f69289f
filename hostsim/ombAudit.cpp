// The audit log of the stand-in host: every record becomes one line of the
// actions journal, `audit EVENT USER "TEXT" N`. No state of its own.
#include "platform/ombAudit.h"

#include <cerrno>
#include <string>

#include "actionsJournal.h"
#include "hostModel.h"

int32_t OmbAudit_Log(const char *event, const char *user, const char *text, int32_t value) {
  if (HostModel_Current()->Fails("audit")) return EIO;
  auto orEmpty = [](const char *s) { return std::string(s ? s : ""); };
  ActionsJournal_Append("audit " + ActionsJournal_Field(orEmpty(event)) + " " +
                        ActionsJournal_Field(orEmpty(user)) + " " +
                        ActionsJournal_Quoted(orEmpty(text)) + " " + std::to_string(value));
  return 0;
}
