#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/detail/EngineHelpers.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace DataLayer
{
namespace
{
// Samples a thread takes at a time: enough to outweigh the hand-over, few enough to share the work.
constexpr size_t kSamplesPerChunk = 64;
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
    detail::TakeSamples(derivedFloat->GetSampleOrder(), count, pMaskFloat, limit, VELM_HERE,
                        "DataLayer::VelmTorCorrICPPointSC::BuildPairs", vecSamples);

    // Every sample's pair depends on that sample alone: they are found on any thread, then summed in
    // the sample order, so that the result does not depend on the thread count.
    vecSampleResults.resize(vecSamples.size());
    vecFloatNeighbourhoods.resize(vecSamples.size());
    const auto build = [&](size_t begin, size_t end, uint32_t thread) {
        std::vector<Base::SKdTreeNeighbour>& nearest =
            thread == 0 ? vecNearestResult : vecThreadScratch[thread].nearest;
        std::vector<uint32_t>& indices = thread == 0 ? vecNeighbourIndices : vecThreadScratch[thread].indices;
        for (size_t s = begin; s < end; ++s)
            BuildSample(vecSamples[s], treeFloat, treeFix, nearest, indices, vecFloatNeighbourhoods[s],
                        vecSampleResults[s]);
    };
    if (spThreadPool && vecSamples.size() > kSamplesPerChunk)
    {
        vecThreadScratch.resize(std::max<size_t>(vecThreadScratch.size(), spThreadPool->GetThreadCount()));
        spThreadPool->ParallelFor(vecSamples.size(), kSamplesPerChunk, build);
    }
    else
        build(0, vecSamples.size(), 0);

    for (size_t s = 0; s < vecSamples.size(); ++s)
    {
        const SSampleResult& r = vecSampleResults[s];
        const double w = r.weight;
        if (w == 0.0)
            continue;
        dOverallSumOfPairWeights += w;
        SurfelPair pair;
        pair.uiIndexFloat = vecSamples[s];
        pair.vCentroidFloat = r.centroidFloat;
        pair.vCentroidFix = r.centroidFix;
        pair.vNormalFix = r.normalFix;
        pair.dWeight = w;
        vecPairs.push_back(pair);
        dSumOfPairWeights += w;
        vPairCentre.x += w * r.centroidFix.x;
        vPairCentre.y += w * r.centroidFix.y;
        vPairCentre.z += w * r.centroidFix.z;
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

void VelmTorCorrICPPointSC::BuildSample(uint32_t i, const Base::IKdTree3D& treeFloat, const Base::IKdTree3D& treeFix,
                                        std::vector<Base::SKdTreeNeighbour>& nearest, std::vector<uint32_t>& indices,
                                        SFloatNeighbourhood& cached, SSampleResult& result) const
{
    result.weight = 0.0;
    const CbVector3d p(GetPositionFloat(i));
    if (cached.sample != i)
        cached = SFloatNeighbourhood{i, false, -1.0f, std::move(cached.indices)};
    CbVector3d normalFloat;
    const double weightFloat = ComputeWeightedCentroid(treeFloat, dDistanceThreshold, p, true, result.centroidFloat,
                                                       normalFloat, nearest, indices, &cached);
    if (weightFloat == 0.0)
        return;
    const CbVector3d q = detail::MapRounded(mTransform, p);
    const double weightFix = ComputeWeightedCentroid(treeFix, dDistanceThreshold, q, false, result.centroidFix,
                                                     result.normalFix, nearest, indices, nullptr);
    result.weight = weightFix * weightFloat;
}

double VelmTorCorrICPPointSC::ComputeWeightedCentroid(const Base::IKdTree3D& tree, double radius, CbVector3d centre,
                                                      bool floating, CbVector3d& centroid, CbVector3d& normal,
                                                      std::vector<Base::SKdTreeNeighbour>& nearest,
                                                      std::vector<uint32_t>& indices, SFloatNeighbourhood* cached) const
{
    const Base::CSurfelCollectionMask* mask = floating ? pMaskFloat : pMaskFix;
    const CbVector3f queryPoint(centre);
    const auto& positions = floating ? accPositionFloat : accPositionFix;

    // A wide threshold would make a radius query return whole regions; six nearest neighbours are
    // enough to smooth a sample, and the kernel below still discards those beyond the radius.
    // (BuildPairs, the only caller, has made sure of the configuration.)
    if (dDistanceThreshold > static_cast<double>(pConfig->GetQueryRadiusThreshold()))
    {
        if (cached && cached->nearest)
            indices = cached->indices;
        else
        {
            nearest.clear();
            tree.FindKNearest(nearest, queryPoint, 6, FLT_MAX);
            indices.clear();
            indices.reserve(nearest.size());
            for (const Base::SKdTreeNeighbour& neighbour : nearest)
                indices.push_back(neighbour.uiIndex);
            if (cached)
            {
                cached->nearest = true;
                cached->indices = indices;
            }
        }
    }
    else
    {
        const float r = static_cast<float>(radius);
        indices.clear();
        if (cached && !cached->nearest && r >= 0.0f && cached->radius >= r)
        {
            // The tree's own test, on the points it found for the larger radius (in index order,
            // as it gives them).
            for (const uint32_t j : cached->indices)
                if (Base::IsWithinKdTreeRadius(positions[j], queryPoint, r))
                    indices.push_back(j);
        }
        else
        {
            tree.FindInRadius(indices, queryPoint, r);
            if (cached && r >= 0.0f)
            {
                cached->nearest = false;
                cached->radius = r;
                cached->indices = indices;
            }
        }
    }
    detail::DropMasked(indices, mask);

    const auto& normals = floating ? accNormalFloat : accNormalFix;
    const auto& qualities = floating ? accQualityFloat : accQualityFix;
    const auto& weights = floating ? accWeightFloat : accWeightFix;
    const auto& lut = Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;

    centroid = CbVector3d(0.0, 0.0, 0.0);
    normal = CbVector3d(0.0, 0.0, 0.0);
    double sum = 0.0;
    const double radiusSqr = radius * radius;
    for (const uint32_t j : indices)
    {
        const CbVector3d pj(positions[j]);
        const CbVector3d& nj = lut[normals[j].uiCode];
        if (nj.x == 0.0 && nj.z == 0.0)
            continue; // no normal

        const double distanceSqr = detail::SquaredDistance(pj, centre);
        double kernel = 0.0;
        if (!(distanceSqr > radiusSqr))
        {
            const double t = 1.0 - distanceSqr / radiusSqr;
            const double tt = t * t;
            kernel = tt * tt;
        }

        const double w = static_cast<double>(detail::SurfelQuality(qualities, weights, j)) * kernel;
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
