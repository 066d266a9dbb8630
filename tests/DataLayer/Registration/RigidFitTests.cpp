#include "DataLayer/EngineRigs.h"

using namespace EngineTest;

static Eigen::Matrix4d Fit(const PointList& a, const PointList& b)
{
    return AsEigen(VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b));
}

TEST(RigidFit, RecoversRandomRigidMotionsLikeAnIndependentFit)
{
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> coord(-50.0, 50.0), angle(-M_PI, M_PI);
    std::normal_distribution<double> noise(0.0, 0.05);
    auto random = [&] { return Eigen::Vector3d(coord(rng), coord(rng), coord(rng)); };
    int roundingShows = 0;
    for (int trial = 0; trial < 30; ++trial)
    {
        // Odd trials add noise; the SVD-based fit repeats each pair by its weight, the product of the qualities.
        const Eigen::Affine3d T = Eigen::Translation3d(random()) * Eigen::AngleAxisd(angle(rng), random().normalized());
        std::vector<Eigen::Vector3d> repeatedA, repeatedB;
        PointList a, b;
        for (int i = 0; i < 25; ++i)
        {
            const Eigen::Vector3d p = random(),
                                  q = T * p + (trial % 2 ? Eigen::Vector3d(noise(rng), noise(rng), noise(rng))
                                                         : Eigen::Vector3d::Zero());
            const int qa = 1 + int(rng() % 2), qb = 1 + int(rng() % 3);
            a.push_back({{p.x(), p.y(), p.z()}, qa * 8.0}), b.push_back({{q.x(), q.y(), q.z()}, qb * 0.25});
            repeatedA.insert(repeatedA.end(), qa * qb, p), repeatedB.insert(repeatedB.end(), qa * qb, q);
        }
        // A pair with quality 0 on either side has no influence at all, however wild its points.
        a.insert(a.end(), {{CbVector3d(1e4, -3e3, 7e3), 0.0}, {CbVector3d(4e3, 4e3, -4e3), 2.0}});
        b.insert(b.end(), {{CbVector3d(-5e3, 2e2, 9e3), 3.0}, {CbVector3d(1e3, 1e2, 1e1), 0.0}});
        const Eigen::Map<Eigen::Matrix3Xd> pa(repeatedA[0].data(), 3, repeatedA.size()),
            pb(repeatedB[0].data(), 3, repeatedB.size());
        const Eigen::Matrix4d expected = trial % 2 ? Eigen::Matrix4d(Eigen::umeyama(pa, pb, false)) : T.matrix();
        const Eigen::Matrix4d m = Fit(a, b);
        EXPECT_LT((m.topLeftCorner<3, 3>() - expected.topLeftCorner<3, 3>()).norm(), 1e-9) << trial;
        EXPECT_LT((m.topRightCorner<3, 1>() - expected.topRightCorner<3, 1>()).norm(), 1e-5) << trial;
        EXPECT_EQ(m.row(3), Eigen::RowVector4d(0, 0, 0, 1));
        // The translation carries the single-precision rounding of the rotated centre.
        CbVector3d cA, cB;
        VelmTorCorrICPPoint::getCentersOfGravity(a, b, cA, cB);
        const Eigen::Vector3d r = m.topLeftCorner<3, 3>() * Eigen::Vector3d(cA.x, cA.y, cA.z), c(cB.x, cB.y, cB.z),
                              tm = m.col(3).head(3);
        EXPECT_EQ(tm, c - r.cast<float>().cast<double>()) << trial;
        roundingShows += tm != c - r;
        // A second list longer than the first is read only as far as the first goes.
        b.push_back({CbVector3d(1e6, 1e6, 1e6), 100.0});
        EXPECT_EQ(Fit(a, b), m);
    }
    EXPECT_GT(roundingShows, 20);
}

TEST(RigidFit, DegenerateInputTheNineSumsAndJacobiFromTheLowerTriangleOnly)
{
    // Points on the x axis: N is diagonal with N00 = N11 = Sxx. Taking index 1 instead of 0 would be
    // a half turn about the line, which maps the line onto itself as well.
    const PointList line = {{{-2, 0, 0}, 1}, {{0, 0, 0}, 1}, {{1, 0, 0}, 1}, {{5, 0, 0}, 1}};
    EXPECT_EQ(Fit(line, line), Eigen::Matrix4d::Identity());
    // Empty input has no centre: identity rotation, non-finite translation, and no throw.
    const Eigen::Matrix4d empty = Fit({}, {});
    EXPECT_TRUE(empty(0, 0) == 1.0 && !std::isfinite(empty(0, 3)));

    // Centres weigh pairs by the product of their qualities; the sums overwrite what they are given.
    const PointList a = {{{1, 2, 3}, 2}, {{4, 5, 6}, 1}, {{0, -1, 2}, 1}};
    const PointList b = {{{0, 1, 0}, 0.5}, {{2, 0, 1}, 3}, {{1, 1, 1}, 1}};
    CbVector3d cA, cB;
    VelmTorCorrICPPoint::getCentersOfGravity(a, b, cA, cB);
    EXPECT_DOUBLE_EQ(cA.x, (1 * 1 + 4 * 3 + 0 * 1) / 5.0); // weights 1, 3, 1
    double s[9] = {123, 123, 123, 123, 123, 123, 123, 123, 123};
    VelmTorCorrICPPoint::buildMatrixElements(a, b, cA, cB, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8]);
    EXPECT_NEAR(s[1], -1.6 * 0.6 * 1 + 1.4 * -0.4 * 3 + -2.6 * 0.6 * 1, 1e-14); // Sxy
    EXPECT_EQ(
        AsEigen(VelmTorCorrICPPoint::computeTransform(cA, cB, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8])),
        Fit(a, b));

    // Jacobi decomposes from the lower triangle only.
    const double M[16] = {4, 1, -2, 0.5, 1, 3, 0.25, 1, -2, 0.25, -1, 2, 0.5, 1, 2, 0.5};
    double A[16], V[16];
    std::copy(M, M + 16, A);
    A[1] = A[2] = A[3] = A[6] = A[7] = A[11] = std::nan(""); // the upper triangle is never read
    ASSERT_TRUE(ScriptedEngine::jacobiEigenDecomposition(A, V));
    // Row k of V (column k of the column-major map) is the unit eigenvector of diagonal element k.
    const Eigen::Matrix4d Em(M), Vm(V);
    const Eigen::Vector4d values(A[0], A[5], A[10], A[15]);
    EXPECT_LT((Vm.transpose() * Vm - Eigen::Matrix4d::Identity()).norm(), 1e-12);
    EXPECT_LT((Em * Vm - Vm * values.asDiagonal()).norm(), 1e-9);
    // The strictly upper part of the column-major map holds what is left off the diagonal.
    EXPECT_LT(Eigen::Matrix4d(A).triangularView<Eigen::StrictlyUpper>().toDenseMatrix().cwiseAbs().sum(), 1e-9);
}
