#pragma once

#include "velm/Frame/CString.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Pipeline/CRecord.h"

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>
#include <vector>

namespace VelmTool
{
// Exit codes of velm-register.
constexpr int kExitSuccess = 0;    // the registration ended in "Success" and was verified
constexpr int kExitBadInput = 1;   // bad usage or input; nothing was registered
constexpr int kExitNotSuccess = 2; // the registration ran, but its result is not to be trusted

// Runs velm-register with the given arguments (argv[0] is the program name). Writes the summary to
// out, errors and progress lines to err, and returns the exit code.
int RunRegister(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Reads a start transformation: 16 numbers of the 4x4 matrix row by row, in the usual form that maps
// a column vector p to M p (rotation in the upper left 3x3, translation in the last column, last row
// 0 0 0 1). Separators may be blanks, commas, line ends and brackets, so a matrix printed as nested
// JSON arrays reads back. Returns the library's matrix (row-vector convention, translation in
// e12..e14). Throws std::runtime_error for the wrong count or a non-number, std::invalid_argument for a
// last row other than 0 0 0 1 or a 3x3 part that is not a rotation.
CbMatrix4Rd ParseTransformation(const std::string& text);

// Numbers separated by blanks, commas, semicolons, line ends or brackets; '#' starts a comment that
// runs to the end of its line. Throws std::runtime_error, starting with `what`, for anything else.
std::vector<double> ParseNumbers(const std::string& text, const std::string& what);

// A library message in plain ASCII ('?' for every other character), for a one-line error.
std::string Narrow(const CString& text);

// A parsed JSON value as the pipeline's record (integers stay integers, objects keep their order).
Pipeline::CRecord JsonToRecord(const nlohmann::json& value);
} // namespace VelmTool
