#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <eigen3/Eigen/Dense>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

using DataLayer::VelmTorPointToPlaneErrorSystemMatrix;

namespace
{
Eigen::Matrix<double, 6, 6> Unpack(const VelmTorPointToPlaneErrorSystemMatrix& s)
{
    Eigen::Matrix<double, 6, 6> A;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            A(i, j) = A(j, i) = s.aNormalMatrix[i * (i + 1) / 2 + j];
    return A;
}
} // namespace

TEST(ErrorSystem, ConstraintEntriesAndReset)
{
    VelmTorPointToPlaneErrorSystemMatrix s;
    for (double v : s.aNormalMatrix)
        EXPECT_EQ(v, 0.0);
    for (double v : s.aRightSide)
        EXPECT_EQ(v, 0.0);

    // p = (1, 2, 3), n = (0, 0, 1): J = (0, 0, 1, 2, -1, 0); r = 3 - 1 = 2.
    s.AddPointToPlaneConstraint({1, 2, 3}, {5, -7, 1}, {0, 0, 1}, 0.5);
    const double J[6] = {0, 0, 1, 2, -1, 0};
    for (int i = 0; i < 6; ++i)
    {
        for (int j = 0; j <= i; ++j)
            EXPECT_EQ(s.aNormalMatrix[i * (i + 1) / 2 + j], J[i] * 0.5 * J[j]) << i << "," << j;
        EXPECT_EQ(s.aRightSide[i], -J[i] * 0.5 * 2.0) << i;
    }
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 6, 6>> es(Unpack(s));
    int nonZero = 0;
    for (int i = 0; i < 6; ++i)
        nonZero += std::fabs(es.eigenvalues()(i)) > 1e-12 ? 1 : 0;
    EXPECT_EQ(nonZero, 1);

    // A point on the tangent plane adds to the matrix only.
    const double before = s.aRightSide[2];
    const double diagBefore = s.aNormalMatrix[5];
    s.AddPointToPlaneConstraint({4, 9, 1}, {0, 0, 1}, {0, 0, 1}, 2.0);
    EXPECT_EQ(s.aRightSide[2], before);
    EXPECT_EQ(s.aNormalMatrix[5], diagBefore + 2.0);

    s.Reset();
    for (double v : s.aNormalMatrix)
        EXPECT_EQ(v, 0.0);
    for (double v : s.aRightSide)
        EXPECT_EQ(v, 0.0);
}

TEST(ErrorSystem, SolveRecoversTheSmallMotionOfExactConstraints)
{
    // Targets moved to first order by p + t + w x p satisfy every constraint exactly, so the
    // least-squares solution is (t, w) itself.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const CbVector3d t(0.02, -0.01, 0.03), w(0.001, -0.002, 0.0015);
    VelmTorPointToPlaneErrorSystemMatrix s;
    for (int i = 0; i < 30; ++i)
    {
        const CbVector3d p(10 * u(rng), 10 * u(rng), 10 * u(rng));
        CbVector3d n(u(rng), u(rng), u(rng));
        n *= 1.0 / n.Length();
        const CbVector3d q = p + t + w.Cross(p);
        s.AddPointToPlaneConstraint(p, q, n, 0.5 + 0.1 * i);
    }
    CbVector3d ts, ws;
    ASSERT_TRUE(s.Solve(ts, ws));
    EXPECT_NEAR(ts.x, t.x, 1e-12);
    EXPECT_NEAR(ts.y, t.y, 1e-12);
    EXPECT_NEAR(ts.z, t.z, 1e-12);
    EXPECT_NEAR(ws.x, w.x, 1e-12);
    EXPECT_NEAR(ws.y, w.y, 1e-12);
    EXPECT_NEAR(ws.z, w.z, 1e-12);
}

TEST(ErrorSystem, SolveRefusesSystemsThatAreNotPositiveDefinite)
{
    const CbVector3d keepT(7, 7, 7), keepW(8, 8, 8);
    CbVector3d t = keepT, w = keepW;

    VelmTorPointToPlaneErrorSystemMatrix empty;
    EXPECT_FALSE(empty.Solve(t, w));

    // All normals parallel: translations in the plane are unconstrained.
    VelmTorPointToPlaneErrorSystemMatrix flat;
    for (int i = 0; i < 10; ++i)
        flat.AddPointToPlaneConstraint({double(i), double(i * i % 7), 0.1 * i}, {0, 0, 0}, {0, 0, 1}, 1.0);
    EXPECT_FALSE(flat.Solve(t, w));

    VelmTorPointToPlaneErrorSystemMatrix nan;
    for (int i = 0; i < 6; ++i)
        nan.aNormalMatrix[i * (i + 1) / 2 + i] = 1.0;
    nan.aNormalMatrix[9] = std::nan("");
    EXPECT_FALSE(nan.Solve(t, w));

    EXPECT_EQ(t, keepT);
    EXPECT_EQ(w, keepW);
}
