#include "velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.h"

#include "velm/Frame/CLogger.h"
#include "velm/Frame/VelmException.h"

#include <cmath>

namespace DataLayer
{
namespace
{
// Built at compile time, like the constants below: nothing of this unit runs at load.
constexpr Logging::CLogger s_logger(L"Velm.CRadialBasisFunctions");
} // namespace

// Constant-initialised (constexpr constructors): no code, however early, can see them unset.
const CCompactRadialBasisFunctions CCompactRadialBasisFunctions::c_RadiusFactor2x2x2(1.732f, 3.0f, 1.0f);
const CCompactRadialBasisFunctions CCompactRadialBasisFunctions::c_RadiusFactor3x3x3(1.732f, 3.0f, 1.5f);
const CCompactRadialBasisFunctions CCompactRadialBasisFunctions::c_RadiusFactor2x2x2Sqr(3.0f, 1.0f);
const CCompactRadialBasisFunctions CCompactRadialBasisFunctions::c_RadiusFactor3x3x3Sqr(3.0f, 1.5f);

CCompactRadialBasisFunctions& CCompactRadialBasisFunctions::Radius(float r)
{
    fRadius = r;
    fRadiusSqr = r * r;
    return *this;
}

float CCompactRadialBasisFunctions::Radius() const
{
    if (std::isnan(fRadius))
        ThrowFormattedException("velm/DataLayer/Algorithms/Math/CCompactRadialBasisFunctions.cpp", 51,
                                "DataLayer::CCompactRadialBasisFunctions::Radius", L"Radius is NaN, so it is not set.");
    return fRadius;
}

CCompactRadialBasisFunctions& CCompactRadialBasisFunctions::RadiusSqr(float r2)
{
    fRadiusSqr = r2;
    fRadius = std::numeric_limits<float>::quiet_NaN();
    return *this;
}

CCompactRadialBasisFunctions& CCompactRadialBasisFunctions::ScaleFactor(float s)
{
    fScaleFactor = s;
    return *this;
}
} // namespace DataLayer
