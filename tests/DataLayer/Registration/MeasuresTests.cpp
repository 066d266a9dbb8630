#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

// The system of one pair of weight 2 and Jacobian J (right side 2 b J) added to `extra` in row 4.
static void ExpectSystem(const VelmTorPointToPlaneErrorSystemMatrix& s, const double (&J)[6], double b,
                         double extra = 0.0)
{
    for (int i = 0; i < 6; ++i)
    {
        EXPECT_DOUBLE_EQ(s.aRightSide[i], (i == 4 ? extra : 0.0) + 2.0 * b * J[i]) << i;
        for (int j = 0; j <= i; ++j)
            EXPECT_DOUBLE_EQ(s.aNormalMatrix[i * (i + 1) / 2 + j], 2.0 * J[i] * J[j]) << i << "," << j;
    }
}

TEST(SurfelEngineMeasures, RmseOffsetAndOverlapRepresentation)
{
    ProbeEngine engine; // without pairs
    engine.ComputeOverlapRepresentation();
    EXPECT_TRUE(engine.GetRMSE(CbMatrix4Rd()) == DBL_MAX && !engine.bbOverlap.box.IsValid() &&
                engine.GetResult()->GetSamplePoints().GetSigmaScale() == -1.0f);
    const CbVector3d up(0.0, 0.0, 1.0);
    engine.vecPairs = {{0, {1, 2, 3}, {1, 2, 3.5}, up, 1.0}, {0, {4, 0, 1}, {4, 0, 0.75}, up, 3.0}}; // 0.5, 0.25 off
    // Point to plane: moving along the plane changes nothing.
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd::Translation(7.0, -3.0, 0.0)), std::sqrt((0.25 + 3.0 * 0.0625) / 4.0));
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd::Translation(0.0, 0.0, 0.5)), std::sqrt(3.0 * 0.5625 / 4.0));

    // The mapped point is rounded to single precision; pairs of no weight give DBL_MAX, not 0/0.
    engine.vecPairs = {{0, {0.1, 0, 0}, {0.1, 0, 0}, {1, 0, 0}, 1.0}};
    EXPECT_EQ(engine.GetRMSE(CbMatrix4Rd()), std::fabs(0.1 - static_cast<double>(0.1f)));
    EXPECT_EQ((engine.vecPairs[0].dWeight = 0.0, engine.GetRMSE(CbMatrix4Rd())), DBL_MAX);

    // The offset is the mean movement of the six ellipsoid points: a half turn about z moves
    // (+-2, 0, 0) by 4, (0, +-1, 0) by 2 and the points on the z axis not at all.
    engine.ceFloat.Set(CbVector3d(0, 0, 0), CbVector3d(2, 0, 0), CbVector3d(0, 1, 0), CbVector3d(0, 0, 4), 1.0f);
    EXPECT_EQ(engine.GetOffset(CbMatrix4Rd::Translation(3.0, 4.0, 0.0)), 5.0);
    CbMatrix4Rd halfTurn;
    halfTurn.e[0] = halfTurn.e[5] = -1.0;
    EXPECT_EQ(engine.GetOffset(halfTurn), 12.0 / 6.0);

    // The overlap: fixed centroids far away, so only the floating ones count, weighted by the pair weights.
    const CbVector3d far(100, 100, 100);
    engine.vecPairs = {{0, {0, 0, 0}, far, up, 1.0},
                       {0, {4, 0, 0}, far, up, 3.0},
                       {0, {0, 2, 1}, far, up, 1.0},
                       {0, {4, 2, 1}, far, up, 3.0}};
    engine.ComputeOverlapRepresentation();
    EXPECT_EQ(std::make_pair(engine.bbOverlap.box.vMin, engine.bbOverlap.box.vMax),
              std::make_pair(CbVector3f(0, 0, 0), CbVector3f(4, 2, 1)));
    const CCovarianceEllipsoid& points = engine.GetResult()->GetSamplePoints();
    EXPECT_LE((points.GetCentre() - CbVector3d(3.0, 1.0, 0.5)).Length(), 1e-12);
    EXPECT_EQ(points.GetSigmaScale(), 1.0f);
}

TEST(SurfelEngineMeasures, QuotientsComeFromAFreshOverlapTest)
{
    Rig rig(PlacedSurfels(Grid(20, 20)), PlacedSurfels(Grid(20, 20)), 1, 2.0);
    (rig.config = SyntheticScans::EngineConfig()).SetNrTestSamples(400);
    auto quotients = [&](const CbMatrix4Rd& m) {
        rig.engine.SetTransform(m);
        rig.engine.ComputePairWeightsQuotient();
        const ProbeEngine& e = rig.engine;
        return std::make_tuple(e.dSumTestWeights, e.dOverlapQuotient, e.dPairWeightsQuotient);
    };
    EXPECT_EQ(quotients(CbMatrix4Rd()), std::make_tuple(400.0, 1.0, 1.0));
    // Shifted by 10 along x: columns mapped to x <= 20 match within fTestRange 1.5; the column at
    // x = 21 overlaps within fOverlapRange 3 without matching; x = 22 is exactly 3 away and does not overlap.
    EXPECT_EQ(quotients(CbMatrix4Rd::Translation(10.0, 0.0, 0.0)), std::make_tuple(400.0, 0.6, 220.0 / 240.0));
    // Disjoint: nothing is tested and both quotients are 0/0.
    const auto disjoint = quotients(CbMatrix4Rd::Translation(0.0, 0.0, 30.0));
    EXPECT_TRUE(std::get<0>(disjoint) == 0.0 && std::isnan(std::get<1>(disjoint)) && std::isnan(std::get<2>(disjoint)));
}

TEST(SurfelEngineErrorSystem, PairsEnterInTheCentredFrameAndTheRigidStepFollowsTheLinearMotion)
{
    // The fixed centroid is shifted by -vPairCentre, the floating one mapped by the transformation and the shift.
    ProbeEngine engine;
    engine.vecPairs = {{0, {4.0, 1.0, -2.0}, {6.0, 1.5, -1.0}, {0.0, 0.0, 1.0}, 2.0}};
    engine.SetTransform(CbMatrix4Rd::Translation(2.0, 0.5, 0.5)), engine.vPairCentre = CbVector3d(5.0, 1.0, -1.0);
    engine.adjustCOGTransformsFromTransform();
    VelmTorPointToPlaneErrorSystemMatrix system, onlyMatrix;
    system.aRightSide[4] = 10.0; // the system is added to, never reset
    engine.BuildMatrix(system, false);
    // Centred: p = (1, 0.5, -0.5), q = (1, 0.5, 0); r = -0.5; J = (n, p x n) = (0, 0, 1, 0.5, -1, 0).
    ExpectSystem(system, {0.0, 0.0, 1.0, 0.5, -1.0, 0.0}, 0.5, 10.0);

    // With the flag the fixed centroid stands in for the floating one: J is taken at q, no residual.
    engine.vecPairs[0].vCentroidFix = CbVector3d(7.0, 3.0, -1.0); // q = (2, 2, 0): J = (0, 0, 1, 2, -2, 0)
    engine.BuildMatrix(onlyMatrix, true);
    ExpectSystem(onlyMatrix, {0.0, 0.0, 1.0, 2.0, -2.0, 0.0}, 0.0);

    engine.ceFloat.Set(CbVector3d(1.0, 2.0, 0.5), CbVector3d(11.0, 2.0, 0.5), CbVector3d(1.0, 8.0, 0.5),
                       CbVector3d(1.0, 2.0, 2.5), 1.0f);
    engine.mCenteredTransform = CbMatrix4Rd::Translation(-1.0, -2.0, -0.5);
    const CbVector3d t(0.5, -0.25, 1.0), w(0.005, 0.01, -0.0075);
    // A rigid motion close to p + t + w x p on the six ellipsoid points; half the step, half the motion.
    for (double step : {0.0, 0.5, 1.0})
    {
        const CbMatrix4Rd m = engine.approximateRigidTransformation(t, w, step);
        const Eigen::Matrix3d R = AsEigen(m).topLeftCorner<3, 3>();
        EXPECT_LT((R.transpose() * R - Eigen::Matrix3d::Identity()).norm(), 1e-12) << step;
        for (int k = 0; k < 6; ++k)
        {
            const CbVector3d e = engine.mCenteredTransform.TransformPoint(CbVector3d(engine.ceFloat[k]));
            EXPECT_LT((m.TransformPoint(e) - (e + t * step + (w * step).Cross(e))).Length(), 0.005) << k;
        }
    }
}
