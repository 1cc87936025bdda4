// ROM and loader states, data streams, one-byte answers and the SPI NOR variant.
#include "RawCommands.h"

using namespace simtest;

namespace {

class SimStates : public LoadedDevice {
protected:
    void SetUp() override {} // starts in ROM state
    bool answersModel() { return In(dev, Cdb({0xEF, 0x82}), 4).data == Bytes{'6', '2', '0', '5'}; }
};

TEST_F(SimStates, RomStateRefusesProductionCommandsAndBadUploads)
{
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_EQ(Slice(In(dev, Cdb({0x12}), 36).data, 0, 2), (Bytes{0x00, 0x80})); // removable direct-access
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x82}), 4).ok);
    EXPECT_FALSE(answersModel());
    const std::pair<Cdb, uint32_t> production[] = {
        {Cdb({0xEF, 0x70}), 5}, {Cdb({0xEF, 0x84}), 1}, {Cdb({0xEF, 0x73}), 2},
        {Cdb({0xEF, 0x7A}).u32(2, 10), 1}, {Cdb({0xEF, 0x97}), 1}};
    for (const auto& [cdb, length] : production)
        EXPECT_FALSE(In(dev, cdb, length).ok) << std::hex << int(cdb.b[1]);
    EXPECT_FALSE(RunScan(dev, Scan{}, 64).ok);

    // Uploads that do not add up leave the device in ROM state.
    Bytes loader = SampleLoader();
    EXPECT_FALSE(UploadLoader(dev, loader, 1)); // wrong sum
    Bytes part = Slice(loader, 0, 4000); // fewer bytes than announced
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 5000), 1).ok);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}), part));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}).u16(2, ByteSum(part)), 1).ok);
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 100), 1).ok); // more voids the upload
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}), Bytes(101, 1)));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}).u16(2, 101), 1).ok);
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}), Bytes(10, 1))); // no announcement
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}).u32(2, 0), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}).u32(2, (1u << 20) + 1), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_TRUE(dev.loaderImage().empty());
}

TEST_F(SimStates, UploadMovesToLoaderStateUntilResetOrPowerCycle)
{
    Bytes loader = SampleLoader();
    ASSERT_TRUE(UploadLoader(dev, loader));
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Loader);
    EXPECT_EQ(dev.loaderImage(), loader);
    EXPECT_TRUE(answersModel());
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x70}), 5).data, (Bytes{0x5A, 0xF1, 0x80, 0x15, 0x40})); // maker first
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x84}), 1)[0], 1);
    // Unknown and malformed commands fail.
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x01}), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0x99}), 1).ok);
    uint8_t cdb[17] = {0xEF, 0x84}, reply[1];
    EXPECT_FALSE(dev.execute(cdb, 17, Direction::In, reply, 1, 12));
    EXPECT_FALSE(dev.execute(cdb, 0, Direction::In, reply, 1, 12));
    EXPECT_FALSE(dev.execute(cdb, 6, Direction::In, nullptr, 1, 12));
    EXPECT_FALSE(dev.execute(cdb, 6, Direction::Out, reply, 1, 12)); // wrong direction

    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x81}), 0).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_FALSE(answersModel());
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x70}), 5).ok);

    ASSERT_EQ(ByteSum(Bytes(300, 0xFF)), 0x2AD4); // 76500: the sum wraps at 16 bits
    ASSERT_TRUE(UploadLoader(dev, Bytes(300, 0xFF)));
    EXPECT_TRUE(answersModel());

    dev.powerCycle(); // then 4096 bytes: two full pieces and an empty one
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 4096), 1).ok);
    for (const Bytes& piece : {Bytes(2048, 0x11), Bytes(2048, 0x11), Bytes{}})
        ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x78}), piece));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x79}).u16(2, ByteSum(Bytes(4096, 0x11))), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Loader);
}

class SimStreams : public LoadedDevice {
protected:
    SimStreams() : LoadedDevice(sim::Nand128M(), 3) {}
};

TEST_F(SimStreams, AreasAreRecordedInOrderWithTheirSizesAndAShortOneIsRefused)
{
    // program, prefer, phone book, CD-ROM image, PASS image
    const Bytes areas[] = {Pattern(5000, 1), Pattern(4096, 2), Pattern(1, 3), Pattern(0, 4), Pattern(2048 * 3 + 5, 5)};
    const uint32_t pieces[] = {3, 3, 1, 1, 4}; // 4096 ends with an empty piece
    for (const auto& a : areas)
        ASSERT_TRUE(Stream(dev, a));
    auto s = dev.streams();
    ASSERT_EQ(s.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(s[i].announced, areas[i].size()) << i;
        EXPECT_EQ(s[i].received, areas[i].size()) << i;
        EXPECT_EQ(s[i].pieces, pieces[i]) << i;
        EXPECT_TRUE(s[i].ended) << i;
        EXPECT_EQ(s[i].data, areas[i]) << i;
    }
    // Ended before all data came: refused, and nothing stays open.
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}).u32(2, 3000), 1).status());
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x7B}), Bytes(2048, 1)));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x7C}), 1).refused());
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x7C}), 1).status());
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x7B}), Bytes(10, 1)));
    EXPECT_FALSE(dev.streams().back().ended);
    EXPECT_EQ(dev.streams().back().received, 2048u);
}

TEST_F(SimStreams, OneByteAnswersParityAndANewSession)
{
    const std::pair<uint8_t, uint8_t> cases[] = {
        {0x8B, 0x0F},     // bonding ID: any firmware
        {0x9A, 0x80 | 3}, // port number
        {0x9C, 0},        // no SPI size on NAND
        {0x72, 0},        // SPI check refused on NAND
    };
    for (const auto& [op, expected] : cases) {
        Reply r = In(dev, Cdb({0xEF, op}), 1);
        EXPECT_TRUE(r.ok && r[0] == expected) << std::hex << int(op) << ": " << int(r[0]);
    }
    dev.setUsbPort(0);
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9A}), 1)[0], 0);
    // Parity needs a written program; a new loader starts a new session.
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x87}), 2).refused());
    ASSERT_TRUE(Stream(dev, Bytes{0x01, 0x02, 0x04}));
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x87}), 2).data, (Bytes{0x01, 0x07}));
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x8D}).set(2, 4), 1).status());
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x97}), 1).ok);
    EXPECT_EQ(dev.moduleNumber(), 4);
    EXPECT_TRUE(dev.fsmInitDone());
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_TRUE(dev.streams().empty());
    EXPECT_EQ(dev.moduleNumber(), -1);
    EXPECT_FALSE(dev.fsmInitDone());
}

class SimSpi : public LoadedDevice {
protected:
    SimSpi() : LoadedDevice(sim::SpiNor4M()) {}
};

TEST_F(SimSpi, IdentifiesAsSpiNorAndServesItsAreas)
{
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x70}), 5).data, (Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF}));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x72}), 1, 300).status());
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9C}), 1)[0], 4);
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x73}), 2, 30).status());
    EXPECT_FALSE(RunScan(dev, Scan{}, 64).status()); // no NAND to scan

    auto profile = sim::SpiNor4M();
    profile.spiCheckPasses = false;
    SimulatedDevice bad(profile, dir.path(), "spi1");
    ASSERT_TRUE(UploadLoader(bad, SampleLoader()));
    EXPECT_TRUE(In(bad, Cdb({0xEF, 0x72}), 1, 300).refused());

    // Area reads stay inside the flash; EE 9E writes what EF 9D reads.
    const uint32_t lastUnit = 4 * 1024 * 1024 / 256 - 8;
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x9D}).u16(2, lastUnit).u16(4, 8), 2048).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}).u16(2, lastUnit + 1).u16(4, 8), 2048).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}).u16(2, 0).u16(4, 8), 1024).ok); // length mismatch
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x9E}).u16(2, 16).u16(4, 1), Bytes(256, 0x42)));
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x9D}).u16(2, 16).u16(4, 1), 256).data, Bytes(256, 0x42));
}

TEST_F(SimSpi, ProgramAndPreferLandWhereTheReadBackExpectsThem)
{
    Bytes program = Pattern(100000, 1), prefer = Pattern(4096, 2); // program rounded up to R
    ASSERT_TRUE(Stream(dev, program));
    ASSERT_TRUE(Stream(dev, prefer));
    const uint32_t R = 131072, units = (R + 65536 + 4096) / 256;
    Bytes dump; // as the host reads back: 8 units of 256 bytes per command
    for (uint32_t u = 0; u < units; u += 8) {
        Reply r = In(dev, Cdb({0xEF, 0x9D}).u16(2, u).u16(4, 8), 2048, 10);
        ASSERT_TRUE(r.ok) << u;
        dump.insert(dump.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(Slice(dump, 0, 4), Slice(program, 0, 4));
    EXPECT_EQ(Slice(dump, 65536, 65536 + program.size() - 2048), Slice(program, 2048, program.size()));
    EXPECT_EQ(Slice(dump, R + 65536, R + 65536 + 2048), Slice(prefer, 2048, 4096));
    EXPECT_EQ(dev.spiFlash(R + 65536, 2048), Slice(prefer, 2048, 4096));
}

} // namespace
