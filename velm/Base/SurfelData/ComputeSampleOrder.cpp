#include "velm/Base/SurfelData/ComputeSampleOrder.h"

#include "velm/Frame/GridCell.h"
#include "velm/Frame/RadixSort.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Base
{
namespace
{
constexpr int c_Levels = 21; // 21 bits per axis fill a 63-bit cell key

// A small generator of our own: the standard distributions are not specified bit for bit, so the
// order would change with the standard library.
class CSplitMix64
{
public:
    explicit CSplitMix64(uint64_t seed) : m_state(seed) {}

    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n) for n < 2^32.
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }

private:
    uint64_t m_state;
};

uint64_t SpreadBits(uint64_t v)
{
    v &= 0x1FFFFFull;
    v = (v | (v << 32)) & 0x1F00000000FFFFull;
    v = (v | (v << 16)) & 0x1F0000FF0000FFull;
    v = (v | (v << 8)) & 0x100F00F00F00F00Full;
    v = (v | (v << 4)) & 0x10C30C30C30C30C3ull;
    v = (v | (v << 2)) & 0x1249249249249249ull;
    return v;
}

// Octree keys: the bits of the three cell coordinates interleaved, so that every cell of every
// level is one contiguous run of keys.
std::vector<uint64_t> CellKeys(const std::vector<CbVector3f>& positions)
{
    CbVector3d lo(positions[0]);
    CbVector3d hi(positions[0]);
    for (const CbVector3f& p : positions)
    {
        lo.x = std::min(lo.x, static_cast<double>(p.x));
        lo.y = std::min(lo.y, static_cast<double>(p.y));
        lo.z = std::min(lo.z, static_cast<double>(p.z));
        hi.x = std::max(hi.x, static_cast<double>(p.x));
        hi.y = std::max(hi.y, static_cast<double>(p.y));
        hi.z = std::max(hi.z, static_cast<double>(p.z));
    }
    const double extent = std::max(hi.x - lo.x, std::max(hi.y - lo.y, hi.z - lo.z));
    const double cells = static_cast<double>(1u << c_Levels);
    const double scale = extent > 0.0 ? cells / extent : 0.0;

    auto cell = [&](double value, double origin) {
        return static_cast<uint64_t>(ClampedCell((value - origin) * scale, (int64_t{1} << c_Levels) - 1));
    };
    std::vector<uint64_t> keys(positions.size());
    for (size_t i = 0; i < positions.size(); ++i)
    {
        const CbVector3f& p = positions[i];
        keys[i] = SpreadBits(cell(p.x, lo.x)) | (SpreadBits(cell(p.y, lo.y)) << 1) | (SpreadBits(cell(p.z, lo.z)) << 2);
    }
    return keys;
}

template <typename T>
void Shuffle(std::vector<T>& items, CSplitMix64& random)
{
    for (size_t i = items.size(); i > 1; --i)
        std::swap(items[i - 1], items[random.Below(static_cast<uint32_t>(i))]);
}
} // namespace

std::vector<uint32_t> ComputeSampleOrder(const std::vector<CbVector3f>& positions)
{
    std::vector<uint32_t> order;
    const size_t count = positions.size();
    if (count == 0)
        return order;
    order.reserve(count);

    // Sorted by key, ties by index.
    std::vector<uint32_t> sorted(count);
    for (size_t i = 0; i < count; ++i)
        sorted[i] = static_cast<uint32_t>(i);
    std::vector<uint64_t> keys = CellKeys(positions);
    RadixSortByKey(keys, sorted, 3 * c_Levels);

    // The first level on which each point's cell differs from the previous point's (0 for the first,
    // past the last level for a point in the same finest cell): the cells of a level are the runs
    // between the points whose value is at most that level.
    std::vector<uint8_t> splitLevel(count);
    splitLevel[0] = 0;
    for (size_t i = 1; i < count; ++i)
    {
        const uint64_t differ = keys[i] ^ keys[i - 1];
        splitLevel[i] = differ == 0 ? static_cast<uint8_t>(c_Levels + 1)
                                    : static_cast<uint8_t>(c_Levels - (63 - __builtin_clzll(differ)) / 3);
    }

    CSplitMix64 random(0x5EED0F5A3B1E5ull);
    std::vector<char> taken(count, 0);           // by position in `sorted`
    std::vector<std::pair<size_t, size_t>> open; // runs [begin, end) of cells without a sample yet
    for (int level = 0; level <= c_Levels && order.size() < count; ++level)
    {
        open.clear();
        for (size_t begin = 0; begin < count;)
        {
            size_t end = begin;
            bool sampled = taken[end++] != 0;
            while (end < count && splitLevel[end] > level)
                sampled |= taken[end++] != 0;
            if (!sampled)
                open.emplace_back(begin, end);
            begin = end;
        }
        Shuffle(open, random);
        for (const auto& run : open)
        {
            const size_t pick = run.first + random.Below(static_cast<uint32_t>(run.second - run.first));
            taken[pick] = 1;
            order.push_back(sorted[pick]);
        }
    }

    std::vector<uint32_t> rest;
    for (size_t s = 0; s < count; ++s)
        if (!taken[s])
            rest.push_back(sorted[s]);
    Shuffle(rest, random);
    order.insert(order.end(), rest.begin(), rest.end());
    return order;
}
} // namespace Base
