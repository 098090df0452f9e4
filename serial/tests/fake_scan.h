#pragma once

// A port scan that reads no environment and no /dev: the tests say which
// variables are set and which devices the system would list.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_mapping.h"

namespace oxu::testkit {

inline PortScan fakeScan(std::map<std::string, std::string> environment,
                         std::vector<std::string> devices = {}) {
    PortScan scan;
    scan.environment = [environment](const std::string& name) -> std::optional<std::string> {
        auto found = environment.find(name);
        if (found == environment.end())
            return std::nullopt;
        return found->second;
    };
    scan.devices = [devices] { return devices; };
    return scan;
}

}  // namespace oxu::testkit
