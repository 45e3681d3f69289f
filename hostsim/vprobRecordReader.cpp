// Event record decoding. Every length and offset is checked in 64-bit
// arithmetic against the bytes actually present before it is used.
#include "vprobRecordReader.h"

#include <cstring>

namespace {

const size_t kOffUuid = 16, kUuidSize = 38, kOffTotalLength = 56, kOffNumArgs = 60,
             kOffIdLength = 64, kOffId = 68, kSlack = 4, kArgRecordSize = 32;

// Argument type codes of the message-format library.
enum : int32_t { kInt32 = 1, kInt64 = 2, kPtr32 = 3, kPtr64 = 4, kFloat64 = 5, kString8 = 6 };

uint64_t Le(const unsigned char *p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

bool Fail(std::string *error, std::string reason) {
  *error = std::move(reason);
  return false;
}

// Argument `index` of the block [block, block + blockSize).
bool DecodeArg(const unsigned char *block, uint64_t blockSize, uint64_t numArgs, uint64_t index,
               VProbArg *arg, std::string *error) {
  const unsigned char *rec = block + index * kArgRecordSize;
  int32_t type = static_cast<int32_t>(Le(rec, 4));
  uint64_t value = Le(rec + 8, 8);
  switch (type) {
    case kInt32: *arg = static_cast<int64_t>(static_cast<int32_t>(value)); return true;
    case kInt64: *arg = static_cast<int64_t>(value); return true;
    case kPtr32: *arg = static_cast<uint64_t>(static_cast<uint32_t>(value)); return true;
    case kPtr64: *arg = value; return true;
    case kFloat64: {
      double d;
      memcpy(&d, &value, sizeof d);
      *arg = d;
      return true;
    }
    case kString8: {
      if (value == 0) {
        *arg = VProbNullString{};
        return true;
      }
      // Strings follow the argument records and end inside the block.
      std::string where = "argument " + std::to_string(index) + ": string offset " +
                          std::to_string(value);
      if (value < numArgs * kArgRecordSize || value >= blockSize) {
        return Fail(error, where + " outside the string area of the " +
                               std::to_string(blockSize) + "-byte argument block");
      }
      const void *nul = memchr(block + value, '\0', blockSize - value);
      if (nul == nullptr) return Fail(error, where + ": string not terminated inside the block");
      const char *text = reinterpret_cast<const char *>(block + value);
      *arg = std::string(text, static_cast<const char *>(nul) - text);
      return true;
    }
    default:
      *arg = VProbUnknownArg{type};
      return true;
  }
}

}  // namespace

bool VProbRecord_Decode(const void *data, size_t size, VProbRecordDecoded *out,
                        std::string *error) {
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  if (bytes == nullptr || size < kOffId + kSlack) {
    return Fail(error, "record too short: " + std::to_string(size) + " bytes");
  }
  uint64_t totalLength = Le(bytes + kOffTotalLength, 4);
  uint64_t numArgs = Le(bytes + kOffNumArgs, 4);
  uint64_t idLength = Le(bytes + kOffIdLength, 4);
  if (totalLength != size) {
    return Fail(error, "totalLength " + std::to_string(totalLength) + " but " +
                           std::to_string(size) + " bytes received");
  }
  if (idLength == 0 || kOffId + idLength + kSlack > size) {
    return Fail(error, "idLength " + std::to_string(idLength) + " does not fit a " +
                           std::to_string(size) + "-byte record");
  }
  const char *id = reinterpret_cast<const char *>(bytes + kOffId);
  if (memchr(id, '\0', idLength) != id + idLength - 1) {
    return Fail(error, "identifier is not a NUL-terminated text of idLength " +
                           std::to_string(idLength) + " bytes");
  }
  const unsigned char *block = bytes + kOffId + idLength;
  uint64_t blockSize = size - kOffId - idLength - kSlack;
  if (numArgs * kArgRecordSize > blockSize) {
    return Fail(error, "numArgs " + std::to_string(numArgs) + " does not fit the " +
                           std::to_string(blockSize) + "-byte argument block");
  }

  out->time = Le(bytes, 8);
  out->stampWord = Le(bytes + 8, 8);
  const char *uuid = reinterpret_cast<const char *>(bytes + kOffUuid);
  out->uuid.assign(uuid, strnlen(uuid, kUuidSize));
  out->id.assign(id, idLength - 1);
  out->args.assign(numArgs, VProbArg{});
  for (uint64_t i = 0; i < numArgs; ++i) {
    if (!DecodeArg(block, blockSize, numArgs, i, &out->args[i], error)) return false;
  }
  return true;
}
