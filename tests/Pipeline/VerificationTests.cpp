// Each verification check on synthetic range scans whose right answer is known.
#include "SyntheticScans.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Pipeline/CViewGrid.h"
#include "velm/Pipeline/SRegistrationConfig.h"
#include "velm/Pipeline/SScan.h"
#include "velm/Pipeline/Verification.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace SyntheticScans;

namespace
{
// FLOAT covers the right half of FIX and as much again beyond it, in a frame of its own.
const CbMatrix4Rd kToFloatFrame = Motion(CbVector3d(1, 2, 3), 30.0, CbVector3d(10, -20, 5));
const CbMatrix4Rd kTruth = kToFloatFrame.Inverted();

std::shared_ptr<const Pipeline::SScan> Prepare(IO::SPointCloud cloud, const char* name)
{
    return Pipeline::PrepareScan(std::move(cloud), Pipeline::SScanOptions(), name);
}

// Verifies against the outcomes expected: "name+" passed, "name-" failed, "name/" does not apply (no
// value, not passed), optionally followed by "<x" or ">x", a bound on the value.
std::map<std::string, Pipeline::SCheck> Expect(const Pipeline::SScan& fix, const Pipeline::SScan& flt,
                                               const CbMatrix4Rd& t, const std::string& expected)
{
    std::map<std::string, Pipeline::SCheck> checks;
    for (const Pipeline::SCheck& c : Pipeline::Verify(fix, flt, t, Pipeline::DefaultConfig(fix)))
        checks[c.strName] = c;
    EXPECT_EQ(checks.size(), 4u);
    std::istringstream tokens(expected);
    for (std::string token; tokens >> token;)
    {
        const size_t k = token.find_first_of("+-/");
        const Pipeline::SCheck& c = checks.at(token.substr(0, k));
        SCOPED_TRACE(expected + ": " + c.strName + " " + std::to_string(c.dValue) + " " + c.strTest + " " +
                     std::to_string(c.dLimit) + ", " + c.strNote);
        EXPECT_EQ(std::make_tuple(c.bApplicable, c.bPassed, std::isnan(c.dValue)),
                  std::make_tuple(token[k] != '/', token[k] == '+', token[k] == '/'));
        const double bound = k + 1 < token.size() ? std::stod(token.substr(k + 2)) : NAN;
        EXPECT_TRUE(std::isnan(bound) || (token[k + 1] == '<' ? c.dValue < bound : c.dValue > bound));
    }
    return checks;
}
} // namespace

TEST(Verification, TheRightAlignmentPassesEveryCheckAndEachFaultFailsItsOwn)
{
    const IO::SPointCloud fixCloud = Scan({0.0, 0.0, 100, 100, 1.0, 0.03, 1});
    const IO::SPointCloud fltCloud = Scan({50.5, 0.5, 100, 100, 1.0, 0.03, 2}, kToFloatFrame);
    const auto fix = Prepare(fixCloud, "fix"), flt = Prepare(fltCloud, "float");
    // Spacing and noise are measured, not given: 1 mm, and about the 0.03 mm put in.
    EXPECT_NEAR(fix->dSpacing, 1.0, 0.01);
    EXPECT_TRUE(fix->dNoise > 0.015 && fix->dNoise < 0.04) << fix->dNoise;
    const auto moved = [](double x, double y, double z) { return kTruth * CbMatrix4Rd::Translation(x, y, z); };
    Expect(*fix, *flt, kTruth, "residual_ratio+ normal_agreement+ constraint+ free_space+");
    // Six millimetres along x, where the surface slides nearly along itself: the bumps no longer fit.
    Expect(*fix, *flt, moved(6, 0, 0), "residual_ratio- normal_agreement+");
    // Towards the scanner by more than the tolerance of two spacings: FLOAT floats in FIX's free space.
    Expect(*fix, *flt, moved(0, 0, 2.5), "free_space->0.9");
    // The same distance away from the scanner is hidden behind FIX's surface: free space cannot tell.
    Expect(*fix, *flt, moved(0, 0, -2.5), "free_space+ residual_ratio-");

    // A scan flipped back to front has normals that disagree.
    IO::SPointCloud flipped = fltCloud;
    for (CbVector3f& n : flipped.vecNormals)
        n = -n;
    Expect(*fix, *Prepare(flipped, "flipped"), kTruth, "residual_ratio+ normal_agreement-<0.05");

    // Pure noise is no surface: points in the surface's slab, with normals in every direction.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    IO::SPointCloud noise;
    for (int i = 0; i < 10000; ++i)
    {
        noise.vecPositions.emplace_back(100.0 * u(random), 100.0 * u(random), -6.0 + 14.0 * u(random));
        noise.vecNormals.emplace_back(u(random) - 0.5, u(random) - 0.5, u(random) - 0.5);
    }
    Expect(*fix, *Prepare(noise, "noise"), CbMatrix4Rd::Identity(), "normal_agreement- free_space-");

    // Checks without data do not apply and never pass: FLOAT a metre away, or FIX without a range grid.
    Expect(*fix, *flt, moved(1000, 0, 0), "residual_ratio/ normal_agreement/ constraint/ free_space/");
    IO::SPointCloud gridless = fixCloud;
    gridless.vecGrid.clear();
    const auto checks =
        Expect(*Prepare(gridless, "gridless"), *flt, kTruth, "free_space/ residual_ratio+ normal_agreement+");
    EXPECT_EQ(checks.at("free_space").strNote, "FIX has no range grid");

    // Patches of a plane fit wherever FLOAT slides: only the constraint tells. (The engine's own test of
    // free motions misses an exact plane, whose smallest eigenvalue comes out a rounding error below 0.)
    auto plane = [](double x0, uint32_t seed, const CbMatrix4Rd& toOwnFrame) {
        IO::SPointCloud cloud = Scan({x0, 0.0, 60, 60, 1.0, 0.02, seed});
        for (size_t i = 0; i < cloud.GetCount(); ++i)
        {
            CbVector3f& p = cloud.vecPositions[i];
            p = CbVector3f(toOwnFrame.TransformPoint(CbVector3d(p.x, p.y, p.z - Height(p.x, p.y))));
            cloud.vecNormals[i] = CbVector3f(Pipeline::RotateDirection(toOwnFrame, CbVector3d(0, 0, 1)));
        }
        return cloud;
    };
    const auto fixPlane = Prepare(plane(0.0, 3, CbMatrix4Rd::Identity()), "fix");
    const auto fltPlane = Prepare(plane(20.5, 4, kToFloatFrame), "float");
    for (const CbMatrix4Rd& slid : {kTruth, kTruth * CbMatrix4Rd::Translation(7.0, -3.0, 0.0)})
        Expect(*fixPlane, *fltPlane, slid, "residual_ratio+ normal_agreement+ constraint-<1e-4");
}

// Ties and the reach's rim included: a lattice, repeated points, a far point that makes the cells grow,
// and questions from outside the points' extent.
TEST(Verification, TheViewGridFindsWhatTheKdTreeFinds)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> jitter(-0.5f, 0.5f);
    std::vector<CbVector3f> points;
    for (int i = 0; i < 60; ++i)
        for (int j = 49; j >= 0; --j) // so that the lower index of a tie is not the first one met
            points.emplace_back(0.5f * i, 0.5f * j, 0.0f);
    for (int i = 0; i < 400; ++i)
        points.emplace_back(10.0f + 4.0f * jitter(random), 12.0f + 4.0f * jitter(random), 0.0f);
    points.insert(points.end(), points.begin() + 100, points.begin() + 140);
    std::vector<CbVector3f> withFarPoint = points; // its cells grow to span 5000 mm
    withFarPoint.emplace_back(5000.0f, -3000.0f, 0.0f);

    for (const std::vector<CbVector3f>* set : {&points, &withFarPoint})
        for (const double cellReach : {0.5, 0.05})
        {
            const Base::CKdTree3D tree(std::make_shared<const std::vector<CbVector3f>>(*set));
            const Pipeline::CViewGrid grid(*set, cellReach);
            for (int q = 0; q < 4000; ++q)
            {
                const CbVector3f p =
                    q % 4 == 0 ? CbVector3f(0.5f * (q % 70) - 2.0f, 0.25f * (q % 110) - 1.0f, 0.0f)
                               : CbVector3f(15.0f + 20.0f * jitter(random), 13.0f + 18.0f * jitter(random), 0.0f);
                for (const float reach : {0.5f, 0.25f, 0.05f, 2.0f})
                    ASSERT_EQ(grid.FindNearest(p, reach), tree.FindNearest(p, reach, 0))
                        << "at (" << p.x << ", " << p.y << ") within " << reach << ", cells for " << cellReach;
            }
            EXPECT_EQ(grid.FindNearest(set->back(), 0.0f), tree.FindNearest(set->back(), 0.0f, 0));
            EXPECT_EQ(grid.FindNearest(CbVector3f(NAN, 0.0f, 0.0f), 1.0f), 0xFFFFFFFFu);
            EXPECT_EQ(grid.FindNearest(CbVector3f(1.0f, 1.0f, 0.0f), -1.0f), 0xFFFFFFFFu);
        }
}
