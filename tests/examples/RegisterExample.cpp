// The library example of docs/reference.md, compiled and run: the body of Examples.RegisterTwoSurfaces
// is the snippet shown there, and Examples.ReferenceShowsThisCode keeps the two identical.

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace
{
// A bumpy height field (a saddle with a bump off its centre), so that the surface constrains every
// motion: a plane, a sphere or a cylinder would let the floating model slide.
double Height(double x, double y)
{
    return 0.01 * x * x - 0.015 * y * y + 3.0 * std::exp(-((x - 5.0) * (x - 5.0) + (y + 3.0) * (y + 3.0)) / 50.0);
}

// The surfels of the height field on a grid of 1 mm spacing over [-20, 20]^2, shifted by `shift` in x
// and y, with analytic unit normals, then expressed in another frame: `toOwnFrame` maps the fixed
// frame into the coordinates the collection stores.
Base::SSurfelData MakeSurface(const CbMatrix4Rd& toOwnFrame, double shift)
{
    CbMatrix4Rd rotation = toOwnFrame;
    rotation[12] = rotation[13] = rotation[14] = 0.0;
    Base::SSurfelData data;
    for (int iy = -20; iy <= 20; ++iy)
    {
        for (int ix = -20; ix <= 20; ++ix)
        {
            const double x = ix + shift;
            const double y = iy + shift;
            const double h = Height(x, y);
            const double bump = h - (0.01 * x * x - 0.015 * y * y);
            const double dhdx = 0.02 * x - bump * 2.0 * (x - 5.0) / 50.0;
            const double dhdy = -0.03 * y - bump * 2.0 * (y + 3.0) / 50.0;
            const double length = std::sqrt(dhdx * dhdx + dhdy * dhdy + 1.0);
            const CbVector3d normal(-dhdx / length, -dhdy / length, 1.0 / length);
            data.vecPositions.emplace_back(toOwnFrame.TransformPoint(CbVector3d(x, y, h)));
            data.vecNormals.emplace_back(rotation.TransformPoint(normal));
        }
    }
    return data;
}

// A rigid motion: rotation by `degrees` about the unit axis (ax, ay, az), then a translation.
CbMatrix4Rd MakeMotion(double degrees, double ax, double ay, double az, const CbVector3d& translation)
{
    const double a = degrees * 3.14159265358979323846 / 180.0;
    const double c = std::cos(a);
    const double s = std::sin(a);
    const double t = 1.0 - c;
    // Row-vector convention: element (row r, column k) is the k-th coordinate of the image of axis r.
    CbMatrix4Rd m;
    m[0] = t * ax * ax + c;
    m[1] = t * ax * ay + s * az;
    m[2] = t * ax * az - s * ay;
    m[4] = t * ax * ay - s * az;
    m[5] = t * ay * ay + c;
    m[6] = t * ay * az + s * ax;
    m[8] = t * ax * az + s * ay;
    m[9] = t * ay * az - s * ax;
    m[10] = t * az * az + c;
    m[12] = translation.x;
    m[13] = translation.y;
    m[14] = translation.z;
    return m;
}

std::string Narrow(const CString& text)
{
    std::string narrow;
    for (const wchar_t* p = text.GetString(); *p; ++p)
        narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
    return narrow;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
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
    const CbMatrix4Rd motion = MakeMotion(3.0, 0.6, 0.0, 0.8, CbVector3d(0.8, -0.5, 0.6));
    CbMatrix4Rd toFloat = motion;
    toFloat.Invert();
    const Base::CSurfelCollection fix(MakeSurface(CbMatrix4Rd::Identity(), 0.0));
    const Base::CSurfelCollection flt(MakeSurface(toFloat, 0.5));

    // The engine keeps the address of the configuration: it must outlive the registration.
    const DataLayer::VelmTorCorrICPPointConfig config = MakeConfiguration();

    DataLayer::VelmTorCorrICPPointSC engine;
    engine.SetConfiguration(config);
    engine.SetModelFix(fix, nullptr);   // no masks: every surfel takes part
    engine.SetModelFloat(flt, nullptr);
    engine.SetTransform(CbMatrix4Rd::Identity()); // start from the floating model's own coordinates
    engine.CalculateICPTransform();

    const std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> result = engine.GetResult();
    const CString text = result->ToString();
    EXPECT_EQ(result->GetState(), DataLayer::VelmTorCorrICPRegistrationResult::Success) << Narrow(text);
    EXPECT_TRUE(result->GetFailureCause().IsEmpty());
    EXPECT_EQ(Narrow(text).rfind("ICP Result: state=Success, rmse=", 0), 0u);

    // The transformation found maps the floating model onto the fixed one as `motion` does.
    const CbMatrix4Rd& found = result->GetTransformation();
    for (const CbVector3d& p : {CbVector3d(0, 0, 0), CbVector3d(15, 15, 0), CbVector3d(-15, 10, 5)})
    {
        const CbVector3d error = found.TransformPoint(p) - motion.TransformPoint(p);
        EXPECT_LT(error.Length(), 0.01) << "at (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
}
// example end

// The reference shows the example above verbatim, and the dump of its configuration as it is.
TEST(Examples, ReferenceShowsThisCode)
{
    const std::string source = ReadFile(std::string(VELM_SOURCE_DIR) + "/tests/examples/RegisterExample.cpp");
    const std::string reference = ReadFile(std::string(VELM_SOURCE_DIR) + "/docs/reference.md");
    ASSERT_FALSE(source.empty());
    ASSERT_FALSE(reference.empty());

    const std::string beginMark = "// example begin\n";
    const std::string endMark = "// example end\n";
    const size_t begin = source.find(beginMark);
    const size_t end = source.find(endMark);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    const std::string snippet = source.substr(begin + beginMark.size(), end - begin - beginMark.size());
    EXPECT_NE(reference.find("```cpp\n" + snippet + "```\n"), std::string::npos)
        << "docs/reference.md must show the example as it stands here:\n"
        << snippet;

    const std::string dump = Narrow(MakeConfiguration().ToString());
    EXPECT_NE(reference.find("```text\n" + dump + "```\n"), std::string::npos)
        << "docs/reference.md must show the configuration dump as it is:\n"
        << dump;
}
