#pragma once

// Range scans of one smooth surface for the tests and the benchmarks: an orthographic scanner looking
// along -z writes one point per cell of a regular grid, row by row (scan-line order, with the range
// grid), with analytic unit normals facing it and optional Gaussian noise along z. The surface is a
// gently curved sheet with bumps and dents of many sizes at irregular places: no part of it repeats
// another, nor is it symmetric, so a scan of a part fits the rest in one place only.

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/IO/SPointCloud.h"
#include "velm/Pipeline/Motion.h"

#include <cmath>
#include <cstdint>
#include <random>

namespace SyntheticScans
{
constexpr double kPi = 3.14159265358979323846;

// The height of the surface and its gradient at (x, y), millimetres; interesting over about
// [-150, 250] on both axes.
inline void Surface(double x, double y, double& height, double& dx, double& dy)
{
    height = 0.0015 * (x - 40.0) * (x - 40.0) - 0.001 * (y - 30.0) * (y - 30.0) + 0.0008 * x * y;
    dx = 0.003 * (x - 40.0) + 0.0008 * y;
    dy = -0.002 * (y - 30.0) + 0.0008 * x;
    for (int j = 0; j < 240; ++j)
    {
        // Places, sizes and heights from fractional parts of multiples of irrational numbers.
        const auto frac = [j](double a) { return a * j - std::floor(a * j); };
        const double cx = -150.0 + 400.0 * frac(0.6180339887), cy = -150.0 + 400.0 * frac(0.7548776662);
        const double width = 40.0 + 160.0 * frac(0.4142135624);
        const double amplitude = (j % 2 ? -1.0 : 1.0) * (1.5 + 3.0 * frac(0.5698402910));
        const double ex = x - cx, ey = y - cy, r2 = ex * ex + ey * ey;
        if (r2 > 16.0 * width)
            continue; // beyond four widths a bump adds less than 1e-6 of its height
        const double b = amplitude * std::exp(-r2 / width);
        height += b;
        dx += -2.0 * ex / width * b;
        dy += -2.0 * ey / width * b;
    }
}

inline double Height(double x, double y)
{
    double h, dx, dy;
    Surface(x, y, h, dx, dy);
    return h;
}

// Rotation by `degrees` about the axis through the origin, then the translation t (library layout).
inline CbMatrix4Rd Motion(const CbVector3d& axis, double degrees, const CbVector3d& t)
{
    return Pipeline::TurnAbout(CbVector3d(), axis, degrees) * CbMatrix4Rd::Translation(t.x, t.y, t.z);
}

struct SWindow
{
    double x0 = 0.0, y0 = 0.0; // the first cell's position (mm)
    int cols = 100, rows = 100;
    double spacing = 1.0; // mm
    double noise = 0.0;   // standard deviation along z (mm)
    uint32_t seed = 1;    // of the noise
    double relief = 1.0;  // heights are scaled by this: a tiny relief gives a nearly flat scan
};

// The cells of the window seen from above, every point and normal then moved by toOwnFrame (into the
// scanner's own coordinates).
inline IO::SPointCloud Scan(const SWindow& w, const CbMatrix4Rd& toOwnFrame = CbMatrix4Rd::Identity())
{
    std::mt19937 random(w.seed);
    std::normal_distribution<double> noise(0.0, w.noise > 0.0 ? w.noise : 1.0);
    IO::SPointCloud cloud;
    cloud.uiGridRows = static_cast<uint32_t>(w.rows);
    cloud.uiGridCols = static_cast<uint32_t>(w.cols);
    const size_t count = static_cast<size_t>(w.rows) * static_cast<size_t>(w.cols);
    cloud.vecGrid.reserve(count);
    cloud.vecPositions.reserve(count);
    cloud.vecNormals.reserve(count);
    const CbVector3d origin = toOwnFrame.TransformPoint(CbVector3d());
    for (int r = 0; r < w.rows; ++r)
        for (int c = 0; c < w.cols; ++c)
        {
            const double x = w.x0 + c * w.spacing, y = w.y0 + r * w.spacing;
            double h, dx, dy;
            Surface(x, y, h, dx, dy);
            const CbVector3d p(x, y, w.relief * h + (w.noise > 0.0 ? noise(random) : 0.0));
            const CbVector3d n(-w.relief * dx, -w.relief * dy, 1.0);
            cloud.vecGrid.push_back(static_cast<int32_t>(cloud.vecPositions.size()));
            cloud.vecPositions.emplace_back(toOwnFrame.TransformPoint(p));
            cloud.vecNormals.emplace_back(toOwnFrame.TransformPoint(n * (1.0 / n.Length())) - origin);
        }
    return cloud;
}

// The surfels of a scan as they stand: positions and unit normals.
inline Base::SSurfelData Surfels(const IO::SPointCloud& cloud)
{
    Base::SSurfelData data;
    data.vecPositions = cloud.vecPositions;
    data.vecNormals = cloud.vecNormals;
    return data;
}

// The engine's settings for these scans at 1 mm spacing a few millimetres and degrees apart, as the
// tests and the benchmarks run it: neighbourhoods, sampling, update steps, stopping, judging (pair
// weight > 100, condition number < 1000, ...).
inline DataLayer::VelmTorCorrICPPointConfig EngineConfig()
{
    DataLayer::VelmTorCorrICPPointConfig c;
    c.SetInitialDistanceThreshold(5.0f);
    c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetQueryRadiusThreshold(2.5f);
    c.SetConvergedQueryRadius(2.0f);
    c.SetSmoothDistanceThresholding(true);
    c.SetBoundingBoxBlowup(1.0f);
    c.SetMaxNumberDepthImagePairs(1);
    c.SetNumberOfPairs(1500);
    c.SetSamplingDensity(2.0f);
    c.SetNrTestSamples(1000);
    c.SetMaxTransformationUpdates(3);
    c.SetMinImprovement(0.99);
    c.SetMinStepSize(0.1);
    c.SetMaxIterations(50);
    c.SetOffsetThreshold(0.001);
    c.SetMinimumPairWeights(100.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(20.0f);
    c.SetOverlapRange(3.0f);
    c.SetTestRange(1.5f);
    c.SetCosNormalThreshold(0.95);
    c.SetCurvatureThreshold(1.0);
    c.SetMinimumOverlapQuotient(0.5);
    c.SetMinimumWeightsQuotient(0.8);
    c.SetDefaultResClassErrorThreshold(0.05);
    c.SetMinimumNumberSurfelsFix(100);
    c.SetMinimumNumberSurfelsFloat(100);
    return c;
}
} // namespace SyntheticScans
