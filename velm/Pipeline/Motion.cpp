#include "velm/Pipeline/Motion.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Pipeline
{
namespace
{
constexpr double kPi = 3.14159265358979323846;
}

CbVector3d RotateDirection(const CbMatrix4Rd& m, const CbVector3d& n)
{
    return CbVector3d(n.x * m.e[0] + n.y * m.e[4] + n.z * m.e[8], n.x * m.e[1] + n.y * m.e[5] + n.z * m.e[9],
                      n.x * m.e[2] + n.y * m.e[6] + n.z * m.e[10]);
}

CbMatrix4Rd TurnAbout(const CbVector3d& centre, const CbVector3d& axis, double degrees)
{
    const CbVector3d u = axis * (1.0 / axis.Length());
    const double a = degrees * kPi / 180.0, c = std::cos(a), s = std::sin(a), C = 1.0 - c;
    const double r[3][3] = {{c + u.x * u.x * C, u.x * u.y * C - u.z * s, u.x * u.z * C + u.y * s},
                            {u.y * u.x * C + u.z * s, c + u.y * u.y * C, u.y * u.z * C - u.x * s},
                            {u.z * u.x * C - u.y * s, u.z * u.y * C + u.x * s, c + u.z * u.z * C}};
    CbMatrix4Rd turn;
    for (int row = 0; row < 3; ++row) // r acts on column vectors, the library's matrices on rows
        for (int col = 0; col < 3; ++col)
            turn.e[4 * col + row] = r[row][col];
    return CbMatrix4Rd::Translation(-centre.x, -centre.y, -centre.z) * turn *
           CbMatrix4Rd::Translation(centre.x, centre.y, centre.z);
}

double AngleBetween(const CbMatrix4Rd& a, const CbMatrix4Rd& b)
{
    double trace = 0.0; // of transpose(Ra) Rb
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            trace += a.e[4 * k + i] * b.e[4 * k + i];
    return std::acos(std::clamp(0.5 * (trace - 1.0), -1.0, 1.0)) * 180.0 / kPi;
}

CbMatrix4Rd RigidFromUsualRows(const double v[16], const std::string& what)
{
    for (int i = 0; i < 16; ++i)
        if (!std::isfinite(v[i]))
            throw std::invalid_argument(what + ": the matrix holds a number that is not finite");
    if (v[12] != 0.0 || v[13] != 0.0 || v[14] != 0.0 || v[15] != 1.0)
        throw std::invalid_argument(what + ": the last row must be 0 0 0 1 (translation belongs in the last column)");
    const CbMatrix4Rd m = CbMatrix4Rd::FromUsual(v);
    // A rigid motion: the columns of the 3x3 part are orthonormal and keep their handedness.
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
        {
            double dot = 0.0;
            for (int k = 0; k < 3; ++k)
                dot += v[4 * k + i] * v[4 * k + j];
            worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
        }
    const double det =
        v[0] * (v[5] * v[10] - v[6] * v[9]) - v[1] * (v[4] * v[10] - v[6] * v[8]) + v[2] * (v[4] * v[9] - v[5] * v[8]);
    if (worst > 1e-4 || det < 0.0)
        throw std::invalid_argument(what + ": the upper left 3x3 part is not a rotation");
    return m;
}

CbMatrix4Rd ScaleTranslation(CbMatrix4Rd m, double factor)
{
    m.e[12] *= factor;
    m.e[13] *= factor;
    m.e[14] *= factor;
    return m;
}
} // namespace Pipeline
