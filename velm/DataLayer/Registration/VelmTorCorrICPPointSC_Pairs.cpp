#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace DataLayer
{
namespace
{
constexpr const char* c_File = "velm/DataLayer/Registration/VelmTorCorrICPPointSC_Pairs.cpp";

// Distances are measured on what a float-based consumer of the collections would see.
CbVector3d RoundToFloat(const CbVector3d& v)
{
    return CbVector3d(CbVector3f(v));
}
} // namespace

void VelmTorCorrICPPointSC::BuildPairs()
{
    CheckModelsAvailable();
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPointSC::BuildPairs");

    vecPairs.clear();
    dSumOfPairWeights = 0.0;
    dOverallSumOfPairWeights = 0.0;
    vPairCentre = CbVector3d(0.0, 0.0, 0.0);
    dCentreWeightSum = 0.0;
    uiNrDepthImagePairs = 0;

    const uint64_t minimumFix = std::max<uint32_t>(config.GetMinimumNumberSurfelsFix(), 3u);
    const uint64_t minimumFloat = std::max<uint32_t>(config.GetMinimumNumberSurfelsFloat(), 3u);
    if (pModelFix->GetCount() < minimumFix || pModelFloat->GetCount() < minimumFloat)
    {
        bSurfelCountTooLow = true;
        return;
    }

    CbMatrix4Rd inverse = mTransform;
    inverse.Invert(); // only to reject a singular transformation before any pair exists

    if (!CheckForBoundingBoxOverlap(*pModelFloat, *pModelFix, mTransform))
    {
        bBoundingBoxesOverlap = false;
        return;
    }
    uiNrDepthImagePairs = 1;

    Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut.Create();

    // The collections keep their derived data alive; holding the pointers for the call costs no
    // allocation and keeps the references valid even for a collection that does not.
    const auto derivedFloat = pModelFloat->GetDerivedData();
    const auto derivedFix = pModelFix->GetDerivedData();
    const Base::IKdTree3D& treeFloat = derivedFloat->GetKdTree();
    const Base::IKdTree3D& treeFix = derivedFix->GetKdTree();
    const uint64_t count = pModelFloat->GetCount();
    const uint32_t limit = std::min(static_cast<uint32_t>(count), config.GetNumberOfPairs());
    const std::vector<uint32_t>& sampleOrder = derivedFloat->GetSampleOrder();
    if (sampleOrder.size() < count)
        ThrowFormattedException(c_File, __LINE__, "DataLayer::VelmTorCorrICPPointSC::BuildPairs",
                                L"The sample order of the floating model has %llu entries for %llu surfels.",
                                static_cast<unsigned long long>(sampleOrder.size()),
                                static_cast<unsigned long long>(count));

    uint32_t used = 0;
    for (uint64_t k = 0; k < count && used < limit; ++k)
    {
        const uint32_t i = sampleOrder[k];
        if (i >= count)
            ThrowFormattedException(c_File, __LINE__, "DataLayer::VelmTorCorrICPPointSC::BuildPairs",
                                    L"The sample order names surfel %u of a model of %llu surfels.", i,
                                    static_cast<unsigned long long>(count));
        if (pMaskFloat != nullptr && (*pMaskFloat)[i] != 0)
            continue;
        ++used;

        const CbVector3d p(GetPositionFloat(i));
        CbVector3d centroidFloat;
        CbVector3d normalFloat;
        const double weightFloat =
            ComputeWeightedCentroid(treeFloat, dDistanceThreshold, p, true, centroidFloat, normalFloat);
        if (weightFloat == 0.0)
            continue;

        const CbVector3d q = RoundToFloat(mTransform.TransformPoint(p));
        CbVector3d centroidFix;
        CbVector3d normalFix;
        const double weightFix =
            ComputeWeightedCentroid(treeFix, dDistanceThreshold, q, false, centroidFix, normalFix);
        const double w = weightFix * weightFloat;
        if (w == 0.0)
            continue;

        dOverallSumOfPairWeights += w;
        SurfelPair pair;
        pair.uiIndexFloat = i;
        pair.vCentroidFloat = centroidFloat;
        pair.vCentroidFix = centroidFix;
        pair.vNormalFix = normalFix;
        pair.dWeight = w;
        vecPairs.push_back(pair);
        dSumOfPairWeights += w;
        vPairCentre.x += w * centroidFix.x;
        vPairCentre.y += w * centroidFix.y;
        vPairCentre.z += w * centroidFix.z;
        dCentreWeightSum += w;
    }

    if (dCentreWeightSum != 0.0)
    {
        const double reciprocal = 1.0 / dCentreWeightSum;
        vPairCentre.x *= reciprocal;
        vPairCentre.y *= reciprocal;
        vPairCentre.z *= reciprocal;
    }
    uiNrFoundPairs = static_cast<uint32_t>(vecPairs.size());
    dRMSE = GetRMSE(mTransform);
}

double VelmTorCorrICPPointSC::ComputeWeightedCentroid(const Base::IKdTree3D& tree, double radius, CbVector3d centre,
                                                      bool floating, CbVector3d& centroid, CbVector3d& normal)
{
    const Base::CSurfelCollectionMask* mask = floating ? pMaskFloat : pMaskFix;
    const CbVector3f queryPoint(centre);

    // A wide threshold would make a radius query return whole regions; six nearest neighbours are
    // enough to smooth a sample, and the kernel below still discards those beyond the radius.
    // (BuildPairs, the only caller, has made sure of the configuration.)
    if (dDistanceThreshold > static_cast<double>(pConfig->GetQueryRadiusThreshold()))
    {
        vecNearestResult.clear();
        tree.FindKNearest(vecNearestResult, queryPoint, 6, FLT_MAX);
        vecNeighbourIndices.clear();
        vecNeighbourIndices.reserve(vecNearestResult.size());
        for (const Base::SKdTreeNeighbour& neighbour : vecNearestResult)
            if (mask == nullptr || (*mask)[neighbour.uiIndex] == 0)
                vecNeighbourIndices.push_back(neighbour.uiIndex);
    }
    else
    {
        vecNeighbourIndices.clear();
        tree.FindInRadius(vecNeighbourIndices, queryPoint, static_cast<float>(radius));
        if (mask != nullptr)
            vecNeighbourIndices.erase(std::remove_if(vecNeighbourIndices.begin(), vecNeighbourIndices.end(),
                                                     [mask](uint32_t j) { return (*mask)[j] != 0; }),
                                      vecNeighbourIndices.end());
    }

    const auto& positions = floating ? accPositionFloat : accPositionFix;
    const auto& normals = floating ? accNormalFloat : accNormalFix;
    const auto& qualities = floating ? accQualityFloat : accQualityFix;
    const auto& weights = floating ? accWeightFloat : accWeightFix;
    const auto& lut = Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;

    centroid = CbVector3d(0.0, 0.0, 0.0);
    normal = CbVector3d(0.0, 0.0, 0.0);
    double sum = 0.0;
    const double radiusSqr = radius * radius;
    for (const uint32_t j : vecNeighbourIndices)
    {
        const CbVector3d pj(positions[j]);
        const CbVector3d& nj = lut[normals[j].uiCode];
        if (nj.x == 0.0 && nj.z == 0.0)
            continue; // no normal

        const double dx = centre.x - pj.x;
        const double dy = centre.y - pj.y;
        const double dz = centre.z - pj.z;
        const double distanceSqr = (dy * dy + dx * dx) + dz * dz;
        double kernel = 0.0;
        if (!(distanceSqr > radiusSqr))
        {
            const double t = 1.0 - distanceSqr / radiusSqr;
            const double tt = t * t;
            kernel = tt * tt;
        }

        float quality = 1.0f;
        if (qualities.IsValid())
            quality = static_cast<float>(qualities[j]) / 255.0f;
        else if (weights.IsValid())
            quality = weights[j];

        const double w = static_cast<double>(quality) * kernel;
        if (w == 0.0)
            continue;
        centroid.x += w * pj.x;
        centroid.y += w * pj.y;
        centroid.z += w * pj.z;
        normal.x += w * nj.x;
        normal.y += w * nj.y;
        normal.z += w * nj.z;
        sum += w;
    }

    if (sum > 0.0)
    {
        const double reciprocal = 1.0 / sum;
        centroid.x *= reciprocal;
        centroid.y *= reciprocal;
        centroid.z *= reciprocal;
    }
    const double length = std::sqrt(normal.x * normal.x + normal.y * normal.y + normal.z * normal.z);
    if (length != 0.0)
    {
        const double reciprocal = 1.0 / length;
        normal.x *= reciprocal;
        normal.y *= reciprocal;
        normal.z *= reciprocal;
    }
    return sum;
}
} // namespace DataLayer
