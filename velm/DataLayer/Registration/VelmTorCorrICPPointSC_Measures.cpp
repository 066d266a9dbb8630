#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/DataLayer/Registration/detail/EngineHelpers.h"

#include <cfloat>
#include <cmath>
#include <vector>

namespace DataLayer
{
double VelmTorCorrICPPointSC::GetRMSE(const CbMatrix4Rd& m)
{
    double sumSqr = 0.0;
    double sumWeights = 0.0;
    for (const SurfelPair& pair : vecPairs)
    {
        sumWeights += pair.dWeight;
        const CbVector3d mapped = detail::MapRounded(m, pair.vCentroidFloat);
        const CbVector3d& fix = pair.vCentroidFix;
        const CbVector3d& n = pair.vNormalFix;
        const double r = ((fix.x - mapped.x) * n.x + (fix.y - mapped.y) * n.y) + (fix.z - mapped.z) * n.z;
        sumSqr += (r * r) * pair.dWeight;
    }
    if (sumWeights == 0.0)
        return DBL_MAX;
    return std::sqrt(sumSqr / sumWeights);
}

double VelmTorCorrICPPointSC::GetOffset(const CbMatrix4Rd& m)
{
    double sum = 0.0;
    for (int k = 0; k < 6; ++k)
    {
        const CbVector3d e(ceFloat[k]);
        const CbVector3d mapped = detail::MapRounded(m, e);
        sum += std::sqrt(detail::SquaredDistance(e, mapped));
    }
    return sum / 6.0;
}

void VelmTorCorrICPPointSC::ComputeOverlapRepresentation()
{
    // Both representations stay in the floating model's own coordinates.
    bbOverlap.box.Invalidate();
    std::vector<VelmTorQualityPointCCT> points;
    points.reserve(vecPairs.size());
    for (const SurfelPair& pair : vecPairs)
    {
        VelmTorQualityPointCCT point;
        point.vPosition = pair.vCentroidFloat;
        point.dQuality = pair.dWeight;
        points.push_back(point);
        bbOverlap.box.Extend(CbVector3f(pair.vCentroidFloat));
    }
    // An empty list changes only the ellipsoid's sigma scale, so start from the record's own.
    Base::CCovarianceEllipsoid samplePoints = spResult->GetSamplePoints();
    ComputeCovarianceEllipsoid(points, samplePoints);
    spResult->SetSamplePoints(samplePoints);
}

void VelmTorCorrICPPointSC::ComputePairWeightsQuotient()
{
    CheckModelsAvailable();
    dSumTestWeights = 0.0;
    dSumOverlapWeights = 0.0;
    dSumMatchedWeights = 0.0;
    AccumulatePairWeights(*pModelFloat, pMaskFloat, *pModelFix, pMaskFix, mTransform);
    dOverlapQuotient = dSumOverlapWeights / dSumTestWeights;
    dPairWeightsQuotient = dSumMatchedWeights / dSumOverlapWeights;
}
} // namespace DataLayer
