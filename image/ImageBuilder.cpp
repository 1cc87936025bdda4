#include "image/ImageBuilder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "image/FatFiles.h"
#include "image/FatVolume.h"
#include "image/ImageFile.h"

namespace image {
namespace {

constexpr size_t kCopyBlock = 256 * 1024;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string LastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Case-insensitive order for names inside a folder; ties keep a stable byte order.
bool NameLess(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

class VolumeWriter {
public:
    VolumeWriter(FatFiles& files, std::vector<uint8_t>& buffer, const std::function<void()>& pump)
        : files_(files), buffer_(buffer), pump_(pump) {}

    bool WriteList(const std::vector<std::string>& hostPaths) {
        for (const std::string& host : hostPaths) {
            Pump();
            struct stat st;
            if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                if (!AddTree(host, {}))
                    return false;
            } else if (!AddFile(host, {LastComponent(host)})) {
                return false;
            }
        }
        return true;
    }

    const std::string& error() const { return error_; }

private:
    bool Fail(const std::string& text) {
        error_ = text;
        return false;
    }
    void Pump() {
        if (pump_)
            pump_();
    }

    bool AddTree(const std::string& folder, std::vector<std::string> imagePath) {
        imagePath.push_back(LastComponent(folder));
        std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(folder.c_str()), ::closedir);
        if (!d)
            return Fail("cannot read folder " + folder + ": " + std::strerror(errno));
        std::vector<std::string> files, folders;
        for (;;) {
            // readdir tells its end from its failure only through errno, so errno is
            // cleared right before it: the pump and stat below may leave it set.
            errno = 0;
            const dirent* e = ::readdir(d.get());
            if (!e) {
                if (errno != 0)
                    return Fail("cannot read folder " + folder + ": " + std::strerror(errno));
                break;
            }
            const std::string name = e->d_name;
            Pump();
            if (name.empty() || name[0] == '.')  // hidden, "." and ".."
                continue;
            const std::string full = folder + "/" + name;
            struct stat st;
            if (::stat(full.c_str(), &st) != 0)
                return Fail("cannot read " + full + ": " + std::strerror(errno));
            if (S_ISDIR(st.st_mode))
                folders.push_back(name);
            else
                files.push_back(name);
        }
        d.reset();
        std::sort(files.begin(), files.end(), NameLess);
        std::sort(folders.begin(), folders.end(), NameLess);
        for (const std::string& name : files) {
            std::vector<std::string> target = imagePath;
            target.push_back(name);
            if (!AddFile(folder + "/" + name, target))
                return false;
        }
        for (const std::string& name : folders)
            if (!AddTree(folder + "/" + name, imagePath))
                return false;
        return true;
    }

    bool AddFile(const std::string& source, const std::vector<std::string>& imagePath) {
        std::string target;
        for (const std::string& c : imagePath)
            target += "\\" + c;
        Fd in;
        in.fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (in.fd < 0)
            return Fail("cannot open " + source + ": " + std::strerror(errno));
        struct stat st;
        if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
            return Fail(source + " is not a regular file");
        if (uint64_t(st.st_size) > kMaxFileSize)
            return Fail(source + " is 4 GiB or larger; a FAT file holds at most 4 GiB - 1 bytes");
        auto handle = files_.FileCreate(imagePath);
        if (!handle)
            return Fail("cannot copy " + source + " into the image: " + files_.lastError());
        for (;;) {
            Pump();
            // Fill the whole block, so that only the file's last block is short.
            size_t got = 0;
            while (got < buffer_.size()) {
                const ssize_t n = ::read(in.fd, buffer_.data() + got, buffer_.size() - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return Fail("cannot read " + source + ": " + std::strerror(errno));
                if (n == 0)
                    break;
                got += size_t(n);
            }
            if (got == 0)
                break;
            if (handle->position + got > kMaxFileSize)
                return Fail(source + " grew past 4 GiB - 1 bytes while being copied");
            if (files_.FileWrite(buffer_.data(), uint32_t(got), *handle) != got)
                return Fail("cannot write " + target + " into the image: " + files_.lastError());
            if (got < buffer_.size())
                break;
        }
        if (!files_.FileClose(std::move(handle)))
            return Fail("cannot close " + target + " in the image: " + files_.lastError());
        return true;
    }

    FatFiles& files_;
    std::vector<uint8_t>& buffer_;
    const std::function<void()>& pump_;
    std::string error_;
};

ImageBuildResult Failed(ImageBuildStage stage, uint32_t volume, const std::string& text) {
    ImageBuildResult r;
    r.failedStage = stage;
    r.failedVolume = volume;
    r.error = text;
    return r;
}

// The existing target's mode, or 0666 less the process's umask.
mode_t ImageFileMode(const std::string& target) {
    struct stat st;
    if (::stat(target.c_str(), &st) == 0)
        return st.st_mode & 07777;
    mode_t mask = 022;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "Umask:", 6) == 0)
                mask = mode_t(std::strtoul(line + 6, nullptr, 8));
        std::fclose(f);
    }
    return 0666 & ~mask;
}

} // namespace

bool NormaliseVolumeLabel(const std::string& label, std::string& normalised, std::string& reason) {
    // The reasons name the label: the dialog shows them to the operator.
    const std::string quoted = "the volume label \"" + label + "\"";
    if (label.size() > 11) {
        reason = quoted + " has more than 11 characters";
        return false;
    }
    normalised.clear();
    for (char ch : label) {
        const unsigned char c = (unsigned char)ch;
        if (c < 0x20 || c >= 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c)) {
            reason = quoted + " cannot hold the character '" + std::string(1, ch) + "'";
            return false;
        }
        normalised.push_back(char(c >= 'a' && c <= 'z' ? c - 32 : c));
    }
    if (!normalised.empty() && normalised[0] == ' ') {
        reason = quoted + " cannot start with a blank";
        return false;
    }
    return true;
}

ImageBuildResult BuildImage(const ImageBuildRequest& request, const ImageBuildOptions& options) {
    const uint32_t mb = request.diskSizeMB;
    if (mb < kImageMinSizeMB || mb > kImageMaxSizeMB || mb % kImageSizeStepMB != 0)
        return Failed(ImageBuildStage::Create, 0,
                      "the disk size must be a multiple of 32 MB from 128 to 8192 MB, not " +
                          std::to_string(mb) + " MB");
    std::string label, reason;
    if (!NormaliseVolumeLabel(request.label, label, reason))
        return Failed(ImageBuildStage::Create, 0, reason);
    if (request.outputPath.empty())
        return Failed(ImageBuildStage::Output, 0, "no image file name was given");

    // Both volumes go into a temporary file beside the target, renamed over it at the end.
    // Its name starts with "." so that a listed folder holding the target does not copy
    // the half-written image into the image.
    const size_t slash = request.outputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : request.outputPath.substr(0, slash + 1);
    std::string temp = folder + "." + LastComponent(request.outputPath) + ".XXXXXX";
    {
        const int fd = ::mkstemp(temp.data());
        if (fd < 0)
            return Failed(ImageBuildStage::Output, 0,
                          "cannot create a file beside " + request.outputPath + ": " + std::strerror(errno));
        // mkstemp makes the file private; give it the mode a plainly created file gets.
        ::fchmod(fd, ImageFileMode(request.outputPath));
        ::close(fd);
    }
    struct TempGuard {
        std::string path;
        bool keep = false;
        ~TempGuard() {
            if (!keep)
                ::unlink(path.c_str());
        }
    } guard{temp};

    std::vector<uint8_t> buffer(kCopyBlock);
    // One store for both volumes; each writes its records straight into the image file.
    RamDisk store(options.chunkBytes, options.maxChunks);
    uint64_t recordsAt = kImageHeaderSize;
    for (uint32_t v = 0; v < 2; ++v) {
        const uint32_t sectorSize = kImageSectorSizes[v];
        const uint32_t sectors = uint32_t(uint64_t(mb) * 1048576u / sectorSize);
        std::string error;
        if (!store.BackWith(temp, recordsAt, &error))
            return Failed(ImageBuildStage::Output, v, error);
        FatVolume volume(store);
        if (!volume.CreateVolume(sectors, sectorSize, &error))
            return Failed(ImageBuildStage::Create, v, "cannot create the image volume: " + error);
        FatFiles files(volume);
        if (!files.SetVolumeLabel(label))
            return Failed(ImageBuildStage::Create, v, "cannot set the volume label: " + files.lastError());
        VolumeWriter writer(files, buffer, options.pump);
        if (!writer.WriteList(request.hostPaths))
            return Failed(ImageBuildStage::Create, v, writer.error());
        if (!volume.Flush())
            return Failed(ImageBuildStage::Create, v, "cannot update the volume's free-space record");
        if (!SaveImageFile(store, temp, v, mb, &error, options.pump))
            return Failed(ImageBuildStage::Output, v, error);
        struct stat st;
        if (::stat(temp.c_str(), &st) != 0)
            return Failed(ImageBuildStage::Output, v, "cannot read the size of " + temp + ": " + std::strerror(errno));
        recordsAt = uint64_t(st.st_size);
    }
    if (::rename(temp.c_str(), request.outputPath.c_str()) != 0)
        return Failed(ImageBuildStage::Output, 1,
                      "cannot rename the image to " + request.outputPath + ": " + std::strerror(errno));
    guard.keep = true;
    ImageBuildResult ok;
    ok.ok = true;
    return ok;
}

} // namespace image
