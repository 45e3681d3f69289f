// Message-format library: capture of printf-style arguments into argument
// records, rendering of a format with captured arguments, and the swizzled
// (position-independent) form. No shared state.
//
// Argument records are read and written byte-wise (see msgFmtInternal.h):
// callers may place a block at any byte offset of their buffers.
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "msgFmtInternal.h"
#include "platform/msgFmt.h"

namespace msgfmt {

namespace {

// Reads a decimal width or precision; false when it exceeds kMaxWidth.
bool ReadNumber(const char *&p, int *value) {
  int n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p - '0');
    if (n > kMaxWidth) return false;
    ++p;
  }
  *value = n;
  return true;
}

// Conversion letters (a parsed conversion's letter is never NUL).
bool IsIntegerConv(char c) {
  switch (c) {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X': return true;
    default: return false;
  }
}
bool IsFloatConv(char c) {
  switch (c) {
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': return true;
    default: return false;
  }
}

// Which length modifiers each conversion accepts.
bool LengthAllowed(const Conversion &s) {
  if (IsIntegerConv(s.letter)) return true;
  if (IsFloatConv(s.letter)) return s.len == Len::None || s.len == Len::l || s.len == Len::L;
  if (s.letter == 's' || s.letter == 'c') return s.len == Len::None || s.len == Len::l;
  return s.len == Len::None;  // 'p'
}

size_t StringUnit(int32_t type) {
  return type == MSGFMT_ARG_STRING32 ? 4 : type == MSGFMT_ARG_STRING16 ? 2 : 1;
}

}  // namespace

const char *ParseConversion(const char *p, Conversion *cv) {
  *cv = Conversion();
  ++p;  // the '%'
  if (*p == '%') {
    cv->letter = '%';
    return p + 1;
  }
  for (;; ++p) {
    if (*p == '-') cv->minus = true;
    else if (*p == '+') cv->plus = true;
    else if (*p == ' ') cv->space = true;
    else if (*p == '#') cv->hash = true;
    else if (*p == '0') cv->zero = true;
    else break;
  }
  if (*p == '*') {
    cv->hasWidth = cv->widthStar = true;
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    cv->hasWidth = true;
    if (!ReadNumber(p, &cv->width)) return nullptr;
  }
  if (*p == '.') {
    ++p;
    cv->hasPrecision = true;
    if (*p == '*') {
      cv->precisionStar = true;
      ++p;
    } else if (!ReadNumber(p, &cv->precision)) {
      return nullptr;
    }
  }
  switch (*p) {
    case 'h':
      cv->len = p[1] == 'h' ? Len::hh : Len::h;
      p += cv->len == Len::hh ? 2 : 1;
      break;
    case 'l':
      cv->len = p[1] == 'l' ? Len::ll : Len::l;
      p += cv->len == Len::ll ? 2 : 1;
      break;
    case 'z': cv->len = Len::z; ++p; break;
    case 'j': cv->len = Len::j; ++p; break;
    case 't': cv->len = Len::t; ++p; break;
    case 'L': cv->len = Len::L; ++p; break;
    default: break;
  }
  if (!IsIntegerConv(*p) && !IsFloatConv(*p) && *p != 'c' && *p != 's' && *p != 'p') return nullptr;
  cv->letter = *p;
  if (!LengthAllowed(*cv)) return nullptr;
  return p + 1;
}

int32_t ValueType(const Conversion &cv) {
  char c = cv.letter;
  if (c == '%') return MSGFMT_ARG_INVALID;
  if (c == 'c') return MSGFMT_ARG_INT32;
  if (c == 'p') return MSGFMT_ARG_PTR64;
  if (c == 's') return cv.len == Len::l ? MSGFMT_ARG_STRING32 : MSGFMT_ARG_STRING8;
  if (IsFloatConv(c)) return MSGFMT_ARG_FLOAT64;
  bool narrow = cv.len == Len::None || cv.len == Len::h || cv.len == Len::hh;
  return narrow ? MSGFMT_ARG_INT32 : MSGFMT_ARG_INT64;
}

bool SwizzledStringAt(const unsigned char *block, size_t blockLen, size_t numArgs,
                      const MsgFmt_Arg &arg, const char **str) {
  uint64_t offset = arg.v.offset;
  if (offset == 0) {
    *str = nullptr;
    return true;
  }
  // Strings lie after the records; compare in 64 bits before any pointer math.
  if (numArgs > blockLen / sizeof(MsgFmt_Arg)) return false;
  if (offset < numArgs * sizeof(MsgFmt_Arg) || offset >= blockLen) return false;
  size_t unit = StringUnit(arg.type);
  size_t start = static_cast<size_t>(offset);
  if (unit == 1) {
    // The common case: one search for the terminating NUL.
    if (memchr(block + start, 0, blockLen - start) == nullptr) return false;
    *str = reinterpret_cast<const char *>(block + offset);
    return true;
  }
  static const unsigned char zeros[4] = {0, 0, 0, 0};
  for (size_t pos = start; blockLen - pos >= unit; pos += unit) {
    if (memcmp(block + pos, zeros, unit) == 0) {
      *str = reinterpret_cast<const char *>(block + offset);
      return true;
    }
  }
  return false;
}

bool StringChecker::At(const MsgFmt_Arg &arg, const char **str) {
  uint64_t offset = arg.v.offset;
  if (offset == 0) {
    *str = nullptr;
    return true;
  }
  if (numArgs_ > blockLen_ / sizeof(MsgFmt_Arg)) return false;
  size_t recordsEnd = numArgs_ * sizeof(MsgFmt_Arg);
  if (offset < recordsEnd || offset >= blockLen_) return false;
  size_t unit = StringUnit(arg.type);
  size_t u = unit == 1 ? 0 : unit == 2 ? 1 : 2;
  if (!scanned_[u]) {
    scanned_[u] = true;
    if (unit == 1) {
      const void *nul = memrchr(block_ + recordsEnd, 0, blockLen_ - recordsEnd);
      if (nul) lastEnd_[0][0] = static_cast<size_t>(static_cast<const unsigned char *>(nul) - block_) + 1;
    } else {
      // Backwards until every residue has its last terminator.
      static const unsigned char zeros[4] = {0, 0, 0, 0};
      size_t found = 0;
      for (size_t pos = blockLen_ - recordsEnd >= unit ? blockLen_ - unit + 1 : recordsEnd;
           pos-- > recordsEnd && found < unit;) {
        size_t &slot = lastEnd_[u][pos % unit];
        if (slot == 0 && memcmp(block_ + pos, zeros, unit) == 0) {
          slot = pos + 1;
          found++;
        }
      }
    }
  }
  size_t start = static_cast<size_t>(offset);
  if (lastEnd_[u][start % unit] <= start) return false;
  *str = reinterpret_cast<const char *>(block_ + start);
  return true;
}

bool ValidateSwizzledBlock(const unsigned char *block, size_t blockLen, size_t numArgs) {
  if (numArgs > blockLen / sizeof(MsgFmt_Arg)) return false;
  StringChecker strings(block, blockLen, numArgs);
  for (size_t i = 0; i < numArgs; ++i) {
    MsgFmt_Arg arg = LoadArg(block, i);
    if (!IsKnownType(arg.type)) return false;
    const char *str;
    if (IsStringType(arg.type) && !strings.At(arg, &str)) return false;
  }
  return true;
}

int64_t IntegerValue(const MsgFmt_Arg &arg) {
  switch (arg.type) {
    case MSGFMT_ARG_INT32: return arg.v.signed32;
    case MSGFMT_ARG_PTR32: return static_cast<int64_t>(arg.v.unsigned32);
    default: return arg.v.signed64;
  }
}

}  // namespace msgfmt

using namespace msgfmt;

// --- Capture ---------------------------------------------------------------------

namespace {

bool Fail(const char **error, const char *text) {
  if (error) *error = text;
  return false;
}

// Pulls the value of one conversion off `ap` into `arg` (strings are copied
// into `buf` at *strPos). False when a string does not fit.
bool CaptureValue(const Conversion &cv, va_list &ap, unsigned char *buf, size_t bufSize,
                  size_t *strPos, MsgFmt_Arg *arg) {
  arg->type = ValueType(cv);
  bool isSigned = cv.letter == 'd' || cv.letter == 'i';
  switch (arg->type) {
    case MSGFMT_ARG_INT32:
      if (cv.letter == 'c' && cv.len == Len::l) arg->v.unsigned32 = va_arg(ap, wint_t);
      else if (isSigned || cv.letter == 'c') arg->v.signed32 = va_arg(ap, int);
      else arg->v.unsigned32 = va_arg(ap, unsigned int);
      return true;
    case MSGFMT_ARG_INT64:
      switch (cv.len) {
        case Len::l:
          arg->v.signed64 = isSigned ? va_arg(ap, long) : static_cast<int64_t>(va_arg(ap, unsigned long));
          break;
        case Len::z:
          arg->v.signed64 = isSigned ? va_arg(ap, ssize_t) : static_cast<int64_t>(va_arg(ap, size_t));
          break;
        case Len::j:
          arg->v.signed64 = isSigned ? va_arg(ap, intmax_t) : static_cast<int64_t>(va_arg(ap, uintmax_t));
          break;
        case Len::t:
          arg->v.signed64 = va_arg(ap, ptrdiff_t);
          break;
        default:  // ll, L
          arg->v.signed64 = isSigned ? va_arg(ap, long long)
                                     : static_cast<int64_t>(va_arg(ap, unsigned long long));
          break;
      }
      return true;
    case MSGFMT_ARG_PTR64:
      arg->v.unsigned64 = reinterpret_cast<uintptr_t>(va_arg(ap, void *));
      return true;
    case MSGFMT_ARG_FLOAT64:
      arg->v.float64 = cv.len == Len::L ? static_cast<double>(va_arg(ap, long double))
                                          : va_arg(ap, double);
      return true;
    default: {  // strings
      const void *src;
      size_t bytes = 0;
      if (arg->type == MSGFMT_ARG_STRING32) {
        const wchar_t *ws = va_arg(ap, const wchar_t *);
        src = ws;
        if (ws) bytes = (wcslen(ws) + 1) * sizeof(wchar_t);
      } else {
        const char *s = va_arg(ap, const char *);
        src = s;
        if (s) bytes = strlen(s) + 1;
      }
      if (!src) {
        arg->v.string8 = nullptr;
        return true;
      }
      if (bytes > bufSize - *strPos) return false;
      memcpy(buf + *strPos, src, bytes);
      arg->v.string8 = reinterpret_cast<const char *>(buf + *strPos);
      *strPos += bytes;
      return true;
    }
  }
}

}  // namespace

bool MsgFmt_GetArgsWithBuf(const char *format, va_list va, MsgFmt_Arg **args, int *numArgs,
                           const char **error, void *buf, size_t *bufSize) {
  if (!format || !args || !numArgs || !bufSize || (!buf && *bufSize > 0)) {
    return Fail(error, "invalid arguments");
  }
  // First pass: check the format and count the records.
  size_t count = 0;
  Conversion cv;
  for (const char *p = format; *p;) {
    if (*p != '%') {
      ++p;
      continue;
    }
    p = ParseConversion(p, &cv);
    if (!p) return Fail(error, "bad or unsupported conversion in format");
    count += static_cast<size_t>(ArgsConsumed(cv));
  }
  if (count > static_cast<size_t>(INT32_MAX) / sizeof(MsgFmt_Arg) ||
      count * sizeof(MsgFmt_Arg) > *bufSize) {
    return Fail(error, "buffer too small");
  }
  unsigned char *bytes = static_cast<unsigned char *>(buf);
  size_t strPos = count * sizeof(MsgFmt_Arg);
  size_t index = 0;
  bool ok = true;
  va_list ap;
  va_copy(ap, va);
  for (const char *p = format; *p && ok;) {
    if (*p != '%') {
      ++p;
      continue;
    }
    p = ParseConversion(p, &cv);
    MsgFmt_Arg arg;
    // Every byte zero, padding included: the records are stored as bytes.
    // cppcheck-suppress memsetClassFloat
    memset(&arg, 0, sizeof arg);
    arg.type = MSGFMT_ARG_INT32;
    if (cv.widthStar) {
      arg.v.signed32 = va_arg(ap, int);
      StoreArg(bytes, index++, arg);
    }
    if (cv.precisionStar) {
      arg.v.signed32 = va_arg(ap, int);
      StoreArg(bytes, index++, arg);
    }
    if (cv.letter == '%') continue;
    // cppcheck-suppress memsetClassFloat
    memset(&arg, 0, sizeof arg);
    ok = CaptureValue(cv, ap, bytes, *bufSize, &strPos, &arg);
    if (ok) StoreArg(bytes, index++, arg);
  }
  va_end(ap);
  if (!ok) return Fail(error, "buffer too small");
  *args = static_cast<MsgFmt_Arg *>(buf);
  *numArgs = static_cast<int>(count);
  *bufSize = strPos;
  return true;
}

// --- Swizzling --------------------------------------------------------------------

void MsgFmt_SwizzleArgs(MsgFmt_Arg *args, int numArgs) {
  if (!args) return;
  uintptr_t base = reinterpret_cast<uintptr_t>(args);
  for (int i = 0; i < numArgs; ++i) {
    MsgFmt_Arg arg = LoadArg(args, static_cast<size_t>(i));
    if (!IsStringType(arg.type)) continue;
    uintptr_t ptr = reinterpret_cast<uintptr_t>(arg.v.string8);
    arg.v.offset = ptr ? ptr - base : 0;
    StoreArg(args, static_cast<size_t>(i), arg);
  }
}

namespace {

// Length in bytes of the swizzled block [args, bufEnd), or false when the
// bound is unusable for `numArgs` records.
bool BlockLength(const MsgFmt_Arg *args, int numArgs, const void *bufEnd, size_t *blockLen) {
  if (!args || !bufEnd || numArgs < 0) return false;
  uintptr_t start = reinterpret_cast<uintptr_t>(args);
  uintptr_t end = reinterpret_cast<uintptr_t>(bufEnd);
  if (end < start) return false;
  *blockLen = end - start;
  return static_cast<size_t>(numArgs) <= *blockLen / sizeof(MsgFmt_Arg);
}

}  // namespace

bool MsgFmt_ResolveArgs(const MsgFmt_Arg *args, int numArgs, const void *bufEnd, MsgFmt_Arg *out) {
  size_t blockLen;
  if (numArgs == 0) return true;
  if (!out || !BlockLength(args, numArgs, bufEnd, &blockLen)) return false;
  StringChecker strings(reinterpret_cast<const unsigned char *>(args), blockLen, static_cast<size_t>(numArgs));
  for (int i = 0; i < numArgs; ++i) {
    MsgFmt_Arg arg = LoadArg(args, static_cast<size_t>(i));
    if (IsStringType(arg.type)) {
      const char *str;
      if (!strings.At(arg, &str)) return false;
      arg.v.string8 = str;
    }
    out[i] = arg;
  }
  return true;
}

bool MsgFmt_UnswizzleArgs(MsgFmt_Arg *args, int numArgs, const void *bufEnd) {
  size_t blockLen;
  if (numArgs == 0) return true;
  if (!BlockLength(args, numArgs, bufEnd, &blockLen)) return false;
  const unsigned char *block = reinterpret_cast<const unsigned char *>(args);
  StringChecker strings(block, blockLen, static_cast<size_t>(numArgs));
  const char *str = nullptr;
  for (int i = 0; i < numArgs; ++i) {
    MsgFmt_Arg arg = LoadArg(args, static_cast<size_t>(i));
    if (IsStringType(arg.type) && !strings.At(arg, &str)) return false;
  }
  for (int i = 0; i < numArgs; ++i) {
    MsgFmt_Arg arg = LoadArg(args, static_cast<size_t>(i));
    if (!IsStringType(arg.type)) continue;
    strings.At(arg, &str);
    arg.v.string8 = str;
    StoreArg(args, static_cast<size_t>(i), arg);
  }
  return true;
}

int MsgFmt_GetSwizzledString(const MsgFmt_Arg *args, int numArgs, int index, const void *bufEnd,
                             const char **str) {
  size_t blockLen;
  if (!str || index < 0 || index >= numArgs) return EINVAL;
  if (!BlockLength(args, numArgs, bufEnd, &blockLen)) return EINVAL;
  MsgFmt_Arg arg = LoadArg(args, static_cast<size_t>(index));
  if (arg.type != MSGFMT_ARG_STRING8) return EINVAL;
  const char *text;
  if (!SwizzledStringAt(reinterpret_cast<const unsigned char *>(args), blockLen,
                        static_cast<size_t>(numArgs), arg, &text)) {
    return EINVAL;
  }
  *str = text;
  return 0;
}

// --- Rendering --------------------------------------------------------------------

namespace {

// Appends snprintf(fmt, value) to `out`.
template <typename T>
bool AppendFormatted(std::string &out, const char *fmt, T value) {
  char small[256];
  int n = snprintf(small, sizeof small, fmt, value);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return true;
  }
  size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  snprintf(&out[old], static_cast<size_t>(n) + 1, fmt, value);
  out.resize(old + static_cast<size_t>(n));
  return true;
}

class Renderer {
 public:
  // The text stops at `limit` bytes; the rest of the format is still checked
  // against the arguments but nothing more is rendered, so the work done is
  // linear in the format, the arguments and the limit.
  Renderer(const MsgFmt_Arg *args, int numArgs, size_t limit)
      : args_(args), numArgs_(numArgs), limit_(limit) {}

  bool Render(const char *format, std::string &out) {
    for (const char *p = format; *p;) {
      const char *pct = strchr(p, '%');
      size_t n = pct ? static_cast<size_t>(pct - p) : strlen(p);
      Put(out, p, n);
      if (!pct) break;
      Conversion cv;
      p = ParseConversion(pct, &cv);
      if (!p || !RenderOne(cv, out)) return false;
      if (out.size() > limit_) {
        out.resize(limit_);
        truncated_ = true;
      }
    }
    return true;
  }

  bool Truncated() const { return truncated_; }

 private:
  bool Next(MsgFmt_Arg *arg) {
    if (index_ >= numArgs_) return false;
    *arg = LoadArg(args_, static_cast<size_t>(index_++));
    return true;
  }

  // A '*' width or precision: an integer argument within bounds.
  bool StarValue(int *value) {
    MsgFmt_Arg arg;
    if (!Next(&arg) || !IsIntegerType(arg.type)) return false;
    int64_t v = IntegerValue(arg);
    if (v < -kMaxWidth || v > kMaxWidth) return false;
    *value = static_cast<int>(v);
    return true;
  }

  bool RenderOne(Conversion cv, std::string &out) {
    if (cv.letter == '%') {
      out += '%';
      return true;
    }
    if (cv.widthStar) {
      int w;
      if (!StarValue(&w)) return false;
      if (w < 0) cv.minus = true;
      cv.width = w < 0 ? -w : w;
    }
    if (cv.precisionStar) {
      int prec;
      if (!StarValue(&prec)) return false;
      cv.hasPrecision = prec >= 0;
      cv.precision = prec;
    }
    MsgFmt_Arg arg;
    if (!Next(&arg)) return false;
    char letter = cv.letter;
    if (letter == 's') return RenderString(cv, arg, out);
    if (IsFloatConv(letter) && arg.type != MSGFMT_ARG_FLOAT64) return false;
    if (!IsFloatConv(letter) && !IsIntegerType(arg.type)) return false;
    if (Room(out) == 0) return true;  // checked, nothing more to render
    if (Plain(cv) && AppendPlain(cv, arg, out)) return true;
    if (IsFloatConv(letter)) {
      return AppendFormatted(out, SubFormat(cv, "", "-+ #0", true), arg.v.float64);
    }
    if (!IsIntegerType(arg.type)) return false;
    int64_t value = IntegerValue(arg);
    if (letter == 'p') {
      return AppendFormatted(out, SubFormat(cv, "", "-", false),
                             reinterpret_cast<void *>(static_cast<uintptr_t>(value)));
    }
    if (letter == 'c') {
      return AppendFormatted(out, SubFormat(cv, "", "-", false),
                             static_cast<int>(static_cast<unsigned char>(value)));
    }
    if (letter == 'd' || letter == 'i') {
      long long v = value;
      switch (cv.len) {
        case Len::hh: v = static_cast<signed char>(value); break;
        case Len::h: v = static_cast<short>(value); break;
        case Len::None: v = static_cast<int32_t>(value); break;
        default: break;
      }
      return AppendFormatted(out, SubFormat(cv, "ll", "-+ #0", true), v);
    }
    unsigned long long u = static_cast<uint64_t>(value);
    switch (cv.len) {
      case Len::hh: u = static_cast<unsigned char>(u); break;
      case Len::h: u = static_cast<unsigned short>(u); break;
      case Len::None: u = static_cast<uint32_t>(u); break;
      default: break;
    }
    return AppendFormatted(out, SubFormat(cv, "ll", "-+ #0", true), u);
  }

  // No flag, width or precision: what snprintf would print is the bare text
  // or number, which is appended here without it.
  static bool Plain(const Conversion &cv) {
    return !cv.minus && !cv.plus && !cv.space && !cv.hash && !cv.zero && !cv.hasWidth && !cv.hasPrecision;
  }

  // The plain cases that need no snprintf: narrow strings and decimal or
  // lower-case hexadecimal integers. False (nothing appended) for any other.
  static bool AppendPlain(const Conversion &cv, const MsgFmt_Arg &arg, std::string &out) {
    char letter = cv.letter;
    if ((letter != 'd' && letter != 'i' && letter != 'u' && letter != 'x') || !IsIntegerType(arg.type)) return false;
    if (cv.len == Len::h || cv.len == Len::hh) return false;
    int64_t value = IntegerValue(arg);
    char digits[24];
    std::to_chars_result r;
    if (letter == 'd' || letter == 'i') {
      long long v = cv.len == Len::None ? static_cast<int32_t>(value) : value;
      r = std::to_chars(digits, digits + sizeof digits, v);
    } else {
      unsigned long long u = static_cast<uint64_t>(value);
      if (cv.len == Len::None) u = static_cast<uint32_t>(u);
      r = std::to_chars(digits, digits + sizeof digits, u, letter == 'x' ? 16 : 10);
    }
    out.append(digits, r.ptr);
    return true;
  }

  // Strings are padded and cut here rather than by snprintf, which would
  // measure the whole text however little of it fits.
  bool RenderString(const Conversion &cv, const MsgFmt_Arg &arg, std::string &out) {
    size_t room = Room(out);
    size_t width = cv.width > 0 ? static_cast<size_t>(cv.width) : 0;
    // Enough of the text to know the padding and fill the room.
    size_t want = room == SIZE_MAX ? SIZE_MAX : room + width + 1;
    if (cv.hasPrecision && static_cast<size_t>(cv.precision) < want) want = static_cast<size_t>(cv.precision);
    std::string narrowed;
    const char *text;
    size_t n;
    if (cv.len == Len::l) {
      if (arg.type != MSGFMT_ARG_STRING32) return false;
      // Wide text is rendered character by character: ASCII as is, anything
      // else as '?', independent of the locale.
      const char *ws = arg.v.string8;
      for (const char *q = ws; ws && narrowed.size() < want; q += sizeof(uint32_t)) {
        uint32_t wc;
        memcpy(&wc, q, sizeof wc);
        if (wc == 0) break;
        narrowed += wc < 0x80 ? static_cast<char>(wc) : '?';
      }
      text = ws ? narrowed.c_str() : "(null)";
      n = ws ? narrowed.size() : strnlen(text, want);
    } else {
      if (arg.type != MSGFMT_ARG_STRING8) return false;
      text = arg.v.string8 ? arg.v.string8 : "(null)";
      n = strnlen(text, want);
    }
    size_t pad = n < width ? width - n : 0;
    if (!cv.minus) out.append(std::min(pad, Room(out)), ' ');
    Put(out, text, n);
    if (cv.minus) out.append(std::min(pad, Room(out)), ' ');
    return true;
  }

  // Rebuilds the conversion for snprintf from its parsed parts, keeping only
  // the flags in `flags` and using the length modifier `len`.
  const char *SubFormat(const Conversion &s, const char *len, const char *flags, bool precision) {
    char *p = sub_;
    *p++ = '%';
    auto flag = [&](bool on, char c) {
      if (on && strchr(flags, c)) *p++ = c;
    };
    flag(s.minus, '-');
    flag(s.plus, '+');
    flag(s.space, ' ');
    flag(s.hash, '#');
    flag(s.zero, '0');
    if (s.width > 0) p += sprintf(p, "%d", s.width);
    if (precision && s.hasPrecision) p += sprintf(p, ".%d", s.precision);
    p += sprintf(p, "%s%c", len, s.letter);
    return sub_;
  }

  size_t Room(const std::string &out) const { return out.size() < limit_ ? limit_ - out.size() : 0; }

  // Appends at most the room left of `n` bytes of `text`.
  void Put(std::string &out, const char *text, size_t n) {
    size_t room = Room(out);
    if (n > room) {
      n = room;
      truncated_ = true;
    }
    out.append(text, n);
  }

  const MsgFmt_Arg *args_;
  int numArgs_;
  size_t limit_;
  bool truncated_ = false;
  int index_ = 0;
  char sub_[48] = {};
};

// A rendering buffer keeps at most this much storage between messages.
constexpr size_t kKeptRenderCapacity = 16384;

}  // namespace

char *MsgFmt_Asnprintf(size_t *length, size_t limit, bool *truncated, const char *format,
                       const MsgFmt_Arg *args, int numArgs) {
  if (!format || numArgs < 0 || (!args && numArgs > 0)) return nullptr;
  try {
    // Rendered in the thread's own buffer, whose storage is reused; only the
    // result is allocated.
    thread_local std::string out;
    out.clear();
    if (out.capacity() > kKeptRenderCapacity) std::string().swap(out);
    Renderer renderer(args, numArgs, limit);
    if (!renderer.Render(format, out)) return nullptr;
    char *text = static_cast<char *>(malloc(out.size() + 1));
    if (!text) return nullptr;
    memcpy(text, out.data(), out.size());
    text[out.size()] = '\0';
    if (length) *length = out.size();
    if (truncated) *truncated = renderer.Truncated();
    return text;
  } catch (...) {
    return nullptr;
  }
}

char *MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args, int numArgs) {
  return MsgFmt_Asnprintf(length, SIZE_MAX, nullptr, format, args, numArgs);
}
