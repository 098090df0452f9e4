#pragma once

// The programs of this build that process tests start, as the test
// program's target names them (OXU_UPDATE_BINARY, OXU_DEVICE_SIM_BINARY);
// empty where it names none, as when the build made no simulator. Each file
// that includes this has its own copy, read from its own definitions.

#include <string>

namespace oxu::testkit {

#ifdef OXU_UPDATE_BINARY
const std::string kUpdate = OXU_UPDATE_BINARY;
#else
const std::string kUpdate;
#endif

#ifdef OXU_DEVICE_SIM_BINARY
const std::string kSimulator = OXU_DEVICE_SIM_BINARY;
#else
const std::string kSimulator;
#endif

}  // namespace oxu::testkit
