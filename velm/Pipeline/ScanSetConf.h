#pragma once

#include "velm/Frame/CbMatrix4.h"

#include <optional>
#include <string>
#include <vector>

namespace Pipeline
{
// One line of a scan set file. A `bmesh FILE tx ty tz qx qy qz qw` line names a scan and its pose: a
// point p of the scan lies at transpose(R(q)) p + t in the set's common frame, R(q) the usual rotation
// matrix of the unit quaternion q (qw its scalar part). `camera` lines, blank lines and `#` comments are
// kept as they are.
struct SConfLine
{
    std::string strText; // the line as read, without its line end
    bool bScan = false;  // a bmesh line
    std::string strFile; // FILE as written (relative to the file's folder unless absolute)
    double adTranslation[3] = {0.0, 0.0, 0.0};
    double adQuaternion[4] = {0.0, 0.0, 0.0, 1.0}; // qx qy qz qw as written
};

// A scan set file as read: every line in order, so that it can be written back with new poses.
struct SScanSet
{
    std::string strPath; // the file it was read from
    std::vector<SConfLine> vecLines;

    // The bmesh lines, in the order of the file.
    std::vector<const SConfLine*> Scans() const;
    // Where a scan's file lies: FILE as written, joined to the set file's folder when relative.
    std::string ScanPath(const SConfLine& scan) const;
};

// Reads a scan set file. Throws std::runtime_error, naming the file and the line, for an unknown
// keyword, a malformed bmesh line (not 8 numbers after FILE, a number that is not finite, a quaternion
// of length 0), a FILE named twice (as written), or a file without a bmesh line; the reader's error
// for a file that cannot be read.
SScanSet ReadScanSet(const std::string& path);

// A bmesh line's pose in the library's layout (p maps to p * M), the translation multiplied by
// `scale` (millimetres per unit of the file).
CbMatrix4Rd PoseOfLine(const SConfLine& scan, double scale);

// The set written to `path`, each bmesh line with its new pose (millimetres, the library's layout;
// written in the file's units: divided by `scale`) in %.9g, quaternion normalised with qw >= 0, or, where
// no pose is given, with its pose as it was written. FILE stays as written, rewritten relative to the
// new file's folder when that lies elsewhere (absolute names stay). Other lines are copied. `poses`
// has one entry per bmesh line.
std::string ScanSetText(const SScanSet& set, const std::vector<std::optional<CbMatrix4Rd>>& poses, double scale,
                        const std::string& path);
// Writes that text through a temporary file: the target is replaced whole or not at all.
void WriteScanSet(const SScanSet& set, const std::vector<std::optional<CbMatrix4Rd>>& poses, double scale,
                  const std::string& path);
} // namespace Pipeline
