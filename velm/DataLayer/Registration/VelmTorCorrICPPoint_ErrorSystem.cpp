#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include <cmath>

namespace DataLayer
{
namespace
{
inline int PackedIndex(int i, int j)
{
    return i * (i + 1) / 2 + j;
}
} // namespace

VelmTorPointToPlaneErrorSystemMatrix::VelmTorPointToPlaneErrorSystemMatrix()
{
    Reset();
}

void VelmTorPointToPlaneErrorSystemMatrix::Reset()
{
    for (double& value : aNormalMatrix)
        value = 0.0;
    for (double& value : aRightSide)
        value = 0.0;
}

void VelmTorPointToPlaneErrorSystemMatrix::AddPointToPlaneConstraint(const CbVector3d& p, const CbVector3d& q,
                                                                     const CbVector3d& n, const double& w)
{
    const double cx = p.y * n.z - n.y * p.z;
    const double cy = n.x * p.z - p.x * n.z;
    const double cz = p.x * n.y - n.x * p.y;
    const double J[6] = {n.x, n.y, n.z, cx, cy, cz};

    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            aNormalMatrix[PackedIndex(i, j)] += J[i] * w * J[j];

    const double r = ((p.y - q.y) * n.y + (p.x - q.x) * n.x) + (p.z - q.z) * n.z;
    for (int i = 0; i < 6; ++i)
        aRightSide[i] -= J[i] * w * r;
}

bool VelmTorPointToPlaneErrorSystemMatrix::Solve(CbVector3d& t, CbVector3d& w) const
{
    double F[6][6];
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j)
            F[i][j] = F[j][i] = aNormalMatrix[PackedIndex(i, j)];

    double L[6][6] = {};
    for (int i = 0; i < 6; ++i)
    {
        for (int j = i; j < 6; ++j)
        {
            double s = F[i][j];
            for (int k = i - 1; k >= 0; --k)
                s -= L[i][k] * L[j][k];
            if (j == i)
            {
                // Also refuses a NaN pivot: a system with NaN entries has no meaningful solution.
                if (!(s > 0.0))
                    return false;
                L[i][i] = std::sqrt(s);
            }
            else
            {
                L[j][i] = s / L[i][i];
            }
        }
    }

    double y[6];
    for (int i = 0; i < 6; ++i)
    {
        double s = aRightSide[i];
        for (int k = 0; k < i; ++k)
            s -= L[i][k] * y[k];
        y[i] = s / L[i][i];
    }
    double x[6];
    for (int i = 5; i >= 0; --i)
    {
        double s = y[i];
        for (int k = i + 1; k < 6; ++k)
            s -= L[k][i] * x[k];
        x[i] = s / L[i][i];
    }

    t = {x[0], x[1], x[2]};
    w = {x[3], x[4], x[5]};
    return true;
}
} // namespace DataLayer
