#include "DataLayer/EngineRigs.h"

#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"

#include <limits>
#include <new>
#include <utility>

namespace
{
// Opens the protected steps and the test threshold to the tests.
struct Math : DataLayer::VelmTorCorrMath
{
    using VelmTorCorrMath::VelmTorCorrMath;
    using VelmTorCorrMath::cholesky, VelmTorCorrMath::leastSquares, VelmTorCorrMath::rinverse,
        VelmTorCorrMath::solveEquation, VelmTorCorrMath::varianceOfSolution, VelmTorCorrMath::fTestThreshold;
};

using V = std::vector<float>;
constexpr float L = -12345.0f; // marks elements that must stay unread and unwritten
constexpr float kInf = std::numeric_limits<float>::infinity();

// {status, norm, error bound, x..., variances...}, with L for what was not written.
V Correct(const Math& math, const V& normal, int m, float normLimitSearch, float minNormAccept, float maxNorm)
{
    const size_t n = static_cast<size_t>(std::lround(std::sqrt(normal.size()))) - 1;
    V out(3 + 2 * n, L), work(normal.size()), copy = normal;
    out[0] = static_cast<float>(math.CorrectionMethod(copy.data(), work.data(), m, normLimitSearch, minNormAccept,
                                                      maxNorm, &out[3], &out[3 + n], &out[1], &out[2]));
    EXPECT_EQ(copy, normal) << "the normal matrix is only read";
    return out;
}

// One parameter, m = 5: x = 1 undamped, rss = 4 and the variance 4 / (m - n) = 1, exact in float.
const V kUnit{1, 1, 1, 5};

// The eigenvalues, and the eigenvectors as rows.
template <typename T>
std::pair<std::vector<T>, std::vector<T>> Decompose(const std::vector<T>& packed, int n)
{
    std::vector<T> values(n), vectors(n * n);
    DataLayer::VelmTorCorrMath::semi_definite_symmetric(packed.data(), n, vectors.data(), values.data());
    return {values, vectors};
}

template <typename T>
class SymmetricEigen : public ::testing::Test
{
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SymmetricEigen, Precisions);
} // namespace

TEST(CorrectionMath, ThresholdNegativeCountAndEachStepOfTheDampedSolve)
{
    for (const auto& [n, threshold] : {std::pair{0, 0.14f}, {1, 0.64f}, {6, 18.14f}})
        EXPECT_NEAR(Math(n).fTestThreshold, threshold, 2e-5f) << n;
    EXPECT_EQ(EngineTest::MessageOf([] { Math(-2); }), L"Number of parameters -2 is negative.");

    const Math math;
    // R^T R with R = [[2, 1, -1], [0, 3, 1], [0, 0, 3]]; only the upper triangle is read and written.
    V a{4, 2, -2, L, 10, 2, L, L, 11}, indefinite{1, 2, L, 1}, zeroFirst{0, 1, L, 1};
    EXPECT_TRUE(math.cholesky(a.data(), 3) == -1 && a == V({2, 1, -1, L, 3, 1, L, L, 3}));
    EXPECT_TRUE(math.cholesky(indefinite.data(), 2) == 1 && math.cholesky(zeroFirst.data(), 2) == 0);

    // R = [[2, 1, -1], [0, 3, 1], [0, 0, 4]]: R^-1 = [[1/2, -1/6, 1/6], [0, 1/3, -1/12], [0, 0, 1/4]].
    V r{2, 1, -1, L, 3, 1, L, L, 4}, inverse{0.5f, -1.0f / 6, 1.0f / 6, L, 1.0f / 3, -1.0f / 12, L, L, 0.25f};
    EXPECT_EQ(math.rinverse(r.data(), 3), 0);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(r[i], inverse[i], 1e-7f) << i;
    // A zero pivot stops it: the rows below are inverted, the rest is unchanged.
    V singular{1, 2, 3, L, 0, 1, L, L, 2};
    EXPECT_TRUE(math.rinverse(singular.data(), 3) == 1 && singular == V({1, 2, 3, L, 0, 1, L, L, 0.5f}));

    float x[2], normSq = 0, rss = -1, ratio = 0, norm = 0;
    V work(9, L);
    const auto solve = [&](V normal, float lambda) {
        return Math(2).solveEquation(normal.data(), work.data(), 2, lambda, x, &normSq, &rss, &ratio);
    };
    // An exact fit (N = diag(4, 1), r = (8, 3), |b|^2 = 25): the last pivot fails, rss is 0.
    EXPECT_EQ(solve({4, 0, 8, L, 1, 3, L, L, 25}, 0.0f), 0);
    EXPECT_TRUE(V({x[0], x[1], normSq, rss, ratio}) == V({2, 3, 13, 0, 1}) && work == V({2, 0, 4, L, 1, 3, L, L, 0}));

    // N = [[1, 0.5], [0.5, 1]], damping 1: 1 added to the diagonal, |x|^2 subtracted from the rss.
    EXPECT_EQ(solve({1, 0.5f, 1, L, 1, 1, L, L, 10}, 1.0f), 0);
    EXPECT_NEAR(x[0], 0.4f, 1e-6f); // (N + I) x = (1, 1)
    EXPECT_NEAR(rss, 10.0f - 0.8f - 0.32f, 1e-5f);
    EXPECT_NEAR(ratio, 2.0f * 2.0f / (2.0f * 2.0f - 0.25f), 1e-6f);

    // Indefinite N fails before the last pivot; damping makes it solvable.
    EXPECT_TRUE(solve({1, 2, 1, L, 1, 1, L, L, 10}, 0.0f) == 1 && solve({1, 2, 1, L, 1, 1, L, L, 10}, 2.0f) == 0);

    // Variances: n = 1, factor 2, residual pivot 3: variance = 9 / d / 4 with d = m - n, or 1 below 2.
    for (const auto& [m, expected] : {std::pair{3, 1.125f}, {2, 2.25f}, {-4, 2.25f}, {11, 0.225f}})
        EXPECT_TRUE(Math(1).varianceOfSolution(V{2, 7, L, 3}.data(), m, x) == 0 && x[0] == expected) << m;
    // n = 3, R as above at stride 4, residual 2, m = 7: sigma^2 = 1, the variances are the squared row norms of R^-1.
    V v(3), factor{2, 1, -1, 9, L, 3, 1, 9, L, L, 4, 9, L, L, L, 2};
    EXPECT_EQ(Math(3).varianceOfSolution(factor.data(), 7, v.data()), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(v[i], (V{0.25f + 2.0f / 36, 1.0f / 9 + 1.0f / 144, 1.0f / 16}[i]), 1e-6f) << i;

    // Nearly collinear (pivot ratio about 32), fitted exactly by x = (1, -1): the ratio limit 524288 keeps it undamped.
    const float c = 63.0f / 64;
    V exact{1, c, 1 - c, L, 1, c - 1, L, L, 2 - 2 * c};
    EXPECT_TRUE(Math(2).leastSquares(exact.data(), work.data(), 2, 4.0f, 10.0f, x, &norm));
    EXPECT_TRUE(std::fabs(x[0] - 1.0f) < 1e-3f && std::fabs(x[1] + 1.0f) < 1e-3f) << x[0] << ", " << x[1];
    // With a residual of 1 the limit is max(16, 12): the ratio is rejected and x damped.
    exact[8] += 1.0f;
    EXPECT_TRUE(!Math(2).leastSquares(exact.data(), work.data(), 2, 4.0f, 10.0f, x, &norm) && norm < 1.0f);

    // The norm limit 0.5 forces lambda = e^t - 1: t = 1 passes, 0.5 not, 0.75 does and |x|^2 > 0.8^2 * 0.5^2 ends it.
    V unit = kUnit;
    EXPECT_FALSE(Math(1).leastSquares(unit.data(), work.data(), 1, 5.0f, 0.5f, x, &norm));
    const float lambda = std::exp(0.75f) - 1.0f;
    EXPECT_NEAR(x[0], 1.0f / (1.0f + lambda * lambda), 1e-6f);
    EXPECT_NEAR(work[0], std::sqrt(1.0f + lambda * lambda), 1e-6f) << "factor of the accepted solve";
    // Limits no damping can meet: the bounded search gives up with an infinite norm.
    for (float limit : {0.0f, std::nanf("")})
        EXPECT_TRUE(!Math(1).leastSquares(unit.data(), work.data(), 1, 5.0f, limit, x, &norm) && norm == kInf) << limit;
}

TEST(CorrectionMath, StatusCodes)
{
    Math math(1), two(2);
    const float k = std::sqrt(5.0f) * 3.295f / (5.0f - 1.0f - 3.21445f), bound = k + 1.0f;
    // T = x^2 / variance = 1: the threshold 0.64 is below (2k + 1) T, the correction significant.
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, 100.0f), (V{0, 1, bound, 1, 1}));
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 1.5f, 100.0f), (V{2, 1, bound, 1, 1})) << "norm below minNormAccept";
    EXPECT_EQ(Correct(math, kUnit, 5, 0.5f, 1.0f, 100.0f)[0], 1) << "after significant damping";
    // Too few observations (m - n - 3.21445 <= 0): k = 1e10.
    EXPECT_EQ(Correct(math, kUnit, 4, 10.0f, 0.0f, 100.0f)[2], std::sqrt(4.0f / 3.0f) * (1e10f + 1.0f));

    // A threshold of exactly (2k + 1) T accepts, the float below not; a norm above maxNorm rejects.
    math.fTestThreshold = 2.0f * k + 1.0f;
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, 1.0f), (V{2, 1, bound, 1, 1}));
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, std::nextafter(1.0f, 0.0f)), (V{0, 1, L, 1, L}));
    math.fTestThreshold = std::nextafter(2.0f * k + 1.0f, 0.0f);
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, 1.0f), (V{0, 1, bound, 1, 1}));

    // An exhausted damping search rejects whatever maxNorm allows.
    for (float maxNorm : {100.0f, kInf, std::nanf("")})
    {
        const V s = Correct(math, kUnit, 5, 0.0f, 10.0f, maxNorm);
        EXPECT_EQ((V{s[0], s[1], s[2], s[4]}), (V{0, kInf, L, L})) << maxNorm;
    }

    // N = diag(1, 1024), r = (0.25, 256), m = 10002: x = (0.25, 0.25), variances (1, 1/1024), T about 64. minNormAccept
    // 0.3 < |x| lifts the small variance to the floor 0.09 / 2.14 in the test sum only: T about 1.55, negligible.
    const V normal{1, 0, 0.25f, 0, 1024, 256, 0, 0, 10064.0625f};
    const V plain = Correct(two, normal, 10002, 10.0f, 0.0f, 100.0f),
            floored = Correct(two, normal, 10002, 10.0f, 0.3f, 100.0f);
    EXPECT_EQ(plain[0], 0);
    EXPECT_EQ(floored, (V{2, floored[1], plain[2], 0.25f, 0.25f, 1.0f, 1.0f / 1024}));
}

TYPED_TEST(SymmetricEigen, SizesDiagonalInputSortOrderNaNAndGramMatrices)
{
    using T = TypeParam;
    using W = std::vector<T>;
    // n = 0 writes nothing; a negative n is an allocation failure that writes nothing either.
    T out[4] = {7, 7, 7, 7}, in[3] = {1, 2, 3};
    DataLayer::VelmTorCorrMath::semi_definite_symmetric(in, 0, out, out + 2);
    EXPECT_THROW(DataLayer::VelmTorCorrMath::semi_definite_symmetric(in, -3, out, out + 2), std::bad_alloc);
    EXPECT_EQ(W(out, out + 4), W(4, 7));

    // Diagonal matrices need no rotation: their diagonal sorted, with rows of the identity. Among equal values the
    // first position wins (5, 2, 2 stays), but swaps can reorder them: diag(2, 5, 2, 5) gives the rows e1, e3, e2, e0.
    const std::vector<std::pair<W, std::pair<W, W>>> diagonal{
        {{-2.5}, {{-2.5}, {1}}},
        {{-4, 0, 0.5}, {{0.5, -4}, {0, 1, 1, 0}}},
        {{1, 0, 3, 0, 0, 2}, {{3, 2, 1}, {0, 1, 0, 0, 0, 1, 1, 0, 0}}},
        {{5, 0, 2, 0, 0, 2}, {{5, 2, 2}, {1, 0, 0, 0, 1, 0, 0, 0, 1}}},
        {{2, 0, 5, 0, 0, 2, 0, 0, 0, 5}, {{5, 5, 2, 2}, {0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0}}}};
    for (const auto& [packed, expected] : diagonal)
        EXPECT_EQ(Decompose(packed, static_cast<int>(expected.first.size())), expected);

    // A NaN off the diagonal must not let the untouched diagonal pass for eigenvalues.
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const W nanAll = Decompose<T>({1, nan, 2, 0, 0.5, 3}, 3).first, nanLast = Decompose<T>({1, 0, nan}, 2).first;
    EXPECT_TRUE(std::all_of(nanAll.begin(), nanAll.end(), [](T v) { return std::isnan(v); }));
    EXPECT_TRUE(nanLast[0] == 1 && std::isnan(nanLast[1]));

    // [[2, 1], [1, 2]]: one rotation by -pi/4; row 0 of the rotated identity is (cos t, -sin t).
    const auto [values, vectors] = Decompose<T>({2, 1, 2}, 2);
    const T theta = static_cast<T>(-0.78539816339744830962);
    EXPECT_EQ(vectors, (W{std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta)}));
    for (int k : {0, 1})
        EXPECT_NEAR(values[k], 3 - 2 * k, 8 * std::numeric_limits<T>::epsilon()) << k;

    // 6 x 6 Gram matrices: sorted eigenvalues with orthonormal eigenvectors that rebuild the matrix.
    using M = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    const int n = 6;
    unsigned state = 12345u;
    for (int rank : {6, 3}) // full rank, and a rank-deficient one as from a surface that slides
    {
        M b(n, rank);
        std::generate(b.data(), b.data() + b.size(),
                      [&] { return ((state = state * 1103515245u + 12345u) >> 8) % 2001 / 1000.0 - 1.0; });
        const M a = b * b.transpose();
        W packed;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j <= i; ++j)
                packed.push_back(static_cast<T>(a(i, j)));
        const auto [eigenvalues, rows] = Decompose(packed, n);
        const Eigen::ArrayXd d = Eigen::Map<const Eigen::Array<T, n, 1>>(eigenvalues.data()).template cast<double>();
        const M v = Eigen::Map<const Eigen::Matrix<T, n, n, Eigen::RowMajor>>(rows.data()).template cast<double>();
        // The sweeps stop once the off-diagonal sum of squares (below 10 here) has fallen by 1e-5.
        const double tol = std::sqrt(2e-5 * 10) + 1e-4;
        EXPECT_TRUE((d.head(n - 1) >= d.tail(n - 1)).all() && (rank == n || (d.tail(3).abs() < tol).all())) << rank;
        EXPECT_TRUE(((v.transpose() * d.matrix().asDiagonal() * v - a).array().abs() <= tol).all()) << rank;
        EXPECT_TRUE(((v * v.transpose() - M::Identity(n, n)).array().abs() <= 1e-5).all()) << rank;
    }
}
