#pragma once
// Reports why a real device cannot be driven (permissions, missing capability).
// A real device the process may not drive is a set-up fault only the operator can fix, so
// it is said once per device, clearly, on standard error and through the reporter the
// program installs (the event log): which node, what is missing and how to grant it.
// Otherwise it would only show as failed transfers.
#include <functional>
#include <string>

namespace platform {

enum class AccessRefusal {
    Open,    // the node does not open read-write: file permissions
    Command, // SG_IO refused: vendor commands need CAP_SYS_RAWIO
};

// Receives each report's one-line text; safe to call from any thread. {} for none.
void SetDeviceAccessReporter(std::function<void(const std::string& text)> reporter);

// Reports the refusal unless one was reported for the node already; true when it did now.
// error: the errno that came back.
bool ReportAccessRefused(const std::string& node, AccessRefusal what, int error);

// The short reason a device panel shows for a node reported above ("" when none was).
std::string AccessRefusalReason(const std::string& node);

// The device at the node went away: the next one there is reported afresh.
void ForgetAccessRefusal(const std::string& node);

// True for the errno values that mean "not allowed" rather than a failing device.
bool IsAccessRefusal(int error);

} // namespace platform
