#include "velm/Pipeline/Motion.h"

#include <algorithm>
#include <cmath>

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

CbMatrix4Rd ScaleTranslation(CbMatrix4Rd m, double factor)
{
    m.e[12] *= factor;
    m.e[13] *= factor;
    m.e[14] *= factor;
    return m;
}
} // namespace Pipeline
