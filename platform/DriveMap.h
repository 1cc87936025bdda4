#pragma once
// Drive letters stand for devices as they did on the original platform: a letter is
// handed out when a device arrives and bound to what opens it and to the volume the
// FAT tools work on (a block device node or a simulated disk file).
#include "platform/ScsiTransport.h"

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
};

class DriveMap {
public:
    static DriveMap& global();

    // Binds the first free letter from 'D' to 'Z'; returns 0 when none is free.
    char assign(DriveBinding binding);
    // Binds a given letter (replacing what it held). Returns false for a letter outside A-Z.
    bool bind(char letter, DriveBinding binding);
    void release(char letter);
    std::optional<DriveBinding> find(char letter) const;
    std::vector<char> letters() const; // bound letters, in order
    void clear();

private:
    mutable std::mutex mutex_;
    std::optional<DriveBinding> drives_[26];
};

} // namespace platform
