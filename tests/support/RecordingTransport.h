#pragma once
// A transport that records every command and answers with scripted reply bytes and a
// scripted success flag: the command layer's tests check exactly what goes to the device.
#include "platform/DeviceHandle.h"
#include "platform/ScsiTransport.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

struct RecordedCall {
    std::array<uint8_t, 16> cdb{}; // bytes past cdbLength stay 0
    int cdbLength = 0;
    platform::Direction direction = platform::Direction::None;
    uint32_t length = 0;
    uint32_t timeoutSeconds = 0;
    bool bufferGiven = false;
    std::vector<uint8_t> data; // what an out request carried

    uint8_t opcode() const { return cdb[1]; }
};

struct ScriptedAnswer {
    std::vector<uint8_t> reply; // copied into an in buffer (up to its length), even on failure
    bool success = true;
};

class RecordingTransport : public platform::ScsiTransport {
public:
    // Answers are used in order; once they run out, the fallback answers.
    void push(ScriptedAnswer answer);
    void setFallback(ScriptedAnswer answer);
    // Decides the answer from the call instead (takes precedence over queued answers).
    void setResponder(std::function<ScriptedAnswer(const RecordedCall&)> responder);
    // Calls past this many fail and are not recorded, so that a runaway loop ends with a
    // failure instead of hanging the test (0: no limit).
    void setCallLimit(size_t limit);

    bool execute(const uint8_t* cdb, int cdbLength, platform::Direction direction,
                 uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds) override;

    std::vector<RecordedCall> calls() const;
    size_t callCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedCall> calls_;
    std::deque<ScriptedAnswer> answers_;
    ScriptedAnswer fallback_;
    std::function<ScriptedAnswer(const RecordedCall&)> responder_;
    size_t callLimit_ = 0;
};

// A recording device bound to a drive letter, with a handle open on it, for one test. The
// letter is released and the handle closed when it goes.
class RecordingDrive {
public:
    explicit RecordingDrive(char letter);
    ~RecordingDrive();
    RecordingDrive(const RecordingDrive&) = delete;
    RecordingDrive& operator=(const RecordingDrive&) = delete;

    // True when no handle opened by letter is left open (only ours and the binding's remain).
    bool noLetterHandleOpen() const { return transport.use_count() == kOwnUsers; }

    const char letter;
    const std::shared_ptr<RecordingTransport> transport;
    HANDLE handle = INVALID_HANDLE_VALUE;

private:
    static constexpr long kOwnUsers = 3; // this object, the binding, the handle
};

} // namespace testsupport
