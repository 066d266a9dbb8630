#pragma once

// Range scans of a smooth, non-symmetric height field, as an orthographic scanner looking along -z
// writes them: one point per cell of a regular grid, row by row, with the range grid, analytic unit
// normals facing the scanner and Gaussian noise along z. Another shape, noise level and density than
// the bundled scans.

#include "velm/Frame/CbMatrix4.h"
#include "velm/IO/SPointCloud.h"
#include "velm/Pipeline/Motion.h"

#include <cmath>
#include <cstdint>
#include <random>

namespace SyntheticScans
{
// Bumps and dents of different sizes at irregular places on a gently twisted sheet: no part of it
// repeats another, so a scan of a part fits the rest in one place only.
inline double Height(double x, double y)
{
    const double bumps[][4] = {{25, 30, 5.0, 250}, {70, 65, -3.5, 180},  {115, 35, 4.0, 300}, {55, 12, 2.0, 60},
                               {95, 90, 2.5, 120}, {140, 80, -3.0, 200}, {10, 85, 3.0, 150},  {85, 5, -2.0, 90}};
    double h = 0.0015 * (x - 60) * (x - 60) - 0.001 * (y - 50) * (y - 50) + 0.0008 * x * y;
    for (const auto& b : bumps)
        h += b[2] * std::exp(-((x - b[0]) * (x - b[0]) + (y - b[1]) * (y - b[1])) / b[3]);
    return h;
}

inline CbVector3d Normal(double x, double y)
{
    const double h = 1e-5;
    const CbVector3d n(-(Height(x + h, y) - Height(x - h, y)) / (2.0 * h),
                       -(Height(x, y + h) - Height(x, y - h)) / (2.0 * h), 1.0);
    return n * (1.0 / n.Length());
}

// Rotation by `degrees` about the axis through the origin, then the translation t.
inline CbMatrix4Rd Motion(const CbVector3d& axis, double degrees, const CbVector3d& t)
{
    return Pipeline::TurnAbout(CbVector3d(), axis, degrees) * CbMatrix4Rd::Translation(t.x, t.y, t.z);
}

inline CbMatrix4Rd Inverse(CbMatrix4Rd m)
{
    m.Invert();
    return m;
}

struct SWindow
{
    double x0 = 0.0, y0 = 0.0; // first cell's position (mm)
    int cols = 100, rows = 100;
    double spacing = 1.0; // mm
    double noise = 0.03;  // standard deviation along z (mm)
    uint32_t seed = 1;
};

// The cells of the window seen from above, then every point and normal moved by toOwnFrame (the
// scanner's own coordinates).
inline IO::SPointCloud Scan(const SWindow& w, const CbMatrix4Rd& toOwnFrame = CbMatrix4Rd::Identity())
{
    std::mt19937 random(w.seed);
    std::normal_distribution<double> noise(0.0, w.noise);
    IO::SPointCloud cloud;
    cloud.uiGridRows = static_cast<uint32_t>(w.rows);
    cloud.uiGridCols = static_cast<uint32_t>(w.cols);
    for (int r = 0; r < w.rows; ++r)
        for (int c = 0; c < w.cols; ++c)
        {
            const double x = w.x0 + c * w.spacing, y = w.y0 + r * w.spacing;
            const CbVector3d p(x, y, Height(x, y) + (w.noise > 0.0 ? noise(random) : 0.0));
            const CbVector3d tip = p + Normal(x, y);
            const CbVector3d q = toOwnFrame.TransformPoint(p);
            cloud.vecGrid.push_back(static_cast<int32_t>(cloud.vecPositions.size()));
            cloud.vecPositions.emplace_back(q);
            cloud.vecNormals.emplace_back(toOwnFrame.TransformPoint(tip) - q);
        }
    return cloud;
}
} // namespace SyntheticScans
