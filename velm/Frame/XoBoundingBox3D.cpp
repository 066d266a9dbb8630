#include "velm/Frame/XoBoundingBox3D.h"

#include <algorithm>
#include <cmath>

void Geometry::CBox3D::Extend(const CbVector3f& p)
{
    vMin.x = std::min(vMin.x, p.x);
    vMin.y = std::min(vMin.y, p.y);
    vMin.z = std::min(vMin.z, p.z);
    vMax.x = std::max(vMax.x, p.x);
    vMax.y = std::max(vMax.y, p.y);
    vMax.z = std::max(vMax.z, p.z);
}

XoBoundingBox3D::XoBoundingBox3D(const CbVector3f& vMin, const CbVector3f& vMax)
{
    box.vMin = vMin;
    box.vMax = vMax;
}

void XoBoundingBox3D::Inflate(float f)
{
    if (!box.IsValid())
        return;
    box.vMin -= CbVector3f(f, f, f);
    box.vMax += CbVector3f(f, f, f);
}

void XoBoundingBox3D::Intersection(const XoBoundingBox3D& a, const XoBoundingBox3D& b)
{
    if (!a.box.IsValid() || !b.box.IsValid())
    {
        box.Invalidate();
        return;
    }
    box.vMin = {std::max(a.box.vMin.x, b.box.vMin.x), std::max(a.box.vMin.y, b.box.vMin.y),
                std::max(a.box.vMin.z, b.box.vMin.z)};
    box.vMax = {std::min(a.box.vMax.x, b.box.vMax.x), std::min(a.box.vMax.y, b.box.vMax.y),
                std::min(a.box.vMax.z, b.box.vMax.z)};
    if (!box.IsValid())
        box.Invalidate();
}

void XoBoundingBox3D::Transform(const CbMatrix4Rf& m)
{
    if (!box.IsValid())
        return;
    const Geometry::CBox3D old = box;
    box.Invalidate();
    for (int corner = 0; corner < 8; ++corner)
    {
        const CbVector3f p((corner & 1) ? old.vMax.x : old.vMin.x, (corner & 2) ? old.vMax.y : old.vMin.y,
                           (corner & 4) ? old.vMax.z : old.vMin.z);
        box.Extend(m.TransformPoint(p));
    }
}

int XoBoundingBox3D::Intersect(const XoBoundingVolume& other) const
{
    const auto* o = dynamic_cast<const XoBoundingBox3D*>(&other);
    if (!o || !box.IsValid() || !o->box.IsValid())
        return 0;
    const Geometry::CBox3D& b = o->box;
    const bool overlap = box.vMin.x <= b.vMax.x && b.vMin.x <= box.vMax.x && box.vMin.y <= b.vMax.y &&
                         b.vMin.y <= box.vMax.y && box.vMin.z <= b.vMax.z && b.vMin.z <= box.vMax.z;
    return overlap ? 1 : 0;
}

float XoBoundingBox3D::GetExtent() const
{
    if (!box.IsValid())
        return 0.0f;
    return (box.vMax - box.vMin).Length();
}
