// Platform message-format library: capture of printf-style arguments into
// 32-byte argument records, rendering, and the position-independent
// ("swizzled") form in which arguments travel inside observation and event
// records.
//
// Swizzled block: `numArgs` MsgFmt_Arg records followed by the string bytes;
// every string pointer is replaced by its byte offset from the start of the
// block (0 for a null string). Readers must check every offset against the
// block's end before use. All functions are thread-safe (no shared state).
//
// A block may start at any byte address (inside a record it follows
// variable-length text): these functions read and write the records with
// memcpy, so they accept unaligned `args`; code that reads the fields itself
// must do the same or work on an aligned copy.
//
// Captured types: %d %i %c and %u %o %x %X without a length modifier or with
// h/hh -> INT32 (the promoted int; h/hh narrow when rendering); with l, ll,
// z, j, t -> INT64; %p -> PTR64; %f %e %g %a (also L) -> FLOAT64; %s ->
// STRING8 (a null pointer is kept as a null string); %ls -> STRING32; a '*'
// width or precision -> one INT32 record before the value. Refused: %n,
// positional arguments, unknown conversions, widths or precisions above 4096.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum MsgFmt_ArgType : int32_t {
  MSGFMT_ARG_INVALID = 0,
  MSGFMT_ARG_INT32 = 1,
  MSGFMT_ARG_INT64 = 2,
  MSGFMT_ARG_PTR32 = 3,
  MSGFMT_ARG_PTR64 = 4,
  MSGFMT_ARG_FLOAT64 = 5,
  MSGFMT_ARG_STRING8 = 6,
  MSGFMT_ARG_STRING16 = 7,
  MSGFMT_ARG_STRING32 = 8,
};

// One argument: type code at offset 0, value or string offset at offset 8.
struct MsgFmt_Arg {
  int32_t type;
  int32_t pad;
  union {
    int32_t signed32;
    int64_t signed64;
    uint32_t unsigned32;
    uint64_t unsigned64;
    double float64;
    const char *string8;
    uint64_t offset;  // swizzled string: offset from the start of the block
  } v;
  uint64_t reserved[2];
};
static_assert(sizeof(MsgFmt_Arg) == 32, "argument records are 32 bytes");

// Captures the arguments that `format`'s conversions consume from `va` into
// `buf` (argument records first, then copies of the strings). On entry
// *bufSize is the room in `buf`; on success it is the number of bytes used,
// *args points to the records inside `buf` and *numArgs is their count.
// Returns false (and may set *error to a static text) on a bad format or when
// the buffer is too small; nothing outside `buf` is written.
bool MsgFmt_GetArgsWithBuf(const char *format, va_list va, MsgFmt_Arg **args,
                           int *numArgs, const char **error, void *buf,
                           size_t *bufSize);
// Renders `format` with unswizzled `args`. Returns a malloc'd string (null on
// a format that does not match the arguments or no memory); *length (may be
// null) receives its length. "%s" with a null string renders "(null)".
// Matching: integer conversions (and %p, %c, '*') take any integer or pointer
// record and narrow it as the conversion says; floats take FLOAT64; %s takes
// STRING8 and %ls STRING32. A missing argument, any other pairing or a
// refused conversion gives null; arguments left over are ignored.
char *MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args,
                      int numArgs);
// MsgFmt_Asprintf that stops the text at `limit` bytes (terminator not
// counted); *truncated (may be null) tells whether anything was cut. The rest
// of the format is still matched against the arguments, so the result is null
// exactly when MsgFmt_Asprintf's would be. The work is linear in the format,
// the number of arguments and `limit`, however long the full text would be.
char *MsgFmt_Asnprintf(size_t *length, size_t limit, bool *truncated, const char *format,
                       const MsgFmt_Arg *args, int numArgs);
// Rewrites every string pointer as an offset from `args` (the block start).
void MsgFmt_SwizzleArgs(MsgFmt_Arg *args, int numArgs);
// Reverses MsgFmt_SwizzleArgs in place after checking every string lies wholly
// (NUL included) between the end of the records and `bufEnd`. False, with
// nothing changed, when any does not.
bool MsgFmt_UnswizzleArgs(MsgFmt_Arg *args, int numArgs, const void *bufEnd);
// Every record of a swizzled block whose bytes end at `bufEnd`, copied to the
// aligned array `out` (room for `numArgs`) with each string offset replaced by
// its pointer (null for a null string). True when every record and every
// string lies wholly inside the bound; false, `out` unspecified, otherwise.
// One pass over the block, however many arguments share one text.
bool MsgFmt_ResolveArgs(const MsgFmt_Arg *args, int numArgs, const void *bufEnd, MsgFmt_Arg *out);
// String argument `index` of a swizzled block whose bytes end at `bufEnd`.
// 0 and the text (null for a null string) when the text lies wholly inside the
// bound; non-zero when the index, the type or the offset is bad.
int MsgFmt_GetSwizzledString(const MsgFmt_Arg *args, int numArgs, int index,
                             const void *bufEnd, const char **str);
