// ROM and loader states of the simulated controller and the loader upload.
#include "RawCommands.h"
#include "sim/Profiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace simtest;
using sim::SimulatedDevice;

namespace {

class SimStates : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    SimulatedDevice dev{sim::Nand128M(), dir.path(), "t0"};
};

bool answersModel(SimulatedDevice& dev)
{
    Reply r = In(dev, Cdb({0xEF, 0x82}, 6), 4);
    return r.ok && std::memcmp(r.data.data(), "6205", 4) == 0;
}

TEST_F(SimStates, RomStateServesOnlyInquiryUploadResetAndModelQuery)
{
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    Reply inquiry = In(dev, Cdb({0x12}, 6), 36);
    ASSERT_TRUE(inquiry.ok);
    EXPECT_EQ(inquiry[0], 0x00);       // direct-access device
    EXPECT_EQ(inquiry[1], 0x80);       // removable
    EXPECT_FALSE(answersModel(dev));   // transfer fine, but no chip model yet
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x82}, 6), 4).ok);

    // Production commands need the loader.
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x70}, 6), 5).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x84}, 6), 1).ok);
    EXPECT_FALSE(RunScan(dev, Scan{}, 64).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x73}, 6), 2).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x7A}, 6).u32(2, 10), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x97}, 6), 1).ok);
}

TEST_F(SimStates, UploadThatAddsUpMovesToLoaderState)
{
    Bytes loader = SampleLoader();
    ASSERT_TRUE(UploadLoader(dev, loader));
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Loader);
    EXPECT_EQ(dev.loaderImage(), loader);
    EXPECT_TRUE(answersModel(dev));
    Reply id = In(dev, Cdb({0xEF, 0x70}, 6), 5);
    ASSERT_TRUE(id.ok);
    EXPECT_EQ(id.data, (Bytes{0x5A, 0xF1, 0x80, 0x15, 0x40})); // maker byte first
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x84}, 6), 1)[0], 1);
    // EF 85 (no caller) answers the model in loader state too.
    EXPECT_EQ(std::memcmp(In(dev, Cdb({0xEF, 0x85}, 6), 4).data.data(), "6205", 4), 0);
}

TEST_F(SimStates, ByteSumWrapsAtSixteenBits)
{
    Bytes loader(300, 0xFF); // 76500 modulo 65536 = 0x2AD4
    ASSERT_EQ(ByteSum(loader), 0x2AD4);
    EXPECT_TRUE(UploadLoader(dev, loader));
}

TEST_F(SimStates, UploadsThatDoNotAddUpLeaveTheDeviceInRom)
{
    Bytes loader = SampleLoader();
    EXPECT_FALSE(UploadLoader(dev, loader, 1)); // wrong sum: EF 79 fails
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);

    // Fewer bytes than announced.
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}, 6).u32(2, 5000), 1).ok);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes(loader.begin(), loader.begin() + 4000)));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}, 6).u16(2, ByteSum(Bytes(loader.begin(), loader.begin() + 4000))), 1).ok);

    // More bytes than announced void the upload.
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}, 6).u32(2, 100), 1).ok);
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes(101, 1)));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}, 6).u16(2, 101), 1).ok);

    // A piece without an announcement, an empty or oversized announcement.
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes(10, 1)));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}, 6).u32(2, 0), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}, 6).u32(2, (1u << 20) + 1), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_TRUE(dev.loaderImage().empty());
}

TEST_F(SimStates, EmptyLastPieceIsAccepted)
{
    Bytes loader(4096, 0x11); // sent as 2048, 2048 and an empty piece
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}, 6).u32(2, 4096), 1).ok);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes(2048, 0x11)));
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes(2048, 0x11)));
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}, 6), Bytes{}));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x79}, 6).u16(2, ByteSum(loader)), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Loader);
}

TEST_F(SimStates, ResetReturnsToRom)
{
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_TRUE(NoData(dev, Cdb({0xEF, 0x81}, 6)));
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_FALSE(answersModel(dev));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x70}, 6), 5).ok);
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_TRUE(answersModel(dev));
}

TEST_F(SimStates, PowerCycleReturnsToRom)
{
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    dev.unplug();
    EXPECT_FALSE(In(dev, Cdb({0x12}, 6), 36).ok);
    dev.powerCycle();
    EXPECT_TRUE(dev.plugged());
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
}

TEST_F(SimStates, UnknownAndMalformedCommandsFail)
{
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x01}, 6), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0x99}, 6), 1).ok);
    uint8_t cdb[17] = {0xEF, 0x84};
    uint8_t reply[1];
    EXPECT_FALSE(dev.execute(cdb, 17, Direction::In, reply, 1, 12));
    EXPECT_FALSE(dev.execute(cdb, 0, Direction::In, reply, 1, 12));
    EXPECT_FALSE(dev.execute(cdb, 6, Direction::In, nullptr, 1, 12));
    // A reply command asked for with the wrong direction is refused.
    EXPECT_FALSE(dev.execute(cdb, 6, Direction::Out, reply, 1, 12));
}

} // namespace
