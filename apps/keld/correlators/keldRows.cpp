#include "correlators/keldRows.h"

#include "log/keldLog.h"

std::string QuoteJoin(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &item : items) {
    if (!out.empty()) out += ", ";
    out += '"';
    out += item;
    out += '"';
  }
  return out;
}

const char *ObservationId(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  return id ? id : "";
}

const char *RequireId(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  if (id == nullptr) LogMsg("FAIL: Received NULL kelID\n");
  return id;
}

uint32_t ReadArgAt(Observation obs, uint32_t index, Text *out) {
  *out = nullptr;
  return Kel_GetStringArg(obs, index, out);
}

uint32_t ReadArgAt(Observation obs, uint32_t index, Int *out) {
  *out = 0;
  int64_t value = 0;
  uint32_t status = Kel_GetIntArg(obs, index, &value);
  if (status == 0) *out = static_cast<Int>(static_cast<uint32_t>(value));
  return status;
}

uint32_t ReadArgAt(Observation obs, uint32_t index, UInt *out) {
  *out = 0;
  int64_t value = 0;
  uint32_t status = Kel_GetIntArg(obs, index, &value);
  if (status == 0) *out = static_cast<UInt>(value);
  return status;
}
