#include "production/DataAreas.h"

#include "production/ppthread.h"

namespace dataareas {

bool MakeSpiHeader(uint32_t, const std::string&, uint64_t, uint8_t*) { return false; }
uint64_t SpiProgramAreaSize(uint64_t programSize)
{
    return (programSize + kSpiAreaAlign - 1) / kSpiAreaAlign * kSpiAreaAlign;
}
int WriteSignedFileArea(ProductThread&, const std::vector<std::string>&) { return 0; }
int WriteSpiHiddenFiles(ProductThread&, const std::vector<std::string>&) { return 0; }

} // namespace dataareas

int64_t OpenImageFile(ProductThread&, const std::string&) { return -1; }
int WriteImageToDisk(ProductThread&, const std::string&, const std::string&, uint32_t, uint32_t)
{
    return 0;
}
int WriteSignedFileArea(ProductThread&, uint32_t, uint32_t) { return 0; }
int WriteSpiHiddenFiles(ProductThread&) { return 0; }
int DumpSpiProgramArea(ProductThread&, const std::string&, const std::string&, const std::string&)
{
    return 0;
}
int CompareSpiDump(ProductThread&, const std::string&, const std::string&, const std::string&)
{
    return 0;
}
int DumpSpiFlash(ProductThread&, const std::string&) { return 0; }
int EjectDevice(ProductThread&, HANDLE) { return 0; }
