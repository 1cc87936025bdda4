// Host-side helpers of the production: event log, drive formatting, labels, port identity.
#include "device/HostUtil.h"

#include "device/Commands.h"
#include "platform/AtomicFile.h"
#include "platform/DriveMap.h"
#include "platform/PortIdentity.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/VolumeTools.h"
#include "toolkit/Dialogs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace hostutil {

std::optional<DrivePath> ParseDrivePath(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char c = text[0];
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z')
        return std::nullopt;
    DrivePath path;
    path.letter = c;
    std::string rest = text.substr(1);
    if (!rest.empty() && rest[0] != ':')
        return std::nullopt; // "EF" is no drive
    if (!rest.empty())
        rest.erase(0, 1);
    for (char& ch : rest)
        if (ch == '\\')
            ch = '/';
    if (rest.empty() || rest[0] != '/')
        rest.insert(rest.begin(), '/');
    path.inside = rest;
    return path;
}

std::string VolumeOf(char letter)
{
    auto binding = platform::DriveMap::global().find(letter);
    if (!binding || !binding->volumePath)
        return "";
    return binding->volumePath();
}

} // namespace hostutil

namespace {

std::string volumeOfDrive(const std::string& drive)
{
    auto path = hostutil::ParseDrivePath(drive);
    return path ? hostutil::VolumeOf(path->letter) : "";
}

void reportToolFailure(const char* what, const std::string& drive, const platform::ToolOutcome& out)
{
    if (!out.ok)
        std::fprintf(stderr, "%s %s: %s\n", what, drive.c_str(), out.message.c_str());
}

std::mutex g_logMutex;

} // namespace

namespace {

std::function<void(const std::string&)> g_logFailureReporter;
bool g_logFailureSaid = false;

// Writes the line; the errno of the failure otherwise.
int writeLogLine(const std::string& path, const std::string& line)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    size_t done = 0;
    int error = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

} // namespace

void SetEventLogFailureReporter(std::function<void(const std::string& text)> reporter)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logFailureReporter = std::move(reporter);
}

void AppendLog(const std::string& text)
{
    // The line ends at the text's first zero byte, as a C string would.
    std::string line(text.c_str());
    line += "\r\n";
    std::function<void(const std::string&)> reporter;
    std::string said;
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        platform::MakeDirs(platform::ProgramPath("log"));
        const std::string path = platform::ProgramPath("log/1.txt");
        const int error = writeLogLine(path, line);
        if (error == 0) {
            g_logFailureSaid = false;
            return;
        }
        // Results would otherwise be lost without a word: said once, until the log works again.
        if (g_logFailureSaid)
            return;
        g_logFailureSaid = true;
        said = "The event log " + path + " cannot be written (" + std::strerror(error) +
               "): results are shown only in the device panels.";
        reporter = g_logFailureReporter;
    }
    std::fprintf(stderr, "mptool: %s\n", said.c_str());
    if (reporter)
        reporter(said);
}

bool FormatDrive(const std::string& drive, bool quick, uint32_t fatFlag)
{
    std::string volume = volumeOfDrive(drive);
    if (volume.empty())
        return false;
    std::string answers = platform::ProgramPath("misc/response.txt");
    struct stat st {};
    if (::stat(answers.c_str(), &st) != 0)
        answers.clear();
    platform::ToolOutcome out = platform::FormatVolume(volume, fatFlag, quick, answers);
    reportToolFailure("format", drive, out);
    if (out.timedOut)
        toolkit::TheDialogs().MessageBox("Error timeout", "MP3 Tool", toolkit::MB_OK);
    else if (out.waitFailed)
        toolkit::TheDialogs().MessageBox("Error Format", "MP3 Tool", toolkit::MB_OK);
    return out.ok;
}

bool SetDriveVolumeLabel(const std::string& drive, const std::string& label)
{
    std::string volume = volumeOfDrive(drive);
    if (volume.empty())
        return false;
    platform::ToolOutcome out = platform::WriteVolumeLabel(volume, label);
    reportToolFailure("label", drive, out);
    // The panel only shows that the step failed; the log says why.
    if (!out.ok)
        AppendLog(std::string("Set Volume Label ") + hostutil::ParseDrivePath(drive)->letter + ": " + out.message);
    return out.ok;
}

std::string GetDriveVolumeLabel(char letter)
{
    std::string volume = volumeOfDrive(std::string(1, letter));
    if (volume.empty())
        return "";
    return platform::ReadVolumeLabel(volume).value_or("");
}

bool DriveFreeSpaceReadable(const std::string& drive)
{
    std::string volume = volumeOfDrive(drive);
    return !volume.empty() && platform::IsFatVolume(volume);
}

bool CopyFileToDrive(const std::string& sourceFile, const std::string& destination)
{
    auto target = hostutil::ParseDrivePath(destination);
    if (!target)
        return false;
    std::string volume = hostutil::VolumeOf(target->letter);
    if (volume.empty())
        return false;
    platform::ToolOutcome out = platform::CopyFileToVolume(volume, platform::ProgramPath(sourceFile), target->inside);
    reportToolFailure("copy to", destination, out);
    return out.ok;
}

bool CheckDriveVolume(const std::string& drive, uint32_t timeLimitMs)
{
    std::string volume = volumeOfDrive(drive);
    if (volume.empty())
        return false;
    platform::ToolOutcome out = platform::CheckVolume(volume, timeLimitMs, true);
    reportToolFailure("check", drive, out);
    return out.ok;
}

uint32_t RunUsbDos(int n)
{
    return platform::RunPortIdentityProgram(platform::ProgramPath("misc/usbdos"), n, kPortIdentityTimeLimitMs);
}

int GetSerialDigits(HANDLE handle, uint8_t* hundreds, uint8_t* tens, uint8_t* units)
{
    uint8_t v = cmd_GetPortNumber(handle);
    if (v == 0)
        return 0;
    int n = v & 127;
    AppendLog("Serial_num = " + std::to_string(n));
    // The program's number stays within 0..2^31-1, so the signed arithmetic is exact.
    int32_t r = static_cast<int32_t>(RunUsbDos(n));
    if (r % 100 == 0)
        return -1;
    if (hundreds)
        *hundreds = static_cast<uint8_t>((r / 100) % 100);
    if (tens)
        *tens = static_cast<uint8_t>((r / 10) % 10);
    if (units)
        *units = static_cast<uint8_t>(r % 10);
    return r;
}

bool RegWriteInt(const std::string& name, int value)
{
    return platform::registry::WriteInteger(kProductionRegistryKey, name, value);
}

int RegReadInt(const std::string& name, int defaultValue)
{
    return platform::registry::ReadInteger(kProductionRegistryKey, name).value_or(defaultValue);
}

bool RegWriteString(const std::string& key, const std::string& name, const std::string& value)
{
    return platform::registry::WriteString(key, name, value);
}

bool RegWriteInteger(const std::string& key, const std::string& name, int value)
{
    return platform::registry::WriteInteger(key, name, value);
}

int RegReadInteger(const std::string& key, const std::string& name, int defaultValue)
{
    return platform::registry::ReadInteger(key, name).value_or(defaultValue);
}

bool SelectDirectory(const std::string& initialFolder, const std::string& title, std::string& path)
{
    std::error_code ec;
    std::string start = !initialFolder.empty() && std::filesystem::is_directory(initialFolder, ec) ? initialFolder : "";
    std::optional<std::string> chosen = toolkit::TheDialogs().ChooseFolder(title, start);
    path = chosen.value_or("");
    return chosen.has_value();
}

bool SetBit(std::span<uint8_t> bitmap, int index, bool value)
{
    if (index < 0 || static_cast<size_t>(index) / 8 >= bitmap.size())
        return false;
    uint8_t mask = static_cast<uint8_t>(1u << (7 - index % 8));
    if (value)
        bitmap[static_cast<size_t>(index) / 8] |= mask;
    else
        bitmap[static_cast<size_t>(index) / 8] &= static_cast<uint8_t>(~mask);
    return true;
}
