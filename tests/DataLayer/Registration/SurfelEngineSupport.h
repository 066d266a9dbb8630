#pragma once

#include "ScriptedEngine.h"
#include "SyntheticScans.h"

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/DataLayer/Registration/QuantizeNormal.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"

#include <eigen3/Eigen/Geometry>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace SurfelEngineTest
{
using DataLayer::SurfelPair;
using EngineTest::MessageOf;
using DataLayer::VelmTorCorrICPPointConfig;
using DataLayer::VelmTorCorrICPPointSC;

class ProbeEngine : public VelmTorCorrICPPointSC
{
    using SC = VelmTorCorrICPPointSC;

public:
    using SC::adjustCOGTransformsFromTransform, SC::approximateRigidTransformation, SC::BuildMatrix, SC::BuildPairs,
        SC::ComputeOverlapRepresentation, SC::ComputePairWeightsQuotient, SC::GetOffset, SC::GetRMSE,
        SC::SetDistanceThreshold;
    using SC::accBoundaryFix, SC::accBoundaryFloat, SC::accQualityFix, SC::accQualityFloat, SC::accWeightFix,
        SC::accWeightFloat, SC::bbOverlap, SC::bSurfelCountTooLow, SC::ceFloat, SC::dOverallSumOfPairWeights,
        SC::dOverlapQuotient, SC::dPairWeightsQuotient, SC::dRMSE, SC::dSumOfPairWeights, SC::dSumTestWeights,
        SC::mCenteredTransform, SC::pMaskFix, SC::pModelFix, SC::pModelFloat, SC::uiNrDepthImagePairs,
        SC::vecNearestResult, SC::vecNeighbourIndices, SC::vecPairs, SC::vPairCentre;
};

// Surfels at the given positions, all facing +z, sampled in index order.
inline Base::SSurfelData PlacedSurfels(const std::vector<CbVector3f>& positions)
{
    Base::SSurfelData data;
    data.vecPositions = positions, data.vecNormals.assign(positions.size(), CbVector3f(0.0f, 0.0f, 1.0f));
    for (uint32_t i = 0; i < positions.size(); ++i)
        data.vecSampleOrder.push_back(i);
    return data;
}

inline std::vector<CbVector3f> Grid(int nx, int ny)
{
    std::vector<CbVector3f> grid;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)
            grid.push_back(CbVector3f(static_cast<float>(x), static_cast<float>(y), 0.0f));
    return grid;
}

inline std::unique_ptr<Base::CSurfelCollection> Collection(Base::SSurfelData data)
{
    return std::make_unique<Base::CSurfelCollection>(std::move(data));
}

// Pair building on its own; the radius query is used unless a test lowers fQueryRadiusThreshold.
struct Rig
{
    std::unique_ptr<Base::CSurfelCollection> fix, flt;
    VelmTorCorrICPPointConfig config;
    ProbeEngine engine;

    Rig(Base::SSurfelData fixData, Base::SSurfelData floatData, unsigned int numberOfPairs, double threshold,
        float queryRadiusThreshold = 100.0f, const Base::CSurfelCollectionMask* maskFix = nullptr,
        const Base::CSurfelCollectionMask* maskFloat = nullptr)
        : fix(Collection(std::move(fixData))), flt(Collection(std::move(floatData)))
    {
        config.SetBoundingBoxBlowup(0.5f), config.SetNumberOfPairs(numberOfPairs);
        config.SetQueryRadiusThreshold(queryRadiusThreshold);
        engine.SetConfiguration(config);
        engine.SetModelFix(*fix, maskFix);
        engine.SetModelFloat(*flt, maskFloat);
        engine.SetDistanceThreshold(threshold);
    }
    const std::vector<SurfelPair>& Build()
    {
        engine.BuildPairs();
        return engine.vecPairs;
    }
};

// 61 x 61 surfels 1 mm apart from (x0, y0) on the synthetic surface, seen from the frame `scanToSurface` maps.
inline Base::SSurfelData Scan(double x0, double y0, const CbMatrix4Rd& scanToSurface)
{
    const SyntheticScans::SWindow window{x0, y0, 61, 61};
    return SyntheticScans::Surfels(SyntheticScans::Scan(window, scanToSurface.Inverted()));
}

// The library stores R(r, c) at e[4c + r] and the translation in e[12..14]: a column-major 4x4 matrix.
inline Eigen::Matrix4d AsEigen(const CbMatrix4Rd& m)
{
    return Eigen::Map<const Eigen::Matrix4d>(m.e);
}
inline CbMatrix4Rd RigidMotion(const Eigen::Vector3d& axis, double angle, const CbVector3d& t)
{
    CbMatrix4Rd m = CbMatrix4Rd::Translation(t.x, t.y, t.z);
    Eigen::Map<Eigen::Matrix4d>(m.e).topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).matrix();
    return m;
}

} // namespace SurfelEngineTest
