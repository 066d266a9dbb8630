#pragma once

#include <iosfwd>

namespace VelmTool
{
// Runs velm-align with the given arguments (argv[0] is the program name). Writes the summary to out,
// errors and progress lines to err, and returns the exit code: 0 when every scan was aligned, 2 when
// some were not, 1 for bad usage or input (then nothing is written).
int RunAlign(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
} // namespace VelmTool
