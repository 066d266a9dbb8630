#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "velm/DataLayer/Registration/detail/EngineHelpers.h"
#include "velm/Frame/VelmException.h"

#include <utility>

namespace DataLayer
{
namespace
{

// An optional element the model lacks is held with every word zero, element size included, so a
// replaced model leaves no trace of its predecessor's optional elements.
template <typename Definition>
Base::TElementAccessRead<Definition> OptionalAccessor(const Base::ISurfelCollection& model)
{
    Base::TElementAccessRead<Definition> access;
    access.uiElementSize = 0;
    if (model.FindElementAccess(typeid(Definition)) != nullptr)
        access = model.GetReadAccessor<Definition>();
    return access;
}

// The five accessors the engine copies from a model, all fetched before the engine changes: a model
// that lacks a mandatory element throws here and the engine keeps its previous model untouched.
struct SModelAccessors
{
    explicit SModelAccessors(const Base::ISurfelCollection& model)
        : position(model.GetReadAccessor<Base::CSCElementDefinitionPosition>()),
          normal(model.GetReadAccessor<Base::CSCElementDefinitionNormal>()),
          quality(OptionalAccessor<Base::CSCElementDefinitionQuality>(model)),
          weight(OptionalAccessor<Base::CSCElementDefinitionWeight>(model)),
          boundary(OptionalAccessor<Base::CSCElementDefinitionBoundaryFlag>(model))
    {
    }

    Base::TElementAccessRead<Base::CSCElementDefinitionPosition> position;
    Base::TElementAccessRead<Base::CSCElementDefinitionNormal> normal;
    Base::TElementAccessRead<Base::CSCElementDefinitionQuality> quality;
    Base::TElementAccessRead<Base::CSCElementDefinitionWeight> weight;
    Base::TElementAccessRead<Base::CSCElementDefinitionBoundaryFlag> boundary;
};

} // namespace

VelmTorCorrICPPointSC::VelmTorCorrICPPointSC() = default;

VelmTorCorrICPPointSC::VelmTorCorrICPPointSC(const VelmTorCorrICPPointSC& other) = default;

VelmTorCorrICPPointSC::VelmTorCorrICPPointSC(VelmTorCorrICPPointSC&& other) noexcept
    : VelmTorCorrICPPoint(static_cast<const VelmTorCorrICPPoint&>(other)),
      pModelFloat(other.pModelFloat),
      pModelFix(other.pModelFix),
      pMaskFloat(other.pMaskFloat),
      pMaskFix(other.pMaskFix),
      vecPairs(std::move(other.vecPairs)),
      accPositionFloat(other.accPositionFloat),
      accNormalFloat(other.accNormalFloat),
      accPositionFix(other.accPositionFix),
      accNormalFix(other.accNormalFix),
      accQualityFloat(other.accQualityFloat),
      accQualityFix(other.accQualityFix),
      accWeightFloat(other.accWeightFloat),
      accWeightFix(other.accWeightFix),
      accBoundaryFloat(other.accBoundaryFloat),
      accBoundaryFix(other.accBoundaryFix),
      dCentreWeightSum(other.dCentreWeightSum),
      vecNearestResult(std::move(other.vecNearestResult)),
      vecNeighbourIndices(std::move(other.vecNeighbourIndices))
{
    other.vecPairs.clear();
    other.vecNearestResult.clear();
    other.vecNeighbourIndices.clear();
}

VelmTorCorrICPPointSC& VelmTorCorrICPPointSC::operator=(const VelmTorCorrICPPointSC& other) = default;

VelmTorCorrICPPointSC& VelmTorCorrICPPointSC::operator=(VelmTorCorrICPPointSC&& other) noexcept
{
    if (this == &other)
        return *this;
    VelmTorCorrICPPoint::operator=(static_cast<const VelmTorCorrICPPoint&>(other));
    pModelFloat = other.pModelFloat;
    pModelFix = other.pModelFix;
    pMaskFloat = other.pMaskFloat;
    pMaskFix = other.pMaskFix;
    accPositionFloat = other.accPositionFloat;
    accNormalFloat = other.accNormalFloat;
    accPositionFix = other.accPositionFix;
    accNormalFix = other.accNormalFix;
    accQualityFloat = other.accQualityFloat;
    accQualityFix = other.accQualityFix;
    accWeightFloat = other.accWeightFloat;
    accWeightFix = other.accWeightFix;
    accBoundaryFloat = other.accBoundaryFloat;
    accBoundaryFix = other.accBoundaryFix;
    dCentreWeightSum = other.dCentreWeightSum;
    // The target's own buffers go first; then it takes over the source's, which are left empty.
    std::vector<SurfelPair>().swap(vecPairs);
    std::vector<Base::SKdTreeNeighbour>().swap(vecNearestResult);
    std::vector<uint32_t>().swap(vecNeighbourIndices);
    vecPairs.swap(other.vecPairs);
    vecNearestResult.swap(other.vecNearestResult);
    vecNeighbourIndices.swap(other.vecNeighbourIndices);
    return *this;
}

VelmTorCorrICPPointSC::~VelmTorCorrICPPointSC() = default;

void VelmTorCorrICPPointSC::SetModelFix(const Base::ISurfelCollection& model, const Base::CSurfelCollectionMask* mask)
{
    detail::CheckMaskCovers(mask, model.GetCount(), VELM_HERE, "DataLayer::VelmTorCorrICPPointSC::SetModelFix");
    const SModelAccessors access(model);

    pModelFix = &model;
    pMaskFix = mask;
    accPositionFix = access.position;
    accNormalFix = access.normal;
    accQualityFix = access.quality;
    accWeightFix = access.weight;
    accBoundaryFix = access.boundary;
}

void VelmTorCorrICPPointSC::SetModelFloat(const Base::ISurfelCollection& model, const Base::CSurfelCollectionMask* mask)
{
    detail::CheckMaskCovers(mask, model.GetCount(), VELM_HERE, "DataLayer::VelmTorCorrICPPointSC::SetModelFloat");
    Base::CCovarianceEllipsoid ellipsoid;
    {
        const auto derived = model.GetDerivedData();
        if (!derived)
            ThrowFormattedException(VELM_HERE, "DataLayer::VelmTorCorrICPPointSC::SetModelFloat",
                                    L"The floating model has no derived data.");
        ellipsoid = derived->GetCovarianceEllipsoid();
    }
    const SModelAccessors access(model);

    pModelFloat = &model;
    vecFloatNeighbourhoods.clear();
    pMaskFloat = mask;
    ceFloat = ellipsoid;
    accPositionFloat = access.position;
    accNormalFloat = access.normal;
    accQualityFloat = access.quality;
    accWeightFloat = access.weight;
    accBoundaryFloat = access.boundary;
}

CbVector3f VelmTorCorrICPPointSC::GetPositionFloat(uint32_t index) const
{
    return accPositionFloat[index];
}

float VelmTorCorrICPPointSC::GetQualityFloat(uint32_t index) const
{
    if (!accQualityFloat.IsValid())
        return 1.0f;
    return static_cast<float>(accQualityFloat[index]) / 255.0f;
}

bool VelmTorCorrICPPointSC::GetBoundaryFloat(uint32_t index) const
{
    if (!accBoundaryFloat.IsValid())
        return false;
    return accBoundaryFloat[index] != 0;
}

void VelmTorCorrICPPointSC::CheckModelsAvailable() const
{
    if (pModelFix == nullptr || pModelFloat == nullptr)
        ThrowFormattedException(VELM_HERE, "DataLayer::VelmTorCorrICPPointSC::CheckModelsAvailable",
                                L"The engine has no %s model; call SetModelFix and SetModelFloat first.",
                                pModelFix == nullptr && pModelFloat == nullptr ? L"fixed and no floating"
                                : pModelFix == nullptr                         ? L"fixed"
                                                                               : L"floating");
}
} // namespace DataLayer
