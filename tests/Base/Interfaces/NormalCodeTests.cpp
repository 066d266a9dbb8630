#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/DataLayer/Registration/QuantizeNormal.h"

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using Base::EncodeNormal;
template <typename V>
using Lut = Base::TQuantizedNormalMultiLevelLUT<V>;

TEST(NormalCode, EncoderCodes)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const auto expect = [](uint16_t code, std::initializer_list<std::array<float, 3>> directions) {
        for (const auto& [x, y, z] : directions) // the registration's own entry point gives the same code
            EXPECT_TRUE(EncodeNormal(x, y, z) == code && DataLayer::QuantizeNormal(CbVector3f(x, y, z)) == code)
                << x << ", " << y << ", " << z << ": " << EncodeNormal(x, y, z);
    };
    expect(8128, {{0, 0, 0}, {-0.0f, 0, -0.0f}, {nan, -0.5f, 0.8f}, {0.3f, inf, 0.8f}, {0.3f, -0.5f, -inf}});
    // Length does not matter, and a negative zero sets no sign bit. A component sum that overflows, or
    // 127.5 / sum that would, keeps the direction (the huge and tiny cases).
    expect(0, {{0, 0, 1}, {0, 0, 250}, {-0.0f, -0.0f, 1}});
    expect(126, {{0, 1, 0}, {0, 3e-3f, 0}});
    expect(255, {{1, 0, 0}, {FLT_MAX, 0, 0}});
    expect(0x80FF, {{-1, 0, 0}});
    expect(0x2000, {{0, 0, -1}});
    expect(0x4000 | 126, {{0, -1, 0}, {0, -1e-45f, 0}});
    // Square cells below u + v = 254/3: u = 12.75, v = 25.5; mirrored for i >= 64: u = 70, v = 10.
    expect((12 << 7) | 25, {{1, 2, 7}, {1e-38f, 2e-38f, 7e-38f}});
    expect(((127 - 70) << 7) | (127 - 10), {{70, 10, 47.5f}});
    // Bands: u = v = 42.5 (m = 84); v > u with c > m - i: u = 63.1, v = 63.2; the mirror u = 100, v = 20.
    expect((42 << 7) | 42, {{1, 1, 1}, {3e38f, 3e38f, 3e38f}, {1e-40f, 1e-40f, 1e-40f}});
    expect(0xE000 | (42 << 7) | 42, {{-2, -2, -2}});
    expect((63 << 7) | 63, {{63.1f, 63.2f, 1.2f}});
    expect(((127 - 99) << 7) | (127 - 20), {{100, 20, 7.5f}});
    // Across the band boundary: u + v = 84.5 is square, 84.7 is band m = 84 continuing that square;
    // at v = 35.2 the band gives the larger index by m - j = 49; at u + v = 84.65 the square
    // (42, 41) still holds where the band would give (43, 41).
    expect((50 << 7) | 34, {{50, 34.5f, 43}, {50, 34.7f, 42.8f}});
    expect((49 << 7) | 35, {{50, 35.2f, 42.3f}});
    expect((42 << 7) | 41, {{42.8f, 41.85f, 42.85f}});
    expect(0x8000 | (63 << 7) | 63, {{-1, 1, 0}, {-FLT_MAX, FLT_MAX, 0}});
}

// Each entry is the normalised mean of the directions (u, v, 127.5 - u - v) on a grid of eight per unit
// that encode to its code (the float table that rounded): built here sample by sample, it pins every
// shortcut of the table's construction to the last bit. Each entry lies a quarter cell inside its cell;
// only the 512 codes no direction gets decode to zero. The test runs first in its process (ctest starts one
// per test), so two threads race for the first creation of the float table and read it whole at once.
TEST(NormalCodeTables, ConcurrentFirstCreationGivesEachEntryAsTheMeanOfTheGridDirectionsOfItsCode)
{
    std::vector<CbVector3f> seen[2];
    auto createAndRead = [&seen](int t) {
        Lut<CbVector3f>::lut.Create();
        for (uint32_t code = 0; code < 65536; ++code)
            seen[t].push_back(Lut<CbVector3f>::lut[static_cast<uint16_t>(code)]);
    };
    std::thread first(createAndRead, 0), second(createAndRead, 1);
    first.join(), second.join();
    std::vector<double> sumU(8192, 0.0), sumV(8192, 0.0);
    std::vector<int> count(8192, 0);
    for (int a = 0; a < 1021; ++a)
        for (int b = 0; a + b < 1021; ++b)
        {
            const float u = (a + 0.5f) / 8, v = (b + 0.5f) / 8, w = 127.5f - u - v;
            if (w <= 0.0f)
                continue;
            const uint16_t code = Base::EncodeNormal(u, v, w);
            sumU[code] += u, sumV[code] += v, ++count[code];
        }
    Lut<CbVector3d>::lut.Create();
    Lut<CbVector3f>::lut.Create(); // a later creation changes nothing
    int decoded = 0;
    for (uint32_t c = 0; c < 65536; ++c)
    {
        const uint16_t code = static_cast<uint16_t>(c), cell = code & 0x1FFF;
        CbVector3d expected;
        if (count[cell] > 0)
        {
            const double u = sumU[cell] / count[cell], v = sumV[cell] / count[cell];
            const CbVector3d d(u, v, 127.5 - u - v);
            expected = d * (1.0 / d.Length());
            expected = CbVector3d(code & 0x8000 ? -expected.x : expected.x, code & 0x4000 ? -expected.y : expected.y,
                                  code & 0x2000 ? -expected.z : expected.z);
        }
        const CbVector3d& got = Lut<CbVector3d>::lut[code];
        ASSERT_TRUE(got.x == expected.x && got.y == expected.y && got.z == expected.z) << "code " << code;
        ASSERT_TRUE(Lut<CbVector3f>::lut[code] == CbVector3f(expected) && seen[0][code] == CbVector3f(expected) &&
                    seen[1][code] == CbVector3f(expected))
            << "code " << code;
        if (count[cell] == 0)
            continue;
        ++decoded;
        const double sum = std::fabs(got.x) + std::fabs(got.y) + std::fabs(got.z);
        const double u = 127.5 * std::fabs(got.x) / sum, v = 127.5 * std::fabs(got.y) / sum;
        for (int k = 0; k < 8; ++k)
        {
            const double du = u + 0.25 * std::cos(k * 0.7853981633974483);
            const double dv = v + 0.25 * std::sin(k * 0.7853981633974483);
            const CbVector3d moved(std::copysign(du, got.x), std::copysign(dv, got.y),
                                   std::copysign(127.5 - du - dv, got.z));
            ASSERT_EQ(EncodeNormal(CbVector3f(moved)), code) << code << " direction " << k;
        }
    }
    EXPECT_EQ(decoded, 65536 - 512);
}
