// Binary file handling for the data areas: open through the program folder, size, close.
#include "production/DataAreasIo.h"

#include "platform/ProgramDir.h"

#include <sys/stat.h>
#include <unistd.h>

namespace dataareas {

BinaryFile::BinaryFile(const std::string& path, const char* mode)
    : f_(path.empty() ? nullptr : std::fopen(platform::ProgramPath(path).c_str(), mode))
{
}

BinaryFile::~BinaryFile()
{
    close();
}

std::optional<uint64_t> BinaryFile::size() const
{
    struct stat st;
    if (!f_ || fstat(fileno(f_), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool BinaryFile::readAt(uint64_t offset, uint8_t* buffer, size_t length)
{
    if (!f_ || offset > uint64_t(INT64_MAX) || fseeko(f_, off_t(offset), SEEK_SET) != 0)
        return false;
    return std::fread(buffer, 1, length, f_) == length;
}

bool BinaryFile::close()
{
    if (!f_)
        return true;
    bool ok = std::fclose(f_) == 0;
    f_ = nullptr;
    return ok;
}

bool IsExistingFile(const std::string& path)
{
    struct stat st;
    return !path.empty() && stat(platform::ProgramPath(path).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

OutputFile::OutputFile(const std::string& path)
    : final_(platform::ProgramPath(path)),
      temporary_(final_ + ".part"),
      file_(temporary_, "wb")
{
}

OutputFile::~OutputFile()
{
    if (!committed_) {
        file_.close();
        if (!temporary_.empty())
            ::unlink(temporary_.c_str());
    }
}

bool OutputFile::write(const uint8_t* data, size_t length)
{
    return file_.isOpen() && std::fwrite(data, 1, length, file_.get()) == length;
}

bool OutputFile::commit()
{
    if (!file_.isOpen() || std::fflush(file_.get()) != 0 || ::fsync(fileno(file_.get())) != 0)
        return false;
    if (!file_.close())
        return false;
    if (std::rename(temporary_.c_str(), final_.c_str()) != 0)
        return false;
    committed_ = true;
    return true;
}

} // namespace dataareas
