#pragma once

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbMatrix4.h"

#include <memory>
#include <vector>

namespace Base
{
// Positions moved as a moved kd-tree holds them: each mapped by the motion in double and rounded to
// float, on the pool's threads (null: the calling thread).
std::shared_ptr<std::vector<CbVector3f>> MovedPositions(const std::vector<CbVector3f>& positions,
                                                        const CbMatrix4Rd& motion, CThreadPool* pool = nullptr);

// The kd-tree of a kd-tree's positions moved by a rigid motion (or one a little off rigid, as a
// start written with few digits is), without a tree of its own: each question is turned back into the
// original tree's frame, asked there with a reach grown by what rounding and the motion's stretch can
// account for, and the answers are decided on the moved positions. It answers exactly what a CKdTree3D
// built over the moved positions would answer, and costs a pass over the positions instead of a tree.
class CMovedKdTree3D final : public IKdTree3D
{
public:
    // The moved positions are the original ones mapped by `motion` in double and rounded to float.
    // Throws std::invalid_argument when the tree is missing or the motion is not accepted.
    CMovedKdTree3D(std::shared_ptr<const CKdTree3D> original, const CbMatrix4Rd& motion, CThreadPool* pool = nullptr);

    uint32_t FindNearest(const CbVector3f& p, float maxDistance, uint32_t reserved) const override;
    void FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                      float maxDistance) const override;
    void FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const override;

    // Whether a motion suits this tree: finite, no projection, and a linear part A with every row sum
    // of |A A^T - I| at most 0.1 (a rotation gives 0; squared lengths change by at most that share).
    static bool Accepts(const CbMatrix4Rd& motion);

    size_t GetCount() const { return m_spPositions->size(); }
    const std::shared_ptr<const std::vector<CbVector3f>>& GetPositions() const { return m_spPositions; }

private:
    CbVector3f Back(const CbVector3f& p) const;
    // A distance in the original frame that every moved point within `reach` of p lies within.
    float OriginalReach(const CbVector3f& p, const CbVector3f& back, double reach) const;

    std::shared_ptr<const CKdTree3D> m_spOriginal;
    std::shared_ptr<const std::vector<CbVector3f>> m_spPositions;
    static double Distortion(const CbMatrix4Rd& motion);
    static constexpr double kMaxDistortion = 0.1;

    CbMatrix4Rd m_motion;
    double m_aInverse[9] = {};         // of the linear part, row by row
    double m_dStretch = 1.0;           // the most a distance grows or shrinks under the motion, as a factor
    double m_dLargestCoordinate = 0.0; // of the original and the moved positions
};
} // namespace Base
