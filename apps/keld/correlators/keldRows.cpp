#include "correlators/keldRows.h"

#include "log/keldLog.h"
#include "platform/hsi.h"
#include <cstring>
#include <memory>

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

bool ReadIntegerOption(const char *group, const char *name, uint64_t *value) {
  *value = 0;
  std::unique_ptr<HSI_ParamList, void (*)(HSI_ParamList *)> list(HSI_ParamListCreate(1, 2),
                                                                 HSI_ParamListDestroy);
  if (!list) return false;
  uint32_t status = HSI_ParamListAddString(list.get(), group);
  if (status == HYK_OK) status = HSI_ParamListAddString(list.get(), name);
  unsigned char record[HSI_INTOPT_RECORD_SIZE] = {};
  if (status == HYK_OK) status = HSI_Get(HSI_NODE_config_intOpts, list.get(), record, sizeof record);
  if (status != HYK_OK) return false;
  memcpy(value, record + 24, sizeof *value);  // the current value
  return true;
}
