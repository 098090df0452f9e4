#pragma once

// The device's side of the wire protocol: the update session (header, page
// requests, frame checks, completion) and the download-command check. Works
// on a Line, so it runs the same on a pseudo-terminal and on a scripted fake.

#include <chrono>
#include <string>

#include "device/line.h"
#include "device/options.h"
#include "device/report.h"

namespace oxu::sim {

// Time the last page may take to finish when its length is unknown: its frame
// ends after this much silence.
inline constexpr std::chrono::milliseconds kLastPageQuiet{200};
// How long a request for page 0 is watched for an answer that must not come.
inline constexpr std::chrono::milliseconds kPageZeroQuiet{500};
// How long the device waits for the program to close the port after the
// completion byte (or the download command) before reporting it did not.
inline constexpr std::chrono::seconds kCloseGrace{2};
// A program that recognised completion closes the port within this.
inline constexpr std::chrono::milliseconds kPromptClose{500};

// Plays the device through one update on `line`, departing from the honest
// device where options.faults says. With a baud (--baud), the line runs at
// it: a UartLine paces what the program sends and garbles both ways when the
// program's end is at another speed. Never throws for anything the program
// does; a LineError on write ends the session with a failure.
UpdateReport runUpdate(Line& line, const Options& options);

// Waits for the download command and checks it byte for byte, on a line at
// the baud of options.faults as runUpdate does.
DownloadReport runDownload(Line& line, const Options& options);

// Writes bytes to path through a temporary file renamed into place, so a
// failed write never leaves a truncated image under the name. Throws
// std::runtime_error naming the file and the system's reason.
void writeImageFile(const std::string& path, const Bytes& bytes);

}  // namespace oxu::sim
