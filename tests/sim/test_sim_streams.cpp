// Data streams, parity and the small one-byte commands of the simulated controller.
#include "RawCommands.h"
#include "sim/Profiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::SimulatedDevice;

namespace {

class SimStreams : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }
    testsupport::TempDir dir;
    SimulatedDevice dev{sim::Nand128M(), dir.path(), "s0", 3};
};

TEST_F(SimStreams, AreasAreRecordedInOrderWithTheirSizes)
{
    // program, prefer, phone book, CD-ROM image, PASS image
    const Bytes areas[] = {Pattern(5000, 1), Pattern(4096, 2), Pattern(1, 3), Pattern(0, 4), Pattern(2048 * 3 + 5, 5)};
    for (const auto& a : areas)
        ASSERT_TRUE(Stream(dev, a));
    auto s = dev.streams();
    ASSERT_EQ(s.size(), 5u);
    const uint32_t expectedPieces[] = {3, 3, 1, 1, 4}; // 4096 ends with an empty piece
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(s[i].announced, areas[i].size()) << i;
        EXPECT_EQ(s[i].received, areas[i].size()) << i;
        EXPECT_EQ(s[i].pieces, expectedPieces[i]) << i;
        EXPECT_TRUE(s[i].ended) << i;
        EXPECT_EQ(s[i].data, areas[i]) << i;
    }
}

TEST_F(SimStreams, RetriedStreamLeavesTheBrokenOneUnended)
{
    Bytes program = Pattern(6000, 7);
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}, 6).u32(2, 6000), 1).status());
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x7B}, 6), Bytes(program.begin(), program.begin() + 2048)));
    ASSERT_TRUE(Stream(dev, program)); // the retry announces again
    auto s = dev.streams();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FALSE(s[0].ended);
    EXPECT_EQ(s[0].received, 2048u);
    EXPECT_TRUE(s[1].ended);
}

TEST_F(SimStreams, EndWithoutAllDataOrWithoutSetupFails)
{
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}, 6).u32(2, 3000), 1).status());
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x7B}, 6), Bytes(2048, 1)));
    Reply end = In(dev, Cdb({0xEF, 0x7C}, 6), 1);
    EXPECT_TRUE(end.ok);
    EXPECT_FALSE(end.status());
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x7C}, 6), 1).status()); // nothing open any more
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x7B}, 6), Bytes(10, 1)));
}

TEST_F(SimStreams, StreamCarryingMoreThanAnnouncedIsAccepted)
{
    // The SPI hidden files announce size + 2048 and send an 8192-byte header first.
    const uint32_t size = 1000;
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}, 6).u32(2, size + 2048), 1).status());
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x7B}, 6), Bytes(8192, 0)));
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x7B}, 6), Bytes(size, 1)));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x7C}, 6), 1).status());
    EXPECT_EQ(dev.streams().back().received, 8192u + size);
}

TEST_F(SimStreams, ParityNeedsAWrittenProgram)
{
    Reply r = In(dev, Cdb({0xEF, 0x87}, 6), 2);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.status());
    Bytes program = {0x01, 0x02, 0x04};
    ASSERT_TRUE(Stream(dev, program));
    r = In(dev, Cdb({0xEF, 0x87}, 6), 2);
    EXPECT_TRUE(r.status());
    EXPECT_EQ(r[1], 0x07);
}

TEST_F(SimStreams, NewLoaderStartsANewSession)
{
    ASSERT_TRUE(Stream(dev, Pattern(100, 1)));
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x8D}, 6).set(2, 4), 1).status());
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x97}, 6), 1).ok);
    EXPECT_EQ(dev.moduleNumber(), 4);
    EXPECT_TRUE(dev.fsmInitDone());
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_TRUE(dev.streams().empty());
    EXPECT_EQ(dev.moduleNumber(), -1);
    EXPECT_FALSE(dev.fsmInitDone());
}

TEST_F(SimStreams, OneByteAnswers)
{
    struct Case {
        uint8_t op;
        uint8_t expected;
    } cases[] = {
        {0x8B, 0x0F},        // bonding ID: any firmware
        {0x9A, 0x80 | 3},    // port number
        {0x9C, 0},           // no SPI size on NAND
        {0xB0, 0},
        {0x83, 1}, {0x91, 1}, {0x8E, 1}, {0x8F, 1},
        {0x72, 0},           // SPI check refused on NAND
    };
    for (const auto& c : cases) {
        Reply r = In(dev, Cdb({0xEF, c.op}, 6), 1);
        EXPECT_TRUE(r.ok) << std::hex << int(c.op);
        EXPECT_EQ(r[0], c.expected) << std::hex << int(c.op);
    }
    dev.setUsbPort(0);
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9A}, 6), 1)[0], 0);
}

} // namespace
