// The SPI NOR variant of the simulated controller.
#include "RawCommands.h"
#include "sim/Profiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::SimulatedDevice;

namespace {

class SimSpi : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }

    // Reads like the host's read-back: 8 units of 256 bytes per command.
    Bytes readBack(uint32_t units)
    {
        Bytes out;
        for (uint32_t u = 0; u < units; u += 8) {
            Reply r = In(dev, Cdb({0xEF, 0x9D}, 6).u16(2, u).u16(4, 8), 2048, 10);
            EXPECT_TRUE(r.ok) << u;
            out.insert(out.end(), r.data.begin(), r.data.end());
        }
        return out;
    }

    testsupport::TempDir dir;
    SimulatedDevice dev{sim::SpiNor4M(), dir.path(), "spi0"};
};

TEST_F(SimSpi, IdentifiesAsSpiNor)
{
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x70}, 6), 5).data, (Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF}));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x72}, 6), 1, 300).status());
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9C}, 6), 1)[0], 4);
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x73}, 6), 2, 30).status());
    EXPECT_FALSE(RunScan(dev, Scan{}, 64).status()); // no NAND to scan
}

TEST_F(SimSpi, FailingBadBlockCheck)
{
    auto profile = sim::SpiNor4M();
    profile.spiCheckPasses = false;
    SimulatedDevice bad(profile, dir.path(), "spi1");
    ASSERT_TRUE(UploadLoader(bad, SampleLoader()));
    Reply r = In(bad, Cdb({0xEF, 0x72}, 6), 1, 300);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.status());
}

TEST_F(SimSpi, ProgramAndPreferLandWhereTheReadBackExpectsThem)
{
    Bytes program = Pattern(100000, 1); // rounded up to R = 131072
    Bytes prefer = Pattern(4096, 2);
    ASSERT_TRUE(Stream(dev, program));
    ASSERT_TRUE(Stream(dev, prefer));
    const uint32_t R = 131072;
    const uint32_t units = (R + 65536 + 4096) / 256; // 784 units in 98 reads
    Bytes dump = readBack(units);
    ASSERT_EQ(dump.size(), size_t(units) * 256);
    EXPECT_TRUE(std::equal(program.begin(), program.begin() + 4, dump.begin()));
    EXPECT_TRUE(std::equal(program.begin() + 2048, program.end(), dump.begin() + 65536));
    EXPECT_TRUE(std::equal(prefer.begin() + 2048, prefer.end(), dump.begin() + R + 65536));
    EXPECT_EQ(dev.spiFlash(R + 65536, 2048), Bytes(prefer.begin() + 2048, prefer.end()));
}

TEST_F(SimSpi, AreaReadsStayInsideTheFlash)
{
    const uint32_t lastUnit = 4 * 1024 * 1024 / 256 - 8;
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x9D}, 6).u16(2, lastUnit).u16(4, 8), 2048).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}, 6).u16(2, lastUnit + 1).u16(4, 8), 2048).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}, 6).u16(2, 0).u16(4, 8), 1024).ok); // length mismatch
    // EE 9E writes what EF 9D reads.
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x9E}, 6).u16(2, 16).u16(4, 1), Bytes(256, 0x42)));
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9D}, 6).u16(2, 16).u16(4, 1), 256).data, Bytes(256, 0x42));
}

} // namespace
