#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <vector>

using DataLayer::VelmTorCorrMath;

namespace
{
template <typename T>
struct Decomposition
{
    std::vector<T> values;
    std::vector<T> vectors;
};

template <typename T>
Decomposition<T> Decompose(const std::vector<T>& packed, int n)
{
    Decomposition<T> d{std::vector<T>(n), std::vector<T>(n * n)};
    VelmTorCorrMath::semi_definite_symmetric(packed.data(), n, d.vectors.data(), d.values.data());
    return d;
}

template <typename T>
T Element(const std::vector<T>& packed, int i, int j)
{
    return i >= j ? packed[i * (i + 1) / 2 + j] : packed[j * (j + 1) / 2 + i];
}

// Packed lower triangle of B·Bᵀ for a fixed, deterministic B: symmetric and positive semi-definite,
// of rank `rank` (the engine's normal matrices are of this kind, sometimes rank-deficient).
template <typename T>
std::vector<T> GramMatrix(int n, int rank)
{
    std::vector<double> b(n * rank);
    unsigned state = 12345u;
    for (double& v : b)
    {
        state = state * 1103515245u + 12345u;
        v = static_cast<double>((state >> 8) % 2001) / 1000.0 - 1.0;
    }
    std::vector<T> packed;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
        {
            double s = 0;
            for (int k = 0; k < rank; ++k)
                s += b[i * rank + k] * b[j * rank + k];
            packed.push_back(static_cast<T>(s));
        }
    return packed;
}

template <typename T>
class SymmetricEigenTyped : public ::testing::Test
{
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SymmetricEigenTyped, Precisions);
} // namespace

TYPED_TEST(SymmetricEigenTyped, TrivialAndInvalidSizes)
{
    using T = TypeParam;
    const T sentinel = T(-777);

    // n = 1: the element itself, eigenvector (1).
    {
        const std::vector<T> m{T(-2.5)};
        const Decomposition<T> d = Decompose(m, 1);
        EXPECT_EQ(d.values[0], T(-2.5));
        EXPECT_EQ(d.vectors[0], T(1));
    }
    // n = 0 and a negative n leave the outputs alone; the negative size is an allocation failure.
    T vectors[4] = {sentinel, sentinel, sentinel, sentinel};
    T values[2] = {sentinel, sentinel};
    const T matrix[3] = {1, 2, 3};
    VelmTorCorrMath::semi_definite_symmetric(matrix, 0, vectors, values);
    EXPECT_THROW(VelmTorCorrMath::semi_definite_symmetric(matrix, -1, vectors, values), std::bad_alloc);
    EXPECT_THROW(VelmTorCorrMath::semi_definite_symmetric(matrix, -3, vectors, values), std::bad_alloc);
    for (T v : vectors)
        EXPECT_EQ(v, sentinel);
    for (T v : values)
        EXPECT_EQ(v, sentinel);
}

TYPED_TEST(SymmetricEigenTyped, DiagonalInputIsSortedStablyWithoutRotation)
{
    using T = TypeParam;
    // diag(1, 3, 2)
    const Decomposition<T> d = Decompose<T>({1, 0, 3, 0, 0, 2}, 3);
    EXPECT_EQ(d.values, (std::vector<T>{3, 2, 1}));
    EXPECT_EQ(d.vectors, (std::vector<T>{0, 1, 0, 0, 0, 1, 1, 0, 0}));

    // Among equal values the first position wins the selection: diag(5, 2, 2) keeps (0,1,0) before
    // (0,0,1). The selection swaps, though, so diag(2, 5, 2, 5) moves the first 2 behind the second.
    const Decomposition<T> e = Decompose<T>({5, 0, 2, 0, 0, 2}, 3);
    EXPECT_EQ(e.values, (std::vector<T>{5, 2, 2}));
    EXPECT_EQ(e.vectors, (std::vector<T>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    const Decomposition<T> g = Decompose<T>({2, 0, 5, 0, 0, 2, 0, 0, 0, 5}, 4);
    EXPECT_EQ(g.values, (std::vector<T>{5, 5, 2, 2}));
    EXPECT_EQ(g.vectors, (std::vector<T>{0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0}));

    // Negative values are returned as they are, despite the routine's name.
    const Decomposition<T> f = Decompose<T>({-4, 0, 0.5}, 2);
    EXPECT_EQ(f.values, (std::vector<T>{0.5, -4}));
    EXPECT_EQ(f.vectors, (std::vector<T>{0, 1, 1, 0}));
}

TYPED_TEST(SymmetricEigenTyped, EqualDiagonalRotatesByMinusQuarterTurn)
{
    using T = TypeParam;
    // [[2, 1], [1, 2]]: the diagonal difference is exactly 0, so the angle is -pi/4 and one rotation
    // finishes the job. Row 0 of the rotated identity is (cos t, -sin t).
    const Decomposition<T> d = Decompose<T>({2, 1, 2}, 2);
    const T theta = static_cast<T>(-0.78539816339744830962);
    EXPECT_EQ(d.vectors[0], std::cos(theta));
    EXPECT_EQ(d.vectors[1], -std::sin(theta));
    EXPECT_EQ(d.vectors[2], std::sin(theta));
    EXPECT_EQ(d.vectors[3], std::cos(theta));
    const T tol = std::numeric_limits<T>::epsilon() * 8;
    EXPECT_NEAR(d.values[0], 3, tol);
    EXPECT_NEAR(d.values[1], 1, tol);
    for (T v : d.vectors)
        EXPECT_NEAR(std::fabs(v), std::sqrt(T(0.5)), tol);
}

TYPED_TEST(SymmetricEigenTyped, KnownTridiagonalSpectrum)
{
    using T = TypeParam;
    // [[2, -1, 0], [-1, 2, -1], [0, -1, 2]]: eigenvalues 2 + sqrt2, 2, 2 - sqrt2.
    const Decomposition<T> d = Decompose<T>({2, -1, 2, 0, -1, 2}, 3);
    const double r2 = std::sqrt(2.0);
    const double expectedValues[3] = {2 + r2, 2, 2 - r2};
    const double expectedVectors[3][3] = {{0.5, -r2 / 2, 0.5}, {r2 / 2, 0, -r2 / 2}, {0.5, r2 / 2, 0.5}};
    // The sweeps stop once the off-diagonal sum of squares has fallen by 1e-5, so the vectors are
    // good to about sqrt(2e-5 * 2) / gap and the values to its square, in either precision.
    const double tol = 5e-3;
    for (int k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(d.values[k], expectedValues[k], 5e-5);
        // The sign of an eigenvector is free: compare up to sign.
        const double sign = d.vectors[3 * k] * expectedVectors[k][0] + d.vectors[3 * k + 1] * expectedVectors[k][1] +
                                        d.vectors[3 * k + 2] * expectedVectors[k][2] <
                                    0
                                ? -1.0
                                : 1.0;
        for (int r = 0; r < 3; ++r)
            EXPECT_NEAR(d.vectors[3 * k + r] * sign, expectedVectors[k][r], tol) << "vector " << k;
    }
}

TYPED_TEST(SymmetricEigenTyped, SixBySixGramMatricesDecomposeToOrthonormalEigenpairs)
{
    using T = TypeParam;
    const int n = 6;
    // Full rank, and rank 3 as for a surface that constrains only some motions.
    for (int rank : {6, 3})
    {
        SCOPED_TRACE(rank);
        const std::vector<T> packed = GramMatrix<T>(n, rank);
        const std::vector<T> copy = packed;
        const Decomposition<T> d = Decompose(packed, n);
        EXPECT_EQ(packed, copy) << "the input is only read";

        double trace = 0, offSum = 0;
        for (int i = 0; i < n; ++i)
        {
            trace += Element(packed, i, i);
            for (int j = 0; j < i; ++j)
                offSum += static_cast<double>(Element(packed, i, j)) * Element(packed, i, j);
        }
        // What the relative stopping tolerance 1e-5 leaves off the diagonal bounds the residuals.
        const double tol = std::sqrt(2e-5 * offSum) + 1e-4;

        double valueSum = 0;
        for (int k = 0; k < n; ++k)
        {
            valueSum += d.values[k];
            if (k > 0)
            {
                EXPECT_GE(d.values[k - 1], d.values[k]);
            }
            // A·v = lambda·v for the row k of the eigenvectors.
            for (int i = 0; i < n; ++i)
            {
                double av = 0;
                for (int j = 0; j < n; ++j)
                    av += static_cast<double>(Element(packed, i, j)) * d.vectors[k * n + j];
                EXPECT_NEAR(av, static_cast<double>(d.values[k]) * d.vectors[k * n + i], tol);
            }
            for (int l = 0; l < n; ++l)
            {
                double dot = 0;
                for (int j = 0; j < n; ++j)
                    dot += static_cast<double>(d.vectors[k * n + j]) * d.vectors[l * n + j];
                const double orthoTol = std::is_same<T, float>::value ? 1e-5 : 1e-12;
                EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, orthoTol);
            }
        }
        EXPECT_NEAR(valueSum, trace, tol);
        if (rank == 3)
        {
            for (int k = 3; k < n; ++k)
                EXPECT_NEAR(d.values[k], 0, tol);
        }
    }
}

TYPED_TEST(SymmetricEigenTyped, NaNInputReachesTheResults)
{
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    // A NaN off the diagonal must not let the untouched diagonal pass for eigenvalues.
    const Decomposition<T> d = Decompose<T>({1, nan, 2, 0, 0.5, 3}, 3);
    for (T v : d.values)
        EXPECT_TRUE(std::isnan(v));
    // A NaN on the diagonal of an otherwise diagonal matrix shows in its own eigenvalue.
    const Decomposition<T> e = Decompose<T>({1, 0, nan}, 2);
    EXPECT_EQ(e.values[0], T(1));
    EXPECT_TRUE(std::isnan(e.values[1]));
}
