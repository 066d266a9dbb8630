#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"

#include "velm/Frame/CLogger.h"
#include "velm/Frame/VelmException.h"
#include "velm/Frame/XoMatrix3x3.h"

#include <type_traits>

namespace DataLayer
{
namespace
{
// The class's logger channel: built at load, never written to.
[[maybe_unused]] constexpr Logging::CLogger s_Logger(L"Velm.CPrincipalComponentAnalysis3D");

template <typename T>
struct InstanceName;
template <>
struct InstanceName<CbVector3d>
{
    static constexpr const char* eigenValue =
        "DataLayer::CPrincipalComponentAnalysis3D<class CbVector3d>::GetEigenValue";
    static constexpr const char* eigenVector =
        "DataLayer::CPrincipalComponentAnalysis3D<class CbVector3d>::GetEigenVector";
};
template <>
struct InstanceName<CbVector3f>
{
    static constexpr const char* eigenValue =
        "DataLayer::CPrincipalComponentAnalysis3D<class CbVector3f>::GetEigenValue";
    static constexpr const char* eigenVector =
        "DataLayer::CPrincipalComponentAnalysis3D<class CbVector3f>::GetEigenVector";
};

// The double instance hands out results in float precision, like the float instance.
template <typename S>
S ToFloatPrecision(S value)
{
    return static_cast<S>(static_cast<float>(value));
}
} // namespace

template <typename T>
void CPrincipalComponentAnalysis3D<T>::Add(const T& p)
{
    sSumXX += p.x * p.x;
    sSumYY += p.y * p.y;
    sSumZZ += p.z * p.z;
    sSumXY += p.x * p.y;
    sSumXZ += p.x * p.z;
    sSumYZ += p.y * p.z;
    vSumB += p;
    vSumA += p;
    sQualitySum += ScalarType(1);
    bComputed = false;
}

template <typename T>
void CPrincipalComponentAnalysis3D<T>::Add(const T& p, ScalarType w)
{
    sSumXX += p.x * w * p.x;
    sSumYY += p.y * w * p.y;
    sSumZZ += p.z * w * p.z;
    sSumXY += w * p.x * p.y;
    sSumXZ += w * p.x * p.z;
    sSumYZ += w * p.y * p.z;
    const T weighted = p * w;
    vSumB += weighted;
    vSumA += weighted;
    sQualitySum += w;
    bComputed = false;
}

template <typename T>
void CPrincipalComponentAnalysis3D<T>::ComputePCA()
{
    using S = ScalarType;
    if (sQualitySum == S(0))
        return;

    // The second moments and the second sum are replaced by their means in the object itself (the
    // centre sum and the weight sum stay sums): hosts read the means afterwards. One ComputePCA after
    // the last Add therefore describes all points; a second call divides the means again.
    const S r = S(1) / sQualitySum;
    sSumXX *= r;
    sSumYY *= r;
    sSumZZ *= r;
    sSumXY *= r;
    sSumXZ *= r;
    sSumYZ *= r;
    vSumB *= r;
    const S meanXX = sSumXX, meanYY = sSumYY, meanZZ = sSumZZ;
    const S meanXY = sSumXY, meanXZ = sSumXZ, meanYZ = sSumYZ;
    const T s = vSumB;
    const T c = vSumA * r;

    XoMatrix3x3<S> cov;
    cov(0, 0) = meanXX - S(2) * s.x * c.x + c.x * c.x;
    cov(1, 1) = meanYY - S(2) * s.y * c.y + c.y * c.y;
    cov(2, 2) = meanZZ - S(2) * s.z * c.z + c.z * c.z;
    cov(0, 1) = cov(1, 0) = meanXY - s.x * c.y - s.y * c.x + c.x * c.y;
    cov(0, 2) = cov(2, 0) = meanXZ - s.x * c.z - s.z * c.x + c.x * c.z;
    cov(1, 2) = cov(2, 1) = meanYZ - s.y * c.z - s.z * c.y + c.y * c.z;

    XoMatrix3x3<S> D, V;
    cov.ComputeEVD(D, V);
    const S d[3] = {D(0, 0), D(1, 1), D(2, 2)};

    // Strict comparisons: among equal eigenvalues the decomposition's own order decides.
    int first, second, third;
    int i = 0, o = 1;
    if (d[1] > d[0])
    {
        i = 1;
        o = 0;
    }
    int rest;
    if (d[2] > d[i])
    {
        first = 2;
        rest = i;
    }
    else
    {
        first = i;
        rest = 2;
    }
    if (d[rest] > d[o])
    {
        second = rest;
        third = o;
    }
    else
    {
        second = o;
        third = rest;
    }

    const int order[3] = {first, second, third};
    for (int k = 0; k < 3; ++k)
    {
        const int col = order[k];
        S value = d[col];
        T vector(V(0, col), V(1, col), V(2, col));
        if constexpr (std::is_same_v<S, double>)
        {
            value = ToFloatPrecision(value);
            vector = T(ToFloatPrecision(vector.x), ToFloatPrecision(vector.y), ToFloatPrecision(vector.z));
        }
        aEigenValues[k] = value;
        aEigenVectors[k] = vector;
    }
    bComputed = true;
}

template <typename T>
T CPrincipalComponentAnalysis3D<T>::GetCenterOfGravity() const
{
    const ScalarType inverse = ScalarType(1) / sQualitySum;
    return vSumA * inverse;
}

template <typename T>
typename CPrincipalComponentAnalysis3D<T>::ScalarType CPrincipalComponentAnalysis3D<T>::GetEigenValue(
    unsigned int i) const
{
    if (i > 2)
        ThrowFormattedException(VELM_HERE, InstanceName<T>::eigenValue, L"Index %u exceeds the 3 principal components.",
                                i);
    return aEigenValues[i];
}

template <typename T>
const T& CPrincipalComponentAnalysis3D<T>::GetEigenVector(unsigned int i) const
{
    if (i > 2)
        ThrowFormattedException(VELM_HERE, InstanceName<T>::eigenVector,
                                L"Index %u exceeds the 3 principal components.", i);
    return aEigenVectors[i];
}

template <typename T>
typename CPrincipalComponentAnalysis3D<T>::ScalarType CPrincipalComponentAnalysis3D<T>::GetQualitySum() const
{
    if constexpr (std::is_same_v<ScalarType, double>)
        return ToFloatPrecision(sQualitySum);
    else
        return sQualitySum;
}

template class CPrincipalComponentAnalysis3D<CbVector3d>;
template class CPrincipalComponentAnalysis3D<CbVector3f>;
} // namespace DataLayer
