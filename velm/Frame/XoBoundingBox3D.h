#pragma once

#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <cfloat>

namespace Geometry
{
// An axis-aligned box of two float corners. An invalid (empty) box has vMin above vMax.
struct CBox3D
{
    CbVector3f vMin{FLT_MAX, FLT_MAX, FLT_MAX};
    CbVector3f vMax{-FLT_MAX, -FLT_MAX, -FLT_MAX};

    void Invalidate()
    {
        vMin = {FLT_MAX, FLT_MAX, FLT_MAX};
        vMax = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    }
    void Extend(const CbVector3f& p);
    bool IsValid() const { return vMin.x <= vMax.x && vMin.y <= vMax.y && vMin.z <= vMax.z; }
};
} // namespace Geometry

class XoBoundingVolume
{
public:
    virtual ~XoBoundingVolume() = default;
    virtual int Intersect(const XoBoundingVolume& other) const = 0;
    virtual float GetExtent() const = 0;
};

class XoBoundingBox3D : public XoBoundingVolume
{
public:
    Geometry::CBox3D box;

    XoBoundingBox3D() = default;
    XoBoundingBox3D(const CbVector3f& vMin, const CbVector3f& vMax);
    XoBoundingBox3D(const XoBoundingBox3D&) = default;
    XoBoundingBox3D& operator=(const XoBoundingBox3D&) = default;

    // Moves every face outwards by f; an invalid box stays invalid.
    void Inflate(float f);
    // This box becomes the intersection of a and b (invalid when they do not meet).
    void Intersection(const XoBoundingBox3D& a, const XoBoundingBox3D& b);
    // This box becomes the axis-aligned bounds of its eight corners mapped by m.
    void Transform(const CbMatrix4Rf& m);

    // 1 when both boxes are valid and their closed intervals overlap on every axis, else 0.
    int Intersect(const XoBoundingVolume& other) const override;
    // Length of the diagonal; 0 for an invalid box.
    float GetExtent() const override;
};
