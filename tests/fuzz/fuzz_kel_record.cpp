// Observation records from a socket: the input is the bytes of one message
// on a user connection. It goes through KelLib_ReadFromFd (which validates and
// drops bad records) and, separately, straight to Kel_MakeKel; every accessor
// then runs on each observation that is accepted.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzzSupport.h"
#include "platform/kelLib.h"

namespace {

int gPair[2] = {-1, -1};  // [0] read by KelLib_ReadFromFd, [1] written by the target
std::string gRoot;

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(gRoot, ignored);
}

void Touch(const char *text) {
  if (text) (void)strlen(text);
}

void ExerciseAccessors(Observation obs) {
  const char *id = nullptr, *fmt = nullptr;
  uint32_t numArgs = 0;
  uint64_t ts = 0;
  Kel_GetID(obs, &id);
  Kel_GetFormat(obs, &fmt);
  Kel_GetNumArgs(obs, &numArgs);
  Kel_GetTimestamp(obs, &ts);
  Touch(id);
  Touch(fmt);
  (void)Kel_IsID(id, "kel.fuzz.id");
  char *msg = nullptr;
  size_t len = 0;
  // "%c" may render a NUL inside the message: the length counts past it.
  if (Kel_GetMsg(obs, &msg, &len) == 0 && msg && (strlen(msg) > len || msg[len] != '\0')) abort();
  free(msg);
  uint32_t limit = numArgs < 64 ? numArgs + 1 : 64;
  for (uint32_t i = 0; i < limit; ++i) {
    const char *s = nullptr;
    int64_t v;
    if (Kel_GetStringArg(obs, i, &s) == 0) Touch(s);
    Kel_GetIntArg(obs, i, &v);
  }
  static const char *const kFormats[] = {"%p", "%d%u", "%lu%lx", "%f", "%hhx%hd%c", "%s%p%s%i"};
  for (const char *f : kFormats) {
    FuzzSlots slots;
    for (uint32_t first = 0; first < 2; ++first) {
      if (Kel_GetArgs(obs, first, f, FUZZ_SLOT_ARGS(slots)) == 0 && (f[1] == 'p' || f[1] == 's')) {
        Touch(reinterpret_cast<const char *>(slots.v[0]));
      }
    }
  }
}

void MakeAndExercise(const uint8_t *data, size_t size) {
  unsigned char *copy = Fuzz_Copy(data, size);
  Observation obs = nullptr;
  Kel_MakeKel(copy, static_cast<uint32_t>(size), &obs);
  if (!obs) {
    free(copy);
    return;
  }
  ExerciseAccessors(obs);
  Kel_Free(obs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Dropped records are logged: keep that out of the system's log.
  char dir[] = "/tmp/keld-fuzz-XXXXXX";
  if (mkdtemp(dir)) {
    gRoot = dir;
    setenv("KELD_ROOT", dir, 1);
    atexit(RemoveRoot);
  }
  socketpair(AF_UNIX, SOCK_SEQPACKET, 0, gPair);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  MakeAndExercise(data, size);

  // The same bytes as one message on a user connection.
  if (size == 0 || send(gPair[1], data, size, MSG_DONTWAIT) != static_cast<ssize_t>(size)) return 0;
  std::vector<unsigned char> buffer(size + 64);
  uint32_t count = 0;
  if (KelLib_ReadFromFd(gPair[0], buffer.data(), static_cast<uint32_t>(buffer.size()), &count) != 0) {
    return 0;
  }
  // Whatever it returns is one valid record: Kel_MakeKel must accept it.
  if (count == 0) return 0;
  if (count != size || memcmp(buffer.data(), data, size) != 0) abort();
  unsigned char *copy = Fuzz_Copy(buffer.data(), count);
  Observation obs = nullptr;
  Kel_MakeKel(copy, count, &obs);
  if (!obs) abort();
  Kel_Free(obs);
  return 0;
}
