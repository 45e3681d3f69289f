// The event-stamp call of the stand-in host: the event time is the wall clock
// of the clock module. No state of its own.
#include "platform/eventStamp.h"

#include <cerrno>

#include "hostModel.h"
#include "platform/clock.h"

int32_t EventStamp_Call(void *record) {
  if (record == nullptr) return -EFAULT;
  if (HostModel_Current()->Fails("stamp")) return -ENOSYS;
  uint64_t now = Clock_NowMicros();
  unsigned char *bytes = static_cast<unsigned char *>(record);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(now >> (8 * i));
  return 0;
}
