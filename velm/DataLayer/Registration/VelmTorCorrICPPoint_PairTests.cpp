#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include "velm/DataLayer/Registration/QuantizeNormal.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/detail/EngineHelpers.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>

namespace DataLayer
{
namespace
{
const char* const c_Accumulate = "DataLayer::VelmTorCorrICPPoint::AccumulatePairWeights";

// Truncation towards zero that stays defined for values outside the int range and for NaN (which
// then accepts no curvature difference at all).
int TruncateToInt(double value)
{
    if (std::isnan(value))
        return INT_MIN;
    if (value >= 2147483647.0)
        return INT_MAX;
    if (value <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(value);
}

std::shared_ptr<const Base::ISurfelCollectionDerivedData> DerivedDataOf(const Base::ISurfelCollection& collection,
                                                                        const char* function)
{
    std::shared_ptr<const Base::ISurfelCollectionDerivedData> derived = collection.GetDerivedData();
    if (!derived)
        ThrowFormattedException(VELM_HERE, function, L"The surfel collection has no derived data.");
    return derived;
}

// The boxes of both collections as the overlap tests compare them: B's inflated, then A's mapped into
// B's space with T rounded to float and inflated.
void InflatedBoxes(const Base::ISurfelCollection& A, const Base::ISurfelCollection& B, const CbMatrix4Rd& T,
                   float blowup, const char* function, XoBoundingBox3D& boxA, XoBoundingBox3D& boxB)
{
    boxB = DerivedDataOf(B, function)->GetBoundingBox();
    boxB.Inflate(blowup);
    boxA = DerivedDataOf(A, function)->GetBoundingBox();
    boxA.Transform(CbMatrix4Rf(T));
    boxA.Inflate(blowup);
}

// The quality and curvature of a collection's surfels.
class QualityReader
{
public:
    explicit QualityReader(const Base::ISurfelCollection& collection)
    {
        if (collection.FindElementAccess(typeid(Base::CSCElementDefinitionQuality)))
            m_quality = collection.GetReadAccessor<Base::CSCElementDefinitionQuality>();
        if (collection.FindElementAccess(typeid(Base::CSCElementDefinitionWeight)))
            m_weight = collection.GetReadAccessor<Base::CSCElementDefinitionWeight>();
        if (collection.FindElementAccess(typeid(Base::CSCElementDefinitionCurvature)))
            m_curvature = collection.GetReadAccessor<Base::CSCElementDefinitionCurvature>();
    }

    float Quality(uint32_t i) const { return detail::SurfelQuality(m_quality, m_weight, i); }
    bool HasCurvature() const { return m_curvature.IsValid(); }
    int Curvature(uint32_t i) const { return m_curvature[i]; }

private:
    Base::TElementAccessRead<Base::CSCElementDefinitionQuality> m_quality;
    Base::TElementAccessRead<Base::CSCElementDefinitionWeight> m_weight;
    Base::TElementAccessRead<Base::CSCElementDefinitionCurvature> m_curvature;
};
} // namespace

double VelmTorCorrICPPoint::GetDistanceWeight(const CbVector3d& movedPoint, const CbVector3f& partnerPosition,
                                              const Base::CQuantizedNormal& /*partnerNormal*/)
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::GetDistanceWeight");
    const CbVector3f moved(movedPoint);
    const double d2 = detail::SquaredDistance(moved, partnerPosition);
    if (d2 > dSquaredDistanceThreshold)
        return 0.0;
    if (!config.GetSmoothDistanceThresholding())
        return 1.0;

    const float samplingDensity = config.GetSamplingDensity();
    if (static_cast<double>(samplingDensity * samplingDensity) > d2)
        return 1.0;
    const double e = std::fabs(std::sqrt(d2) - static_cast<double>(samplingDensity));
    if (e > dDistanceThreshold)
        return 0.0;
    // Wendland C2 fall-off over one distance threshold beyond the sampling density.
    const double u = e / dDistanceThreshold;
    const double a = 1.0 - u;
    const double a2 = a * a;
    return (a2 * a2) * (4.0 * u + 1.0);
}

bool VelmTorCorrICPPoint::IsAValidPair(const CbVector3d& movedPoint, bool movedOnBoundary,
                                       const CbVector3f& partnerPosition, const Base::CQuantizedNormal& partnerNormal,
                                       bool partnerOnBoundary, double pairWeight, double& distanceWeight)
{
    if (pairWeight == 0.0 || movedOnBoundary || partnerOnBoundary)
        return false;
    distanceWeight = GetDistanceWeight(movedPoint, partnerPosition, partnerNormal);
    return distanceWeight != 0.0;
}

bool VelmTorCorrICPPoint::AreNormalsSimilar(const Base::CQuantizedNormal& n1, const Base::CQuantizedNormal& n2)
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::AreNormalsSimilar");
    auto& lut = Base::TQuantizedNormalMultiLevelLUT<CbVector3f>::lut;
    lut.Create();
    const CbVector3f& a = lut[n1.uiCode];
    const CbVector3f& b = lut[n2.uiCode];
    const float dot = (a.y * b.y + a.x * b.x) + a.z * b.z;
    return static_cast<double>(dot) > config.GetCosNormalThreshold();
}

bool VelmTorCorrICPPoint::IsSimilarCurvature(unsigned char c1, unsigned char c2)
{
    const VelmTorCorrICPPointConfig& config =
        RequireConfiguration("DataLayer::VelmTorCorrICPPoint::IsSimilarCurvature");
    const int tolerance = TruncateToInt(config.GetCurvatureThreshold() * 255.0);
    return std::abs(static_cast<int>(c1) - static_cast<int>(c2)) < tolerance;
}

bool VelmTorCorrICPPoint::IsOnBoundary(bool b1, bool b2)
{
    return b1 || b2;
}

float VelmTorCorrICPPoint::GetPairQuality(const float& q1, const float& q2)
{
    return q1 * q2;
}

double VelmTorCorrICPPoint::GetSquaredError(const CbVector3d& p, const CbVector3d& q, const CbVector3d& n) const
{
    const CbVector3d d = q - p;
    const double distance = (d.y * n.y + d.x * n.x) + d.z * n.z;
    return distance * distance;
}

bool VelmTorCorrICPPoint::HasSufficientPairWeights()
{
    const VelmTorCorrICPPointConfig& config =
        RequireConfiguration("DataLayer::VelmTorCorrICPPoint::HasSufficientPairWeights");
    return dSumOfPairWeights > static_cast<double>(config.GetMinimumPairWeights());
}

bool VelmTorCorrICPPoint::CheckForBoundingBoxOverlap(const Base::ISurfelCollection& A, const Base::ISurfelCollection& B,
                                                     const CbMatrix4Rd& T)
{
    static const char* const function = "DataLayer::VelmTorCorrICPPoint::CheckForBoundingBoxOverlap";
    XoBoundingBox3D boxA, boxB;
    InflatedBoxes(A, B, T, RequireConfiguration(function).GetBoundingBoxBlowup(), function, boxA, boxB);
    return boxA.Intersect(boxB) == 1;
}

float VelmTorCorrICPPoint::GetBoundingBoxOverlapVolume(const Base::ISurfelCollection& A,
                                                       const Base::ISurfelCollection& B, const CbMatrix4Rd& T)
{
    static const char* const function = "DataLayer::VelmTorCorrICPPoint::GetBoundingBoxOverlapVolume";
    XoBoundingBox3D boxA, boxB;
    InflatedBoxes(A, B, T, RequireConfiguration(function).GetBoundingBoxBlowup(), function, boxA, boxB);
    XoBoundingBox3D overlap;
    overlap.Intersection(boxA, boxB);
    if (!overlap.box.IsValid())
        return 0.0f;
    const CbVector3f& lo = overlap.box.vMin;
    const CbVector3f& hi = overlap.box.vMax;
    return ((hi.x - lo.x) * (hi.y - lo.y)) * (hi.z - lo.z);
}

void VelmTorCorrICPPoint::AccumulatePairWeights(const Base::ISurfelCollection& A,
                                                const Base::CSurfelCollectionMask* maskA,
                                                const Base::ISurfelCollection& B,
                                                const Base::CSurfelCollectionMask* maskB, const CbMatrix4Rd& T)
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration(c_Accumulate);
    if (!CheckForBoundingBoxOverlap(A, B, T))
        return;

    // The rotation part alone, for normals.
    CbMatrix4Rd R = T;
    R.e[3] = R.e[7] = R.e[11] = 0.0;
    R.e[12] = R.e[13] = R.e[14] = 0.0;
    R.e[15] = 1.0;

    const std::shared_ptr<const Base::ISurfelCollectionDerivedData> derivedB = DerivedDataOf(B, c_Accumulate);
    const Base::IKdTree3D& treeB = derivedB->GetKdTree();
    const uint64_t countA = A.GetCount();
    const uint32_t limit = std::min(static_cast<uint32_t>(countA), static_cast<uint32_t>(config.GetNrTestSamples()));

    const auto& positionB = B.GetReadAccessor<Base::CSCElementDefinitionPosition>();
    const auto& normalB = B.GetReadAccessor<Base::CSCElementDefinitionNormal>();
    const QualityReader qualityB(B);
    const auto& positionA = A.GetReadAccessor<Base::CSCElementDefinitionPosition>();
    const auto& normalA = A.GetReadAccessor<Base::CSCElementDefinitionNormal>();
    const QualityReader qualityA(A);
    const std::shared_ptr<const Base::ISurfelCollectionDerivedData> derivedA = DerivedDataOf(A, c_Accumulate);

    // Refuse inputs that would make the loop read outside the collections, before anything is added.
    const uint64_t countB = B.GetCount();
    detail::CheckMaskCovers(maskA, countA, VELM_HERE, c_Accumulate);
    detail::CheckMaskCovers(maskB, countB, VELM_HERE, c_Accumulate);
    std::vector<uint32_t> samples;
    detail::TakeSamples(derivedA->GetSampleOrder(), countA, maskA, limit, VELM_HERE, c_Accumulate, samples);

    const bool compareCurvature = qualityA.HasCurvature() && qualityB.HasCurvature();
    const int curvatureTolerance = TruncateToInt(config.GetCurvatureThreshold() * 255.0);
    const double testRange = config.GetTestRange();
    const float overlapRange = config.GetOverlapRange();
    const double overlapRangeSqr = static_cast<double>(overlapRange * overlapRange);

    auto& lut = Base::TQuantizedNormalMultiLevelLUT<CbVector3d>::lut;
    lut.Create();

    std::vector<uint32_t> neighbours;
    for (const uint32_t i : samples)
    {
        const float qA = qualityA.Quality(i);
        const CbVector3f P(T.TransformPoint(CbVector3d(positionA[i])));
        const CbVector3f movedNormal(R.TransformPoint(lut[normalA[i].uiCode]));
        const Base::CQuantizedNormal code(QuantizeNormal(movedNormal));

        dSumTestWeights += static_cast<double>(qA);

        neighbours.clear();
        treeB.FindInRadius(neighbours, P, static_cast<float>(testRange));
        detail::DropMasked(neighbours, maskB);

        if (!neighbours.empty())
        {
            dSumOverlapWeights += static_cast<double>(qA);
            uint32_t partner = neighbours.front();
            float nearest = detail::SquaredDistance(P, positionB[partner]);
            for (size_t n = 1; n < neighbours.size(); ++n)
            {
                const float d2 = detail::SquaredDistance(P, positionB[neighbours[n]]);
                if (d2 < nearest)
                {
                    nearest = d2;
                    partner = neighbours[n];
                }
            }
            if (!AreNormalsSimilar(code, normalB[partner]))
                continue;
            if (compareCurvature && std::abs(qualityA.Curvature(i) - qualityB.Curvature(partner)) >= curvatureTolerance)
                continue;
            dSumMatchedWeights += static_cast<double>(qA);
        }
        else
        {
            const uint32_t partner = treeB.FindNearest(P, FLT_MAX, 0);
            if (partner == 0xFFFFFFFFu || partner >= countB || (maskB && (*maskB)[partner] != 0))
                continue;
            if (overlapRangeSqr > static_cast<double>(detail::SquaredDistance(P, positionB[partner])))
                dSumOverlapWeights += static_cast<double>(qA);
        }
    }
}
} // namespace DataLayer
