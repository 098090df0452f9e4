#pragma once

// What a run settles before any port opens, the same for every front end:
// its ports each on a device of their own, the image read once, checked and
// hashed, the audit log opened, and the scheduler's setup. What cannot be
// used is said, naming it and how to fix it, before anything is sent.

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runs/audit_log.h"
#include "runs/image.h"
#include "runs/scheduler.h"

namespace oxu::runs {

struct RunRequest {
    std::vector<PortRequest> ports;
    std::string image;                   // the file to send
    std::optional<std::string> logPath;  // the audit log to append to
    bool station = false;                // board after board; otherwise every port once
    int baud = 38400;
    std::chrono::milliseconds timeout{10'000};
    int retries = 0;
    std::string program;  // the program and its version, for the records
    std::string version;
    // The settle time after a download command sent before every attempt;
    // unset: no command.
    std::optional<std::chrono::milliseconds> downloadFirst{};
};

// A run ready to start. The scheduler refers to image: keep this alive
// (and in place) as long as the scheduler.
struct PreparedRun {
    SchedulerSetup setup;
    ImageSnapshot image;
    std::unique_ptr<AuditLog> log;  // when a log was asked for
    std::vector<RecordSink*> sinks() const;
};

// Why a run could not start; what() is the line to show. The request itself
// is at fault (no port, two ports on one device, an empty image) or the
// system refused what it needs (an image or a log it cannot read or write).
class RunNotStarted : public std::runtime_error {
public:
    RunNotStarted(const std::string& reason, bool badRequest)
        : std::runtime_error(reason), badRequest(badRequest) {}
    bool badRequest;
};

// The words for an image of 0 bytes: the device would call a 0-page update
// complete.
std::string describeEmptyImage(const std::string& path);

// Reads the image and opens the log. The mode is Station, or Single for one
// port and Gang for more. Throws RunNotStarted for no port, two ports on one
// device, an image that cannot be read or is empty, or a log that cannot be
// opened.
std::unique_ptr<PreparedRun> prepareRun(const RunRequest& request);

}  // namespace oxu::runs
