#pragma once

#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <vector>

namespace DataLayer
{
// One correspondence: a smoothed neighbourhood of the floating model matched with a smoothed
// neighbourhood of the fixed model.
struct SurfelPair
{
    uint32_t uiIndexFloat = 0; // sampled surfel of the floating model
    CbVector3d vCentroidFloat; // its weighted neighbourhood centroid, floating-model coordinates
    CbVector3d vCentroidFix;   // the matching fixed neighbourhood centroid, fixed-model coordinates
    CbVector3d vNormalFix;     // unit normal of the fixed neighbourhood, zero when it vanished
    double dWeight = 0.0;      // product of both neighbourhood weights, > 0 in every stored pair
};

// The registration engine over two surfel collections: the fixed model ("Fix") and the floating
// model ("Float") that the engine's transformation maps into the fixed model's frame.
//
// The engine neither owns nor copies the collections and masks; they, and their derived data, must
// stay alive and unchanged while the engine uses them.
class VelmTorCorrICPPointSC : public VelmTorCorrICPPoint
{
public:
    VelmTorCorrICPPointSC();
    VelmTorCorrICPPointSC(const VelmTorCorrICPPointSC& other);
    VelmTorCorrICPPointSC(VelmTorCorrICPPointSC&& other) noexcept;
    VelmTorCorrICPPointSC& operator=(const VelmTorCorrICPPointSC& other);
    VelmTorCorrICPPointSC& operator=(VelmTorCorrICPPointSC&& other) noexcept;
    ~VelmTorCorrICPPointSC() override;

    // Attach a model and its optional mask (null: no mask). A model without positions or normals,
    // or a mask shorter than the model, throws and leaves the engine as it was.
    void SetModelFix(const Base::ISurfelCollection& model, const Base::CSurfelCollectionMask* mask);
    void SetModelFloat(const Base::ISurfelCollection& model, const Base::CSurfelCollectionMask* mask);

protected:
    double GetRMSE(const CbMatrix4Rd& m) override;
    double GetOffset(const CbMatrix4Rd& m) override;
    void BuildPairs() override;
    void BuildMatrix(VelmTorPointToPlaneErrorSystemMatrix& system, bool onlyNormalMatrix) override;
    CbMatrix4Rd approximateRigidTransformation(const CbVector3d& t0, const CbVector3d& omega0,
                                               double stepFactor) override;
    void ComputeOverlapRepresentation() override;
    void ComputePairWeightsQuotient() override;

    // Both models must be set before the engine runs; throws a VelmException otherwise.
    void CheckModelsAvailable() const override;

    const Base::ISurfelCollection* pModelFloat = nullptr;
    const Base::ISurfelCollection* pModelFix = nullptr;
    const Base::CSurfelCollectionMask* pMaskFloat = nullptr;
    const Base::CSurfelCollectionMask* pMaskFix = nullptr;
    std::vector<SurfelPair> vecPairs;
    Base::TElementAccessRead<Base::CSCElementDefinitionPosition> accPositionFloat;
    Base::TElementAccessRead<Base::CSCElementDefinitionNormal> accNormalFloat;
    Base::TElementAccessRead<Base::CSCElementDefinitionPosition> accPositionFix;
    Base::TElementAccessRead<Base::CSCElementDefinitionNormal> accNormalFix;
    Base::TElementAccessRead<Base::CSCElementDefinitionQuality> accQualityFloat;
    Base::TElementAccessRead<Base::CSCElementDefinitionQuality> accQualityFix;
    Base::TElementAccessRead<Base::CSCElementDefinitionWeight> accWeightFloat;
    Base::TElementAccessRead<Base::CSCElementDefinitionWeight> accWeightFix;
    Base::TElementAccessRead<Base::CSCElementDefinitionBoundaryFlag> accBoundaryFloat;
    Base::TElementAccessRead<Base::CSCElementDefinitionBoundaryFlag> accBoundaryFix;
    double dCentreWeightSum = 0.0;
    std::vector<Base::SKdTreeNeighbour> vecNearestResult;
    std::vector<uint32_t> vecNeighbourIndices;

private:
    // Query buffers of one thread; the calling thread's are the two members above.
    struct SNeighbourScratch
    {
        std::vector<Base::SKdTreeNeighbour> nearest;
        std::vector<uint32_t> indices;
    };
    // What pair building finds for one sample, before the samples are gathered in their order.
    struct SSampleResult
    {
        CbVector3d centroidFloat;
        CbVector3d centroidFix;
        CbVector3d normalFix;
        double weight = 0.0;
    };

    // The floating model's neighbourhood of the sample in one slot of the sample list, as last
    // queried. The floating model does not move in its own frame, so the next iteration's query of the
    // same kind (the six nearest, or a radius no larger) is answered from it with the same indices.
    struct SFloatNeighbourhood
    {
        uint32_t sample = 0xFFFFFFFFu; // none
        bool nearest = false;          // the six nearest, else the points within radius
        float radius = -1.0f;          // the radius queried; negative: holds nothing
        std::vector<uint32_t> indices; // as the tree gave them, before the mask
    };

    CbVector3f GetPositionFloat(uint32_t index) const;
    float GetQualityFloat(uint32_t index) const;
    bool GetBoundaryFloat(uint32_t index) const;

    // The pair of one sample (weight 0: none); reads the engine, writes only `result` and the buffers.
    void BuildSample(uint32_t i, const Base::IKdTree3D& treeFloat, const Base::IKdTree3D& treeFix,
                     std::vector<Base::SKdTreeNeighbour>& nearest, std::vector<uint32_t>& indices,
                     SFloatNeighbourhood& cached, SSampleResult& result) const;
    // cached: the floating sample's remembered neighbourhood (null for the fixed model).
    double ComputeWeightedCentroid(const Base::IKdTree3D& tree, double radius, CbVector3d centre, bool floating,
                                   CbVector3d& centroid, CbVector3d& normal,
                                   std::vector<Base::SKdTreeNeighbour>& nearest, std::vector<uint32_t>& indices,
                                   SFloatNeighbourhood* cached) const;

    std::vector<uint32_t> vecSamples;
    std::vector<SSampleResult> vecSampleResults;
    std::vector<SNeighbourScratch> vecThreadScratch;
    std::vector<SFloatNeighbourhood> vecFloatNeighbourhoods; // one per slot of vecSamples
};
} // namespace DataLayer
