// Program-file choice and the bonding-ID check.
#include "ProductionFixture.h"

#include "production/Firmware.h"

#include <cstring>

using namespace prodtest;

namespace {

// A program file with the given firmware-flag byte, module number and bonding block.
std::string ProgramBytes(uint8_t flagByte, uint8_t module, std::string bondingTag = "ID",
                         uint8_t bondingId = 0x03, size_t size = 40000)
{
    std::string f(size, '\0');
    std::memcpy(f.data(), "6205", 4);
    if (size > 2047) {
        f[2044] = bondingTag[0];
        f[2045] = bondingTag[1];
        f[2047] = char(bondingId);
    }
    if (size > 38911) {
        f[38909] = 'U';
        f[38910] = char(flagByte);
        f[38911] = char(module);
    }
    return f;
}

class FirmwareTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        answer = [this](const RecordedCall&) { return ScriptedAnswer{{chipId}, chipAnswers}; };
        thread->iFirmwareFlag = 1;
        thread->iModuleNumber = 2;
    }
    std::string Add(const std::string& name, const std::string& bytes)
    {
        dir.write("fw/" + name, bytes);
        window.copyList.push_back(dir.file("fw/" + name));
        return window.copyList.back();
    }

    uint8_t chipId = 0x03;
    bool chipAnswers = true;
};

TEST_F(FirmwareTest, ModuleNumberAndFirmwareFlagPickTheFile)
{
    Add("prefer.dat", "x");
    Add("program1.bin", ProgramBytes(0xAA, 1));
    const std::string second = Add("program2.bin", ProgramBytes(0xAA, 2));
    Add("program3.bin", ProgramBytes(0xAA, 2));
    ASSERT_EQ(FindProgramBin(*thread), 1);
    EXPECT_EQ(thread->iProgramIndex, 2);
    EXPECT_EQ(thread->sProgramFile, second);

    // 0xAA has bit 0x20 set: it must agree with the record's flag.
    thread->iFirmwareFlag = 0;
    EXPECT_EQ(FindProgramBin(*thread), 0);
    EXPECT_EQ(thread->iProgramIndex, -1);
    EXPECT_EQ(thread->sProgramFile, "");
    const std::string clear = Add("program_b.bin", ProgramBytes(0x8A, 2));
    EXPECT_EQ(FindProgramBin(*thread), 1);
    EXPECT_EQ(thread->sProgramFile, clear);
}

TEST_F(FirmwareTest, NameMustHoldProgramInAnyCaseAndTheFileBeLongEnough)
{
    dir.write("program/fw.bin", ProgramBytes(0xAA, 2)); // the folder name does not count
    window.copyList.push_back(dir.file("program/fw.bin"));
    Add("firmware.bin", ProgramBytes(0xAA, 2));
    Add("program_short.bin", ProgramBytes(0xAA, 2, "ID", 3, 38911)); // byte 38911 missing
    Add("program_tiny.bin", "6205");
    window.copyList.push_back(dir.file("fw/program_gone.bin"));
    EXPECT_EQ(FindProgramBin(*thread), 0);
    EXPECT_EQ(thread->iProgramIndex, -1);

    Add("MyProgramFile", ProgramBytes(0xAA, 2)); // no extension needed
    Add("PROGRAM.BIN", ProgramBytes(0xAA, 2));
    EXPECT_EQ(FindProgramBin(*thread), 1);
    EXPECT_EQ(thread->iProgramIndex, 5);
    window.copyList.erase(window.copyList.begin() + 5);
    EXPECT_EQ(FindProgramBin(*thread), 1);
    EXPECT_EQ(thread->iProgramIndex, 5);
}

TEST_F(FirmwareTest, BondingDecisionsInOrder)
{
    const struct {
        const char* what;
        std::string tag;
        uint8_t sdk, chip;
        int result;
        const char* caption;
    } cases[] = {
        {"firmware for any chip", "ID", 0xFF, 0x00, 1, ""},
        {"chip accepts any firmware", "ID", 0x00, 0x0F, 1, ""},
        {"no SDK ID", "ID", 0x00, 0x03, 0, "SDK bonding ID check fail 0"},
        {"tag missing", "XX", 0x03, 0x03, 0, "SDK bonding ID check fail 0"},
        {"chip ID 0", "ID", 0x03, 0x00, 0, "Chip bonding ID check fail0"},
        {"chip ID above 15", "ID", 0x03, 0x10, 0, "Chip bonding ID check fail16"},
        {"equal", "ID", 0x05, 0x05, 1, ""},
        {"different", "ID", 0x03, 0x05, 0, "SDK bonding ID not match 3"},
        // Each decision before the later ones.
        {"any firmware before a bad chip ID", "ID", 0xFF, 0x20, 1, ""},
        {"chip accepting any before a missing SDK ID", "XX", 0x00, 0x0F, 1, ""},
        {"missing SDK ID before a bad chip ID", "ID", 0x00, 0x00, 0, "SDK bonding ID check fail 0"},
        {"bad chip ID before equality", "ID", 0x10, 0x10, 0, "Chip bonding ID check fail16"},
    };
    for (const auto& c : cases) {
        thread->sProgramFile = Add("program.bin", ProgramBytes(0xAA, 2, c.tag, c.sdk));
        chipId = c.chip;
        status.SetCaption("");
        EXPECT_EQ(CheckBondingId(*thread), c.result) << c.what;
        EXPECT_EQ(status.Caption(), c.caption) << c.what;
    }
}

TEST_F(FirmwareTest, BondingReadAndItsFailures)
{
    window.fwUpgrade = false; // an unchecked upgrade never asks the chip
    thread->sProgramFile = Add("program.bin", ProgramBytes(0xAA, 2, "ID", 3));
    EXPECT_EQ(CheckBondingId(*thread), 1);
    EXPECT_EQ(drive.transport->callCount(), 0u);

    window.fwUpgrade = true;
    chipAnswers = false; // a failed read counts as chip ID 0
    EXPECT_EQ(CheckBondingId(*thread), 0);
    EXPECT_EQ(status.Caption(), "Chip bonding ID check fail0");
    ASSERT_EQ(drive.transport->callCount(), 1u);
    EXPECT_EQ(drive.transport->calls()[0].cdb[0], 0xEF);
    EXPECT_EQ(drive.transport->calls()[0].cdb[1], 0x8B);

    chipAnswers = true;
    thread->sProgramFile = Add("short.bin", std::string(2046, 'I')); // no SDK ID
    EXPECT_EQ(CheckBondingId(*thread), 0);
    EXPECT_EQ(status.Caption(), "SDK bonding ID check fail 0");
    thread->sProgramFile = dir.file("fw/none.bin");
    chipId = 0x0F;
    EXPECT_EQ(CheckBondingId(*thread), 1);
}

} // namespace
