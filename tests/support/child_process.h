#pragma once

// The old path of kit/child_process.h, kept only for the benchmark until it
// includes the kit directly.

#include "kit/child_process.h"

namespace oxu::test {
using kit::ChildProcess;
using kit::Environment;
using kit::ProgramResult;
using kit::runProgram;
}  // namespace oxu::test
