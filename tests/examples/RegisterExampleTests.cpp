// The library example of docs/reference.md, compiled and run: the code between the example marks is the
// snippet shown there, kept identical (with its dump) by Examples.TheDocsShowTheExamplesAsTheyStand.

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Algorithms/Math/CEuler2Matrix.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
// A saddle with a bump off its centre (a plane or a sphere would let the models slide) on a 1 mm grid
// shifted by `shift`, with analytic unit normals, in the coordinates `toOwnFrame` maps the fixed frame into.
Base::SSurfelData MakeSurface(const CbMatrix4Rd& toOwnFrame, double shift)
{
    Base::SSurfelData data;
    for (int iy = -20; iy <= 20; ++iy)
        for (int ix = -20; ix <= 20; ++ix)
        {
            const double x = ix + shift, y = iy + shift;
            const double bump = 3.0 * std::exp(-((x - 5.0) * (x - 5.0) + (y + 3.0) * (y + 3.0)) / 50.0);
            const CbVector3d p(x, y, 0.01 * x * x - 0.015 * y * y + bump);
            const CbVector3d up(bump * (x - 5.0) / 25.0 - 0.02 * x, 0.03 * y + bump * (y + 3.0) / 25.0, 1.0);
            const CbVector3d tip = p + up * (1.0 / up.Length()); // the unit normal's tip moves with the point
            data.vecPositions.emplace_back(toOwnFrame.TransformPoint(p));
            data.vecNormals.emplace_back(toOwnFrame.TransformPoint(tip) - toOwnFrame.TransformPoint(p));
        }
    return data;
}

// A rigid motion: the rotation of the Euler angles a, b, c (radians), then the translation t.
CbMatrix4Rd MakeMotion(double a, double b, double c, const CbVector3d& t)
{
    double r[9]; // row by row, acting on column vectors
    DataLayer::CEuler2Matrix().Euler2Matrix(a, b, c, r);
    const double rows[16] = {r[0], r[1], r[2], t.x, r[3], r[4], r[5], t.y, r[6], r[7], r[8], t.z, 0, 0, 0, 1};
    return CbMatrix4Rd::FromUsual(rows);
}

std::string ReadFile(const std::string& relativePath)
{
    return FileText(VELM_SOURCE_DIR + relativePath);
}
} // namespace

// example begin
// The settings of this example; the library has no defaults.
static DataLayer::VelmTorCorrICPPointConfig MakeConfiguration()
{
    DataLayer::VelmTorCorrICPPointConfig config;
    config.SetBoundingBoxBlowup(2.0f);
    config.SetMaxNumberDepthImagePairs(1);
    config.SetNumberOfPairs(500);
    config.SetInitialDistanceThreshold(5.0f);
    config.SetAdaptDistanceThreshold(1);
    config.SetDistanceThresholdAdaptionFactor(3.0f);
    config.SetSamplingDensity(1.5f);
    config.SetQueryRadiusThreshold(2.0f);
    config.SetConvergedQueryRadius(1.8f);
    config.SetSmoothDistanceThresholding(false);
    config.SetMaxTransformationUpdates(5);
    config.SetMinImprovement(0.99);
    config.SetMinStepSize(0.1);
    config.SetMaxIterations(50);
    config.SetOffsetThreshold(0.001);
    config.SetMinimumPairWeights(10.0f);
    config.SetMaxDOFConditionNumber(1000.0f);
    config.SetMaxRelativeMovement(10.0f);
    config.SetNrTestSamples(500);
    config.SetOverlapRange(2.0f);
    config.SetTestRange(1.0f);
    config.SetCosNormalThreshold(0.9);
    config.SetCurvatureThreshold(0.1);
    config.SetMinimumOverlapQuotient(0.5);
    config.SetMinimumWeightsQuotient(0.5);
    config.SetDefaultResClassErrorThreshold(0.05);
    config.SetMinimumAbsOverlap(0.0);
    config.SetMinimumNumberSurfelsFix(100);
    config.SetMinimumNumberSurfelsFloat(100);
    return config;
}

TEST(Examples, RegisterTwoSurfaces)
{
    // The fixed model, and the floating model: the same surface, sampled half a grid step away and
    // stored in coordinates that `motion` maps onto the fixed model's.
    const CbMatrix4Rd motion = MakeMotion(0.03, -0.01, 0.04, CbVector3d(0.8, -0.5, 0.6));
    CbMatrix4Rd toFloat = motion;
    toFloat.Invert();
    const Base::CSurfelCollection fix(MakeSurface(CbMatrix4Rd::Identity(), 0.0));
    const Base::CSurfelCollection flt(MakeSurface(toFloat, 0.5));

    // The engine keeps the address of the configuration: it must outlive the registration.
    const DataLayer::VelmTorCorrICPPointConfig config = MakeConfiguration();

    DataLayer::VelmTorCorrICPPointSC engine;
    engine.SetConfiguration(config);
    engine.SetModelFix(fix, nullptr); // no masks: every surfel takes part
    engine.SetModelFloat(flt, nullptr);
    engine.SetTransform(CbMatrix4Rd::Identity()); // start from the floating model's own coordinates
    engine.CalculateICPTransform();

    const std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> result = engine.GetResult();
    ASSERT_EQ(result->GetState(), DataLayer::VelmTorCorrICPRegistrationResult::Success) << result->ToString().Str();

    // The transformation found maps the floating model onto the fixed one as `motion` does.
    for (const CbVector3d& p : {CbVector3d(0, 0, 0), CbVector3d(15, 15, 0), CbVector3d(-15, 10, 5)})
        EXPECT_LT((result->GetTransformation().TransformPoint(p) - motion.TransformPoint(p)).Length(), 0.01);
}
// example end

TEST(Examples, TheDocsShowTheExamplesAsTheyStand)
{
    const std::string source = ReadFile("/tests/examples/RegisterExampleTests.cpp"), mark = "// example begin\n";
    const size_t begin = source.find(mark) + mark.size(), end = source.find("// example end\n");
    ASSERT_TRUE(begin >= mark.size() && end != std::string::npos);
    const std::wstring wideDump = MakeConfiguration().ToString().Str(); // ASCII only
    const std::string reference = ReadFile("/docs/reference.md"), readme = ReadFile("/README.md");
    // docs/reference.md shows the example above and its configuration's dump, README.md the programs.
    const std::pair<std::string, std::string> shown[] = {
        {reference, "```cpp\n" + source.substr(begin, end - begin) + "```\n"},
        {reference, "```text\n" + std::string(wideDump.begin(), wideDump.end()) + "```\n"},
        {readme, "```cpp\n" + ReadFile("/examples/register_pair.cpp") + "```\n"},
        {readme, "```python\n" + ReadFile("/examples/register.py") + "```\n"}};
    for (const auto& [doc, block] : shown)
        EXPECT_NE(doc.find(block), std::string::npos) << "the docs must show this as it stands:\n" << block;
}
