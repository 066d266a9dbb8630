#pragma once

#include <limits>

namespace DataLayer
{
// Parameters of a compactly supported radial basis function: support radius, its square and a scale.
// The radius and its square stay consistent only through the setters: RadiusSqr(float) marks the
// radius as unset (NaN) instead of taking a square root, and reading an unset radius throws.
class CCompactRadialBasisFunctions
{
public:
    // The radius starts unset; the square and the scale start at zero.
    constexpr CCompactRadialBasisFunctions()
        : fRadius(std::numeric_limits<float>::quiet_NaN()), fRadiusSqr(0.0f), fScaleFactor(0.0f)
    {
    }
    constexpr CCompactRadialBasisFunctions(float radiusSqr, float scaleFactor)
        : fRadius(std::numeric_limits<float>::quiet_NaN()), fRadiusSqr(radiusSqr), fScaleFactor(scaleFactor)
    {
    }
    constexpr CCompactRadialBasisFunctions(float radius, float radiusSqr, float scaleFactor)
        : fRadius(radius), fRadiusSqr(radiusSqr), fScaleFactor(scaleFactor)
    {
    }
    CCompactRadialBasisFunctions(const CCompactRadialBasisFunctions&) = default;
    CCompactRadialBasisFunctions& operator=(const CCompactRadialBasisFunctions&) = default;
    virtual ~CCompactRadialBasisFunctions() = default;

    CCompactRadialBasisFunctions& Radius(float r);
    // Throws VelmException when the radius is not set.
    float Radius() const;
    CCompactRadialBasisFunctions& RadiusSqr(float r2);
    float RadiusSqr() const { return fRadiusSqr; }
    CCompactRadialBasisFunctions& ScaleFactor(float s);
    float ScaleFactor() const { return fScaleFactor; }
    float ScaleFactorSqr() const { return fScaleFactor * fScaleFactor; }

    static const CCompactRadialBasisFunctions c_RadiusFactor2x2x2;
    static const CCompactRadialBasisFunctions c_RadiusFactor2x2x2Sqr;
    static const CCompactRadialBasisFunctions c_RadiusFactor3x3x3;
    static const CCompactRadialBasisFunctions c_RadiusFactor3x3x3Sqr;

protected:
    float fRadius;
    float fRadiusSqr;
    float fScaleFactor;
};
} // namespace DataLayer
