// The drive map: letters bound to devices as they arrive.
#include "platform/DriveMap.h"

#include <cctype>

namespace platform {

namespace {
int indexOf(char letter)
{
    int c = std::toupper(static_cast<unsigned char>(letter));
    return (c >= 'A' && c <= 'Z') ? c - 'A' : -1;
}
thread_local char g_pinnedLetter = 0;
thread_local uint64_t g_pinnedSerial = 0;
} // namespace

DrivePin::DrivePin(char letter, uint64_t serial) : savedLetter_(g_pinnedLetter), savedSerial_(g_pinnedSerial)
{
    g_pinnedLetter = serial ? letter : 0;
    g_pinnedSerial = serial;
}

DrivePin::~DrivePin()
{
    g_pinnedLetter = savedLetter_;
    g_pinnedSerial = savedSerial_;
}

DriveMap& DriveMap::global()
{
    static DriveMap map;
    return map;
}

char DriveMap::assign(DriveBinding binding)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 'D' - 'A'; i < 26; ++i) {
        if (!drives_[i]) {
            binding.serial = nextSerial_++;
            drives_[i] = std::move(binding);
            return static_cast<char>('A' + i);
        }
    }
    return 0;
}

bool DriveMap::bind(char letter, DriveBinding binding)
{
    int i = indexOf(letter);
    if (i < 0)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    binding.serial = nextSerial_++;
    drives_[i] = std::move(binding);
    return true;
}

void DriveMap::release(char letter)
{
    int i = indexOf(letter);
    if (i < 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    drives_[i].reset();
}

std::optional<DriveBinding> DriveMap::find(char letter) const
{
    int i = indexOf(letter);
    if (i < 0)
        return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    if (drives_[i] && g_pinnedSerial && indexOf(g_pinnedLetter) == i && drives_[i]->serial != g_pinnedSerial)
        return std::nullopt;
    return drives_[i];
}

uint64_t DriveMap::serialOf(char letter) const
{
    int i = indexOf(letter);
    if (i < 0)
        return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return drives_[i] ? drives_[i]->serial : 0;
}

std::vector<char> DriveMap::letters() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<char> out;
    for (int i = 0; i < 26; ++i)
        if (drives_[i])
            out.push_back(static_cast<char>('A' + i));
    return out;
}

void DriveMap::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& d : drives_)
        d.reset();
}

} // namespace platform
