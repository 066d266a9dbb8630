#include "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace
{
// Opens the protected steps and the test threshold to the tests.
class TestableCorrMath : public DataLayer::VelmTorCorrMath
{
public:
    using VelmTorCorrMath::VelmTorCorrMath;
    using VelmTorCorrMath::cholesky;
    using VelmTorCorrMath::leastSquares;
    using VelmTorCorrMath::rinverse;
    using VelmTorCorrMath::solveEquation;
    using VelmTorCorrMath::varianceOfSolution;
    int NumParams() const { return iNumParams; }
    float TestThreshold() const { return fTestThreshold; }
    void SetTestThreshold(float value) { fTestThreshold = value; }
};

constexpr float L = -12345.0f; // marks elements that must stay unread and unwritten
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Outcome
{
    int status = -1;
    std::vector<float> x, variances;
    float norm = L, errorBound = L;
};

Outcome Correct(const TestableCorrMath& math, std::vector<float> normal, int m, float normLimitSearch,
                float minNormAccept, float maxNorm)
{
    const int n = math.NumParams();
    Outcome o{-1, std::vector<float>(n, L), std::vector<float>(n, L)};
    std::vector<float> work((n + 1) * (n + 1));
    const std::vector<float> original = normal;
    o.status = math.CorrectionMethod(normal.data(), work.data(), m, normLimitSearch, minNormAccept, maxNorm,
                                     o.x.data(), o.variances.data(), &o.norm, &o.errorBound);
    EXPECT_EQ(normal, original) << "the normal matrix is only read";
    return o;
}

// One parameter, m = 5: N = 1, r = 1, |b|^2 = 5, so x = 1 undamped, rss = 4 and the variance
// 4 / (m - n) = 1, all exact in float.
const std::vector<float> kUnit{1, 1, 1, 5};
} // namespace

TEST(CorrectionMath, ConstructorFields)
{
    // s * 0.5 * s with s = sqrt(n^2 - 1 + 1.28)
    EXPECT_NEAR(TestableCorrMath().TestThreshold(), 0.14f, 1e-6f);
    EXPECT_NEAR(TestableCorrMath(1).TestThreshold(), 0.64f, 1e-6f);
    EXPECT_NEAR(TestableCorrMath(6).TestThreshold(), 18.14f, 2e-5f);
    try
    {
        TestableCorrMath bad(-2);
        FAIL() << "a negative parameter count must throw";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetMessageText().GetString(), L"Number of parameters -2 is negative.");
    }
}

TEST(CorrectionMath, CholeskyAndTriangularInverse)
{
    const TestableCorrMath math;
    // [[4, 2, -2], [2, 10, 2], [-2, 2, 11]] = R^T R with R = [[2, 1, -1], [0, 3, 1], [0, 0, 3]];
    // only the upper triangle is read and written.
    std::vector<float> a{4, 2, -2, L, 10, 2, L, L, 11};
    EXPECT_EQ(math.cholesky(a.data(), 3), -1);
    EXPECT_EQ(a, (std::vector<float>{2, 1, -1, L, 3, 1, L, L, 3}));
    std::vector<float> indefinite{1, 2, L, 1}, zeroFirst{0, 1, L, 1};
    EXPECT_EQ(math.cholesky(indefinite.data(), 2), 1);
    EXPECT_EQ(math.cholesky(zeroFirst.data(), 2), 0);
    EXPECT_EQ(math.cholesky(a.data(), 0), -1);

    // R = [[2, 1, -1], [0, 3, 1], [0, 0, 4]]: R^-1 = [[1/2, -1/6, 1/6], [0, 1/3, -1/12], [0, 0, 1/4]].
    std::vector<float> r{2, 1, -1, L, 3, 1, L, L, 4};
    EXPECT_EQ(math.rinverse(r.data(), 3), 0);
    const float inverse[9] = {0.5f, -1.0f / 6, 1.0f / 6, L, 1.0f / 3, -1.0f / 12, L, L, 0.25f};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(r[i], inverse[i], 1e-7f) << i;
    // A zero pivot stops it: the rows below are inverted, the rest is unchanged.
    std::vector<float> singular{1, 2, 3, L, 0, 1, L, L, 2};
    EXPECT_EQ(math.rinverse(singular.data(), 3), 1);
    EXPECT_EQ(singular, (std::vector<float>{1, 2, 3, L, 0, 1, L, L, 0.5f}));
}

TEST(CorrectionMath, SolveEquation)
{
    const TestableCorrMath math(2);
    float x[2], normSq = 0, rss = -1, ratio = 0;
    std::vector<float> work(9, L);
    // An exact fit (N = diag(4, 1), r = (8, 3), |b|^2 = 25): the last pivot fails, rss is 0.
    std::vector<float> exact{4, 0, 8, L, 1, 3, L, L, 25};
    EXPECT_EQ(math.solveEquation(exact.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_EQ(std::vector<float>(x, x + 2), (std::vector<float>{2, 3}));
    EXPECT_EQ(normSq, 13.0f);
    EXPECT_EQ(rss, 0.0f);
    EXPECT_EQ(ratio, 1.0f);
    EXPECT_EQ(work, (std::vector<float>{2, 0, 4, L, 1, 3, L, L, 0}));

    // N = [[1, 0.5], [0.5, 1]] has the pivots 1 and 3/4: ratio 4/3. Damping lambda = 1 adds 1 to the
    // diagonal and subtracts lambda^2 |x|^2 from the residual.
    std::vector<float> corr{1, 0.5f, 1, L, 1, 1, L, L, 10};
    EXPECT_EQ(math.solveEquation(corr.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_NEAR(ratio, 4.0f / 3, 1e-6f);
    EXPECT_NEAR(x[1], 2.0f / 3, 1e-6f);
    EXPECT_NEAR(rss, 10.0f - 4.0f / 3, 1e-5f);
    EXPECT_EQ(math.solveEquation(corr.data(), work.data(), 2, 1.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_NEAR(x[0], 0.4f, 1e-6f); // (N + I) x = (1, 1)
    EXPECT_NEAR(rss, 10.0f - 0.8f - 0.32f, 1e-5f);
    EXPECT_NEAR(ratio, 2.0f * 2.0f / (2.0f * 2.0f - 0.25f), 1e-6f);

    // Indefinite N fails before the last pivot; damping makes it solvable.
    std::vector<float> indefinite{1, 2, 1, L, 1, 1, L, L, 10};
    EXPECT_EQ(math.solveEquation(indefinite.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 1);
    EXPECT_EQ(math.solveEquation(indefinite.data(), work.data(), 2, 2.0f, x, &normSq, &rss, &ratio), 0);
}

TEST(CorrectionMath, VarianceOfSolution)
{
    // n = 1, factor 2, residual pivot 3: variance = 9 / d / 4 with d = m - n, or 1 below 2.
    const TestableCorrMath one(1);
    float variance = 0;
    for (const auto& [m, expected] : {std::pair{3, 1.125f}, {2, 2.25f}, {-4, 2.25f}, {11, 0.225f}})
    {
        std::vector<float> work{2, 7, L, 3};
        EXPECT_EQ(one.varianceOfSolution(work.data(), m, &variance), 0);
        EXPECT_FLOAT_EQ(variance, expected) << "m = " << m;
    }
    // n = 3, R = [[2, 1, -1], [0, 3, 1], [0, 0, 4]] at stride 4, residual 2, m = 7: sigma^2 = 1 and the
    // variances are the squared row norms of R^-1.
    const TestableCorrMath three(3);
    std::vector<float> work{2, 1, -1, 9, L, 3, 1, 9, L, L, 4, 9, L, L, L, 2};
    float v[3];
    EXPECT_EQ(three.varianceOfSolution(work.data(), 7, v), 0);
    EXPECT_NEAR(v[0], 0.25f + 2.0f / 36, 1e-6f);
    EXPECT_NEAR(v[1], 1.0f / 9 + 1.0f / 144, 1e-6f);
    EXPECT_NEAR(v[2], 1.0f / 16, 1e-6f);
}

TEST(CorrectionMath, DampingSearch)
{
    const TestableCorrMath two(2), one(1);
    float x[2], norm = 0;
    std::vector<float> work(9);
    // Nearly collinear parameters (pivot ratio about 32) fitted exactly by x = (1, -1): without a
    // residual the ratio limit is 524288 and the undamped solve stands.
    const float c = 63.0f / 64;
    std::vector<float> exact{1, c, 1 - c, L, 1, c - 1, L, L, 2 - 2 * c};
    EXPECT_TRUE(two.leastSquares(exact.data(), work.data(), 2, 4.0f, 10.0f, x, &norm));
    EXPECT_NEAR(x[0], 1.0f, 1e-3f);
    EXPECT_NEAR(x[1], -1.0f, 1e-3f);
    // With a residual of 1 the limit is max(16, 12): the ratio is rejected and x damped.
    exact[8] += 1.0f;
    EXPECT_FALSE(two.leastSquares(exact.data(), work.data(), 2, 4.0f, 10.0f, x, &norm));
    EXPECT_LT(norm, 1.0f);

    // The norm limit 0.5 forces damping lambda = e^t - 1: t = 1 is accepted, 0.5 is not, 0.75 is,
    // and its |x|^2 above 0.8^2 * 0.5^2 ends the search.
    std::vector<float> unit = kUnit;
    EXPECT_FALSE(one.leastSquares(unit.data(), work.data(), 1, 5.0f, 0.5f, x, &norm));
    const float lambda = std::exp(0.75f) - 1.0f;
    EXPECT_NEAR(x[0], 1.0f / (1.0f + lambda * lambda), 1e-6f);
    EXPECT_NEAR(norm, x[0], 1e-7f);
    EXPECT_NEAR(work[0], std::sqrt(1.0f + lambda * lambda), 1e-6f) << "factor of the accepted solve";
    // Limits no damping can meet: the search gives up with an infinite norm.
    for (float limit : {0.0f, std::nanf("")})
    {
        EXPECT_FALSE(one.leastSquares(unit.data(), work.data(), 1, 5.0f, limit, x, &norm));
        EXPECT_EQ(norm, kInf);
    }
}

TEST(CorrectionMath, StatusCodes)
{
    TestableCorrMath math(1);
    const float k = std::sqrt(5.0f) * 3.295f / (5.0f - 1.0f - 3.21445f);
    // T = x^2 / variance = 1: the threshold 0.64 is below (2k + 1) T, the correction significant.
    Outcome o = Correct(math, kUnit, 5, 10.0f, 0.0f, 100.0f);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.x[0], 1.0f);
    EXPECT_EQ(o.variances[0], 1.0f);
    EXPECT_EQ(o.errorBound, k + 1.0f);
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 1.5f, 100.0f).status, 2) << "norm below minNormAccept";
    EXPECT_EQ(Correct(math, kUnit, 5, 0.5f, 1.0f, 100.0f).status, 1) << "after significant damping";

    // A threshold of exactly (2k + 1) T accepts, the next float below does not; a norm of exactly
    // maxNorm stays, just above it only x and the norm are written.
    math.SetTestThreshold(2.0f * k + 1.0f);
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, 1.0f).status, 2);
    const Outcome over = Correct(math, kUnit, 5, 10.0f, 0.0f, std::nextafter(1.0f, 0.0f));
    EXPECT_EQ(over.status, 0);
    EXPECT_EQ(over.norm, 1.0f);
    EXPECT_EQ(over.variances[0], L);
    EXPECT_EQ(over.errorBound, L);
    math.SetTestThreshold(std::nextafter(2.0f * k + 1.0f, 0.0f));
    EXPECT_EQ(Correct(math, kUnit, 5, 10.0f, 0.0f, 1.0f).status, 0);

    // An exhausted damping search rejects whatever maxNorm allows.
    for (float maxNorm : {100.0f, kInf, std::nanf("")})
    {
        const Outcome e = Correct(math, kUnit, 5, 0.0f, 10.0f, maxNorm);
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.norm, kInf);
        EXPECT_EQ(e.variances[0], L);
    }
    // Too few observations (m - n - 3.21445 <= 0): k = 1e10.
    EXPECT_EQ(Correct(math, kUnit, 4, 10.0f, 0.0f, 100.0f).errorBound, std::sqrt(4.0f / 3.0f) * (1e10f + 1.0f));

    // N = diag(1, 1024), r = (0.25, 256), m = 10002: x = (0.25, 0.25), variances (1, 1/1024), T about 64.
    // minNormAccept = 0.3 (below |x| = 0.354) lifts the small variance to the floor 0.09 / 2.14 in
    // the test sum only, T falls to about 1.55 and the correction becomes negligible.
    const TestableCorrMath two(2);
    const std::vector<float> normal{1, 0, 0.25f, 0, 1024, 256, 0, 0, 10064.0625f};
    const Outcome plain = Correct(two, normal, 10002, 10.0f, 0.0f, 100.0f);
    const Outcome floored = Correct(two, normal, 10002, 10.0f, 0.3f, 100.0f);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(floored.status, 2);
    EXPECT_EQ(floored.variances, (std::vector<float>{1.0f, 1.0f / 1024}));
    EXPECT_EQ(floored.errorBound, plain.errorBound);
}

TEST(CorrectionMath, RecoversNoisyLinearFit)
{
    // y = A x_true + noise (sigma 0.05, A uniform in [-1, 1]), 400 observations, normal equations
    // formed in double and rounded as a caller would.
    const int n = 4, m = 400;
    const TestableCorrMath math(n);
    for (double scale : {1.0, 0.0})
    {
        const double xTrue[n] = {0.5 * scale, -1.25 * scale, 2.0 * scale, 0.125 * scale};
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> coord(-1.0, 1.0);
        std::normal_distribution<double> noise(0.0, 0.05);
        std::vector<double> N((n + 1) * (n + 1), 0.0);
        for (int o = 0; o < m; ++o)
        {
            double row[n + 1], y = 0;
            for (int i = 0; i < n; ++i)
                y += (row[i] = coord(rng)) * xTrue[i];
            row[n] = y + noise(rng);
            for (int i = 0; i <= n; ++i)
                for (int j = i; j <= n; ++j)
                    N[i * (n + 1) + j] += row[i] * row[j];
        }
        const Outcome o = Correct(math, std::vector<float>(N.begin(), N.end()), m, 100.0f, 0.0f, 100.0f);
        // A real correction is significant; pure noise is negligible.
        EXPECT_EQ(o.status, scale == 0.0 ? 2 : 0);
        for (int i = 0; i < n; ++i)
        {
            EXPECT_NEAR(o.x[i], xTrue[i], 0.02);
            // about sigma^2 / sum(a_i^2) = 0.0025 / (400 / 3)
            EXPECT_NEAR(o.variances[i], 0.0025 / (m / 3.0), 0.3 * 0.0025 / (m / 3.0));
        }
    }
}
