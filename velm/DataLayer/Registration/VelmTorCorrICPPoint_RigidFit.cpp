#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <cmath>

namespace DataLayer
{
namespace
{
// Dense 4x4 working matrix, element (row, column) at [row * 4 + column], zero-filled.
struct Dense4x4
{
    double a[16] = {};
    double& operator()(int r, int c) { return a[r * 4 + c]; }
};
} // namespace

bool VelmTorCorrICPPoint::jacobiEigenDecomposition(double* A, double* V)
{
    auto a = [A](int r, int c) -> double& { return A[r * 4 + c]; };
    auto v = [V](int r, int c) -> double& { return V[r * 4 + c]; };

    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            v(r, c) = (r == c) ? 1.0 : 0.0;

    // The pivots below the diagonal, in the order in which they are scanned.
    static const int kRows[6] = {1, 2, 3, 2, 3, 3};
    static const int kCols[6] = {0, 0, 0, 1, 1, 2};

    for (int rotation = 0; rotation < 49; ++rotation)
    {
        int p = kRows[0];
        int q = kCols[0];
        double largest = std::fabs(a(p, q));
        for (int k = 1; k < 6; ++k)
        {
            const double candidate = std::fabs(a(kRows[k], kCols[k]));
            if (candidate > largest)
            {
                largest = candidate;
                p = kRows[k];
                q = kCols[k];
            }
        }
        // An absolute bound: the fitted matrices are built from sums of products of coordinates,
        // whose scale the caller controls.
        if (largest < 1e-10)
            return true;

        const double apq = a(p, q);
        const double theta = (a(p, p) - a(q, q)) * 0.5 / apq;
        const double sigma = theta < 0.0 ? -1.0 : 1.0;
        const double t = sigma / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        const double tau = s / (1.0 + c);
        const double h = t * apq;

        a(p, q) = 0.0;
        auto rotate = [s, tau](double& x, double& g) {
            const double x0 = x;
            const double g0 = g;
            x = x0 - s * (g0 + x0 * tau);
            g = g0 + s * (x0 - g0 * tau);
        };
        for (int j = 0; j < q; ++j)
            rotate(a(q, j), a(p, j));
        for (int j = q + 1; j < p; ++j)
            rotate(a(j, q), a(p, j));
        for (int j = p + 1; j < 4; ++j)
            rotate(a(j, q), a(j, p));
        for (int k = 0; k < 4; ++k)
            rotate(v(q, k), v(p, k));
        a(q, q) = a(q, q) - h;
        a(p, p) = a(p, p) + h;
    }
    return false;
}

void VelmTorCorrICPPoint::getCentersOfGravity(const std::vector<VelmTorQualityPointCCT>& listA,
                                              const std::vector<VelmTorQualityPointCCT>& listB, CbVector3d& centreA,
                                              CbVector3d& centreB)
{
    centreA = CbVector3d();
    centreB = CbVector3d();
    double weightSum = 0.0;
    for (size_t i = 0; i < listA.size(); ++i)
    {
        const CbVector3d& a = listA[i].vPosition;
        const CbVector3d& b = listB[i].vPosition;
        const double w = listB[i].dQuality * listA[i].dQuality;
        weightSum += w;
        centreA.x += w * a.x;
        centreA.y += w * a.y;
        centreA.z += w * a.z;
        centreB.x += w * b.x;
        centreB.y += w * b.y;
        centreB.z += w * b.z;
    }
    const double reciprocal = 1.0 / weightSum;
    centreA *= reciprocal;
    centreB *= reciprocal;
}

namespace
{
struct CrossSums
{
    double xx = 0, xy = 0, xz = 0, yx = 0, yy = 0, yz = 0, zx = 0, zy = 0, zz = 0;

    void Add(const VelmTorQualityPointCCT& pa, const VelmTorQualityPointCCT& pb, const CbVector3d& centreA,
             const CbVector3d& centreB)
    {
        const double ax = pa.vPosition.x - centreA.x;
        const double ay = pa.vPosition.y - centreA.y;
        const double az = pa.vPosition.z - centreA.z;
        const double bx = pb.vPosition.x - centreB.x;
        const double by = pb.vPosition.y - centreB.y;
        const double bz = pb.vPosition.z - centreB.z;
        const double w = pb.dQuality * pa.dQuality;
        xx += (ax * bx) * w;
        xy += (ax * by) * w;
        xz += (ax * bz) * w;
        yx += (ay * bx) * w;
        yy += (ay * by) * w;
        yz += (ay * bz) * w;
        zx += (az * bx) * w;
        zy += (az * by) * w;
        zz += (az * bz) * w;
    }
};
} // namespace

void VelmTorCorrICPPoint::buildMatrixElements(const std::vector<VelmTorQualityPointCCT>& listA,
                                              const std::vector<VelmTorQualityPointCCT>& listB,
                                              const CbVector3d& centreA, const CbVector3d& centreB, double& Sxx,
                                              double& Sxy, double& Sxz, double& Syx, double& Syy, double& Syz,
                                              double& Szx, double& Szy, double& Szz)
{
    CrossSums sums;
    for (size_t i = 0; i < listA.size(); ++i)
        sums.Add(listA[i], listB[i], centreA, centreB);
    Sxx = sums.xx;
    Sxy = sums.xy;
    Sxz = sums.xz;
    Syx = sums.yx;
    Syy = sums.yy;
    Syz = sums.yz;
    Szx = sums.zx;
    Szy = sums.zy;
    Szz = sums.zz;
}

CbMatrix4Rd VelmTorCorrICPPoint::computeTransform(const CbVector3d& centreA, const CbVector3d& centreB, double Sxx,
                                                  double Sxy, double Sxz, double Syx, double Syy, double Syz,
                                                  double Szx, double Szy, double Szz)
{
    // Row and column 0 belong to the scalar part of the quaternion.
    Dense4x4 N;
    N(0, 0) = Sxx + Syy + Szz;
    N(1, 1) = Sxx - Syy - Szz;
    N(2, 2) = Syy - Sxx - Szz;
    N(3, 3) = -Sxx - Syy + Szz;
    N(0, 1) = N(1, 0) = Syz - Szy;
    N(0, 2) = N(2, 0) = Szx - Sxz;
    N(0, 3) = N(3, 0) = Sxy - Syx;
    N(1, 2) = N(2, 1) = Sxy + Syx;
    N(1, 3) = N(3, 1) = Sxz + Szx;
    N(2, 3) = N(3, 2) = Syz + Szy;

    Dense4x4 V;
    // After the rotation limit the current estimate is still the best one available.
    jacobiEigenDecomposition(N.a, V.a);

    int k = 0;
    double largest = N(0, 0);
    for (int i = 1; i < 4; ++i)
    {
        if (N(i, i) > largest)
        {
            largest = N(i, i);
            k = i;
        }
    }

    const double length = std::sqrt(V(k, 0) * V(k, 0) + V(k, 1) * V(k, 1) + V(k, 2) * V(k, 2) + V(k, 3) * V(k, 3));
    const double inv = 1.0 / length;
    const double q0 = V(k, 0) * inv;
    const double q1 = V(k, 1) * inv;
    const double q2 = V(k, 2) * inv;
    const double q3 = V(k, 3) * inv;

    const double r00 = q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3;
    const double r11 = q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3;
    const double r22 = q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3;
    const double r10 = 2.0 * (q1 * q2 + q0 * q3);
    const double r20 = 2.0 * (q1 * q3 - q0 * q2);
    const double r01 = 2.0 * (q1 * q2 - q0 * q3);
    const double r21 = 2.0 * (q2 * q3 + q0 * q1);
    const double r02 = 2.0 * (q1 * q3 + q0 * q2);
    const double r12 = 2.0 * (q2 * q3 - q0 * q1);

    CbMatrix4Rd m;
    m.e[0] = r00;
    m.e[1] = r10;
    m.e[2] = r20;
    m.e[3] = 0.0;
    m.e[4] = r01;
    m.e[5] = r11;
    m.e[6] = r21;
    m.e[7] = 0.0;
    m.e[8] = r02;
    m.e[9] = r12;
    m.e[10] = r22;
    m.e[11] = 0.0;

    // The rotated centre passes through single precision; the translation keeps that rounding.
    const double rx = static_cast<float>(r00 * centreA.x + r01 * centreA.y + r02 * centreA.z);
    const double ry = static_cast<float>(r10 * centreA.x + r11 * centreA.y + r12 * centreA.z);
    const double rz = static_cast<float>(r20 * centreA.x + r21 * centreA.y + r22 * centreA.z);
    m.e[12] = centreB.x - rx;
    m.e[13] = centreB.y - ry;
    m.e[14] = centreB.z - rz;
    m.e[15] = 1.0;
    return m;
}

CbMatrix4Rd VelmTorCorrICPPoint::getMinimizingTransformPointToPointCorrespondences(
    const std::vector<VelmTorQualityPointCCT>& listA, const std::vector<VelmTorQualityPointCCT>& listB)
{
    CbVector3d centreA;
    CbVector3d centreB;
    getCentersOfGravity(listA, listB, centreA, centreB);
    CrossSums sums;
    for (size_t i = 0; i < listA.size(); ++i)
        sums.Add(listA[i], listB[i], centreA, centreB);
    return computeTransform(centreA, centreB, sums.xx, sums.xy, sums.xz, sums.yx, sums.yy, sums.yz, sums.zx, sums.zy,
                            sums.zz);
}
} // namespace DataLayer
