#include "velm/Base/Interfaces/CCovarianceEllipsoid.h"

#include "velm/Frame/VelmException.h"

namespace Base
{
CbVector3f CCovarianceEllipsoid::operator[](int i) const
{
    if (i < 0 || i > 5)
        ThrowFormattedException(VELM_HERE, "Base::CCovarianceEllipsoid::operator[]",
                                L"Ellipsoid point %d does not exist.", i);
    const CbVector3d& end = m_axisEnd[i / 2];
    if (i % 2 == 0)
        return CbVector3f(end);
    return CbVector3f(m_centre * 2.0 - end);
}

const CbVector3d& CCovarianceEllipsoid::GetAxisEnd(int k) const
{
    if (k < 0 || k > 2)
        ThrowFormattedException(VELM_HERE, "Base::CCovarianceEllipsoid::GetAxisEnd",
                                L"Ellipsoid axis %d does not exist.", k);
    return m_axisEnd[k];
}
} // namespace Base
