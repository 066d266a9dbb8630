#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <eigen3/Eigen/Dense>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using DataLayer::VelmTorCorrICPPoint;
using DataLayer::VelmTorQualityPointCCT;
using PointList = std::vector<VelmTorQualityPointCCT>;

namespace
{
// Reaches the protected Jacobi routine without constructing an engine.
struct JacobiAccess : VelmTorCorrICPPoint
{
    using VelmTorCorrICPPoint::jacobiEigenDecomposition;
};

CbVector3d Apply(const Eigen::Matrix3d& R, const Eigen::Vector3d& t, const CbVector3d& p)
{
    const Eigen::Vector3d q = R * Eigen::Vector3d(p.x, p.y, p.z) + t;
    return {q.x(), q.y(), q.z()};
}

// Independent weighted fit by the SVD of the cross-covariance (with reflection guard).
void SvdFit(const PointList& a, const PointList& b, Eigen::Matrix3d& R, Eigen::Vector3d& t)
{
    Eigen::Vector3d ca = Eigen::Vector3d::Zero(), cb = Eigen::Vector3d::Zero();
    double W = 0;
    for (size_t i = 0; i < a.size(); ++i)
    {
        const double w = a[i].dQuality * b[i].dQuality;
        W += w;
        ca += w * Eigen::Vector3d(a[i].vPosition.x, a[i].vPosition.y, a[i].vPosition.z);
        cb += w * Eigen::Vector3d(b[i].vPosition.x, b[i].vPosition.y, b[i].vPosition.z);
    }
    ca /= W;
    cb /= W;
    Eigen::Matrix3d H = Eigen::Matrix3d::Zero();
    for (size_t i = 0; i < a.size(); ++i)
    {
        const double w = a[i].dQuality * b[i].dQuality;
        H += w * (Eigen::Vector3d(a[i].vPosition.x, a[i].vPosition.y, a[i].vPosition.z) - ca) *
             (Eigen::Vector3d(b[i].vPosition.x, b[i].vPosition.y, b[i].vPosition.z) - cb).transpose();
    }
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(H, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d D = Eigen::Matrix3d::Identity();
    D(2, 2) = (svd.matrixV() * svd.matrixU().transpose()).determinant() < 0 ? -1.0 : 1.0;
    R = svd.matrixV() * D * svd.matrixU().transpose();
    t = cb - R * ca;
}

Eigen::Matrix3d RotationOf(const CbMatrix4Rd& m)
{
    Eigen::Matrix3d R;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            R(r, c) = m.e[4 * c + r];
    return R;
}
} // namespace

TEST(RigidFit, RecoversRandomRigidMotionsLikeAnIndependentFit)
{
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> coord(-50.0, 50.0);
    std::uniform_real_distribution<double> quality(0.1, 2.0);
    std::uniform_real_distribution<double> angle(-M_PI, M_PI);
    std::normal_distribution<double> noise(0.0, 0.05);

    for (int trial = 0; trial < 40; ++trial)
    {
        const Eigen::Vector3d axis = Eigen::Vector3d(coord(rng), coord(rng), coord(rng)).normalized();
        const Eigen::Matrix3d R = Eigen::AngleAxisd(angle(rng), axis).toRotationMatrix();
        const Eigen::Vector3d t(coord(rng), coord(rng), coord(rng));
        const bool noisy = trial % 2 == 1;

        PointList a, b;
        for (int i = 0; i < 25; ++i)
        {
            const CbVector3d p(coord(rng), coord(rng), coord(rng));
            CbVector3d q = Apply(R, t, p);
            if (noisy)
                q += CbVector3d(noise(rng), noise(rng), noise(rng));
            a.push_back({p, quality(rng)});
            b.push_back({q, quality(rng)});
        }
        const CbMatrix4Rd m = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b);

        Eigen::Matrix3d Rs;
        Eigen::Vector3d ts;
        SvdFit(a, b, Rs, ts);
        const Eigen::Matrix3d Rm = RotationOf(m);
        EXPECT_LT((Rm - Rs).norm(), 1e-9) << "trial " << trial;
        EXPECT_LT((Rm * Rm.transpose() - Eigen::Matrix3d::Identity()).norm(), 1e-12);
        EXPECT_NEAR(Rm.determinant(), 1.0, 1e-12);
        // The translation carries the single-precision rounding of the rotated centre.
        EXPECT_LT((Eigen::Vector3d(m.e[12], m.e[13], m.e[14]) - ts).norm(), 1e-5) << "trial " << trial;
        if (!noisy)
        {
            EXPECT_LT((Rm - R).norm(), 1e-9);
            EXPECT_LT((Eigen::Vector3d(m.e[12], m.e[13], m.e[14]) - t).norm(), 1e-5);
        }
        EXPECT_EQ(m.e[3], 0.0);
        EXPECT_EQ(m.e[7], 0.0);
        EXPECT_EQ(m.e[11], 0.0);
        EXPECT_EQ(m.e[15], 1.0);
    }
}

TEST(RigidFit, WeightsAreQualityProductsAndScaleFree)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> coord(-10.0, 10.0);
    const Eigen::Matrix3d R = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
    const Eigen::Vector3d t(1, -2, 3);
    PointList a, b;
    for (int i = 0; i < 12; ++i)
    {
        const CbVector3d p(coord(rng), coord(rng), coord(rng));
        a.push_back({p, 0.5 + i * 0.1});
        b.push_back({Apply(R, t, p) + CbVector3d(0.01 * i, -0.02, 0.005 * i), 1.5 - i * 0.05});
    }
    const CbMatrix4Rd base = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b);

    // Scaling every quality by one factor changes nothing.
    PointList a2 = a, b2 = b;
    for (auto& p : a2)
        p.dQuality *= 8.0;
    for (auto& p : b2)
        p.dQuality *= 0.25;
    const CbMatrix4Rd scaled = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a2, b2);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(scaled.e[i], base.e[i], 1e-9) << i;

    // A pair with quality 0 on either side has no influence at all, however wild its points.
    PointList a3 = a, b3 = b;
    a3.push_back({CbVector3d(1e4, -3e3, 7e3), 0.0});
    b3.push_back({CbVector3d(-5e3, 2e2, 9e3), 3.0});
    a3.push_back({CbVector3d(4e3, 4e3, -4e3), 2.0});
    b3.push_back({CbVector3d(1e3, 1e2, 1e1), 0.0});
    const CbMatrix4Rd withZero = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a3, b3);
    EXPECT_EQ(withZero, base);

    // A second list longer than the first is read only as far as the first goes.
    b3 = b;
    b3.push_back({CbVector3d(1e6, 1e6, 1e6), 100.0});
    EXPECT_EQ(VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b3), base);
}

TEST(RigidFit, TranslationCarriesSinglePrecisionRoundingOfTheRotatedCentre)
{
    // A centre far from the origin: the rotated centre is rounded to float before the subtraction.
    const Eigen::Matrix3d R = Eigen::AngleAxisd(0.3, Eigen::Vector3d(0.2, -0.5, 1).normalized()).toRotationMatrix();
    const Eigen::Vector3d t(0.123456789, -0.987654321, 0.5);
    PointList a, b;
    const CbVector3d offsets[5] = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}, {3, 7, -2}};
    for (const CbVector3d& o : offsets)
    {
        const CbVector3d p = CbVector3d(1000.3, 999.7, 1000.1) + o;
        a.push_back({p, 1.0});
        b.push_back({Apply(R, t, p), 1.0});
    }
    const CbMatrix4Rd m = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b);
    CbVector3d cA, cB;
    VelmTorCorrICPPoint::getCentersOfGravity(a, b, cA, cB);

    const double rx = m.e[0] * cA.x + m.e[4] * cA.y + m.e[8] * cA.z;
    const double ry = m.e[1] * cA.x + m.e[5] * cA.y + m.e[9] * cA.z;
    const double rz = m.e[2] * cA.x + m.e[6] * cA.y + m.e[10] * cA.z;
    EXPECT_EQ(m.e[12], cB.x - static_cast<double>(static_cast<float>(rx)));
    EXPECT_EQ(m.e[13], cB.y - static_cast<double>(static_cast<float>(ry)));
    EXPECT_EQ(m.e[14], cB.z - static_cast<double>(static_cast<float>(rz)));
    const bool differsFromDouble = m.e[12] != cB.x - rx || m.e[13] != cB.y - ry || m.e[14] != cB.z - rz;
    EXPECT_TRUE(differsFromDouble);
    EXPECT_NEAR(m.e[12], t.x(), 1e-4);
    EXPECT_NEAR(m.e[13], t.y(), 1e-4);
    EXPECT_NEAR(m.e[14], t.z(), 1e-4);
}

TEST(RigidFit, IdenticalAndDegenerateListsKeepTheLowestIndexAmongEqualEigenvalues)
{
    PointList a = {{{1, 2, 3}, 1}, {{-4, 0.5, 2}, 1}, {{0.25, -1, 7}, 2}, {{3, 3, -3}, 1}};
    CbMatrix4Rd m = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, a);
    for (int i = 0; i < 12; ++i)
        EXPECT_NEAR(m.e[i], CbMatrix4Rd::Identity().e[i], 1e-12) << i;
    EXPECT_NEAR(m.e[12], 0.0, 1e-6);
    EXPECT_NEAR(m.e[13], 0.0, 1e-6);
    EXPECT_NEAR(m.e[14], 0.0, 1e-6);

    // Points on the x axis: N is diagonal with N00 = N11 = Sxx. Taking index 1 instead of 0 would be
    // a half turn about the line, which maps the line onto itself as well.
    PointList line = {{{-2, 0, 0}, 1}, {{0, 0, 0}, 1}, {{1, 0, 0}, 1}, {{5, 0, 0}, 1}};
    m = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(line, line);
    EXPECT_EQ(m.e[0], 1.0);
    EXPECT_EQ(m.e[5], 1.0);
    EXPECT_EQ(m.e[10], 1.0);
    EXPECT_EQ(m.e[1], 0.0);
    EXPECT_EQ(m.e[6], 0.0);

    // Empty input has no centre: identity rotation, non-finite translation, and no throw.
    m = VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences({}, {});
    EXPECT_EQ(m.e[0], 1.0);
    EXPECT_FALSE(std::isfinite(m.e[12]));
}

TEST(RigidFit, BuildMatrixElementsOverwritesAndUsesTheGivenCentres)
{
    const PointList a = {{{1, 2, 3}, 2}, {{4, 5, 6}, 1}, {{0, -1, 2}, 1}};
    const PointList b = {{{0, 1, 0}, 0.5}, {{2, 0, 1}, 3}, {{1, 1, 1}, 1}};
    CbVector3d cA(9, 9, 9), cB(9, 9, 9);
    VelmTorCorrICPPoint::getCentersOfGravity(a, b, cA, cB);
    EXPECT_DOUBLE_EQ(cA.x, (1 * 1 + 4 * 3 + 0 * 1) / 5.0); // weights 1, 3, 1
    EXPECT_DOUBLE_EQ(cB.z, (0 * 1 + 1 * 3 + 1 * 1) / 5.0);

    double s[9];
    for (double& v : s)
        v = 123.0;
    VelmTorCorrICPPoint::buildMatrixElements(a, b, cA, cB, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8]);
    EXPECT_NEAR(s[1], -1.6 * 0.6 * 1 + 1.4 * -0.4 * 3 + -2.6 * 0.6 * 1, 1e-14); // Sxy
    EXPECT_EQ(VelmTorCorrICPPoint::computeTransform(cA, cB, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8]),
              VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(a, b));

    // Other centres give other sums: they are used, not recomputed.
    VelmTorCorrICPPoint::buildMatrixElements(a, b, CbVector3d(), CbVector3d(), s[0], s[1], s[2], s[3], s[4], s[5],
                                             s[6], s[7], s[8]);
    EXPECT_DOUBLE_EQ(s[0], 1 * 0 * 1 + 4 * 2 * 3 + 0 * 1 * 1); // Sxx about the origin
}

TEST(RigidFit, JacobiDecomposesFromTheLowerTriangleOnly)
{
    const double M[16] = {4, 1, -2, 0.5, 1, 3, 0.25, 1, -2, 0.25, -1, 2, 0.5, 1, 2, 0.5};
    double A[16];
    double V[16];
    for (int i = 0; i < 16; ++i)
        A[i] = M[i];
    // The upper triangle is never read.
    A[1] = A[2] = A[3] = A[6] = A[7] = A[11] = std::nan("");
    ASSERT_TRUE(JacobiAccess::jacobiEigenDecomposition(A, V));

    Eigen::Matrix4d E;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            E(r, c) = M[r * 4 + c];
    for (int k = 0; k < 4; ++k)
    {
        const Eigen::Vector4d v(V[k * 4], V[k * 4 + 1], V[k * 4 + 2], V[k * 4 + 3]);
        EXPECT_NEAR(v.norm(), 1.0, 1e-12);
        EXPECT_LT((E * v - A[k * 5] * v).norm(), 1e-9) << "eigenpair " << k;
    }
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < r; ++c)
            EXPECT_LT(std::fabs(A[r * 4 + c]), 1e-10);
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix4d> es(E);
    double diag[4] = {A[0], A[5], A[10], A[15]};
    std::sort(diag, diag + 4);
    for (int k = 0; k < 4; ++k)
        EXPECT_NEAR(diag[k], es.eigenvalues()(k), 1e-9);

    // A diagonal matrix needs no rotation.
    double D[16] = {1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4};
    EXPECT_TRUE(JacobiAccess::jacobiEigenDecomposition(D, V));
    EXPECT_EQ(V[0], 1.0);
    EXPECT_EQ(D[15], 4.0);
}
