#include "velm/DataLayer/Algorithms/Math/CEuler2Matrix.h"

#include <cmath>

namespace DataLayer
{
void CEuler2Matrix::Euler2Matrix(const double& a, const double& b, const double& c, double* m)
{
    const double ca = std::cos(a), sa = std::sin(a);
    const double cb = std::cos(b), sb = std::sin(b);
    const double cc = std::cos(c), sc = std::sin(c);
    m[0] = cc * cb;
    m[1] = cc * sb * sa - sc * ca;
    m[2] = sc * sa + cc * sb * ca;
    m[3] = sc * cb;
    m[4] = sc * sb * sa + cc * ca;
    m[5] = sc * sb * ca - cc * sa;
    m[6] = -sb;
    m[7] = cb * sa;
    m[8] = cb * ca;
}

void CEuler2Matrix::Euler2Matrix(const double angles[3], double* m)
{
    Euler2Matrix(angles[0], angles[1], angles[2], m);
}
} // namespace DataLayer
