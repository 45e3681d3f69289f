// Platform observation library: kernel and user-level observation contexts,
// and the read-only accessors of one observation.
//
// Statuses are 32-bit; 0 is success. Every accessor bounds-checks the record
// it reads; an Observation never exposes bytes outside its own record.
// Thread safety: contexts are used by one thread (the intake); an Observation
// belongs to the thread that holds it. Nothing here keeps global mutable state
// apart from the open contexts themselves.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Record layout (little-endian): 32-byte header, identifier area, message
// format area, argument block (the message-format library's swizzled array).
enum : uint32_t {
  KEL_RECORD_HEADER_SIZE = 32,
  KEL_RECORD_OFF_HEADER_WORD = 0,
  KEL_RECORD_OFF_TIMESTAMP = 8,
  KEL_RECORD_OFF_TOTAL_LENGTH = 16,
  KEL_RECORD_OFF_NUM_ARGS = 20,
  KEL_RECORD_OFF_ID_LENGTH = 24,
  KEL_RECORD_OFF_FMT_LENGTH = 28,
  KEL_NUM_KERNEL_CONTEXTS = 24,
  KEL_USER_CONTEXT_ID = 24,
};

// Status returned by KelLib_ReadFromFd when the next record does not fit the
// caller's buffer (the errno value EFBIG).
enum : uint32_t { KELLIB_STATUS_TOO_BIG = 27 };

// A message on a user connection larger than this is dropped as malformed by
// KelLib_ReadFromFd (no reader's buffer grows beyond it), so that one such
// message cannot make every read of the connection fail with 27. Kernel
// contexts still answer 27 for it; the reader resets the context.
enum : uint32_t { KELLIB_MAX_USER_RECORD = 131072 };

struct KelLibContext;
typedef KelLibContext *KelLib_Handle;

struct KelObservation;
typedef KelObservation *Observation;

// --- Contexts (main thread) ---------------------------------------------------

// Opens kernel context `id` (0..23): a datagram socket bound at
// R/dev/kel/ctx<id>. 0 on success, an errno value otherwise.
uint32_t KelLib_AsyncContextOpen(uint32_t id, KelLib_Handle *handleOut);
// Opens the user-level context (id 24): a seqpacket listener at
// R/var/run/ombrel/kel-user.sock.
uint32_t KelLib_UserContextOpen(uint32_t id, KelLib_Handle *handleOut);
uint32_t KelLib_HandleToFd(KelLib_Handle handle, int *fdOut);
// A printable name ("ctx5", "user"); the string lives as long as the handle.
uint32_t KelLib_HandleToName(KelLib_Handle handle, const char **nameOut);
// Accepts one user connection; 0 and the new descriptor, else an errno value.
uint32_t KelLib_UserContextNewCnx(KelLib_Handle userHandle, int *fdOut);
// Closes one user connection; 0, or a negative value on failure.
int32_t KelLib_UserContextCloseCnx(int fd);
// Reads the waiting whole records on `fd` into `buffer` (back to back) and
// stores their total size in *countOut. Never splits a record; returns 27 when
// the next record does not fit in `size` and nothing was read in this call
// (nothing consumed); when records were read already, it returns 0 with them
// and leaves the big one for the next call. Malformed records are dropped
// (logged to the system log the first time and every 1000th time per
// descriptor) and reading goes on. A descriptor with nothing waiting yields 0
// with *countOut 0 (also when everything waiting was dropped). The peer's end
// of file on a user connection (it closed the connection or shut down its
// sending side) yields ECONNRESET once nothing is left to read, on every read
// from then on; an empty message is dropped as malformed. Other socket errors
// are returned as their errno value. Never blocks.
uint32_t KelLib_ReadFromFd(int fd, void *buffer, uint32_t size, uint32_t *countOut);
// True when kernel context `handle` holds records that it has received but
// not yet handed out (a read's buffer was full), or has received a datagram
// too big for any reader (the next read returns 27). Its descriptor need not
// be readable then: read it again before waiting on it.
bool KelLib_HasPending(KelLib_Handle handle);
// Discards what a kernel context holds. 0 on success.
uint32_t KelLib_Reset(KelLib_Handle handle);
// Closes a context and frees the handle. 0 on success.
uint32_t KelLib_Close(KelLib_Handle handle);

// --- One observation (any thread, owner only) -----------------------------------

// Builds an Observation from one record of `length` bytes at `buffer`, which
// must come from malloc. On success *obsOut owns the buffer (freed by
// Kel_Free); on a malformed record *obsOut is null and the caller keeps it.
void Kel_MakeKel(void *buffer, uint32_t length, Observation *obsOut);
void Kel_Free(Observation obs);
// The identifier; lives as long as the Observation.
uint32_t Kel_GetID(Observation obs, const char **idOut);
// The message rendered with the arguments, as a new heap string (free()).
// *lengthOut (may be null) receives its length. When the format and the
// arguments do not agree (a conversion without an argument, or with one of
// another kind), the status is EINVAL and *msgOut is null.
uint32_t Kel_GetMsg(Observation obs, char **msgOut, size_t *lengthOut);
// Kel_GetMsg with the text stopped at `limit` bytes; *truncatedOut (may be
// null) tells whether it was cut. Linear in the record's size and `limit`,
// however long the full text would be.
uint32_t Kel_GetMsgBounded(Observation obs, size_t limit, char **msgOut, size_t *lengthOut,
                           bool *truncatedOut);
uint32_t Kel_GetTimestamp(Observation obs, uint64_t *tsOut);
// The message format text; lives as long as the Observation.
uint32_t Kel_GetFormat(Observation obs, const char **fmtOut);
uint32_t Kel_GetNumArgs(Observation obs, uint32_t *numOut);
// String argument `index`: 0 and a pointer into the observation (null for a
// null string); EOVERFLOW (75) when the observation has no argument `index`,
// another non-zero status when it is not a string.
uint32_t Kel_GetStringArg(Observation obs, uint32_t index, const char **strOut);
// Integer argument `index` widened to 64 bits: 32-bit integers are sign
// extended (the record does not tell a 32-bit unsigned value from a signed
// one; a caller that wants it unsigned takes the low 32 bits), pointers zero
// extended. Non-zero when absent or not an integer or pointer.
uint32_t Kel_GetIntArg(Observation obs, uint32_t index, int64_t *valueOut);
// Reads consecutive arguments from `first` on, one per conversion of a
// conversion-only format: "%p" (or "%s") -> const char** (string inside the
// observation, null for a null string), "%d" "%i" "%u" "%x" "%o" -> 32-bit,
// "%ld" "%lu" "%lx" (also ll, z, j, t) -> 64-bit, "%hx" "%hu" "%hd" -> 16-bit,
// "%hhx" "%hhu" "%hhd" and "%c" -> 8-bit, "%f" -> double*. Integer conversions
// accept any integer or pointer argument and store its low bytes (narrowing is
// the caller's choice). Text, flags, widths and precisions are ignored; "%%"
// reads nothing. A missing argument, a type mismatch or a conversion outside
// this list (including '*') is EINVAL (earlier outputs may have been written).
uint32_t Kel_GetArgs(Observation obs, uint32_t first, const char *format, ...);
uint32_t Kel_GetArgsVA(Observation obs, uint32_t first, const char *format, va_list args);
// True when `str` is the observation ID `id` (both non-null and equal).
bool Kel_IsID(const char *str, const char *id);
