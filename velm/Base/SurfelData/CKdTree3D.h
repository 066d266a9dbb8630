#pragma once

#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Base
{
// A kd-tree over a fixed set of positions. Distances are the float squared distances
// (dy^2 + dx^2) + dz^2, limits are inclusive (at most radius^2, radius^2 also in float), and a
// negative or NaN limit or a query point with a NaN or infinite coordinate finds nothing. Answers do not depend
// on the tree's inner layout: ties in distance go to the lower index and radius answers are sorted
// by index. Queries touch no shared scratch, so one tree may serve several threads at once.
class CKdTree3D final : public IKdTree3D
{
public:
    // The tree shares the positions, which must not change while it lives. A large set is built on the
    // pool's threads (null: the calling thread); every search answers the same for every pool.
    explicit CKdTree3D(std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool = nullptr);
    ~CKdTree3D() override;
    CKdTree3D(const CKdTree3D&) = delete;
    CKdTree3D& operator=(const CKdTree3D&) = delete;

    uint32_t FindNearest(const CbVector3f& p, float maxDistance, uint32_t reserved) const override;
    void FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                      float maxDistance) const override;
    void FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const override;

    // The k nearest of each of the tree's own positions: for position i exactly what FindKNearest(
    // result, position i, k, FLT_MAX) finds. body(i, neighbours, count) runs once per position, on the
    // pool's threads when there is a pool, in no fixed order; it must only touch what belongs to i.
    // Faster than a search per position: the positions of a leaf share their candidates.
    using KNearestBody = std::function<void(uint32_t index, const SKdTreeNeighbour* neighbours, size_t count)>;
    void ForEachPositionsKNearest(uint32_t k, CThreadPool* pool, const KNearestBody& body) const;

    size_t GetCount() const;
    // The positions the tree was built over.
    const std::shared_ptr<const std::vector<CbVector3f>>& GetPositions() const;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
} // namespace Base
