#pragma once

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/IO/SPointCloud.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace VelmTool
{
// Exit codes of velm-register.
constexpr int kExitSuccess = 0;   // the registration ended in "Success"
constexpr int kExitBadInput = 1;  // bad usage or input; nothing was registered
constexpr int kExitNotSuccess = 2; // the registration ran and ended in any other state

// Runs velm-register with the given arguments (argv[0] is the program name). Writes the summary to
// out, errors and progress lines to err, and returns the exit code.
int RunRegister(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Reads a start transformation: 16 numbers of the 4x4 matrix row by row, in the usual form that maps
// a column vector p to M p (rotation in the upper left 3x3, translation in the last column, last row
// 0 0 0 1). Separators may be blanks, commas, line ends and brackets, so a matrix printed as nested
// JSON arrays reads back. Returns the library's matrix (row-vector convention, translation in
// e12..e14). Throws std::runtime_error for the wrong count, a non-number, a last row other than
// 0 0 0 1, or a 3x3 part that is not a rotation.
CbMatrix4Rd ParseTransformation(const std::string& text);

// Numbers separated by blanks, commas, semicolons, line ends or brackets; '#' starts a comment that
// runs to the end of its line. Throws std::runtime_error, starting with `what`, for anything else.
std::vector<double> ParseNumbers(const std::string& text, const std::string& what);

// The inverse of ParseTransformation's layout: element [r][c] of the usual form.
double UsualElement(const CbMatrix4Rd& m, int row, int col);

// A scan ready for registration: its points as read, the unit normals used (file frame), its surfels
// in millimetres, and the collection of those surfels (used when the scan is the fixed one).
struct SScan
{
    IO::SPointCloud cloud;
    std::vector<CbVector3f> normals;
    Base::SSurfelData surfels;
    std::unique_ptr<Base::CSurfelCollection> collection;
    double loadSeconds = 0.0;    // reading the file
    double surfelSeconds = 0.0;  // normals, qualities, boundary flags and the collection's kd-tree
};

// Reads a point file and makes its surfels; options.fScale turns file units into millimetres. The
// collection is built only when asked for (a scan that is only ever the floating one needs none).
// Throws (VelmException or std::runtime_error) for unreadable files and scans of fewer than 3 points.
SScan LoadScan(const std::string& file, const Base::SSurfelsFromPointsOptions& options, bool buildCollection = true);

// The scan's sampling density in millimetres: the median distance between neighbouring points.
double SamplingDensity(const SScan& scan);

// Registers flt onto fix from the start transformation (millimetres), driving the engine step by
// step; with progress set, writes a line per iteration to it.
//
// The engine gets the floating surfels already moved by the start, so that its relative movement
// (how far the transformation moves the floating scan) measures the distance from the start rather
// than from wherever the scanner put the file's origin. The returned result is the engine's, with the
// transformation made whole again (the start, then the engine's motion) and the start recorded as
// the start transformation.
std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> Register(
    const SScan& fix, const SScan& flt, const DataLayer::VelmTorCorrICPPointConfig& config,
    const CbMatrix4Rd& startMm, std::ostream* progress);
} // namespace VelmTool
