#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"

#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace DataLayer
{
VelmTorCorrMath::VelmTorCorrMath(int n) : iNumParams(n), fNumParams(static_cast<float>(n))
{
    // Every array size derives from n: a negative count would make the solves index outside them.
    if (n < 0)
        ThrowFormattedException(VELM_HERE, "DataLayer::VelmTorCorrMath::VelmTorCorrMath",
                                L"Number of parameters %i is negative.", n);
    // Evaluated in float and in exactly this order: the threshold is compared with float test sums,
    // so a different rounding would move the significance boundary.
    const float fN = static_cast<float>(n);
    const float s = std::sqrt(fN * fN - 1.0f + 1.28f);
    fTestThreshold = s * 0.5f * s;
}

int VelmTorCorrMath::cholesky(float* a, int size) const
{
    if (size < 1)
        return -1;
    const size_t n = static_cast<size_t>(size);
    for (size_t k = 0; k < n; ++k)
    {
        const float d = a[k * n + k];
        if (d <= 0.0f)
            return static_cast<int>(k);
        const float pivot = std::sqrt(d);
        const float inverse = 1.0f / pivot;
        a[k * n + k] = pivot;
        for (size_t j = k + 1; j < n; ++j)
            a[k * n + j] *= inverse;
        for (size_t i = k + 1; i < n; ++i)
            for (size_t j = i; j < n; ++j)
                a[i * n + j] -= a[k * n + i] * a[k * n + j];
    }
    return -1;
}

int VelmTorCorrMath::rinverse(float* r, int n) const
{
    if (n <= 0)
        return 0;
    const size_t un = static_cast<size_t>(n);
    for (size_t k = un; k-- > 0;)
    {
        const float rkk = r[k * un + k];
        if (rkk == 0.0f)
            return 1;
        // Right to left, so that r(k, l) for l < j still holds the factor while rows below k
        // already hold the inverse.
        for (size_t j = un - 1; j > k; --j)
        {
            float sum = 0.0f;
            for (size_t l = k + 1; l <= j; ++l)
                sum += r[k * un + l] * r[l * un + j];
            r[k * un + j] = -sum / rkk;
        }
        r[k * un + k] = 1.0f / rkk;
    }
    return 0;
}

int VelmTorCorrMath::solveEquation(float* normal, float* work, int n, float lambda, float* x, float* normSq, float* rss,
                                   float* ratio) const
{
    const size_t un = static_cast<size_t>(std::max(n, 0));
    const size_t stride = un + 1;
    const float lambdaSqr = lambda * lambda;

    *ratio = 1.0f;
    for (size_t i = 0; i < un; ++i)
    {
        work[i * stride + i] = normal[i * stride + i] + lambdaSqr;
        x[i] = work[i * stride + i];
        for (size_t j = i + 1; j <= un; ++j)
            work[i * stride + j] = normal[i * stride + j];
    }
    work[un * stride + un] = normal[un * stride + un];

    const int failed = cholesky(work, n + 1);
    if (failed == n)
        work[un * stride + un] = 0.0f; // only the residual pivot failed: the fit is exact
    else if (failed >= 0)
        return 1;

    float sumSqr = 0.0f;
    for (size_t i = un; i-- > 0;)
    {
        float t = work[i * stride + un];
        for (size_t j = un - 1; j > i; --j)
            t -= x[j] * work[i * stride + j];
        const float pivot = work[i * stride + i];
        // x[i] still holds the damped diagonal element: how much the pivots shrank against it
        // measures the conditioning of the solve.
        *ratio = x[i] / (pivot * pivot) * *ratio;
        x[i] = t / pivot;
        sumSqr += x[i] * x[i];
    }
    *normSq = sumSqr;
    const float residual = work[un * stride + un];
    float r = residual * residual - lambdaSqr * sumSqr;
    if (r < 0.0f)
        r = 0.0f;
    *rss = r;
    return 0;
}

bool VelmTorCorrMath::leastSquares(float* normal, float* work, int n, float m, float normLimit, float* x,
                                   float* norm) const
{
    const size_t stride = static_cast<size_t>(std::max(n, 0)) + 1;
    float trace = 0.0f;
    for (int i = n - 1; i >= 0; --i)
        trace += normal[static_cast<size_t>(i) * stride + static_cast<size_t>(i)];
    const float tm = trace / m;
    const float epsilon = std::sqrt(tm * 1.1920929e-7f);
    const float q = std::sqrt(m);

    float t = 0.0f;
    float step = 1.0f;
    bool halving = false;
    float lambda = 0.0f;

    for (int solves = 0; solves < c_MaxSolves; ++solves)
    {
        float normSq = 0.0f, rss = 0.0f, ratio = 0.0f;
        const int status = solveEquation(normal, work, n, lambda, x, &normSq, &rss, &ratio);
        bool accepted = false;
        float limit = 0.0f;
        if (status == 0)
        {
            if (rss > 0.0f)
            {
                const float v = (normSq + 1.0f) * tm * q * m / rss;
                limit = v > 524288.0f ? 524288.0f : std::max(16.0f, v);
            }
            else
                limit = 524288.0f;
            accepted = normSq <= normLimit * normLimit && ratio <= limit;
        }

        if (!accepted)
        {
            if (halving)
                step *= 0.5f;
            t += step;
            lambda = std::exp(t) - 1.0f;
            continue;
        }
        if (epsilon > lambda)
        {
            *norm = std::sqrt(normSq);
            return true;
        }
        if (normSq > normLimit * 0.8f * 0.8f * normLimit || ratio > limit * 0.1f)
        {
            *norm = std::sqrt(normSq);
            return false;
        }
        step *= 0.5f;
        halving = true;
        t -= step;
        lambda = std::exp(t) - 1.0f;
    }
    *norm = std::numeric_limits<float>::infinity();
    return false;
}

int VelmTorCorrMath::varianceOfSolution(float* work, int m, float* variances) const
{
    const int n = iNumParams;
    const size_t un = static_cast<size_t>(std::max(n, 0));
    const size_t stride = un + 1;

    const float residual = work[un * stride + un];
    const int dof = m - n >= 2 ? m - n : 1;
    const float sigmaSqr = residual * residual / static_cast<float>(dof);

    // Destinations never overtake the sources still to be read, so the repacking works in place.
    for (size_t i = 1; i < un; ++i)
        for (size_t j = i; j < un; ++j)
            work[i * un + j] = work[i * stride + j];

    if (rinverse(work, n) == 1)
        return 1;

    for (size_t i = 0; i < un; ++i)
    {
        float sum = 0.0f;
        for (size_t j = i; j < un; ++j)
            sum += work[i * un + j] * work[i * un + j];
        variances[i] = sigmaSqr * sum;
    }
    return 0;
}

int VelmTorCorrMath::CorrectionMethod(float* normal, float* work, int m, float normLimitSearch, float minNormAccept,
                                      float maxNorm, float* x, float* variances, float* norm, float* errorBound) const
{
    const float mf = static_cast<float>(m);
    const float d = mf - fNumParams - 3.21445f;
    const float k = d > 0.0f ? std::sqrt(mf) * 3.295f / d : 1e10f;

    const bool undamped = leastSquares(normal, work, iNumParams, mf, normLimitSearch, x, norm);
    // An infinite norm is also what an exhausted damping search reports: without it the work
    // matrix holds no accepted factor, whatever maxNorm allows.
    if (*norm > maxNorm || std::isinf(*norm))
        return 0;
    // Variances the factor cannot give would be read unwritten below.
    if (varianceOfSolution(work, m, variances) != 0)
        return 0;

    const float floor = minNormAccept * minNormAccept * (1.0f / fTestThreshold);
    float varianceSum = 0.0f;
    float testSum = 0.0f;
    for (int i = iNumParams - 1; i >= 0; --i)
    {
        varianceSum += variances[i];
        const float v = variances[i] > floor ? variances[i] : floor;
        testSum += x[i] * x[i] / v;
    }
    *errorBound = std::sqrt(varianceSum) * (k + 1.0f);

    if (fTestThreshold >= (2.0f * k + 1.0f) * testSum || minNormAccept > *norm)
        return undamped ? 2 : 1;
    return 0;
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
    // Selection sort, descending; only a strictly greater value displaces the running maximum, so the
    // first of equal values is chosen, but a swap can carry an equal value behind another: equal
    // eigenvalues may come out in another order than their diagonal positions.
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
