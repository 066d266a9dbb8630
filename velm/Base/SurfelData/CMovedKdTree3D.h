#pragma once

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbMatrix4.h"

#include <memory>
#include <vector>

namespace Base
{
// The kd-tree of a kd-tree's positions moved by a rigid motion, without a tree of its own: each
// question is turned back into the original tree's frame, asked there with a reach grown by what
// rounding can account for, and the answers are decided on the moved positions. It answers exactly
// what a CKdTree3D built over the moved positions would answer, and costs a pass over the positions
// to build instead of a tree.
class CMovedKdTree3D final : public IKdTree3D
{
public:
    // The moved positions are the original ones mapped by `motion` in double and rounded to float.
    // Throws std::invalid_argument when the motion is not rigid (a rotation, to 1e-9, and a finite
    // translation) or the tree is missing.
    CMovedKdTree3D(std::shared_ptr<const CKdTree3D> original, const CbMatrix4Rd& motion, CThreadPool* pool = nullptr);

    uint32_t FindNearest(const CbVector3f& p, float maxDistance, uint32_t reserved) const override;
    void FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                      float maxDistance) const override;
    void FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const override;

    // Whether a motion is rigid enough for this tree: finite, a rotation to 1e-9, no projection.
    static bool IsRigid(const CbMatrix4Rd& motion);

    size_t GetCount() const { return m_spPositions->size(); }
    const std::shared_ptr<const std::vector<CbVector3f>>& GetPositions() const { return m_spPositions; }

private:
    CbVector3f Back(const CbVector3f& p) const;
    // A distance in the original frame that every moved point within `reach` of p lies within.
    float OriginalReach(const CbVector3f& p, const CbVector3f& back, double reach) const;

    std::shared_ptr<const CKdTree3D> m_spOriginal;
    std::shared_ptr<const std::vector<CbVector3f>> m_spPositions;
    CbMatrix4Rd m_motion;
    double m_dLargestCoordinate = 0.0; // of the original and the moved positions
};
} // namespace Base
