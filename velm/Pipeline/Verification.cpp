#include "velm/Pipeline/Verification.h"

#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/SRegistrationConfig.h"
#include "velm/Pipeline/SScan.h"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>

namespace Pipeline
{
namespace
{
constexpr double kPi = 3.14159265358979323846;
// Fewer pairs or tested samples than this say nothing about a surface.
constexpr size_t kMinSamples = 50;
// A scan's noise is never taken below this share of its spacing: a scan of a plane without any noise
// would have none at all.
constexpr double kNoiseFloor = 0.01;
constexpr double kNormalAngle = 25.0; // degrees

double Noise(const SScan& scan)
{
    return std::max(scan.dNoise, kNoiseFloor * scan.dSpacing);
}

SCheck Check(const char* name, double value, double limit, const char* test, bool applicable, std::string note)
{
    SCheck c;
    c.strName = name;
    c.dLimit = limit;
    c.strTest = test;
    c.bApplicable = applicable && std::isfinite(value);
    c.dValue = applicable ? value : std::numeric_limits<double>::quiet_NaN();
    c.bPassed = c.bApplicable && (c.strTest == "<" ? value < limit : value > limit);
    c.strNote = std::move(note);
    return c;
}
// How well the pairs pin FLOAT down: the smallest over the largest eigenvalue of the normal matrix of
// their point-to-plane distances, with rotations measured as the motion they cause at the pairs' RMS
// distance from their centre. A plane leaves three motions free, a cylinder two, a sphere three: 0.
double Constraint(const std::vector<std::pair<CbVector3d, CbVector3d>>& planes)
{
    CbVector3d centre;
    for (const auto& [p, n] : planes)
        centre += p;
    centre = centre * (1.0 / static_cast<double>(planes.size()));
    double spread = 0.0;
    for (const auto& [p, n] : planes)
        spread += (p - centre).LengthSqr();
    const double length = std::sqrt(spread / static_cast<double>(planes.size()));
    if (!(length > 0.0))
        return 0.0;
    Eigen::Matrix<double, 6, 6> a = Eigen::Matrix<double, 6, 6>::Zero();
    for (const auto& [p, n] : planes)
    {
        const CbVector3d m = (p - centre).Cross(n) * (1.0 / length);
        Eigen::Matrix<double, 6, 1> j;
        j << n.x, n.y, n.z, m.x, m.y, m.z;
        a.noalias() += j * j.transpose();
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 6, 6>> solver(a, Eigen::EigenvaluesOnly);
    const auto& values = solver.eigenvalues(); // increasing
    return values[5] > 0.0 ? std::max(0.0, values[0]) / values[5] : 0.0;
}
} // namespace

CRecord SCheck::ToRecord() const
{
    CRecord r = CRecord::Map();
    r.Set("name", strName);
    r.Set("value", CRecord::Measure(dValue));
    r.Set("limit", dLimit);
    r.Set("test", strTest);
    r.Set("applicable", bApplicable);
    r.Set("passed", bPassed);
    r.Set("note", strNote);
    return r;
}

std::vector<SCheck> Verify(const SScan& fix, const SScan& flt, const CbMatrix4Rd& transformation,
                           const SRegistrationConfig& config)
{
    const auto fixDerived = fix.spCollection->GetDerivedData();
    const Base::IKdTree3D& fixTree = fixDerived->GetKdTree();
    const std::vector<uint32_t>& order = flt.spCollection->GetDerivedData()->GetSampleOrder();
    const size_t samples = std::min<size_t>(config.uiVerifySamples, flt.GetCount());
    const std::vector<CbVector3f>& fixPositions = fix.Positions();
    const std::vector<CbVector3f>& fixNormals = fix.surfels.vecNormals;
    const double expected = std::sqrt(Noise(fix) * Noise(fix) + Noise(flt) * Noise(flt));
    const double cosAgree = std::cos(kNormalAngle * kPi / 180.0);
    const float pairDistance = static_cast<float>(config.dVerifyPairDistance);

    // Free space: a sample is over a measured line of sight of FIX when a point of FIX lies within
    // one spacing of it across the view; FIX's surface there must face the scanner clearly enough
    // for its plane to tell front from back.
    const CViewGrid* viewGrid = fix.ViewGrid();
    const bool rangeScan = viewGrid != nullptr;
    const float lineOfSight = static_cast<float>(fix.dSpacing);
    const double frontTolerance = std::max(4.0 * expected, 2.0 * fix.dSpacing);

    const std::vector<uint8_t>& fixBoundary = fix.surfels.vecBoundaryFlags;
    size_t pairs = 0, agreeing = 0, overSurface = 0, inFront = 0;
    double sumSquares = 0.0;
    std::vector<std::pair<CbVector3d, CbVector3d>> planes; // each pair's point and FIX normal
    for (size_t k = 0; k < samples; ++k)
    {
        const uint32_t i = order[k];
        const CbVector3d p = transformation.TransformPoint(CbVector3d(flt.Positions()[i]));
        const CbVector3d n = RotateDirection(transformation, CbVector3d(flt.surfels.vecNormals[i]));
        const uint32_t j = fixTree.FindNearest(CbVector3f(p), pairDistance, 0);
        if (j != 0xFFFFFFFFu)
        {
            const CbVector3d q(fixPositions[j]);
            const CbVector3d nq(fixNormals[j]);
            const double r = (p - q).Dot(nq);
            sumSquares += r * r;
            ++pairs;
            planes.emplace_back(p, nq);
            if (n.Dot(nq) > cosAgree)
                ++agreeing;
        }
        if (rangeScan)
        {
            const CbVector3f across(static_cast<float>(p.Dot(fix.ViewAxisU())),
                                    static_cast<float>(p.Dot(fix.ViewAxisV())), 0.0f);
            const uint32_t m = viewGrid->FindNearest(across, lineOfSight);
            if (m == 0xFFFFFFFFu)
                continue;
            const CbVector3d nm(fixNormals[m]);
            const double facing = nm.Dot(fix.vViewDirection);
            if (facing < 0.5)
                continue;
            // The test trusts FIX's plane only inside its measured surface, not at its edges (where
            // the line of sight may have grazed a nearer surface without measuring it), and only
            // samples that turn towards FIX's scanner, which it would have measured had they been there.
            if ((!fixBoundary.empty() && fixBoundary[m]) || n.Dot(fix.vViewDirection) <= 0.3)
                continue;
            ++overSurface;
            // How far the sample lies above FIX's surface plane, along the line of sight.
            if ((p - CbVector3d(fixPositions[m])).Dot(nm) / facing > frontTolerance)
                ++inFront;
        }
    }

    std::vector<SCheck> checks;
    const bool enoughPairs = pairs >= kMinSamples;
    const std::string pairNote = std::to_string(pairs) + " of " + std::to_string(samples) + " samples paired";
    checks.push_back(Check("residual_ratio", enoughPairs ? std::sqrt(sumSquares / pairs) / expected : NAN,
                           config.dMaxResidualRatio, "<", enoughPairs, pairNote));
    checks.push_back(Check("normal_agreement", enoughPairs ? static_cast<double>(agreeing) / pairs : NAN,
                           config.dMinNormalAgreement, ">", enoughPairs, pairNote));
    checks.push_back(
        Check("constraint", enoughPairs ? Constraint(planes) : NAN, config.dMinConstraint, ">", enoughPairs, pairNote));
    const bool enoughOver = overSurface >= kMinSamples;
    checks.push_back(Check("free_space", enoughOver ? static_cast<double>(inFront) / overSurface : NAN,
                           config.dMaxFreeSpaceShare, "<", rangeScan && enoughOver,
                           !rangeScan ? "FIX has no range grid"
                                      : std::to_string(overSurface) + " samples over FIX's measured surface"));
    return checks;
}
} // namespace Pipeline
