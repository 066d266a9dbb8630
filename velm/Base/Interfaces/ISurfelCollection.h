#pragma once

#include "velm/Base/Interfaces/CCovarianceEllipsoid.h"
#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/Frame/CbVector3.h"
#include "velm/Frame/VelmException.h"
#include "velm/Frame/XoBoundingBox3D.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <typeinfo>
#include <vector>

namespace Base
{
// Per-surfel elements, each named by a definition class.
struct CSCElementDefinitionPosition
{
    using ElementType = CbVector3f;
};
struct CSCElementDefinitionNormal
{
    using ElementType = CQuantizedNormal;
};
struct CSCElementDefinitionQuality
{
    using ElementType = uint8_t;
}; // used as value / 255
struct CSCElementDefinitionWeight
{
    using ElementType = float;
};
struct CSCElementDefinitionCurvature
{
    using ElementType = uint8_t;
};
struct CSCElementDefinitionBoundaryFlag
{
    using ElementType = uint8_t;
}; // non-zero: boundary

// Untyped view of one element array: element i at pData + i * uiStride. A null pData means absent.
class AElementAccessBase
{
public:
    const uint8_t* pData = nullptr;
    size_t uiStride = 0;
    size_t uiElementSize = 0;

    AElementAccessBase() = default;
    AElementAccessBase(const uint8_t* data, size_t stride, size_t elementSize)
        : pData(data), uiStride(stride), uiElementSize(elementSize)
    {
    }
    AElementAccessBase(const AElementAccessBase&) = default;
    AElementAccessBase& operator=(const AElementAccessBase&) = default;
    virtual ~AElementAccessBase() = default;

    bool IsValid() const { return pData != nullptr; }
};

template <typename Definition>
class TElementAccessRead : public AElementAccessBase
{
public:
    using ElementType = typename Definition::ElementType;

    TElementAccessRead() : AElementAccessBase(nullptr, 0, sizeof(ElementType)) {}
    TElementAccessRead(const ElementType* data, size_t stride)
        : AElementAccessBase(reinterpret_cast<const uint8_t*>(data), stride, sizeof(ElementType))
    {
    }

    const ElementType& operator[](uint32_t i) const
    {
        return *reinterpret_cast<const ElementType*>(pData + static_cast<size_t>(i) * uiStride);
    }
};

struct SKdTreeNeighbour
{
    uint32_t uiIndex;
    float fDistanceSqr;
};
static_assert(sizeof(SKdTreeNeighbour) == 8, "k-nearest entries are 8 bytes");

// The kd-tree's squared distance: in float, as (dy^2 + dx^2) + dz^2. The kd-tree's nearest
// neighbours are ordered by it (ties to the lower index).
inline float KdTreeSquaredDistance(const CbVector3f& p, const CbVector3f& query)
{
    const float dx = p.x - query.x;
    const float dy = p.y - query.y;
    const float dz = p.z - query.z;
    return (dy * dy + dx * dx) + dz * dz;
}

// A squared distance as the kd-tree's limits see it: one that overflowed float is the largest double,
// larger than every finite distance and still inside an infinite limit.
inline double KdTreeBound(float squaredDistance)
{
    return squaredDistance <= FLT_MAX ? static_cast<double>(squaredDistance) : DBL_MAX;
}

// The kd-tree's squared limit for a reach (its square in float), or false when a negative or NaN
// reach admits no point at all.
inline bool KdTreeSquaredLimit(float reach, double& squared)
{
    if (!(reach >= 0.0f))
        return false;
    const float s = reach * reach;
    squared = static_cast<double>(s);
    return true;
}

// A point at infinity or with a NaN coordinate is near nothing to the kd-tree.
inline bool IsKdTreeQueryPoint(const CbVector3f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The test of FindInRadius: p lies within radius of the query when its squared distance is at most
// radius^2 (also in float); one that overflows float is within an infinite radius only. For a caller
// that filters points a tree found for a larger radius.
inline bool IsWithinKdTreeRadius(const CbVector3f& p, const CbVector3f& query, float radius)
{
    const float r2 = radius * radius;
    return KdTreeBound(KdTreeSquaredDistance(p, query)) <= static_cast<double>(r2);
}

// Spatial queries over the positions of one collection. Queries append to the caller's vector and
// answer the same list for the same query every time.
class IKdTree3D
{
public:
    virtual ~IKdTree3D() = default;
    // Index of the nearest surfel within maxDistance, or 0xFFFFFFFF when there is none.
    virtual uint32_t FindNearest(const CbVector3f& p, float maxDistance, uint32_t reserved) const = 0;
    // Up to k nearest surfels within maxDistance, nearest first.
    virtual void FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                              float maxDistance) const = 0;
    // Every surfel whose float squared distance (dy^2 + dx^2) + dz^2 is at most radius^2.
    virtual void FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const = 0;
};

class ISurfelCollectionDerivedData
{
public:
    virtual ~ISurfelCollectionDerivedData() = default;
    virtual const IKdTree3D& GetKdTree() const = 0;
    virtual const XoBoundingBox3D& GetBoundingBox() const = 0;
    virtual const CCovarianceEllipsoid& GetCovarianceEllipsoid() const = 0;
    // The order in which samples are drawn; at least GetCount() entries.
    virtual const std::vector<uint32_t>& GetSampleOrder() const = 0;
};

class ISurfelCollection
{
public:
    virtual ~ISurfelCollection() = default;
    virtual uint64_t GetCount() const = 0;
    // The accessor of an element, or null when the collection lacks it.
    virtual const AElementAccessBase* FindElementAccess(const std::type_info& definition) const = 0;
    // The collection keeps this object alive and unchanged for as long as the collection lives.
    virtual std::shared_ptr<const ISurfelCollectionDerivedData> GetDerivedData() const = 0;

    template <typename Definition>
    const TElementAccessRead<Definition>& GetReadAccessor() const
    {
        const auto* access = dynamic_cast<const TElementAccessRead<Definition>*>(FindElementAccess(typeid(Definition)));
        if (!access)
            ThrowFormattedException("Base/Interfaces/ISurfelCollection", 96, "Base::ISurfelCollection::GetReadAccessor",
                                    L"Nicht verfuegbare ElementAccessor-Definition angefordert.");
        return *access;
    }
};
} // namespace Base
