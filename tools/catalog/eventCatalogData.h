// The raw tables behind the event catalog (eventCatalog.h reads them).
#pragma once

#include <cstddef>

struct CatalogRow {
  const char *id;
  const char *correlator;
  const char *argNames;  // blank-separated, one per conversion of `message`
  const char *message;
};

struct CatalogPairRow {
  const char *resolver;
  const char *problems[4];  // unused slots are null
};

extern const CatalogRow kCatalogRows[];
extern const size_t kCatalogRowCount;
extern const CatalogPairRow kCatalogPairRows[];
extern const size_t kCatalogPairRowCount;
