#pragma once

// The bundled real range scans with their published alignments, and starts perturbed from them.

#include "velm/Frame/CbMatrix4.h"
#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/SScan.h"

#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

namespace RealScans
{
const std::string kData = std::string(VELM_SOURCE_DIR) + "/data/";

inline CbMatrix4Rd Inverse(CbMatrix4Rd m)
{
    m.Invert();
    return m;
}

// p -> transpose(R(q)) p for the unit quaternion q = (x, y, z, w), R(q) its usual rotation matrix, which
// is R(q) itself in the library's row-vector layout.
inline CbMatrix4Rd FromQuaternion(double x, double y, double z, double w)
{
    const double l = std::sqrt(x * x + y * y + z * z + w * w);
    x /= l, y /= l, z /= l, w /= l;
    const double r[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
                         2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
                         2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
    CbMatrix4Rd m;
    for (int i = 0; i < 9; ++i)
        m.e[4 * (i / 3) + i % 3] = r[i];
    return m;
}

// The published alignment of flt onto fix in millimetres: the conf file takes each scan into a common
// frame by p -> transpose(R(q)) p + t (metres); flt goes into it, then out of it into fix's frame.
inline CbMatrix4Rd Published(const std::string& conf, const std::string& fix, const std::string& flt)
{
    std::map<std::string, CbMatrix4Rd> poses;
    std::ifstream in(kData + conf);
    std::string kind, name;
    double t[3], q[4];
    for (std::string line; std::getline(in, line);)
        if (std::istringstream(line) >> kind >> name >> t[0] >> t[1] >> t[2] >> q[0] >> q[1] >> q[2] >> q[3] &&
            kind == "bmesh")
            poses[name.substr(0, name.rfind('.'))] = FromQuaternion(q[0], q[1], q[2], q[3]) *
                                                     CbMatrix4Rd::Translation(1000 * t[0], 1000 * t[1], 1000 * t[2]);
    return poses.at(flt) * Inverse(poses.at(fix));
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
    auto direction = [&]
    {
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
