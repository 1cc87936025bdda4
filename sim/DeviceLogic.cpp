// The simulated controller's answers, one handler per command.
#include "sim/DeviceState.h"

#include "platform/ByteOrder.h"
#include "platform/VendorCommands.h"
#include "sim/FreshVolume.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

using platform::Direction;

constexpr uint32_t kMaxLoaderBytes = 1u << 20;      // the controller's loader RAM
constexpr size_t kMaxStreamKept = 64u << 20;          // bytes of a stream kept for tests
constexpr uint64_t kSystemAreaUnit = 4ull << 20;      // 4 MiB
constexpr uint64_t kPublicAreaBytes = 4ull << 20;     // user disk left in a whole-hidden split
constexpr uint32_t kRecordBytes = 512;
constexpr uint32_t kDescriptionPiece = 2048;
constexpr uint32_t kSpiProgramOffset = 65536;

bool wantsIn(const Request& r, uint32_t atLeast)
{
    return r.direction == Direction::In && r.length >= atLeast && (r.length == 0 || r.buffer);
}

bool wantsOut(const Request& r)
{
    return r.direction == Direction::Out && (r.length == 0 || r.buffer);
}

// Replies with a status byte; the rest of the buffer is already zero.
bool status(const Request& r, bool ok)
{
    if (!wantsIn(r, 1))
        return false;
    r.buffer[0] = ok ? 0x01 : 0x00;
    return true;
}

uint16_t byteSum(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return uint16_t(sum);
}

// fresh: set when the disk was made anew (all zero).
bool resizeDiskFile(const std::string& path, uint64_t bytes, bool& fresh)
{
    struct stat st {};
    fresh = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) != bytes) {
        // A disk of another size starts empty, as after a new low-level format.
        ok = ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, off_t(bytes)) == 0;
        fresh = ok;
    }
    ::close(fd);
    return ok;
}

// A new disk too small for the tool to format gets an empty FAT volume from the device.
bool prepareDisk(const std::string& path, uint64_t bytes, uint32_t sectorSize, uint32_t serial)
{
    bool fresh = false;
    if (!resizeDiskFile(path, bytes, fresh))
        return false;
    if (fresh && bytes <= kSelfFormattedDiskBytes)
        return WriteFreshFatVolume(path, bytes / sectorSize, sectorSize, serial);
    return true;
}

bool diskIo(const std::string& path, bool write, uint8_t* buffer, uint64_t offset, uint32_t length)
{
    int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write ? ::pwrite(fd, buffer + done, length - done, off_t(offset + done))
                          : ::pread(fd, buffer + done, length - done, off_t(offset + done));
        if (n <= 0)
            break;
        done += uint32_t(n);
    }
    ::close(fd);
    return done == length;
}

} // namespace

// The device's behaviour, one handler per command. Runs under the device's lock.
class DeviceLogic {
public:
    DeviceLogic(SimulatedDevice& dev, DeviceState& d, const FlashProfile& p,
                std::vector<SimulatedDevice::Event>& events)
        : dev_(dev), d_(d), p_(p), events_(events)
    {
    }

    bool run(uint16_t code, const Request& r)
    {
        using namespace platform::scsi;
        switch (code) {
        case kInquiry: return inquiry(r);
        case kReadCapacity: return readCapacity(r);
        case kRead10: return readWrite10(r, false);
        case kWrite10: return readWrite10(r, true);
        case kStartStopUnit: return startStopUnit(r);
        case VendorIn(vendor::kUploadBegin): return uploadBegin(r);
        case VendorOut(vendor::kUploadChunk): return uploadChunk(r);
        case VendorIn(vendor::kUploadChecksum): return uploadChecksum(r);
        case VendorIn(vendor::kReset): return reset(r);
        case VendorIn(vendor::kAskLoaderModel):
            return askChipModel(r, d_.state == SimulatedDevice::State::Loader);
        default: break;
        }
        // Everything else is production work that needs the loader.
        if (d_.state != SimulatedDevice::State::Loader)
            return false;
        switch (code) {
        case VendorIn(vendor::kReadFlashId): return readFlashId(r);
        case VendorIn(vendor::kChipCount): return reply(r, p_.spi ? 1 : p_.chips);
        case VendorOut(vendor::kWriteDescription): return writeDescription(r);
        case VendorIn(vendor::kSpiBadBlockCheck): return status(r, p_.spi && p_.spiCheckPasses);
        case VendorIn(vendor::kScan): return scan(r);
        case VendorIn(vendor::kCheckBlock): return checkBlock(r);
        case VendorOut(vendor::kWritePage): return writePage(r);
        case VendorIn(vendor::kReadPage): return readPage(r);
        case VendorIn(vendor::kFsmInit): return fsmInit(r);
        case VendorIn(vendor::kReadInfoSector): return readInfoSector(r);
        case VendorIn(vendor::kReadBlockBitmap): return readBlockBitmap(r);
        case VendorOut(vendor::kWritePageTable): return writePageTable(r);
        case VendorIn(vendor::kStreamSetup): return streamSetup(r);
        case VendorOut(vendor::kStreamData): return streamData(r);
        case VendorIn(vendor::kStreamEnd): return streamEnd(r);
        case VendorIn(vendor::kParityCheck): return parityCheck(r);
        case VendorIn(vendor::kSetFlashModule): return setFlashModule(r);
        case VendorIn(vendor::kBondingId): return reply(r, p_.bondingId);
        case VendorIn(vendor::kPortNumber): return reply(r, d_.usbPort ? uint8_t(0x80 | d_.usbPort) : 0);
        case VendorIn(vendor::kStartDisk): return startDisk(r);
        case VendorIn(vendor::kHiddenDisk): return hiddenDisk(r);
        case VendorIn(vendor::kSpiSize): return reply(r, p_.spi ? p_.spiSizeMB : 0);
        case VendorIn(vendor::kReadSpiArea): return spiArea(r, false);
        case VendorOut(vendor::kWriteSpiArea): return spiArea(r, true);
        case VendorIn(vendor::kAskChipModel): return askChipModel(r, true);
        // Settings nothing reads back: accepted.
        case VendorIn(vendor::kSetSysAreaSize):
        case VendorIn(vendor::kSetValue91):
        case VendorIn(vendor::kSetValue8E):
        case VendorIn(vendor::kSetValue8F): return status(r, true);
        case VendorIn(vendor::kGetB0): return reply(r, 0);
        case VendorIn(vendor::kRead99): return wantsIn(r, 0);
        default: return false;
        }
    }

private:
    bool reply(const Request& r, uint8_t value)
    {
        if (!wantsIn(r, 1))
            return false;
        r.buffer[0] = value;
        return true;
    }

    // ---- standard SCSI ----
    bool inquiry(const Request& r)
    {
        if (r.direction != Direction::In || (r.length && !r.buffer))
            return false;
        if (r.length == 0)
            return true;
        uint8_t data[36] = {0x00, 0x80, 0x02, 0x02, 31};
        std::memcpy(data + 8, "SIMULATE", 8);
        std::memcpy(data + 16, "6205 Flash Disk ", 16);
        std::memcpy(data + 32, "1.00", 4);
        std::memcpy(r.buffer, data, std::min<uint32_t>(r.length, sizeof data));
        return true;
    }

    bool diskReady() const { return d_.current != SimulatedDevice::Disk::None && !d_.stopped; }
    const std::string& diskPath() const
    {
        return d_.current == SimulatedDevice::Disk::Hidden ? d_.hiddenPath : d_.userPath;
    }
    uint64_t diskSectors() const
    {
        return d_.current == SimulatedDevice::Disk::Hidden ? d_.hiddenSectors : d_.userSectors;
    }

    bool readCapacity(const Request& r)
    {
        if (!wantsIn(r, 8) || !diskReady() || diskSectors() == 0)
            return false;
        uint64_t last = diskSectors() - 1;
        platform::PutBe32(r.buffer, last > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(last));
        platform::PutBe32(r.buffer + 4, p_.sectorSize);
        return true;
    }

    bool readWrite10(const Request& r, bool write)
    {
        if (r.cdbLength < 10 || !diskReady())
            return false;
        if (write ? !wantsOut(r) : r.direction != Direction::In)
            return false;
        uint64_t lba = platform::GetBe32(r.cdb + 2);
        uint32_t count = platform::GetBe16(r.cdb + 7);
        if (uint64_t(count) * p_.sectorSize != r.length || lba + count > diskSectors())
            return false;
        if (count == 0)
            return true;
        return diskIo(diskPath(), write, r.buffer, lba * p_.sectorSize, r.length);
    }

    bool startStopUnit(const Request& r)
    {
        if (r.length != 0)
            return false;
        d_.stopped = !(r.cdbLength > 4 && (r.cdb[4] & 0x01));
        return true;
    }

    // ---- loader ----
    bool uploadBegin(const Request& r)
    {
        uint32_t size = platform::GetBe32(r.cdb + 2);
        d_.uploading = false;
        if (size == 0 || size > kMaxLoaderBytes || !status(r, true))
            return false;
        d_.uploading = true;
        d_.uploadSize = size;
        d_.uploadBuffer.clear();
        return true;
    }

    bool uploadChunk(const Request& r)
    {
        if (!d_.uploading || !wantsOut(r))
            return false;
        if (d_.uploadBuffer.size() + r.length > d_.uploadSize) {
            d_.uploading = false; // more than announced: the upload is void
            return false;
        }
        d_.uploadBuffer.insert(d_.uploadBuffer.end(), r.buffer, r.buffer + r.length);
        return true;
    }

    bool uploadChecksum(const Request& r)
    {
        bool ok = d_.uploading && d_.uploadBuffer.size() == d_.uploadSize &&
                  byteSum(d_.uploadBuffer) == platform::GetBe16(r.cdb + 2);
        d_.uploading = false;
        if (!ok || !status(r, true))
            return false;
        d_.loader = std::move(d_.uploadBuffer);
        d_.uploadBuffer.clear();
        d_.state = SimulatedDevice::State::Loader;
        // A new loader starts a new production session.
        d_.streams.clear();
        d_.streamOpen = false;
        d_.fsmInit = false;
        d_.moduleNumber = -1;
        return true;
    }

    bool reset(const Request& r)
    {
        if (r.length != 0)
            return false;
        d_.state = SimulatedDevice::State::Rom;
        d_.uploading = false;
        d_.streamOpen = false;
        d_.diskStarted = false;
        d_.current = d_.userPath.empty() ? SimulatedDevice::Disk::None : SimulatedDevice::Disk::User;
        d_.stopped = false;
        d_.pageTable.assign(p_.pagesPerBlock, 0xFF); // the page table lives in RAM
        events_.push_back(SimulatedDevice::Event::Reset);
        return true;
    }

    bool askChipModel(const Request& r, bool answer)
    {
        if (!wantsIn(r, 4))
            return false;
        if (answer)
            std::memcpy(r.buffer, "6205", 4);
        return true;
    }

    // ---- flash ----
    bool fsmInit(const Request& r)
    {
        if (!status(r, true))
            return false;
        d_.fsmInit = true;
        return true;
    }

    bool setFlashModule(const Request& r)
    {
        if (!status(r, true))
            return false;
        d_.moduleNumber = r.cdb[2];
        return true;
    }

    bool readFlashId(const Request& r)
    {
        if (!wantsIn(r, 5))
            return false;
        static const uint8_t spiId[5] = {0xFF, 0x00, 0xFF, 0x00, 0xFF};
        std::memcpy(r.buffer, p_.spi ? spiId : p_.flashId.data(), 5);
        return true;
    }

    // A description arrives in full pieces and ends with a shorter one (an empty one when
    // its size is a multiple of the piece); the 512-byte device information block comes
    // as one piece. The record is the first 512 bytes, zero beyond what was sent.
    bool writeDescription(const Request& r)
    {
        if (!wantsOut(r) || r.length > kDescriptionPiece)
            return false;
        if (d_.descriptionBuffer.size() < kRecordBytes) {
            const size_t keep = std::min<size_t>(r.length, kRecordBytes - d_.descriptionBuffer.size());
            d_.descriptionBuffer.insert(d_.descriptionBuffer.end(), r.buffer, r.buffer + keep);
        }
        if (r.length < kDescriptionPiece) {
            d_.description = std::move(d_.descriptionBuffer);
            d_.description.resize(kRecordBytes, 0);
            d_.descriptionBuffer.clear();
        }
        return true;
    }

    bool blockBroken(uint32_t b) const { return d_.factoryBad[b] || d_.eraseFail[b]; }

    void erase(uint32_t b)
    {
        d_.blocks[b] = {};
        uint32_t first = b * p_.pagesPerBlock;
        d_.pages.erase(d_.pages.lower_bound(first), d_.pages.lower_bound(first + p_.pagesPerBlock));
    }

    // Bit errors of page p of block b when it holds the given pattern.
    uint32_t bitErrors(uint32_t b, uint32_t p, uint16_t pattern) const
    {
        uint32_t errors = 0;
        auto it = d_.faultsByBlock.find(b);
        if (it != d_.faultsByBlock.end()) {
            for (const auto& f : it->second) {
                if (f.page >= 0 && uint32_t(f.page) != p)
                    continue;
                if ((f.when == PageFault::When::PatternIs && pattern != f.pattern) ||
                    (f.when == PageFault::When::PatternIsNot && pattern == f.pattern))
                    continue;
                errors += f.bits;
            }
        }
        for (const auto& w : p_.weakPages) {
            if (!w.blocks.empty() && std::find(w.blocks.begin(), w.blocks.end(), b) == w.blocks.end())
                continue;
            bool hit = false;
            switch (w.where) {
            case WeakPages::Where::OddPages: hit = p % 2 == 1; break;
            case WeakPages::Where::EvenPages: hit = p % 2 == 0; break;
            case WeakPages::Where::FirstHalf: hit = p < p_.pagesPerBlock / 2; break;
            case WeakPages::Where::SecondHalf: hit = p >= p_.pagesPerBlock / 2; break;
            }
            if (hit)
                errors += w.bits;
        }
        return std::min<uint32_t>(errors, 255);
    }

    // One block of a scan: writes the pattern (operation bit 2), reads it back (bit 1).
    // Returns the block's verdict (0xFF good, else the worst page's ECC byte); fills
    // pageEcc (pagesPerBlock bytes, 255 - bit errors) when given.
    uint8_t scanBlock(uint32_t b, uint8_t op, uint16_t pattern, uint8_t dataMode, uint8_t skip,
                      uint8_t threshold, uint8_t* pageEcc)
    {
        const uint32_t ppb = p_.pagesPerBlock;
        if (blockBroken(b)) {
            if (pageEcc)
                std::memset(pageEcc, 0, ppb);
            return 0x00;
        }
        if (op & 2) {
            erase(b);
            d_.blocks[b] = {true, pattern, dataMode};
        }
        if (!(op & 1)) {
            if (pageEcc)
                std::memset(pageEcc, 0xFF, ppb);
            return 0xFF;
        }
        // A verify compares with the block's last pattern word; the data mode only says how
        // the word is laid out, so a verify in another mode still finds the word.
        const auto& held = d_.blocks[b];
        const bool matches = held.patterned && held.pattern == pattern;
        bool bad = false;
        uint8_t worst = 0xFF;
        for (uint32_t p = 0; p < ppb; ++p) {
            bool checked = d_.pageTable[p] == 0xFF && (skip == 0 || p % (uint32_t(skip) + 1) == 0);
            uint8_t ecc = 0xFF;
            if (checked) {
                uint32_t errors = matches ? bitErrors(b, p, pattern) : 255;
                ecc = uint8_t(255 - errors);
                if (errors > threshold)
                    bad = true;
                worst = std::min(worst, ecc);
            }
            if (pageEcc)
                pageEcc[p] = ecc;
        }
        return bad ? worst : 0xFF;
    }

    bool scan(const Request& r)
    {
        if (r.cdbLength < 16 || r.direction != Direction::In || !r.buffer)
            return false;
        const uint32_t block = platform::GetBe32(r.cdb + 2);
        const uint32_t count = platform::GetBe16(r.cdb + 6);
        const uint16_t pattern = platform::GetBe16(r.cdb + 8);
        const uint8_t dataMode = r.cdb[10], op = r.cdb[11], skip = r.cdb[12], threshold = r.cdb[13];
        const bool perPage = r.cdb[14] != 0;
        const uint32_t expected = perPage ? p_.pagesPerBlock + 1 : count + 1;
        if (r.length != expected)
            return false;
        const bool valid = !p_.spi && count >= 1 && uint64_t(block) + count <= p_.totalBlocks() &&
                           op >= 1 && op <= 3 && (dataMode == 1 || dataMode == 2 || dataMode == 4);
        if (!valid)
            return true; // status 0
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* pageEcc = (perPage && i == 0) ? r.buffer + 1 : nullptr;
            uint8_t verdict = scanBlock(block + i, op, pattern, dataMode, skip, threshold, pageEcc);
            if (!perPage)
                r.buffer[1 + i] = verdict;
        }
        r.buffer[0] = 0x01;
        return true;
    }

    bool checkBlock(const Request& r)
    {
        if (r.cdbLength < 8)
            return false;
        const uint32_t block = platform::GetBe32(r.cdb + 2);
        const uint32_t count = platform::GetBe16(r.cdb + 6);
        bool ok = !p_.spi && count >= 1 && uint64_t(block) + count <= p_.totalBlocks();
        for (uint32_t i = 0; ok && i < count; ++i) {
            if (blockBroken(block + i))
                ok = false;
            else
                erase(block + i);
        }
        return status(r, ok);
    }

    bool writePage(const Request& r)
    {
        if (!wantsOut(r) || p_.spi)
            return false;
        const uint32_t page = platform::GetBe32(r.cdb + 2);
        const uint32_t b = page / p_.pagesPerBlock;
        if (b >= p_.totalBlocks() || blockBroken(b) || r.length > p_.pageSize)
            return false;
        std::vector<uint8_t> data(p_.pageSize, 0xFF);
        std::memcpy(data.data(), r.buffer, r.length);
        d_.pages[page] = std::move(data);
        d_.blocks[b].patterned = false;
        return true;
    }

    bool readPage(const Request& r)
    {
        if (r.direction != Direction::In || p_.spi)
            return false;
        const uint32_t page = platform::GetBe32(r.cdb + 2);
        const uint32_t n = platform::GetBe16(r.cdb + 6);
        if (uint64_t(n) * p_.pageSize < r.length ||
            uint64_t(page) + n > uint64_t(p_.totalBlocks()) * p_.pagesPerBlock)
            return false;
        for (uint32_t off = 0; off < r.length; off += p_.pageSize) {
            uint32_t chunk = std::min(p_.pageSize, r.length - off);
            auto it = d_.pages.find(page + off / p_.pageSize);
            if (it == d_.pages.end())
                std::memset(r.buffer + off, 0xFF, chunk);
            else
                std::memcpy(r.buffer + off, it->second.data(), chunk);
        }
        return true;
    }

    // The chip tag "6205"; the tool may have marked byte 2 with 'X' (a record written
    // without a firmware upgrade), which leaves the record the device's own.
    static bool isRecord(const std::vector<uint8_t>& page)
    {
        return page.size() >= 4 && page[0] == '6' && page[1] == '2' && (page[2] == '0' || page[2] == 'X') &&
               page[3] == '5';
    }

    // The configuration record the tool wrote: the first page of its block that carries
    // the chip tag, in the lowest block holding one.
    std::map<uint32_t, std::vector<uint8_t>>::const_iterator findRecord() const
    {
        uint32_t lastBlock = UINT32_MAX;
        for (auto it = d_.pages.begin(); it != d_.pages.end(); ++it) {
            uint32_t b = it->first / p_.pagesPerBlock;
            if (b == lastBlock)
                continue; // only a block's first written page can hold the record
            lastBlock = b;
            if (isRecord(it->second))
                return it;
        }
        return d_.pages.end();
    }

    bool readInfoSector(const Request& r)
    {
        if (!wantsIn(r, 0))
            return false;
        auto rec = findRecord();
        if (rec != d_.pages.end())
            std::memcpy(r.buffer, rec->second.data(), std::min<size_t>(r.length, std::min<size_t>(kRecordBytes, rec->second.size())));
        return true;
    }

    // Good-block bitmap: the pages written after the record in its block, else the one
    // made at the factory (usable blocks that are not marked bad). MSB first, 1 = good.
    std::vector<uint8_t> bitmap() const
    {
        auto rec = findRecord();
        std::vector<uint8_t> bits;
        if (rec != d_.pages.end()) {
            uint32_t end = (rec->first / p_.pagesPerBlock + 1) * p_.pagesPerBlock;
            for (auto it = std::next(rec); it != d_.pages.end() && it->first < end; ++it)
                bits.insert(bits.end(), it->second.begin(), it->second.end());
            return bits;
        }
        bits.assign((p_.totalBlocks() + 7) / 8, 0);
        for (uint32_t i = 0; i < p_.totalBlocks(); ++i)
            if (i % p_.blocksPerChip < p_.usableBlocksPerChip && !d_.factoryBad[i])
                bits[i / 8] |= uint8_t(0x80 >> (i % 8));
        return bits;
    }

    bool readBlockBitmap(const Request& r)
    {
        if (r.cdbLength < 6 || r.direction != Direction::In || p_.spi)
            return false;
        const uint32_t length = platform::GetBe32(r.cdb + 2);
        if (length != r.length || length > 65536)
            return false;
        auto bits = bitmap();
        std::memcpy(r.buffer, bits.data(), std::min<size_t>(bits.size(), length));
        return true;
    }

    uint64_t goodBlocks() const
    {
        auto bits = bitmap();
        uint64_t good = 0;
        for (uint32_t i = 0; i < p_.totalBlocks() && i / 8 < bits.size(); ++i)
            if (bits[i / 8] & (0x80 >> (i % 8)))
                ++good;
        return good;
    }

    bool writePageTable(const Request& r)
    {
        if (!wantsOut(r) || r.length == 0 || r.length > 8192)
            return false;
        d_.pageTable.assign(p_.pagesPerBlock, 0x00);
        std::memcpy(d_.pageTable.data(), r.buffer, std::min<uint32_t>(r.length, p_.pagesPerBlock));
        return true;
    }

    // ---- data streams ----
    bool streamSetup(const Request& r)
    {
        if (!wantsIn(r, 1))
            return false;
        StreamRecord s;
        s.announced = platform::GetBe32(r.cdb + 2);
        d_.streams.push_back(std::move(s));
        d_.streamOpen = true;
        return status(r, true);
    }

    bool streamData(const Request& r)
    {
        if (!d_.streamOpen || !wantsOut(r))
            return false;
        auto& s = d_.streams.back();
        size_t keep = std::min<size_t>(r.length, kMaxStreamKept - std::min(kMaxStreamKept, s.data.size()));
        s.data.insert(s.data.end(), r.buffer, r.buffer + keep);
        s.received += r.length;
        s.pieces += 1;
        return true;
    }

    bool streamEnd(const Request& r)
    {
        if (!wantsIn(r, 1))
            return false;
        if (!d_.streamOpen)
            return status(r, false);
        d_.streamOpen = false;
        auto& s = d_.streams.back();
        if (s.received < s.announced)
            return status(r, false); // data missing: the area is not valid
        s.ended = true;
        if (p_.spi)
            placeOnSpi(s);
        return status(r, true);
    }

    size_t endedStreams() const
    {
        return size_t(std::count_if(d_.streams.begin(), d_.streams.end(), [](const StreamRecord& s) { return s.ended; }));
    }

    void spiWrite(uint64_t offset, const uint8_t* data, size_t length)
    {
        if (offset >= d_.spi.size())
            return;
        std::memcpy(d_.spi.data() + offset, data, std::min<uint64_t>(length, d_.spi.size() - offset));
    }

    // An SPI device keeps the program's header at 0 and its body from 64 KiB; the prefer
    // data's body follows the program body at the next 64 KiB boundary.
    void placeOnSpi(const StreamRecord& s)
    {
        const size_t index = endedStreams() - 1;
        const auto& data = s.data;
        const size_t head = std::min<size_t>(data.size(), 2048);
        if (index == 0) {
            spiWrite(0, data.data(), head);
            if (data.size() > 2048)
                spiWrite(kSpiProgramOffset, data.data() + 2048, data.size() - 2048);
        } else if (index == 1) {
            uint64_t programSize = 0;
            for (const auto& st : d_.streams)
                if (st.ended) {
                    programSize = st.received;
                    break;
                }
            uint64_t r64 = (programSize + 65535) / 65536 * 65536;
            spiWrite(2048, data.data(), head);
            if (data.size() > 2048)
                spiWrite(r64 + kSpiProgramOffset, data.data() + 2048, data.size() - 2048);
        }
    }

    bool parityCheck(const Request& r)
    {
        if (!wantsIn(r, 1))
            return false;
        for (const auto& s : d_.streams) {
            if (!s.ended)
                continue;
            uint8_t x = 0;
            for (uint8_t b : s.data)
                x ^= b;
            r.buffer[0] = 0x01;
            if (r.length > 1)
                r.buffer[1] = x;
            return true;
        }
        return status(r, false); // no firmware written
    }

    // ---- disks ----
    struct Split {
        uint64_t user = 0, hidden = 0;
    };

    // Disk sizes from the good blocks, the pages in use, and the system area and hidden
    // ratio of the configuration record.
    Split diskSplit() const
    {
        Split s;
        uint64_t pagesUsed = uint64_t(std::count(d_.pageTable.begin(), d_.pageTable.end(), 0xFF));
        uint64_t bytes = goodBlocks() * pagesUsed * p_.pageSize;
        uint64_t system = kSystemAreaUnit;
        uint8_t ratio = 0;
        auto rec = findRecord();
        if (rec != d_.pages.end() && rec->second.size() > 162) {
            if (rec->second[161])
                system = rec->second[161] * kSystemAreaUnit;
            ratio = rec->second[162];
        }
        if (bytes <= system)
            return s;
        uint64_t data = bytes - system;
        if (ratio == 255) {
            s.user = std::min(kPublicAreaBytes, data / 2);
            s.hidden = data - s.user;
        } else {
            s.hidden = data * ratio / 256;
            s.user = data - s.hidden;
        }
        s.user = s.user / p_.sectorSize * p_.sectorSize;
        s.hidden = s.hidden / p_.sectorSize * p_.sectorSize;
        return s;
    }

    // A volume serial number that stays the same for a device and disk.
    uint32_t volumeSerial(uint8_t disk) const
    {
        uint32_t h = 2166136261u;
        for (char c : dev_.id())
            h = (h ^ uint8_t(c)) * 16777619u;
        return (h ^ disk) * 16777619u;
    }

    bool startDisk(const Request& r)
    {
        if (!wantsIn(r, 1))
            return false;
        if (p_.spi) {
            d_.diskStarted = true;
            return status(r, true);
        }
        Split s = diskSplit();
        if (s.user == 0)
            return status(r, false);
        std::string path = d_.folder + "/" + dev_.id() + "-user.img";
        if (!prepareDisk(path, s.user, p_.sectorSize, volumeSerial(0x55)))
            return status(r, false);
        d_.userPath = path;
        d_.userSectors = s.user / p_.sectorSize;
        d_.diskStarted = true;
        d_.current = SimulatedDevice::Disk::User;
        d_.stopped = false;
        return status(r, true);
    }

    bool hiddenDisk(const Request& r)
    {
        if (!wantsIn(r, 1))
            return false;
        if (!d_.diskStarted || p_.spi)
            return status(r, false);
        Split s = diskSplit();
        if (s.hidden == 0)
            return status(r, false);
        std::string path = d_.folder + "/" + dev_.id() + "-hidden.img";
        if (!prepareDisk(path, s.hidden, p_.sectorSize, volumeSerial(0x48)))
            return status(r, false);
        d_.hiddenPath = path;
        d_.hiddenSectors = s.hidden / p_.sectorSize;
        d_.current = SimulatedDevice::Disk::Hidden;
        d_.stopped = false;
        return status(r, true);
    }

    bool spiArea(const Request& r, bool write)
    {
        if (!p_.spi || (write ? !wantsOut(r) : r.direction != Direction::In))
            return false;
        const uint64_t offset = uint64_t(platform::GetBe16(r.cdb + 2)) * 256;
        const uint64_t bytes = uint64_t(platform::GetBe16(r.cdb + 4)) * 256;
        if (bytes != r.length || offset + bytes > d_.spi.size())
            return false;
        if (write)
            std::memcpy(d_.spi.data() + offset, r.buffer, bytes);
        else
            std::memcpy(r.buffer, d_.spi.data() + offset, bytes);
        return true;
    }

    SimulatedDevice& dev_;
    DeviceState& d_;
    const FlashProfile& p_;
    std::vector<SimulatedDevice::Event>& events_;
};

bool RunDeviceCommand(SimulatedDevice& dev, DeviceState& d, const FlashProfile& p,
                      std::vector<SimulatedDevice::Event>& events, uint16_t code, const Request& r)
{
    DeviceLogic logic(dev, d, p, events);
    return logic.run(code, r);
}

} // namespace sim
