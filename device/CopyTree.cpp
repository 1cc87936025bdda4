// Copying a host folder onto a drive, as the production fills a freshly formatted disk.
#include "device/HostUtil.h"
#include "platform/Collation.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string joinInside(const std::string& folder, const std::string& name)
{
    if (name.empty())
        return folder;
    return (folder.empty() || folder.back() == '/' ? folder : folder + "/") + name;
}

bool fail(const std::string& why)
{
    std::fprintf(stderr, "copy tree: %s\n", why.c_str());
    return false;
}

bool copyInto(const std::string& volume, const std::string& source, const std::string& parentInside,
              const platform::NameCollator& order)
{
    // The name after the last separator; none when source ends with one, so its contents
    // go straight into the parent.
    size_t slash = source.rfind('/');
    std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    std::string target = joinInside(parentInside, name);
    // A source that cannot be listed makes nothing on the drive.
    std::error_code ec;
    fs::directory_iterator it(source.empty() ? "/" : source, ec);
    if (ec)
        return fail("cannot list " + source + ": " + ec.message());
    if (!platform::VolumeFolderExists(volume, target)) {
        platform::ToolOutcome made = platform::MakeVolumeFolder(volume, target);
        if (!made.ok)
            return fail(made.message);
    }

    std::vector<std::string> files, folders;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string entry = it->path().filename().string();
        // Hidden entries (a leading dot, which covers "." and "..") are neither copied nor entered.
        if (entry.empty() || entry[0] == '.')
            continue;
        std::error_code kindError;
        bool link = it->is_symlink(kindError);
        bool folder = it->is_directory(kindError);
        if (folder && link)
            continue; // a linked folder could lead back into the tree
        (folder ? folders : files).push_back(entry);
    }
    if (ec)
        return fail("cannot list " + source + ": " + ec.message());

    std::string base = source.empty() || source.back() == '/' ? source : source + "/";
    order.sort(files);
    order.sort(folders);
    for (const auto& file : files) {
        platform::ToolOutcome copied = platform::CopyFileToVolume(volume, base + file, joinInside(target, file));
        if (!copied.ok)
            return fail(copied.message);
    }
    for (const auto& folder : folders)
        if (!copyInto(volume, base + folder, target, order))
            return false;
    return true;
}

} // namespace

bool CopyTree(const std::string& source, const std::string& destinationParent)
{
    auto parent = hostutil::ParseDrivePath(destinationParent);
    if (!parent || source.empty())
        return false;
    std::string volume = hostutil::VolumeOf(parent->letter);
    if (volume.empty())
        return fail("drive " + std::string(1, parent->letter) + " has no volume");
    // Players play in directory order: names go in the order the station's language sorts them.
    const platform::NameCollator order;
    return copyInto(volume, platform::ProgramPath(source), parent->inside, order);
}
