#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/DataLayer/Registration/QuantizeNormal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

using Base::EncodeNormal;
using Base::TQuantizedNormalMultiLevelLUT;

namespace
{
template <typename V>
double Checksum(const TQuantizedNormalMultiLevelLUT<V>& table)
{
    double sum = 0.0;
    for (uint32_t code = 0; code < 65536; ++code)
    {
        const V& n = table[static_cast<uint16_t>(code)];
        sum += (code % 7 + 1) * (static_cast<double>(n.x) + 3.0 * n.y + 5.0 * n.z);
    }
    return sum;
}

uint16_t Encode(const CbVector3d& n)
{
    return EncodeNormal(CbVector3f(n));
}
} // namespace

// Runs first in its process (ctest starts one process per test), so both threads race for the
// first creation of the tables.
TEST(NormalCodeTables, ConcurrentFirstCreationGivesCompleteTables)
{
    double seen[2] = {0.0, 0.0};
    std::thread first([&] {
        TQuantizedNormalMultiLevelLUT<CbVector3f>::lut.Create();
        seen[0] = Checksum(TQuantizedNormalMultiLevelLUT<CbVector3f>::lut);
    });
    std::thread second([&] {
        TQuantizedNormalMultiLevelLUT<CbVector3f>::lut.Create();
        seen[1] = Checksum(TQuantizedNormalMultiLevelLUT<CbVector3f>::lut);
    });
    first.join();
    second.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_NE(seen[0], 0.0);

    // A second creation changes nothing.
    TQuantizedNormalMultiLevelLUT<CbVector3f>::lut.Create();
    TQuantizedNormalMultiLevelLUT<CbVector3d>::lut.Create();
    EXPECT_EQ(Checksum(TQuantizedNormalMultiLevelLUT<CbVector3f>::lut), seen[0]);
    const double doubleSum = Checksum(TQuantizedNormalMultiLevelLUT<CbVector3d>::lut);
    TQuantizedNormalMultiLevelLUT<CbVector3d>::lut.Create();
    EXPECT_EQ(Checksum(TQuantizedNormalMultiLevelLUT<CbVector3d>::lut), doubleSum);
}

TEST(NormalCode, FixedCodesOfAxesAndInvalidDirections)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(EncodeNormal(0.0f, 0.0f, 0.0f), 8128);
    EXPECT_EQ(EncodeNormal(-0.0f, 0.0f, -0.0f), 8128);
    for (int axis = 0; axis < 3; ++axis)
        for (float bad : {nan, inf, -inf})
        {
            float c[3] = {0.3f, -0.5f, 0.8f};
            c[axis] = bad;
            EXPECT_EQ(EncodeNormal(c[0], c[1], c[2]), 8128) << "axis " << axis << " value " << bad;
        }

    EXPECT_EQ(EncodeNormal(0.0f, 0.0f, 1.0f), 0);
    EXPECT_EQ(EncodeNormal(0.0f, 1.0f, 0.0f), 126);
    EXPECT_EQ(EncodeNormal(1.0f, 0.0f, 0.0f), 255);
    EXPECT_EQ(EncodeNormal(-1.0f, 0.0f, 0.0f), 0x80FF);
    EXPECT_EQ(EncodeNormal(0.0f, 0.0f, -1.0f), 0x2000);
    EXPECT_EQ(EncodeNormal(0.0f, -1.0f, 0.0f), 0x4000 | 126);
    // Length does not matter, and a negative zero sets no sign bit.
    EXPECT_EQ(EncodeNormal(0.0f, 0.0f, 250.0f), 0);
    EXPECT_EQ(EncodeNormal(0.0f, 3e-3f, 0.0f), 126);
    EXPECT_EQ(EncodeNormal(-0.0f, -0.0f, 1.0f), 0);

    EXPECT_EQ(DataLayer::QuantizeNormal(CbVector3f(-1.0f, 0.0f, 0.0f)), 0x80FF);
    EXPECT_EQ(DataLayer::QuantizeNormal(CbVector3f(0.0f, 0.0f, 0.0f)), 8128);
}

TEST(NormalCode, CellsOfBothGridRegions)
{
    // Square cells below u + v = 254/3: (1, 2, 7) has u = 12.75, v = 25.5.
    EXPECT_EQ(EncodeNormal(1.0f, 2.0f, 7.0f), (12 << 7) | 25);
    // A square cell with i >= 64 is stored mirrored: u = 70, v = 10.
    EXPECT_EQ(EncodeNormal(70.0f, 10.0f, 47.5f), ((127 - 70) << 7) | (127 - 10));
    // The diagonal (1, 1, 1): u = v = 42.5 lies in the band region, m = 84.
    EXPECT_EQ(EncodeNormal(1.0f, 1.0f, 1.0f), (42 << 7) | 42);
    EXPECT_EQ(EncodeNormal(-2.0f, -2.0f, -2.0f), 0xE000 | (42 << 7) | 42);
    // Band region with v > u where the strip index exceeds m - i: u = 63.1, v = 63.2, m = 125.
    EXPECT_EQ(EncodeNormal(63.1f, 63.2f, 1.2f), (63 << 7) | 63);
    // The mirror case v < u: u = 100, v = 20, m = 119, c = 99.
    EXPECT_EQ(EncodeNormal(100.0f, 20.0f, 7.5f), ((127 - 99) << 7) | (127 - 20));
    // Across the band boundary: u + v = 84.5 is still square, 84.7 is in band m = 84, which
    // continues that square; at v = 35.2 the band gives the larger index by m - j = 49.
    EXPECT_EQ(EncodeNormal(50.0f, 34.5f, 43.0f), (50 << 7) | 34);
    EXPECT_EQ(EncodeNormal(50.0f, 34.7f, 42.8f), (50 << 7) | 34);
    EXPECT_EQ(EncodeNormal(50.0f, 35.2f, 42.3f), (49 << 7) | 35);
}

TEST(NormalCode, ExtremeMagnitudesKeepTheirDirection)
{
    // The component sum would overflow float, or 127.5 / sum would.
    EXPECT_EQ(EncodeNormal(3e38f, 3e38f, 3e38f), EncodeNormal(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(EncodeNormal(FLT_MAX, 0.0f, 0.0f), 255);
    EXPECT_EQ(EncodeNormal(-FLT_MAX, FLT_MAX, 0.0f), EncodeNormal(-1.0f, 1.0f, 0.0f));
    EXPECT_EQ(EncodeNormal(1e-40f, 1e-40f, 1e-40f), EncodeNormal(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(EncodeNormal(0.0f, -1e-45f, 0.0f), 0x4000 | 126);
    EXPECT_EQ(EncodeNormal(1e-38f, 2e-38f, 7e-38f), EncodeNormal(1.0f, 2.0f, 7.0f));
}

namespace
{
// The face coordinates (u, v) of a direction's absolute value, and a direction of the same octant
// from moved coordinates.
void FaceCoordinates(const CbVector3d& n, double& u, double& v)
{
    const double sum = std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z);
    u = 127.5 * std::fabs(n.x) / sum;
    v = 127.5 * std::fabs(n.y) / sum;
}

CbVector3d FromFace(double u, double v, const CbVector3d& octant)
{
    return CbVector3d(std::copysign(u, octant.x), std::copysign(v, octant.y), std::copysign(127.5 - u - v, octant.z));
}
} // namespace

TEST(NormalCodeTables, EveryCodeDecodesInsideItsCellOrToZero)
{
    auto& lutF = TQuantizedNormalMultiLevelLUT<CbVector3f>::lut;
    auto& lutD = TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;
    lutF.Create();
    lutD.Create();

    int decoded = 0;
    for (uint32_t c = 0; c < 65536; ++c)
    {
        const uint16_t code = static_cast<uint16_t>(c);
        const CbVector3d& d = lutD[code];
        const CbVector3f& f = lutF[code];
        if (d == CbVector3d())
        {
            EXPECT_EQ(f, CbVector3f()) << code;
            continue;
        }
        ++decoded;
        ASSERT_NEAR(d.Length(), 1.0, 1e-12) << code;
        ASSERT_NEAR(f.Length(), 1.0f, 1e-6f) << code;
        ASSERT_EQ(EncodeNormal(f), code);
        ASSERT_EQ(Encode(d), code);
        ASSERT_FALSE(d.x == 0.0 && d.z == 0.0) << code;
        ASSERT_FALSE(f.x == 0.0f && f.z == 0.0f) << code;

        // Away from the cell's edges: moving a quarter cell in any direction stays in the cell.
        double u;
        double v;
        FaceCoordinates(d, u, v);
        for (int k = 0; k < 8; ++k)
        {
            const double a = k * 0.7853981633974483;
            ASSERT_EQ(Encode(FromFace(u + 0.25 * std::cos(a), v + 0.25 * std::sin(a), d)), code)
                << code << " direction " << k;
        }
    }
    EXPECT_EQ(decoded, 65536 - 512);
    EXPECT_EQ(lutD[8128], CbVector3d());
    EXPECT_EQ(lutF[8128], CbVector3f());
}

TEST(NormalCodeTables, RandomDirectionsDecodeNearby)
{
    auto& lutD = TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;
    lutD.Create();
    std::mt19937 random(7);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::uniform_real_distribution<float> exponent(-40.0f, 38.0f);
    double worstDot = 1.0;
    for (int n = 0; n < 400000; ++n)
    {
        CbVector3f dir(gauss(random), gauss(random), gauss(random));
        if (n % 4 == 1)
            dir.z = 0.0f; // directions on the octants' edges
        if (n % 4 == 2)
            dir *= std::pow(10.0f, exponent(random));
        const uint16_t code = EncodeNormal(dir);
        if (code == 8128)
        {
            EXPECT_EQ(dir, CbVector3f(0.0f, 0.0f, 0.0f));
            continue;
        }
        const CbVector3d& decoded = lutD[code];
        ASSERT_NE(decoded, CbVector3d()) << "code " << code << " has no direction";
        const CbVector3d unit = CbVector3d(dir) * (1.0 / CbVector3d(dir).Length());
        worstDot = std::min(worstDot, unit.Dot(decoded));
    }
    // A cell spans about 1/127.5 of the octant's face: about a degree.
    EXPECT_GT(worstDot, std::cos(0.03));
}
