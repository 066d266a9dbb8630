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
struct Eig
{
    std::vector<T> values, vectors;
};

template <typename T>
Eig<T> Decompose(const std::vector<T>& packed, int n)
{
    Eig<T> d{std::vector<T>(n), std::vector<T>(n * n)};
    VelmTorCorrMath::semi_definite_symmetric(packed.data(), n, d.vectors.data(), d.values.data());
    return d;
}

template <typename T>
T At(const std::vector<T>& packed, int i, int j)
{
    return i >= j ? packed[i * (i + 1) / 2 + j] : packed[j * (j + 1) / 2 + i];
}

template <typename T>
class SymmetricEigen : public ::testing::Test
{
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SymmetricEigen, Precisions);
} // namespace

TYPED_TEST(SymmetricEigen, SizesDiagonalInputAndSortOrder)
{
    using T = TypeParam;
    const Eig<T> one = Decompose<T>({-2.5}, 1);
    EXPECT_EQ(one.values[0], T(-2.5));
    EXPECT_EQ(one.vectors[0], T(1));

    // n = 0 writes nothing; a negative n is an allocation failure that writes nothing either.
    T out[4] = {7, 7, 7, 7};
    const T in[3] = {1, 2, 3};
    VelmTorCorrMath::semi_definite_symmetric(in, 0, out, out + 2);
    EXPECT_THROW(VelmTorCorrMath::semi_definite_symmetric(in, -3, out, out + 2), std::bad_alloc);
    EXPECT_EQ(std::vector<T>(out, out + 4), std::vector<T>(4, 7));

    // A diagonal matrix needs no rotation: its diagonal sorted, with rows of the identity.
    const Eig<T> d = Decompose<T>({1, 0, 3, 0, 0, 2}, 3);
    EXPECT_EQ(d.values, (std::vector<T>{3, 2, 1}));
    EXPECT_EQ(d.vectors, (std::vector<T>{0, 1, 0, 0, 0, 1, 1, 0, 0}));
    // Among equal values the first position wins the selection (5, 2, 2 stays), but the swaps of
    // the selection can reorder equal values: diag(2, 5, 2, 5) ends with rows e1, e3, e2, e0.
    EXPECT_EQ(Decompose<T>({5, 0, 2, 0, 0, 2}, 3).vectors, (std::vector<T>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    const Eig<T> e = Decompose<T>({2, 0, 5, 0, 0, 2, 0, 0, 0, 5}, 4);
    EXPECT_EQ(e.values, (std::vector<T>{5, 5, 2, 2}));
    EXPECT_EQ(e.vectors, (std::vector<T>{0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0}));
    // Negative eigenvalues come back as they are.
    EXPECT_EQ(Decompose<T>({-4, 0, 0.5}, 2).values, (std::vector<T>{0.5, -4}));
}

TYPED_TEST(SymmetricEigen, EqualDiagonalRotatesByMinusQuarterTurn)
{
    using T = TypeParam;
    // [[2, 1], [1, 2]]: one rotation by -pi/4; row 0 of the rotated identity is (cos t, -sin t).
    const Eig<T> d = Decompose<T>({2, 1, 2}, 2);
    const T theta = static_cast<T>(-0.78539816339744830962);
    EXPECT_EQ(d.vectors, (std::vector<T>{std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta)}));
    EXPECT_NEAR(d.values[0], 3, 8 * std::numeric_limits<T>::epsilon());
    EXPECT_NEAR(d.values[1], 1, 8 * std::numeric_limits<T>::epsilon());
}

TYPED_TEST(SymmetricEigen, SixBySixGramMatricesGiveOrthonormalEigenpairs)
{
    using T = TypeParam;
    const int n = 6;
    unsigned state = 12345u;
    for (int rank : {6, 3}) // full rank, and a rank-deficient one as from a surface that slides
    {
        std::vector<double> b(n * rank);
        for (double& v : b)
            v = ((state = state * 1103515245u + 12345u) >> 8) % 2001 / 1000.0 - 1.0;
        std::vector<T> packed;
        double trace = 0, offSum = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j <= i; ++j)
            {
                double s = 0;
                for (int k = 0; k < rank; ++k)
                    s += b[i * rank + k] * b[j * rank + k];
                packed.push_back(static_cast<T>(s));
                (i == j ? trace : offSum) += i == j ? s : s * s;
            }
        const std::vector<T> input = packed;
        const Eig<T> d = Decompose(packed, n);
        EXPECT_EQ(packed, input) << "the input is only read";

        // The sweeps stop once the off-diagonal sum of squares has fallen by the factor 1e-5; what
        // is left of it bounds the residuals.
        const double tol = std::sqrt(2e-5 * offSum) + 1e-4;
        double valueSum = 0;
        for (int k = 0; k < n; ++k)
        {
            valueSum += d.values[k];
            if (k > 0)
            {
                EXPECT_GE(d.values[k - 1], d.values[k]);
            }
            if (rank == 3 && k >= 3)
            {
                EXPECT_NEAR(d.values[k], 0, tol);
            }
            for (int i = 0; i < n; ++i)
            {
                double av = 0, dot = 0;
                for (int j = 0; j < n; ++j)
                {
                    av += static_cast<double>(At(packed, i, j)) * d.vectors[k * n + j];
                    dot += static_cast<double>(d.vectors[k * n + j]) * d.vectors[i * n + j];
                }
                EXPECT_NEAR(av, static_cast<double>(d.values[k]) * d.vectors[k * n + i], tol);
                EXPECT_NEAR(dot, k == i ? 1.0 : 0.0, 1e-5);
            }
        }
        EXPECT_NEAR(valueSum, trace, 1e-4 * trace);
    }
}

TYPED_TEST(SymmetricEigen, NaNReachesTheResults)
{
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    // A NaN off the diagonal must not let the untouched diagonal pass for eigenvalues.
    for (T v : Decompose<T>({1, nan, 2, 0, 0.5, 3}, 3).values)
        EXPECT_TRUE(std::isnan(v));
    const Eig<T> e = Decompose<T>({1, 0, nan}, 2);
    EXPECT_EQ(e.values[0], T(1));
    EXPECT_TRUE(std::isnan(e.values[1]));
}
