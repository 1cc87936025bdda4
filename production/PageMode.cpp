#include "production/PageMode.h"

#include "production/ppthread.h"

int PageEccPass(const uint8_t*, const uint8_t*, int32_t, uint32_t) { return 1; }
int DetectPageMode(ProductThread&) { return -1; }
int ChoosePageMode(const uint32_t*) { return -1; }
void WritePageTableLog(ProductThread&, const std::string&) {}
void WriteEccTableLog(ProductThread&, const std::string&) {}
int WriteModeEccLog(ProductThread&, uint8_t, uint32_t, int32_t, uint32_t, const uint8_t*, uint32_t) { return 0; }
