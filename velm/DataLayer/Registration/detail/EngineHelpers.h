#pragma once

// The small rules both engines' data operations share: how a mapped point is rounded, how a squared
// distance is summed, what a surfel's quality is, how masks and the sample order are walked. Internal
// to the engine's sources.

#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace DataLayer
{
namespace detail
{
// Distances are measured on what a float-based consumer of the collections would see.
inline CbVector3d RoundToFloat(const CbVector3d& v)
{
    return CbVector3d(CbVector3f(v));
}

// p mapped by m (divided by w), rounded to float.
inline CbVector3d MapRounded(const CbMatrix4Rd& m, const CbVector3d& p)
{
    return RoundToFloat(m.TransformPoint(p));
}

// The library's squared distance: (dy^2 + dx^2) + dz^2, in the precision of the vectors.
template <typename T>
auto SquaredDistance(const TVector3<T>& a, const TVector3<T>& b) -> T
{
    const T dx = b.x - a.x;
    const T dy = b.y - a.y;
    const T dz = b.z - a.z;
    return (dy * dy + dx * dx) + dz * dz;
}

// A surfel's quality: its quality byte / 255 when the collection has qualities, else its weight when
// it has weights, else 1.
inline float SurfelQuality(const Base::TElementAccessRead<Base::CSCElementDefinitionQuality>& quality,
                           const Base::TElementAccessRead<Base::CSCElementDefinitionWeight>& weight, uint32_t i)
{
    if (quality.IsValid())
        return static_cast<float>(quality[i]) / 255.0f;
    if (weight.IsValid())
        return weight[i];
    return 1.0f;
}

// Masks are read by surfel index without bounds checks in the hot loops, so a mask must cover its
// whole collection before it is used.
inline void CheckMaskCovers(const Base::CSurfelCollectionMask* mask, uint64_t count, const char* file, uint32_t line,
                            const char* function)
{
    if (mask != nullptr && mask->GetCount() < count)
        ThrowFormattedException(file, line, function, L"The mask covers %llu surfels, but the collection has %llu.",
                                static_cast<unsigned long long>(mask->GetCount()),
                                static_cast<unsigned long long>(count));
}

// Removes the indices a mask excludes, keeping the order of the rest.
inline void DropMasked(std::vector<uint32_t>& indices, const Base::CSurfelCollectionMask* mask)
{
    if (mask != nullptr)
        indices.erase(std::remove_if(indices.begin(), indices.end(), [mask](uint32_t j) { return (*mask)[j] != 0; }),
                      indices.end());
}

// The first `limit` surfels of the sample order that the mask does not exclude (masked ones do not
// count towards the limit), in that order. A sample order too short for the collection, or one that
// names a surfel outside it, throws before any sample is taken.
inline void TakeSamples(const std::vector<uint32_t>& order, uint64_t count, const Base::CSurfelCollectionMask* mask,
                        uint32_t limit, const char* file, uint32_t line, const char* function,
                        std::vector<uint32_t>& samples)
{
    samples.clear();
    if (order.size() < count)
        ThrowFormattedException(file, line, function, L"The sample order has %llu entries for %llu surfels.",
                                static_cast<unsigned long long>(order.size()), static_cast<unsigned long long>(count));
    for (uint64_t k = 0; k < count && samples.size() < limit; ++k)
    {
        const uint32_t i = order[k];
        if (i >= count)
            ThrowFormattedException(file, line, function, L"Sample order entry %llu names surfel %u of %llu.",
                                    static_cast<unsigned long long>(k), i, static_cast<unsigned long long>(count));
        if (mask == nullptr || (*mask)[i] == 0)
            samples.push_back(i);
    }
}
} // namespace detail
} // namespace DataLayer
