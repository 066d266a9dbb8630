#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <cfloat>
#include <cmath>
#include <vector>

namespace DataLayer
{
namespace
{
CbVector3d MapRounded(const CbMatrix4Rd& m, const CbVector3d& p)
{
    return CbVector3d(CbVector3f(m.TransformPoint(p)));
}
} // namespace

double VelmTorCorrICPPointSC::GetRMSE(const CbMatrix4Rd& m)
{
    double sumSqr = 0.0;
    double sumWeights = 0.0;
    for (const SurfelPair& pair : vecPairs)
    {
        sumWeights += pair.dWeight;
        const CbVector3d mapped = MapRounded(m, pair.vCentroidFloat);
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
        const CbVector3d mapped = MapRounded(m, e);
        const double dx = mapped.x - e.x;
        const double dy = mapped.y - e.y;
        const double dz = mapped.z - e.z;
        sum += std::sqrt((dy * dy + dx * dx) + dz * dz);
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
