#pragma once
// Drive letters stand for devices as they do on a Windows station: a letter is
// handed out when a device arrives and bound to what opens it and to the volume the
// FAT tools work on (a block device node or a simulated disk file).
#include "platform/ScsiTransport.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct DriveBinding {
    // Opens the device; null when it cannot be opened (gone, no permission).
    std::function<std::shared_ptr<ScsiTransport>()> open;
    // The node or disk file that volume tools (mkfs.fat, mtools) work on; "" when none.
    std::function<std::string()> volumePath;
    // What the letter stands for, for logs and tests ("/dev/sg2", "sim:3").
    std::string name;
    // Set by the map: a number no other binding had, so that a device that took the
    // letter of one that has gone is never taken for it.
    uint64_t serial = 0;
};

// While it lives, the calling thread sees `letter` only while it is bound to the binding
// numbered `serial` (0: any): a run started on one device never reaches the next device
// given its letter.
class DrivePin {
public:
    DrivePin(char letter, uint64_t serial);
    ~DrivePin();
    DrivePin(const DrivePin&) = delete;
    DrivePin& operator=(const DrivePin&) = delete;

private:
    char savedLetter_;
    uint64_t savedSerial_;
};

class DriveMap {
public:
    static DriveMap& global();

    // Binds the first free letter from 'D' to 'Z'; returns 0 when none is free.
    char assign(DriveBinding binding);
    // Binds a given letter (replacing what it held). Returns false for a letter outside A-Z.
    bool bind(char letter, DriveBinding binding);
    void release(char letter);
    // Nothing for a letter the calling thread has pinned to another binding.
    std::optional<DriveBinding> find(char letter) const;
    // The serial of the letter's binding, 0 when unbound (pins are not applied).
    uint64_t serialOf(char letter) const;
    std::vector<char> letters() const; // bound letters, in order
    void clear();

private:
    mutable std::mutex mutex_;
    std::optional<DriveBinding> drives_[26];
    uint64_t nextSerial_ = 1;
};

} // namespace platform
