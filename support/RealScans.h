#pragma once

// The bundled real range scans with their published alignments, and starts perturbed from them.

#include "velm/Frame/CbMatrix4.h"
#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/SScan.h"
#include "velm/Pipeline/ScanSetConf.h"

#include <cmath>
#include <map>
#include <random>
#include <string>

namespace RealScans
{
const std::string kData = std::string(VELM_SOURCE_DIR) + "/data/";

// The published alignment of flt onto fix in millimetres: the conf file takes each scan into a common
// frame; flt goes into it, then out of it into fix's frame.
inline CbMatrix4Rd Published(const std::string& conf, const std::string& fix, const std::string& flt)
{
    const Pipeline::SScanSet set = Pipeline::ReadScanSet(kData + conf);
    std::map<std::string, CbMatrix4Rd> poses;
    for (const Pipeline::SConfLine* scan : set.Scans())
        poses[scan->strFile.substr(0, scan->strFile.rfind('.'))] = Pipeline::PoseOfLine(*scan, 1000.0);
    return poses.at(flt) * poses.at(fix).Inverted();
}

inline CbVector3d Centroid(const Pipeline::SScan& scan)
{
    CbVector3d sum;
    for (const CbVector3f& p : scan.Positions())
        sum += CbVector3d(p);
    return sum * (1.0 / static_cast<double>(scan.GetCount()));
}

// A start in a band: the published position turned about FLOAT's centroid (axis uniform on the
// sphere, angle uniform in [degrees0, degrees1]) and shifted (direction uniform, length uniform in
// [mm0, mm1]).
inline CbMatrix4Rd PerturbedStart(const CbMatrix4Rd& published, const CbVector3d& centroid, uint32_t seed,
                                  double degrees0, double degrees1, double mm0, double mm1)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform;
    auto direction = [&] {
        CbVector3d v(normal(random), normal(random), normal(random));
        return v * (1.0 / v.Length());
    };
    const CbVector3d axis = direction();
    const double degrees = degrees0 + (degrees1 - degrees0) * uniform(random);
    const CbVector3d shift = direction() * (mm0 + (mm1 - mm0) * uniform(random));
    const CbVector3d centre = published.TransformPoint(centroid);
    return published * Pipeline::TurnAbout(centre, axis, degrees) * CbMatrix4Rd::Translation(shift.x, shift.y, shift.z);
}

// How far a result lies from the published alignment: the angle of R_result * transpose(R_published)
// (degrees) and the distance between FLOAT's centroid mapped by both (mm).
inline std::pair<double, double> Error(const CbMatrix4Rd& published, const CbMatrix4Rd& result,
                                       const CbVector3d& centroid)
{
    return {Pipeline::AngleBetween(published, result),
            (published.TransformPoint(centroid) - result.TransformPoint(centroid)).Length()};
}
} // namespace RealScans
