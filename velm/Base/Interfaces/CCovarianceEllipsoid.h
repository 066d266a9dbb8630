#pragma once

#include "velm/Frame/CbVector3.h"

namespace Base
{
// An ellipsoid given by its centre and the end points of its three semi-axes. Its six surface points
// (each axis end and its mirror through the centre) stand in for the shape of a whole collection.
class CCovarianceEllipsoid
{
public:
    CCovarianceEllipsoid() = default;
    CCovarianceEllipsoid(const CCovarianceEllipsoid&) = default;
    CCovarianceEllipsoid& operator=(const CCovarianceEllipsoid&) = default;

    void Set(const CbVector3d& centre, const CbVector3d& axisEnd0, const CbVector3d& axisEnd1,
             const CbVector3d& axisEnd2, float sigmaScale)
    {
        m_centre = centre;
        m_axisEnd[0] = axisEnd0;
        m_axisEnd[1] = axisEnd1;
        m_axisEnd[2] = axisEnd2;
        m_sigmaScale = sigmaScale;
    }

    // i = 0..5: axis end 0, its mirror, axis end 1, its mirror, axis end 2, its mirror.
    CbVector3f operator[](int i) const;

    const CbVector3d& GetCentre() const { return m_centre; }
    const CbVector3d& GetAxisEnd(int k) const;
    // -1 marks an ellipsoid built from no points.
    float GetSigmaScale() const { return m_sigmaScale; }
    void SetSigmaScale(float sigmaScale) { m_sigmaScale = sigmaScale; }

private:
    CbVector3d m_centre;
    CbVector3d m_axisEnd[3];
    float m_sigmaScale = 0.0f;
};
} // namespace Base
