#pragma once
// When an unattended run (--exit-when-done) is over: every device it plugged has a result
// or a failed arrival, and no production thread runs. Free of Qt, so tests decide it too.
#include "toolkit/TThread.h"
#include "ui/main.h"

struct DeviceTally {
    int plugged = 0;        // devices the run plugged
    int results = 0;        // production runs that ended, successful or not
    int failedArrivals = 0; // arrivals that ended without a run
    int running = 0;        // production threads still running
    int failed = 0;         // production runs that ended in a failure
};

inline bool EveryDeviceSettled(const DeviceTally& t)
{
    return t.plugged > 0 && t.running == 0 && t.results + t.failedArrivals >= t.plugged;
}

// The exit status of a settled unattended run: 0 only when devices ran and every one
// succeeded, so that a script never takes a broken batch for a good one.
inline int UnattendedExitCode(const DeviceTally& t)
{
    return t.results > 0 && t.failed == 0 && t.failedArrivals == 0 ? 0 : 1;
}

// The running threads are counted last: a run ending meanwhile is seen as not yet
// counted, never as settled too early.
inline DeviceTally DeviceTallyOf(const TForm1& form, int plugged)
{
    return {plugged, form.iTotalCount.load(), form.iFailedArrivals.load(), toolkit::TThread::ActiveCount(),
            form.iFailCount.load()};
}
