#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Base
{
namespace
{
constexpr uint16_t c_NoNormal = 8128;
constexpr uint16_t c_CellMask = 0x1FFF;

// The cell of a direction in the positive octant, given as the coordinates (u, v) on the face
// u + v + w = 127.5. Below the line u + v = 254/3 the cells are unit squares; above it they are
// bands along the diagonal, indexed by the strip of the smaller coordinate. The two halves of the
// triangle pack into 64 x 128 codes without overlap.
uint16_t CellCode(float x, float y, float z)
{
    const float k = 127.5f / ((x + y) + z);
    const float u = k * x;
    const float v = k * y;
    int i;
    int j;
    if (u + v < 84.666664f)
    {
        i = static_cast<int>(u);
        j = static_cast<int>(v);
    }
    else
    {
        const int m = static_cast<int>(u + v - 0.5f);
        if (v > u)
        {
            i = static_cast<int>(u);
            const int c = (i > m - i) ? (m - i) + 1 : m - i;
            j = (c + i == 127) ? c - 1 : c;
        }
        else
        {
            j = static_cast<int>(v);
            const int c = (j > m - j) ? (m - j) + 1 : m - j;
            i = (c + j == 127) ? c - 1 : c;
        }
    }
    if (i < 64)
        return static_cast<uint16_t>((i << 7) | j);
    return static_cast<uint16_t>(((127 - i) << 7) | (127 - j));
}
} // namespace

uint16_t EncodeNormal(float x, float y, float z)
{
    if ((x == 0.0f && y == 0.0f && z == 0.0f) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
        return c_NoNormal;

    uint16_t sign = 0;
    if (x < 0.0f)
    {
        sign |= 0x8000;
        x = -x;
    }
    if (y < 0.0f)
    {
        sign |= 0x4000;
        y = -y;
    }
    if (z < 0.0f)
    {
        sign |= 0x2000;
        z = -z;
    }

    // A component sum that overflows would put every such direction into the cell of +z, and one so
    // small that 127.5 / sum overflows would feed infinities and NaN into the integer conversions.
    // Scaling by the largest component keeps the direction and brings the sum into [1, 3]; for every
    // other input the code is computed from the components as given.
    const float sum = (x + y) + z;
    if (!std::isfinite(sum) || !std::isfinite(127.5f / sum))
    {
        const float largest = std::max(x, std::max(y, z));
        x /= largest;
        y /= largest;
        z /= largest;
    }
    return static_cast<uint16_t>(CellCode(x, y, z) | sign);
}

namespace
{
// Unit directions of the positive octant's cells: for each 13-bit cell code the normalised mean of
// a dense, regular set of directions that encode to it, or (0, 0, 0) for a code no direction gets.
// Every cell spans about one unit of the face coordinates; sampling eight times per unit gives each
// at least fifty samples, and the mean of a cell lies about a third of a unit inside its edges. All
// three components of a mean are positive, so mirrored copies keep their sign bits.
std::vector<CbVector3d> PositiveOctantDirections()
{
    constexpr int c_SamplesPerUnit = 8;
    constexpr int c_Width = static_cast<int>(127.5 * c_SamplesPerUnit) + 1;

    std::vector<double> sumU(8192, 0.0);
    std::vector<double> sumV(8192, 0.0);
    std::vector<uint32_t> count(8192, 0);
    // Every coordinate is a multiple of 1/16 below 128, so all the sums are exact in double and may
    // be formed in any order: a run of samples in one cell is summed in registers first, which
    // spares the table a store and reload for every sample. A unit square (i, j) with i + j <= 82 lies
    // wholly below the line where the bands begin: its 8 x 8 samples all encode to it and sum to
    // 64 i + 32 and 64 j + 32; those are counted at once, and the loop starts after them.
    constexpr int c_LastSquareSum = 82;
    // Samples (a, b) lie below the bands (u + v < 84.666664) exactly when a + b < 677.
    constexpr int c_FirstBandSampleSum = 677;
    for (int i = 0; i <= c_LastSquareSum; ++i)
        for (int j = 0; i + j <= c_LastSquareSum; ++j)
        {
            const uint16_t code = CellCode(static_cast<float>(i) + 0.5f, static_cast<float>(j) + 0.5f,
                                           127.5f - static_cast<float>(i + j) - 1.0f);
            sumU[code] = 64.0 * i + 32.0;
            sumV[code] = 64.0 * j + 32.0;
            count[code] = c_SamplesPerUnit * c_SamplesPerUnit;
        }
    for (int a = 0; a < c_Width; ++a)
    {
        const float u = (static_cast<float>(a) + 0.5f) / c_SamplesPerUnit;
        const int square = a / c_SamplesPerUnit;
        const int firstB = square <= c_LastSquareSum ? (c_LastSquareSum + 1 - square) * c_SamplesPerUnit : 0;
        int runCode = -1;
        double runU = 0.0;
        double runV = 0.0;
        uint32_t runCount = 0;
        const auto flush = [&] {
            if (runCode < 0)
                return;
            sumU[runCode] += runU;
            sumV[runCode] += runV;
            count[runCode] += runCount;
        };
        for (int b = firstB; a + b < c_Width; ++b)
        {
            const float v = (static_cast<float>(b) + 0.5f) / c_SamplesPerUnit;
            const float w = 127.5f - u - v;
            if (w <= 0.0f)
                continue;
            // Positive and finite, with a sum of exactly 127.5: EncodeNormal would give exactly this
            // code. Along a row the code depends on floor(v), floor(u + v - 1/2), v > u and whether
            // u + v lies below the bands, so it can only change where one of those does.
            const bool mayChange = runCode < 0 || b % c_SamplesPerUnit == 0 || (a + b) % c_SamplesPerUnit == 3 ||
                                   b == a + 1 || a + b == c_FirstBandSampleSum;
            const int code = mayChange ? CellCode(u, v, w) : runCode;
            if (code != runCode)
            {
                flush();
                runCode = code;
                runU = runV = 0.0;
                runCount = 0;
            }
            runU += u;
            runV += v;
            ++runCount;
        }
        flush();
    }

    std::vector<CbVector3d> directions(8192);
    for (size_t code = 0; code < directions.size(); ++code)
    {
        if (count[code] == 0)
            continue;
        const double u = sumU[code] / count[code];
        const double v = sumV[code] / count[code];
        const CbVector3d d(u, v, 127.5 - u - v);
        directions[code] = d * (1.0 / d.Length());
    }
    return directions;
}

void Fill(CbVector3d* table)
{
    const std::vector<CbVector3d> positive = PositiveOctantDirections();
    for (uint32_t code = 0; code < 65536; ++code)
    {
        CbVector3d d = positive[code & c_CellMask];
        if (code & 0x8000)
            d.x = -d.x;
        if (code & 0x4000)
            d.y = -d.y;
        if (code & 0x2000)
            d.z = -d.z;
        table[code] = d;
    }
}

// The float table is the double one rounded, so both decode a code to the same direction.
void Fill(CbVector3f* table)
{
    TQuantizedNormalMultiLevelLUT<CbVector3d>& source = TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;
    source.Create();
    for (uint32_t code = 0; code < 65536; ++code)
        table[code] = CbVector3f(source[static_cast<uint16_t>(code)]);
}
} // namespace

template <typename V>
void TQuantizedNormalMultiLevelLUT<V>::Create()
{
    std::call_once(m_once, [this] { Fill(m_table); });
}

template <typename V>
TQuantizedNormalMultiLevelLUT<V> TQuantizedNormalMultiLevelLUT<V>::lut;

template class TQuantizedNormalMultiLevelLUT<CbVector3f>;
template class TQuantizedNormalMultiLevelLUT<CbVector3d>;
} // namespace Base
