// The correlators' toolkit beside rows and throttles: reading an
// observation's arguments by a message format, and the datastore (volume)
// that a path lies on. Any thread may call these at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "intake/keldStatus.h"
#include "platform/kelLib.h"

// Fills the pointers that follow `format` with the observation's arguments,
// by the conversions of `format` (a message format; "%s" yields a const char*
// into the observation). 0; KELD_ERR_INVALID for a conversion it does not accept; else the
// status of Kel_GetArgsVA.
uint32_t GetObservationArgs(Observation obs, const char *format, ...);
// The reduction GetObservationArgs applies: a conversion-only format
// ("%s" -> "%p", "%X" -> "%x", flags/width/precision dropped). 0 or KELD_ERR_INVALID.
uint32_t VProb_ReduceFormat(const char *format, char *out, size_t outSize);
// The datastore (volume) that a path under "/glfs/volumes/" lies on:
// "(invalid)" outside that directory, "(unknown)" when no mounted file system
// bears the name or the list of them cannot be read (logged once until it can
// be read again). The returned text lives until the next call on this thread.
const char *DatastoreForPath(const char *path);
