// The image builder: copies the listed host files onto both volumes and writes the image file.
#include "image/ImageBuilder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <sys/file.h>
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

// One file of the list, as both volumes copy it.
struct PlannedFile {
    std::string source;
    std::vector<std::string> imagePath;
    bool copied = false;  // by the first volume, which took its size and digest
    uint64_t size = 0;
    uint64_t digest = 0;
};

// A digest of a file's bytes, so that the second volume can tell whether a file changed
// since the first one read it: per lane a sum of the words and a sum of those sums, which
// sees any changed word and the order of the words at a fraction of the read's cost.
class Digest {
public:
    void Add(const uint8_t* data, size_t length) {
        size_ += length;
        size_t i = 0;
        if (tailLength_ == 0) {
            for (; i + 32 <= length; i += 32)
                Words(data + i);
        }
        for (; i < length; ++i) {
            tail_[tailLength_++] = data[i];
            if (tailLength_ == 32) {
                Words(tail_);
                tailLength_ = 0;
            }
        }
    }
    uint64_t Value() const {
        uint64_t h = size_;
        auto mix = [&h](uint64_t v) { h = ((h ^ v) * 0x9E3779B97F4A7C15ull) ^ (h >> 29); };
        for (int k = 0; k < 4; ++k)
            mix(sum_[k]), mix(sumOfSums_[k]);
        for (uint32_t i = 0; i < tailLength_; ++i)
            mix(tail_[i]);
        return h;
    }

private:
    void Words(const uint8_t* p) {
        for (int k = 0; k < 4; ++k) {
            uint64_t v;
            std::memcpy(&v, p + 8 * k, 8);
            sum_[k] += v;
            sumOfSums_[k] += sum_[k];
        }
    }
    uint64_t sum_[4] = {};
    uint64_t sumOfSums_[4] = {};
    uint8_t tail_[32] = {};
    uint32_t tailLength_ = 0;
    uint64_t size_ = 0;
};

// Reports why a build stops; false always.
class Failure {
public:
    bool Fail(const std::string& text) {
        error_ = text;
        return false;
    }
    const std::string& error() const { return error_; }

private:
    std::string error_;
};

// Lists the host paths once, for both volumes: the files in the order they are copied.
class TreeLister : public Failure {
public:
    TreeLister(std::vector<PlannedFile>& plan, const std::function<bool()>& pump) : plan_(plan), pump_(pump) {}

    bool List(const std::vector<std::string>& hostPaths) {
        for (const std::string& host : hostPaths) {
            if (!pump_())
                return false;
            struct stat st;
            if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                if (!AddTree(host, {}))
                    return false;
            } else {
                plan_.push_back({host, {LastComponent(host)}});
            }
        }
        return true;
    }

private:
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
            const unsigned char type = e->d_type;
            if (!pump_())
                return false;
            if (name.empty() || name[0] == '.')  // hidden, "." and ".."
                continue;
            if (type == DT_REG) {
                files.push_back(name);
                continue;
            }
            if (type == DT_DIR) {
                folders.push_back(name);
                continue;
            }
            const std::string full = folder + "/" + name;
            struct stat st;
            if (::lstat(full.c_str(), &st) != 0)
                return Fail("cannot read " + full + ": " + std::strerror(errno));
            const bool link = S_ISLNK(st.st_mode);
            if (link && ::stat(full.c_str(), &st) != 0)
                return Fail("cannot read " + full + ": " + std::strerror(errno));
            if (S_ISDIR(st.st_mode)) {
                // A linked folder may lead back into the tree: it is not entered.
                if (!link)
                    folders.push_back(name);
            } else {
                files.push_back(name);
            }
        }
        d.reset();
        std::sort(files.begin(), files.end(), NameLess);
        std::sort(folders.begin(), folders.end(), NameLess);
        for (const std::string& name : files) {
            std::vector<std::string> target = imagePath;
            target.push_back(name);
            plan_.push_back({folder + "/" + name, std::move(target)});
        }
        for (const std::string& name : folders)
            if (!AddTree(folder + "/" + name, imagePath))
                return false;
        return true;
    }

    std::vector<PlannedFile>& plan_;
    const std::function<bool()>& pump_;
};

// Reads the listed files block by block on a thread of its own, a few blocks ahead of the
// volume they go into, so that copying out of the page cache overlaps the volume's writes.
// Each block is filled whole, so that only a file's last block is short.
class BlockReader {
public:
    struct Block {
        size_t file = 0;
        std::vector<uint8_t> data;
        size_t length = 0;
        bool last = false;  // the file's last block (may be empty)
        std::string error;  // the file cannot be read: its last block
    };

    BlockReader(const std::vector<PlannedFile>& plan, size_t blockBytes) : plan_(plan), ring_(kDepth) {
        for (Block& b : ring_)
            b.data.resize(blockBytes);
    }
    ~BlockReader() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    // The next block in file order; valid until Done. Nothing is read before the first
    // call, so what runs before it (the window's messages) sees the files untouched.
    const Block& Next() {
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return filled_ > 0; });
        return ring_[head_];
    }
    void Done() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            head_ = (head_ + 1) % kDepth;
            --filled_;
        }
        changed_.notify_all();
    }

private:
    static constexpr size_t kDepth = 4;

    // A free block to fill, or null when the reader is told to stop.
    Block* Free() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || filled_ < kDepth; });
        return stop_ ? nullptr : &ring_[(head_ + filled_) % kDepth];
    }
    void Publish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++filled_;
        }
        changed_.notify_all();
    }
    void Run() {
        for (size_t i = 0; i < plan_.size(); ++i) {
            const std::string& source = plan_[i].source;
            Fd in;
            std::string error;
            in.fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            struct stat st;
            if (in.fd < 0)
                error = "cannot open " + source + ": " + std::strerror(errno);
            else if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
                error = source + " is not a regular file";
            else if (uint64_t(st.st_size) > kMaxFileSize)
                error = source + " is 4 GiB or larger; a FAT file holds at most 4 GiB - 1 bytes";
            for (bool last = false; !last;) {
                Block* b = Free();
                if (!b)
                    return;
                b->file = i;
                b->length = 0;
                b->error = error;
                while (error.empty() && b->length < b->data.size()) {
                    const ssize_t n = ::read(in.fd, b->data.data() + b->length, b->data.size() - b->length);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0)
                        b->error = error = "cannot read " + source + ": " + std::strerror(errno);
                    if (n <= 0)
                        break;
                    b->length += size_t(n);
                }
                last = b->last = !error.empty() || b->length < b->data.size();
                Publish();
            }
        }
    }

    const std::vector<PlannedFile>& plan_;
    std::vector<Block> ring_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t head_ = 0, filled_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// Copies the listed files into one volume. The first volume notes each file's size and
// digest; the second checks them, so a file changed between the two reads fails the
// build instead of giving two volumes that differ.
class VolumeWriter : public Failure {
public:
    VolumeWriter(FatFiles& files, const std::function<bool()>& pump) : files_(files), pump_(pump) {}

    bool WriteList(std::vector<PlannedFile>& plan) {
        BlockReader reader(plan, kCopyBlock);
        for (PlannedFile& file : plan)
            if (!AddFile(file, reader))
                return false;
        return true;
    }

private:
    bool AddFile(PlannedFile& file, BlockReader& reader) {
        const std::string& source = file.source;
        std::string target;
        for (const std::string& c : file.imagePath)
            target += "\\" + c;
        std::unique_ptr<FatFileHandle> handle;
        Digest digest;
        for (bool last = false; !last;) {
            if (!pump_())
                return false;
            const BlockReader::Block& b = reader.Next();
            if (!b.error.empty())
                return Fail(b.error);
            if (!handle) {
                handle = files_.FileCreate(file.imagePath);
                if (!handle)
                    return Fail("cannot copy " + source + " into the image: " + files_.lastError());
            }
            if (b.length > 0) {
                if (handle->position + b.length > kMaxFileSize)
                    return Fail(source + " grew past 4 GiB - 1 bytes while being copied");
                digest.Add(b.data.data(), b.length);
                if (files_.FileWrite(b.data.data(), uint32_t(b.length), *handle) != b.length)
                    return Fail("cannot write " + target + " into the image: " + files_.lastError());
            }
            last = b.last;
            reader.Done();
        }
        if (!file.copied) {
            file.copied = true;
            file.size = handle->position;
            file.digest = digest.Value();
        } else if (file.size != handle->position || file.digest != digest.Value()) {
            return Fail(source + " changed while the image was being built; its two volumes would differ");
        }
        if (!files_.FileClose(std::move(handle)))
            return Fail("cannot close " + target + " in the image: " + files_.lastError());
        return true;
    }

    FatFiles& files_;
    const std::function<bool()>& pump_;
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

// Hidden files "<prefix>XXXXXX" beside the target that no running build holds locked:
// what a build killed before it could clean up left behind.
void RemoveLeftovers(const std::string& folder, const std::string& prefix) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!d)
        return;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(name.begin() + long(prefix.size()), name.end(), [](char c) { return std::isalnum((unsigned char)c); }))
            continue;
        const std::string path = folder + name;
        Fd f;
        f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st;
        if (f.fd >= 0 && ::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(f.fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
    }
}

// While a build runs, SIGINT and SIGTERM remove its temporary file first. A signal that
// would end the process still does; one the program handles itself reaches its handler
// too, and the build stops at its next step. A file-size limit fails a write (EFBIG)
// instead of killing the process, so the build can say so.
char g_signalTemp[PATH_MAX];
volatile sig_atomic_t g_interrupted = 0;
struct sigaction g_previous[2];
std::atomic<bool> g_signalsTaken{false};

int SignalIndex(int sig) { return sig == SIGINT ? 0 : 1; }

void OnBuildSignal(int sig, siginfo_t* info, void* context) {
    const struct sigaction& previous = g_previous[SignalIndex(sig)];
    const bool plain = !(previous.sa_flags & SA_SIGINFO);
    if (plain && previous.sa_handler == SIG_IGN)
        return;
    g_interrupted = 1;
    ::unlink(g_signalTemp);
    if (plain && previous.sa_handler == SIG_DFL) {
        ::sigaction(sig, &previous, nullptr);
        ::raise(sig);  // delivered as this handler returns
    } else if (plain) {
        previous.sa_handler(sig);
    } else {
        previous.sa_sigaction(sig, info, context);
    }
}

class SignalCleanup {
public:
    explicit SignalCleanup(const std::string& temp) {
        struct sigaction current;
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == SIG_DFL) {
            fileSizeSignal_ = current;
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            restoreFileSize_ = ::sigaction(SIGXFSZ, &ignore, nullptr) == 0;
        }
        // One build at a time owns the handlers; another one in the same process goes without.
        if (temp.size() >= sizeof g_signalTemp || g_signalsTaken.exchange(true))
            return;
        owner_ = true;
        std::memcpy(g_signalTemp, temp.c_str(), temp.size() + 1);
        g_interrupted = 0;
        struct sigaction handler {};
        handler.sa_sigaction = OnBuildSignal;
        handler.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&handler.sa_mask);
        ::sigaction(SIGINT, &handler, &g_previous[0]);
        ::sigaction(SIGTERM, &handler, &g_previous[1]);
    }
    ~SignalCleanup() {
        if (restoreFileSize_)
            ::sigaction(SIGXFSZ, &fileSizeSignal_, nullptr);
        if (!owner_)
            return;
        ::sigaction(SIGINT, &g_previous[0], nullptr);
        ::sigaction(SIGTERM, &g_previous[1], nullptr);
        g_signalsTaken = false;
    }
    bool interrupted() const { return owner_ && g_interrupted; }

private:
    bool owner_ = false;
    bool restoreFileSize_ = false;
    struct sigaction fileSizeSignal_ {};
};

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
    // the half-written image into the image. It stays locked while the build runs: a
    // build finds the unlocked ones a killed build left and removes them.
    const size_t slash = request.outputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : request.outputPath.substr(0, slash + 1);
    const std::string tempPrefix = "." + LastComponent(request.outputPath) + ".";
    std::string temp = folder + tempPrefix + "XXXXXX";
    Fd lock;
    lock.fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (lock.fd < 0)
        return Failed(ImageBuildStage::Output, 0,
                      "cannot create a file beside " + request.outputPath + ": " + std::strerror(errno));
    struct TempGuard {
        std::string path;
        bool keep = false;
        ~TempGuard() {
            if (!keep)
                ::unlink(path.c_str());
        }
    } guard{temp};
    ::flock(lock.fd, LOCK_EX | LOCK_NB);
    // mkstemp makes the file private; give it the mode a plainly created file gets.
    ::fchmod(lock.fd, ImageFileMode(request.outputPath));
    RemoveLeftovers(folder, tempPrefix);
    SignalCleanup cleanup(temp);

    std::vector<PlannedFile> plan;
    const std::function<bool()> pump = [&] {
        if (options.pump)
            options.pump();
        return !cleanup.interrupted();
    };
    auto failed = [&](ImageBuildStage stage, uint32_t volume, const std::string& text) {
        return Failed(stage, volume, cleanup.interrupted() ? "the build was interrupted by a signal" : text);
    };
    {
        TreeLister lister(plan, pump);
        if (!lister.List(request.hostPaths))
            return failed(ImageBuildStage::Create, 0, lister.error());
    }

    // One store for both volumes; each writes its records straight into the image file.
    RamDisk store(options.chunkBytes, options.maxChunks);
    uint64_t recordsAt = kImageHeaderSize;
    for (uint32_t v = 0; v < 2; ++v) {
        const uint32_t sectorSize = kImageSectorSizes[v];
        const uint32_t sectors = uint32_t(uint64_t(mb) * 1048576u / sectorSize);
        std::string error;
        if (!store.BackWith(temp, recordsAt, &error))
            return failed(ImageBuildStage::Output, v, error);
        FatVolume volume(store);
        if (!volume.CreateVolume(sectors, sectorSize, &error))
            return failed(ImageBuildStage::Create, v, "cannot create the image volume: " + error);
        FatFiles files(volume);
        if (!files.SetVolumeLabel(label))
            return failed(ImageBuildStage::Create, v, "cannot set the volume label: " + files.lastError());
        VolumeWriter writer(files, pump);
        if (!writer.WriteList(plan))
            return failed(ImageBuildStage::Create, v, writer.error());
        store.ClearError();
        if (!volume.Flush())
            return failed(ImageBuildStage::Create, v,
                          "cannot update the volume's free-space record: " + store.lastError());
        if (!SaveImageFile(store, temp, v, mb, &error, options.pump))
            return failed(ImageBuildStage::Output, v, error);
        struct stat st;
        if (::stat(temp.c_str(), &st) != 0)
            return failed(ImageBuildStage::Output, v, "cannot read the size of " + temp + ": " + std::strerror(errno));
        recordsAt = uint64_t(st.st_size);
    }
    if (cleanup.interrupted())
        return failed(ImageBuildStage::Output, 1, "");
    if (::rename(temp.c_str(), request.outputPath.c_str()) != 0)
        return failed(ImageBuildStage::Output, 1,
                      "cannot rename the image to " + request.outputPath + ": " + std::strerror(errno));
    guard.keep = true;
    ImageBuildResult ok;
    ok.ok = true;
    return ok;
}

} // namespace image
