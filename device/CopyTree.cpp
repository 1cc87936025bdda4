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
    return (folder.ends_with('/') ? folder : folder + "/") + name;
}

bool fail(const std::string& why)
{
    std::fprintf(stderr, "copy tree: %s\n", why.c_str());
    return false;
}

// `fresh`: the parent was made by this copy, so nothing in it exists yet.
bool copyInto(const std::string& volume, const std::string& source, const std::string& parentInside,
              const platform::NameCollator& order, bool fresh)
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
    // A folder made by this copy holds nothing yet, so its sub-folders need no look first;
    // only names that differ in case alone meet there, and the look after a refusal finds them.
    bool made = false;
    if (fresh || !platform::VolumeFolderExists(volume, target)) {
        platform::ToolOutcome out = platform::MakeVolumeFolder(volume, target);
        made = out.ok;
        if (!made && !(fresh && platform::VolumeFolderExists(volume, target)))
            return fail(out.message);
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

    std::string base = source.ends_with('/') ? source : source + "/";
    order.sort(files);
    order.sort(folders);
    // The folder's files in few tool runs, in their order; a tool run per file made
    // large folders take minutes.
    for (auto& file : files)
        file = base + file;
    platform::ToolOutcome copied = platform::CopyFilesToVolume(volume, files, target);
    if (!copied.ok)
        return fail(copied.message);
    for (const auto& folder : folders)
        if (!copyInto(volume, base + folder, target, order, made))
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
    return copyInto(volume, platform::ProgramPath(source), parent->inside, order, false);
}
