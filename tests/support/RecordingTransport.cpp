#include "support/RecordingTransport.h"

#include "platform/DriveMap.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

void RecordingTransport::push(ScriptedAnswer answer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(answer));
}

void RecordingTransport::setFallback(ScriptedAnswer answer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fallback_ = std::move(answer);
}

void RecordingTransport::setResponder(std::function<ScriptedAnswer(const RecordedCall&)> responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void RecordingTransport::setCallLimit(size_t limit)
{
    std::lock_guard<std::mutex> lock(mutex_);
    callLimit_ = limit;
}

bool RecordingTransport::execute(const uint8_t* cdb, int cdbLength, platform::Direction direction,
                                 uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds)
{
    RecordedCall call;
    std::memcpy(call.cdb.data(), cdb, static_cast<size_t>(std::clamp(cdbLength, 0, 16)));
    call.cdbLength = cdbLength;
    call.direction = direction;
    call.length = length;
    call.timeoutSeconds = timeoutSeconds;
    call.bufferGiven = buffer != nullptr;
    if (direction == platform::Direction::Out && buffer)
        call.data.assign(buffer, buffer + length);

    std::unique_lock<std::mutex> lock(mutex_);
    if (callLimit_ != 0 && calls_.size() >= callLimit_)
        return false;
    ScriptedAnswer answer = fallback_;
    if (auto responder = responder_) {
        lock.unlock(); // the responder may look at the calls made so far
        answer = responder(call);
        lock.lock();
    } else if (!answers_.empty()) {
        answer = std::move(answers_.front());
        answers_.pop_front();
    }
    calls_.push_back(std::move(call));
    if (direction == platform::Direction::In && buffer && !answer.reply.empty())
        std::memcpy(buffer, answer.reply.data(), std::min<size_t>(answer.reply.size(), length));
    return answer.success;
}

std::vector<RecordedCall> RecordingTransport::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t RecordingTransport::callCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
}

RecordingDrive::RecordingDrive(char letter_) : letter(letter_), transport(std::make_shared<RecordingTransport>())
{
    auto t = transport;
    platform::DriveMap::global().bind(letter, {[t] { return std::shared_ptr<platform::ScsiTransport>(t); }, {}, "recording"});
    handle = platform::OpenTransport(transport, letter);
}

RecordingDrive::~RecordingDrive()
{
    platform::CloseDrive(handle);
    platform::DriveMap::global().release(letter);
}

} // namespace testsupport
