#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"

#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

namespace DataLayer
{
VelmTorCorrMath::VelmTorCorrMath(int n) : iNumParams(n), fNumParams(static_cast<float>(n))
{
    // Evaluated in float and in exactly this order: the threshold is compared with float test sums,
    // so a different rounding would move the significance boundary.
    const float fN = static_cast<float>(n);
    const float s = std::sqrt(fN * fN - 1.0f + 1.28f);
    fTestThreshold = s * 0.5f * s;
}

namespace
{
// Position of element (i, j) of a packed lower triangle, for either order of the indices.
inline size_t PackedIndex(size_t i, size_t j)
{
    return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i;
}

template <typename T>
void JacobiEigen(const T* matrix, int n, T* eigenvectors, T* eigenvalues)
{
    if (n < 0)
        throw std::bad_array_new_length();
    const size_t un = static_cast<size_t>(n);
    const size_t packedSize = un * (un + 1) / 2;

    const T relativeTolerance = static_cast<T>(1e-5);
    const int maxSweeps = 100;
    const T equalDiagonalAngle = static_cast<T>(-0.78539816339744830962);
    const T half = static_cast<T>(0.5);

    std::vector<T> a(matrix, matrix + packedSize);
    std::vector<T> v(un * un, T(0));
    std::vector<int> permutation(un);
    for (size_t i = 0; i < un; ++i)
        v[i * un + i] = T(1);

    T offSum = T(0);
    for (size_t i = 1; i < un; ++i)
        for (size_t j = 0; j < i; ++j)
            offSum += a[i * (i + 1) / 2 + j] * a[i * (i + 1) / 2 + j];

    if (offSum != T(0))
    {
        const T tolerance = offSum * relativeTolerance;
        const T divisor = static_cast<T>(packedSize);
        // Written as !(offSum <= tolerance) so that a NaN in the input runs the rotations and
        // reaches every result instead of passing the diagonal off as eigenvalues.
        for (int sweep = 0; sweep < maxSweeps && !(offSum <= tolerance); ++sweep)
        {
            // The threshold stays fixed for the whole sweep, although offSum falls within it.
            const T threshold = offSum / divisor;
            for (size_t p = 0; p + 1 < un; ++p)
            {
                for (size_t q = p + 1; q < un; ++q)
                {
                    const size_t iqp = q * (q + 1) / 2 + p;
                    const size_t ipp = p * (p + 1) / 2 + p;
                    const size_t iqq = q * (q + 1) / 2 + q;
                    const T apq = a[iqp];
                    const T app = a[ipp];
                    const T aqq = a[iqq];
                    if (apq * apq < threshold)
                        continue;

                    const T diff = app - aqq;
                    const T theta = diff == T(0) ? equalDiagonalAngle : -half * std::atan(T(2) * apq / diff);
                    const T c = std::cos(theta);
                    const T s = std::sin(theta);

                    for (size_t r = 0; r < un; ++r)
                    {
                        if (r == p || r == q)
                            continue;
                        const size_t irp = PackedIndex(r, p);
                        const size_t irq = PackedIndex(r, q);
                        const T arp = a[irp];
                        const T arq = a[irq];
                        a[irp] = c * arp - s * arq;
                        a[irq] = s * arp + c * arq;
                    }
                    for (size_t r = 0; r < un; ++r)
                    {
                        const T vp = v[p * un + r];
                        const T vq = v[q * un + r];
                        v[p * un + r] = c * vp - s * vq;
                        v[q * un + r] = c * vq + s * vp;
                    }

                    // A running estimate only; recomputing it from the matrix would change when
                    // the sweeps stop.
                    offSum = std::fabs(offSum - apq * apq);
                    a[ipp] = c * c * app + s * s * aqq - T(2) * c * s * apq;
                    a[iqq] = s * s * app + c * c * aqq + T(2) * c * s * apq;
                    a[iqp] = T(0);
                }
            }
        }
    }

    for (size_t i = 0; i < un; ++i)
    {
        eigenvalues[i] = a[i * (i + 1) / 2 + i];
        permutation[i] = static_cast<int>(i);
    }
    // Selection sort, descending; only a strictly greater value displaces the running maximum, so
    // equal eigenvalues keep the order of their diagonal positions.
    for (size_t i = 0; i + 1 < un; ++i)
    {
        size_t best = i;
        for (size_t j = i + 1; j < un; ++j)
            if (eigenvalues[j] > eigenvalues[best])
                best = j;
        if (best != i)
        {
            const T value = eigenvalues[i];
            eigenvalues[i] = eigenvalues[best];
            eigenvalues[best] = value;
            const int index = permutation[i];
            permutation[i] = permutation[best];
            permutation[best] = index;
        }
    }
    for (size_t k = 0; k < un; ++k)
    {
        const T* row = &v[static_cast<size_t>(permutation[k]) * un];
        for (size_t r = 0; r < un; ++r)
            eigenvectors[k * un + r] = row[r];
    }
}
} // namespace

void VelmTorCorrMath::semi_definite_symmetric(const float* matrix, int n, float* eigenvectors, float* eigenvalues)
{
    JacobiEigen<float>(matrix, n, eigenvectors, eigenvalues);
}

void VelmTorCorrMath::semi_definite_symmetric(const double* matrix, int n, double* eigenvectors, double* eigenvalues)
{
    JacobiEigen<double>(matrix, n, eigenvectors, eigenvalues);
}
} // namespace DataLayer
