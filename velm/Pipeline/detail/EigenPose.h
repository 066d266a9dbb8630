#pragma once

#include "velm/Frame/CbMatrix4.h"

#include <Eigen/Geometry>

namespace Pipeline::detail
{
// The library's layout (p maps to p * M) and Eigen's column-vector form (x maps to R x + t) of one
// rigid motion; the solvers of the pipeline think in the second.
inline Eigen::Isometry3d ToPose(const CbMatrix4Rd& m)
{
    Eigen::Isometry3d a = Eigen::Isometry3d::Identity();
    for (int r = 0; r < 3; ++r)
    {
        for (int c = 0; c < 3; ++c)
            a.linear()(r, c) = m.Usual(r, c);
        a.translation()(r) = m.e[12 + r];
    }
    return a;
}

inline CbMatrix4Rd ToMatrix(const Eigen::Isometry3d& a)
{
    CbMatrix4Rd m;
    for (int r = 0; r < 3; ++r)
    {
        for (int c = 0; c < 3; ++c)
            m.e[4 * c + r] = a.linear()(r, c);
        m.e[12 + r] = a.translation()(r);
    }
    return m;
}
} // namespace Pipeline::detail
