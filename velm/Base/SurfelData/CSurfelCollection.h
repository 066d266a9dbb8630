#pragma once

#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <memory>
#include <typeinfo>
#include <vector>

namespace Base
{
class CKdTree3D;

// The elements of a collection, one entry per surfel. An empty vector means the element is absent;
// the present ones must all have the same length, the number of surfels.
struct SSurfelData
{
    std::vector<CbVector3f> vecPositions;
    std::vector<CbVector3f> vecNormals;   // directions of any length, encoded on construction
    std::vector<uint16_t> vecNormalCodes; // raw normal codes; take precedence over vecNormals
    std::vector<uint8_t> vecQuality;      // used as value / 255
    std::vector<float> vecWeight;
    std::vector<uint8_t> vecCurvature;
    std::vector<uint8_t> vecBoundaryFlags; // non-zero: boundary
    std::vector<uint32_t> vecSampleOrder;  // a permutation of the indices; drawn when absent
};

// An immutable in-memory surfel collection. The constructor checks the data and builds everything
// the registration asks for (kd-tree, bounding box, covariance ellipsoid, sample order) at once, so
// all queries are const and may run in several threads at the same time.
// Neither copyable nor movable: accessors handed out point into its storage.
class CSurfelCollection : public ISurfelCollection
{
public:
    // Throws VelmException, building nothing, when the element lengths disagree, positions are
    // missing while other elements are present, a position is not finite, or the sample order is
    // not a permutation of the surfel indices.
    explicit CSurfelCollection(SSurfelData data);
    // The same on a kd-tree that already exists over the positions (one tree a scan): data holds every
    // element but the positions, which are the tree's. Normals are encoded on the pool's threads.
    CSurfelCollection(SSurfelData data, std::shared_ptr<const CKdTree3D> tree, CThreadPool* pool = nullptr);
    // The same on any tree over the given positions (a moved tree, say); the caller vouches that the
    // tree answers for exactly these positions.
    CSurfelCollection(SSurfelData data, std::shared_ptr<const IKdTree3D> tree,
                      std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool = nullptr);
    ~CSurfelCollection() override;
    CSurfelCollection(const CSurfelCollection&) = delete;
    CSurfelCollection& operator=(const CSurfelCollection&) = delete;
    CSurfelCollection(CSurfelCollection&&) = delete;
    CSurfelCollection& operator=(CSurfelCollection&&) = delete;

    uint64_t GetCount() const override;
    const AElementAccessBase* FindElementAccess(const std::type_info& definition) const override;
    // The same object on every call; it stays valid as long as anyone holds it.
    std::shared_ptr<const ISurfelCollectionDerivedData> GetDerivedData() const override;

private:
    void Build(SSurfelData data, std::shared_ptr<const IKdTree3D> tree,
               std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool);

    uint64_t m_uiCount = 0;
    // The positions are shared with the kd-tree, so derived data held beyond the collection stays sound.
    std::shared_ptr<const std::vector<CbVector3f>> m_spPositions;
    std::vector<CQuantizedNormal> m_vecNormals;
    std::vector<uint8_t> m_vecQuality;
    std::vector<float> m_vecWeight;
    std::vector<uint8_t> m_vecCurvature;
    std::vector<uint8_t> m_vecBoundaryFlags;

    TElementAccessRead<CSCElementDefinitionPosition> m_accessPosition;
    TElementAccessRead<CSCElementDefinitionNormal> m_accessNormal;
    TElementAccessRead<CSCElementDefinitionQuality> m_accessQuality;
    TElementAccessRead<CSCElementDefinitionWeight> m_accessWeight;
    TElementAccessRead<CSCElementDefinitionCurvature> m_accessCurvature;
    TElementAccessRead<CSCElementDefinitionBoundaryFlag> m_accessBoundaryFlag;

    std::shared_ptr<const ISurfelCollectionDerivedData> m_spDerivedData;
};
} // namespace Base
