#include "keldRows.h"

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
