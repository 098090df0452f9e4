#include "cli/port_choice.h"

#include <sys/stat.h>

#include "runs/ports.h"
#include "runs/run_setup.h"

namespace oxu::cli {
namespace {

using runs::describeAdapter;

bool isUsb(const PortCandidate& candidate) {
    return candidate.adapter.vendorId.has_value();
}

// One candidate per line, its by-id names below it: what to type to choose it.
std::string listCandidates(const std::vector<PortCandidate>& candidates) {
    if (candidates.empty())
        return "  (no serial device found)\n";
    std::string text;
    for (const PortCandidate& candidate : candidates) {
        std::string line = candidate.number ? "  --port " + std::to_string(*candidate.number)
                                            : std::string("  (no port number)");
        line.resize(std::max<std::size_t>(line.size() + 1, 13), ' ');
        line += candidate.device;
        if (isUsb(candidate))
            line += "  " + describeAdapter(candidate.adapter);
        text += line + '\n';
        for (const std::string& name : candidate.byId)
            text += std::string(13, ' ') + "--device " + name + '\n';
    }
    return text;
}

}  // namespace

std::optional<std::string> chooseDefaultPort(Options& options, const CandidateScan& scan) {
    const bool opensPort = options.mode == Mode::Update || options.mode == Mode::DownloadCommand ||
                           options.mode == Mode::CheckPort;
    if (!opensPort || options.portNamed)
        return std::nullopt;
    const std::vector<PortCandidate> candidates = scan();
    std::vector<const PortCandidate*> usb;
    for (const PortCandidate& candidate : candidates) {
        if (isUsb(candidate))
            usb.push_back(&candidate);
    }
    if (usb.size() == 1) {
        const PortCandidate& only = *usb.front();
        options.ports = {{only.number.value_or(kFirstPortNumber), only.device}};
        options.port = options.ports.front().number;
        options.device = only.device;
        return "using " + only.device + " (" + describeAdapter(only.adapter) +
               "), the only USB serial adapter";
    }
    const std::string found = usb.empty()
                                  ? "no USB serial adapter is present"
                                  : std::to_string(usb.size()) + " USB serial adapters are present";
    throw UsageError("no port named, and " + found + "; serial devices found:\n" +
                     listCandidates(candidates) +
                     "Choose one: --device /dev/serial/by-id/... names an adapter whatever "
                     "it is plugged into;\n--port N takes port N as --list-ports shows it.");
}

void refuseEmptyImage(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        throw UsageError(runs::describeEmptyImage(path));
}

}  // namespace oxu::cli
