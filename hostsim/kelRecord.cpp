// Observation record builder and typed argument parser. No shared state.
#include "kelRecord.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/kelLib.h"
#include "platform/msgFmt.h"

KelArg KelArg::Str(std::string text) {
  KelArg a;
  a.kind = Kind::Str;
  a.s = std::move(text);
  return a;
}
KelArg KelArg::NullStr() {
  KelArg a;
  a.kind = Kind::NullStr;
  return a;
}
KelArg KelArg::I32(int32_t value) {
  KelArg a;
  a.kind = Kind::I32;
  a.i = value;
  return a;
}
KelArg KelArg::U32(uint32_t value) {
  KelArg a;
  a.kind = Kind::U32;
  a.u = value;
  return a;
}
KelArg KelArg::I64(int64_t value) {
  KelArg a;
  a.kind = Kind::I64;
  a.i = value;
  return a;
}
KelArg KelArg::U64(uint64_t value) {
  KelArg a;
  a.kind = Kind::U64;
  a.u = value;
  return a;
}
KelArg KelArg::F64(double value) {
  KelArg a;
  a.kind = Kind::F64;
  a.f = value;
  return a;
}

namespace {

template <typename T>
void Put(std::vector<uint8_t> &out, size_t offset, T value) {
  memcpy(out.data() + offset, &value, sizeof value);
}

size_t AreaLength(const std::string &text) { return (text.size() + 1 + 7) & ~size_t{7}; }

}  // namespace

std::vector<uint8_t> KelRecord_BuildArgBlock(const std::vector<KelArg> &args) {
  std::vector<uint8_t> block(args.size() * sizeof(MsgFmt_Arg), 0);
  for (size_t n = 0; n < args.size(); ++n) {
    const KelArg &a = args[n];
    MsgFmt_Arg rec;
    // Every byte zero, padding included: the record goes out as bytes.
    // cppcheck-suppress memsetClassFloat
    memset(&rec, 0, sizeof rec);
    switch (a.kind) {
      case KelArg::Kind::Str:
        rec.type = MSGFMT_ARG_STRING8;
        rec.v.offset = block.size();
        block.insert(block.end(), a.s.begin(), a.s.end());
        block.push_back(0);
        break;
      case KelArg::Kind::NullStr:
        rec.type = MSGFMT_ARG_STRING8;
        rec.v.offset = 0;
        break;
      case KelArg::Kind::I32:
        rec.type = MSGFMT_ARG_INT32;
        rec.v.signed32 = static_cast<int32_t>(a.i);
        break;
      case KelArg::Kind::U32:
        rec.type = MSGFMT_ARG_INT32;
        rec.v.unsigned32 = static_cast<uint32_t>(a.u);
        break;
      case KelArg::Kind::I64:
        rec.type = MSGFMT_ARG_INT64;
        rec.v.signed64 = a.i;
        break;
      case KelArg::Kind::U64:
        rec.type = MSGFMT_ARG_INT64;
        rec.v.unsigned64 = a.u;
        break;
      case KelArg::Kind::F64:
        rec.type = MSGFMT_ARG_FLOAT64;
        rec.v.float64 = a.f;
        break;
    }
    memcpy(block.data() + n * sizeof rec, &rec, sizeof rec);
  }
  return block;
}

std::vector<uint8_t> KelRecord_Build(const std::string &id, const std::string &format,
                                     const std::vector<KelArg> &args, uint64_t timestampUs) {
  std::vector<uint8_t> block = KelRecord_BuildArgBlock(args);
  size_t idArea = AreaLength(id);
  size_t fmtArea = AreaLength(format);
  size_t total = KEL_RECORD_HEADER_SIZE + idArea + fmtArea + block.size();
  if (total > UINT32_MAX) throw std::length_error("observation record larger than 4 GiB");
  std::vector<uint8_t> rec(total, 0);
  Put<uint64_t>(rec, KEL_RECORD_OFF_HEADER_WORD, 0);
  Put<uint64_t>(rec, KEL_RECORD_OFF_TIMESTAMP, timestampUs);
  Put<uint32_t>(rec, KEL_RECORD_OFF_TOTAL_LENGTH, static_cast<uint32_t>(total));
  Put<uint32_t>(rec, KEL_RECORD_OFF_NUM_ARGS, static_cast<uint32_t>(args.size()));
  Put<uint32_t>(rec, KEL_RECORD_OFF_ID_LENGTH, static_cast<uint32_t>(idArea));
  Put<uint32_t>(rec, KEL_RECORD_OFF_FMT_LENGTH, static_cast<uint32_t>(fmtArea));
  size_t pos = KEL_RECORD_HEADER_SIZE;
  memcpy(rec.data() + pos, id.data(), id.size());
  pos += idArea;
  memcpy(rec.data() + pos, format.data(), format.size());
  pos += fmtArea;
  if (!block.empty()) memcpy(rec.data() + pos, block.data(), block.size());
  return rec;
}

namespace {

// Parses [+|-]digits or [+|-]0xhex, wholly. False on anything else or on a
// magnitude above 2^64 - 1.
bool ParseInteger(const std::string &text, bool *negative, uint64_t *magnitude) {
  errno = 0;
  const char *p = text.c_str();
  *negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (!isxdigit(static_cast<unsigned char>(*p))) return false;  // no sign or blank after the prefix
  char *end;
  unsigned long long v = strtoull(p, &end, base);
  if (errno == ERANGE || *end != '\0' || end == p) return false;
  *magnitude = v;
  return true;
}

bool Bad(std::string *error, const std::string &text, const std::string &why) {
  if (error) *error = "bad argument '" + text + "': " + why;
  return false;
}

}  // namespace

bool KelRecord_ParseArg(const std::string &text, KelArg *out, std::string *error) {
  if (text.size() < 2 || text[1] != ':') {
    return Bad(error, text, "expected TYPE:VALUE with TYPE one of s n i u l L f");
  }
  std::string value = text.substr(2);
  char type = text[0];
  switch (type) {
    case 's':
      *out = KelArg::Str(value);
      return true;
    case 'n':
      if (!value.empty()) return Bad(error, text, "n: (null string) takes no value");
      *out = KelArg::NullStr();
      return true;
    case 'f': {
      char *end;
      errno = 0;
      double d = strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || isspace(static_cast<unsigned char>(value[0]))) {
        return Bad(error, text, "'" + value + "' is not a number");
      }
      if (errno == ERANGE) return Bad(error, text, value + " is out of range for a float");
      *out = KelArg::F64(d);
      return true;
    }
    case 'i':
    case 'u':
    case 'l':
    case 'L': {
      bool negative;
      uint64_t mag;
      if (!ParseInteger(value, &negative, &mag)) {
        bool overflow = errno == ERANGE;
        return Bad(error, text, "'" + value + (overflow ? "' is out of range" : "' is not an integer"));
      }
      if (negative && mag == 0) negative = false;
      static const struct {
        char type;
        const char *what;
        uint64_t maxPositive, maxNegative;
      } kRanges[] = {
          {'i', "a 32-bit signed integer", INT32_MAX, uint64_t{1} << 31},
          {'u', "a 32-bit unsigned integer", UINT32_MAX, 0},
          {'l', "a 64-bit signed integer", INT64_MAX, uint64_t{1} << 63},
          {'L', "a 64-bit unsigned integer", UINT64_MAX, 0},
      };
      for (const auto &r : kRanges) {
        if (r.type != type) continue;
        if (negative ? mag > r.maxNegative : mag > r.maxPositive) {
          return Bad(error, text, value + " is out of range for " + r.what);
        }
      }
      uint64_t bits = negative ? uint64_t{0} - mag : mag;  // two's complement
      switch (type) {
        case 'i': *out = KelArg::I32(static_cast<int32_t>(static_cast<uint32_t>(bits))); break;
        case 'u': *out = KelArg::U32(static_cast<uint32_t>(bits)); break;
        case 'l': *out = KelArg::I64(static_cast<int64_t>(bits)); break;
        default: *out = KelArg::U64(bits); break;
      }
      return true;
    }
    default:
      return Bad(error, text, std::string("unknown argument type '") + type +
                                  "' (expected s n i u l L f)");
  }
}

bool KelRecord_ParseArgs(const std::vector<std::string> &texts, std::vector<KelArg> *out,
                         std::string *error) {
  out->clear();
  for (const std::string &text : texts) {
    KelArg arg;
    if (!KelRecord_ParseArg(text, &arg, error)) return false;
    out->push_back(std::move(arg));
  }
  return true;
}
