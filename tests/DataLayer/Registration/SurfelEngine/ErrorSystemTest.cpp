#include "SurfelEngineSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace SurfelEngineTest;
using DataLayer::VelmTorPointToPlaneErrorSystemMatrix;

namespace
{
SurfelPair Pair(const CbVector3d& floatCentroid, const CbVector3d& fixCentroid, const CbVector3d& normal, double w)
{
    SurfelPair pair;
    pair.vCentroidFloat = floatCentroid;
    pair.vCentroidFix = fixCentroid;
    pair.vNormalFix = normal;
    pair.dWeight = w;
    return pair;
}

CbVector3d RandomUnit(std::mt19937& rng)
{
    std::normal_distribution<double> g;
    CbVector3d v(g(rng), g(rng), g(rng));
    return v * (1.0 / v.Length());
}

double Entry(const VelmTorPointToPlaneErrorSystemMatrix& s, int i, int j)
{
    return i >= j ? s.aNormalMatrix[i * (i + 1) / 2 + j] : s.aNormalMatrix[j * (j + 1) / 2 + i];
}

CbVector3d Rounded(const CbVector3d& v)
{
    return CbVector3d(CbVector3f(v));
}
} // namespace

TEST(SurfelEngineErrorSystem, NormalEquationsRecoverALinearMotion)
{
    // Fixed centroids are the floating ones moved by p + t + w x p exactly; the solution of the
    // normal equations is that motion.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> coordinate(-20.0, 20.0);
    std::uniform_real_distribution<double> weight(0.5, 4.0);
    const CbVector3d t(0.3, -0.2, 0.15);
    const CbVector3d w(0.004, -0.006, 0.003);

    ProbeEngine engine;
    for (int k = 0; k < 200; ++k)
    {
        const CbVector3d p = Rounded(CbVector3d(coordinate(rng), coordinate(rng), coordinate(rng)));
        const CbVector3d q = p + t + w.Cross(p);
        engine.vecPairs.push_back(Pair(p, q, RandomUnit(rng), weight(rng)));
    }
    VelmTorPointToPlaneErrorSystemMatrix system;
    engine.BuildMatrix(system, false);

    CbVector3d tSolved, wSolved;
    ASSERT_TRUE(system.Solve(tSolved, wSolved));
    // Only the rounding of q to single precision separates the solution from the motion.
    EXPECT_NEAR(tSolved.x, t.x, 1e-5);
    EXPECT_NEAR(tSolved.y, t.y, 1e-5);
    EXPECT_NEAR(tSolved.z, t.z, 1e-5);
    EXPECT_NEAR(wSolved.x, w.x, 1e-6);
    EXPECT_NEAR(wSolved.y, w.y, 1e-6);
    EXPECT_NEAR(wSolved.z, w.z, 1e-6);

    // The matrix is symmetric positive semi-definite: every quadratic form is >= 0.
    for (int trial = 0; trial < 20; ++trial)
    {
        double x[6];
        for (double& v : x)
            v = coordinate(rng);
        double form = 0.0;
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j)
                form += x[i] * Entry(system, i, j) * x[j];
        EXPECT_GE(form, 0.0);
    }
}

TEST(SurfelEngineErrorSystem, OnePairAddsItsJacobianAndResidual)
{
    ProbeEngine engine;
    const CbVector3d p(1.0, 2.0, 3.0);
    const CbVector3d n(0.0, 0.6, 0.8);
    const CbVector3d q(1.0, 2.0, 2.5); // p lies 0.4 in front of the plane through q
    engine.vecPairs.push_back(Pair(p, q, n, 2.0));

    VelmTorPointToPlaneErrorSystemMatrix system;
    system.aRightSide[4] = 10.0; // the system is added to, never reset
    engine.BuildMatrix(system, false);

    const CbVector3d c = p.Cross(n);
    const double J[6] = {n.x, n.y, n.z, c.x, c.y, c.z};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            EXPECT_NEAR(Entry(system, i, j), 2.0 * J[i] * J[j], 1e-12) << i << "," << j;
    const double r = (p - q).Dot(n);
    EXPECT_NEAR(r, 0.4, 1e-12);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(system.aRightSide[i], (i == 4 ? 10.0 : 0.0) - 2.0 * J[i] * r, 1e-12) << i;

    // With the flag the fixed centroid stands in for the floating one: the matrix grows with the
    // Jacobian at q, the right side not at all.
    VelmTorPointToPlaneErrorSystemMatrix onlyMatrix;
    onlyMatrix.aRightSide[0] = 3.0;
    engine.BuildMatrix(onlyMatrix, true);
    const CbVector3d cq = q.Cross(n);
    const double Jq[6] = {n.x, n.y, n.z, cq.x, cq.y, cq.z};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            EXPECT_NEAR(Entry(onlyMatrix, i, j), 2.0 * Jq[i] * Jq[j], 1e-12) << i << "," << j;
    EXPECT_EQ(onlyMatrix.aRightSide[0], 3.0);
    for (int i = 1; i < 6; ++i)
        EXPECT_EQ(onlyMatrix.aRightSide[i], 0.0);

    // A floating centroid already on the plane adds no residual.
    engine.vecPairs[0].vCentroidFix = p + CbVector3d(0.8, -0.4, 0.3); // tangential: (0.8,-0.4,0.3).n = 0
    VelmTorPointToPlaneErrorSystemMatrix onPlane;
    engine.BuildMatrix(onPlane, false);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(onPlane.aRightSide[i], 0.0, 1e-6); // q is rounded to single precision

    // No pairs, no change.
    engine.vecPairs.clear();
    VelmTorPointToPlaneErrorSystemMatrix untouched;
    engine.BuildMatrix(untouched, false);
    for (int k = 0; k < 21; ++k)
        EXPECT_EQ(untouched.aNormalMatrix[k], 0.0);
}

TEST(SurfelEngineErrorSystem, PointsAreTakenInTheCentredFrame)
{
    // The fixed centroid is shifted by -vPairCentre, the floating one mapped by the centred
    // transformation (current transformation, then the same shift).
    ProbeEngine engine;
    const CbVector3d p(4.0, 1.0, -2.0);
    const CbVector3d n(0.0, 0.0, 1.0);
    engine.vecPairs.push_back(Pair(p, CbVector3d(6.0, 1.5, -1.0), n, 1.0));
    engine.SetTransform(CbMatrix4Rd::Translation(2.0, 0.5, 0.5));
    engine.vPairCentre = CbVector3d(5.0, 1.0, -1.0);
    engine.adjustCOGTransformsFromTransform();

    VelmTorPointToPlaneErrorSystemMatrix system;
    engine.BuildMatrix(system, false);
    // Centred: p -> (1, 0.5, -0.5), q -> (1, 0.5, 0); r = -0.5; J = (n, p x n) = (0,0,1, 0.5,-1,0).
    const double J[6] = {0.0, 0.0, 1.0, 0.5, -1.0, 0.0};
    for (int i = 0; i < 6; ++i)
    {
        EXPECT_DOUBLE_EQ(system.aRightSide[i], 0.5 * J[i]) << i;
        for (int j = 0; j <= i; ++j)
            EXPECT_DOUBLE_EQ(Entry(system, i, j), J[i] * J[j]) << i << "," << j;
    }
}

TEST(SurfelEngineErrorSystem, RigidApproximationFollowsTheLinearMotion)
{
    ProbeEngine engine;
    engine.ceFloat.Set(CbVector3d(1.0, 2.0, 0.5), CbVector3d(11.0, 2.0, 0.5), CbVector3d(1.0, 8.0, 0.5),
                       CbVector3d(1.0, 2.0, 2.5), 1.0f);
    engine.mCenteredTransform = CbMatrix4Rd::Translation(-1.0, -2.0, -0.5);

    // No step is (up to rounding) no motion.
    const CbVector3d t(0.5, -0.25, 1.0);
    const CbVector3d w(0.005, 0.01, -0.0075);
    const CbMatrix4Rd still = engine.approximateRigidTransformation(t, w, 0.0);
    EXPECT_LT(RotationError(still, CbMatrix4Rd()), 1e-12);
    EXPECT_LT(TranslationError(still, CbMatrix4Rd()), 1e-6);

    // A pure translation comes back as that translation.
    const CbMatrix4Rd shift = engine.approximateRigidTransformation(t, CbVector3d(), 1.0);
    EXPECT_LT(RotationError(shift, CbMatrix4Rd()), 1e-12);
    EXPECT_LT(TranslationError(shift, CbMatrix4Rd::Translation(t.x, t.y, t.z)), 1e-6);

    // A small rotation yields a rigid motion that agrees with p + t + w x p to second order on the
    // six ellipsoid points, and half the step gives half the rotation.
    for (double step : {1.0, 0.5})
    {
        const CbMatrix4Rd m = engine.approximateRigidTransformation(t, w, step);
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
            {
                double dot = 0.0;
                for (int r = 0; r < 3; ++r)
                    dot += m.e[4 * a + r] * m.e[4 * b + r];
                EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12);
            }
        EXPECT_NEAR(m.e[6], step * w.x, 1e-3 * step); // R(2,1) ~ w.x
        EXPECT_NEAR(m.e[8], step * w.y, 1e-3 * step); // R(0,2) ~ w.y
        EXPECT_NEAR(m.e[1], step * w.z, 1e-3 * step); // R(1,0) ~ w.z
        for (int k = 0; k < 6; ++k)
        {
            const CbVector3d e = engine.mCenteredTransform.TransformPoint(CbVector3d(engine.ceFloat[k]));
            const CbVector3d linear = e + t * step + (w * step).Cross(e);
            const CbVector3d rigid = m.TransformPoint(e);
            EXPECT_LT((rigid - linear).Length(), 0.005) << k;
        }
    }
}
