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
    float NumParamsF() const { return fNumParams; }
    float TestThreshold() const { return fTestThreshold; }
    void SetTestThreshold(float value) { fTestThreshold = value; }
};

constexpr float kSentinel = -12345.0f;
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Outcome
{
    int status = -1;
    std::vector<float> x, variances;
    float norm = kSentinel, errorBound = kSentinel;
    std::vector<float> work;
};

Outcome Correct(const TestableCorrMath& math, std::vector<float> normal, int m, float normLimitSearch,
            float minNormAccept, float maxNorm)
{
    const int n = math.NumParams();
    Outcome o;
    o.x.assign(n, kSentinel);
    o.variances.assign(n, kSentinel);
    o.work.assign((n + 1) * (n + 1), kSentinel);
    const std::vector<float> original = normal;
    o.status = math.CorrectionMethod(normal.data(), o.work.data(), m, normLimitSearch, minNormAccept, maxNorm,
                                     o.x.data(), o.variances.data(), &o.norm, &o.errorBound);
    EXPECT_EQ(normal, original) << "the normal matrix is only read";
    return o;
}

// k of the significance test for m observations of n parameters, as the class evaluates it.
float KFactor(int m, int n)
{
    const float mf = static_cast<float>(m);
    const float d = mf - static_cast<float>(n) - 3.21445f;
    return std::sqrt(mf) * 3.295f / d;
}

// One parameter, m = 5 observations: N = 1, r = 1, |b|^2 = 5, so x = 1 undamped, the residual
// sum of squares is 4 and the variance 4 / (m - n) = 1, all exact in float.
const std::vector<float> kUnitProblem{1, 1, 1, 5};
} // namespace

TEST(CorrectionMath, ConstructorFields)
{
    const TestableCorrMath none;
    EXPECT_EQ(none.NumParams(), 0);
    EXPECT_NEAR(none.TestThreshold(), 0.14f, 1e-6f);

    const TestableCorrMath six(6);
    EXPECT_EQ(six.NumParams(), 6);
    EXPECT_EQ(six.NumParamsF(), 6.0f);
    // s * 0.5 * s with s = sqrt(n^2 - 1 + 1.28)
    EXPECT_NEAR(six.TestThreshold(), 18.14f, 2e-5f);
    EXPECT_NEAR(TestableCorrMath(1).TestThreshold(), 0.64f, 1e-6f);

    TestableCorrMath assigned;
    assigned = six;
    EXPECT_EQ(assigned.NumParams(), 6);
    EXPECT_EQ(assigned.TestThreshold(), six.TestThreshold());

    try
    {
        TestableCorrMath bad(-2);
        FAIL() << "a negative parameter count must throw";
    }
    catch (const VelmException& e)
    {
        EXPECT_STREQ(e.GetMessageText().GetString(), L"Number of parameters -2 is negative.");
        EXPECT_STREQ(e.GetFilename(), "velm/DataLayer/Algorithms/Math/VelmTorCorrMath.cpp");
    }
}

TEST(CorrectionMath, CholeskyFactorsInPlaceAndReportsTheFailingPivot)
{
    const TestableCorrMath math;
    const float L = kSentinel;
    // [[4, 2, -2], [2, 10, 2], [-2, 2, 11]] = R^T R with R = [[2, 1, -1], [0, 3, 1], [0, 0, 3]].
    // Only the upper triangle is read and written.
    std::vector<float> a{4, 2, -2, L, 10, 2, L, L, 11};
    EXPECT_EQ(math.cholesky(a.data(), 3), -1);
    EXPECT_EQ(a, (std::vector<float>{2, 1, -1, L, 3, 1, L, L, 3}));

    std::vector<float> indefinite{1, 2, L, 1};
    EXPECT_EQ(math.cholesky(indefinite.data(), 2), 1);
    std::vector<float> zeroFirst{0, 1, L, 1};
    EXPECT_EQ(math.cholesky(zeroFirst.data(), 2), 0);
    EXPECT_EQ(zeroFirst, (std::vector<float>{0, 1, L, 1}));
    // Only the last pivot fails: the signal solveEquation reads as an exact fit.
    std::vector<float> exact{1, 2, L, 4};
    EXPECT_EQ(math.cholesky(exact.data(), 2), 1);
    EXPECT_EQ(math.cholesky(a.data(), 0), -1);
}

TEST(CorrectionMath, RinverseInvertsUpperTriangle)
{
    const TestableCorrMath math;
    const float L = kSentinel;
    // R = [[2, 1, -1], [0, 3, 1], [0, 0, 4]]; R^-1 = [[1/2, -1/6, 1/6], [0, 1/3, -1/12], [0, 0, 1/4]].
    std::vector<float> r{2, 1, -1, L, 3, 1, L, L, 4};
    EXPECT_EQ(math.rinverse(r.data(), 3), 0);
    const float expected[9] = {0.5f, -1.0f / 6, 1.0f / 6, L, 1.0f / 3, -1.0f / 12, L, L, 0.25f};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(r[i], expected[i], 1e-7f) << i;

    // A zero on the diagonal stops the inversion there: rows below are inverted, the rest unchanged.
    std::vector<float> singular{1, 2, 3, L, 0, 1, L, L, 2};
    EXPECT_EQ(math.rinverse(singular.data(), 3), 1);
    EXPECT_EQ(singular, (std::vector<float>{1, 2, 3, L, 0, 1, L, L, 0.5f}));
    EXPECT_EQ(math.rinverse(singular.data(), 0), 0);
}

TEST(CorrectionMath, SolveEquation)
{
    const TestableCorrMath math(2);
    const float L = kSentinel;
    float x[2], normSq = 0, rss = -1, ratio = 0;

    // An exact fit: N = diag(4, 1), r = (8, 3), |b|^2 = 25 leaves nothing for the last pivot.
    std::vector<float> normal{4, 0, 8, L, 1, 3, L, L, 25};
    std::vector<float> work(9, L);
    EXPECT_EQ(math.solveEquation(normal.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_EQ(x[0], 2.0f);
    EXPECT_EQ(x[1], 3.0f);
    EXPECT_EQ(normSq, 13.0f);
    EXPECT_EQ(rss, 0.0f);
    EXPECT_EQ(ratio, 1.0f);
    EXPECT_EQ(work, (std::vector<float>{2, 0, 4, L, 1, 3, L, L, 0})) << "factor, lower triangle untouched";

    // Damping lambda = 1 on N = 2, r = 2, |b|^2 = 4: x = r / (N + 1), the ratio stays 1 because the
    // pivot is the damped diagonal itself, and rss = |b|^2 - r^2/(N+1) - lambda^2 |x|^2 = 20/9.
    std::vector<float> one{2, 2, L, 4};
    std::vector<float> work1(4, L);
    EXPECT_EQ(math.solveEquation(one.data(), work1.data(), 1, 1.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_NEAR(x[0], 2.0f / 3, 1e-6f);
    EXPECT_NEAR(normSq, 4.0f / 9, 1e-6f);
    EXPECT_NEAR(rss, 20.0f / 9, 1e-5f);
    EXPECT_NEAR(ratio, 1.0f, 1e-6f);

    // Correlated parameters shrink the second pivot: N = [[1, 0.5], [0.5, 1]] gives the pivots 1 and
    // 3/4, so the ratio is 1 * 4/3.
    std::vector<float> corr{1, 0.5f, 1, L, 1, 1, L, L, 10};
    EXPECT_EQ(math.solveEquation(corr.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 0);
    EXPECT_NEAR(ratio, 4.0f / 3, 1e-6f);
    EXPECT_NEAR(x[0], 2.0f / 3, 1e-6f);
    EXPECT_NEAR(x[1], 2.0f / 3, 1e-6f);
    EXPECT_NEAR(rss, 10.0f - 4.0f / 3, 1e-5f);

    // An indefinite N fails before the last pivot; damping makes it solvable.
    std::vector<float> indefinite{1, 2, 1, L, 1, 1, L, L, 10};
    EXPECT_EQ(math.solveEquation(indefinite.data(), work.data(), 2, 0.0f, x, &normSq, &rss, &ratio), 1);
    EXPECT_EQ(math.solveEquation(indefinite.data(), work.data(), 2, 2.0f, x, &normSq, &rss, &ratio), 0);
}

TEST(CorrectionMath, VarianceOfSolution)
{
    const float L = kSentinel;
    // n = 1, factor 2, residual pivot 3: variance = 9 / d * (1/2)^2, d = m - n unless that is below 2.
    {
        const TestableCorrMath math(1);
        float variance = 0;
        const std::pair<int, float> cases[] = {{3, 1.125f}, {2, 2.25f}, {1, 2.25f}, {-4, 2.25f}, {11, 0.225f}};
        for (const auto& [m, expected] : cases)
        {
            std::vector<float> work{2, 7, L, 3};
            EXPECT_EQ(math.varianceOfSolution(work.data(), m, &variance), 0);
            EXPECT_FLOAT_EQ(variance, expected) << "m = " << m;
        }
    }
    // n = 3, factor R = [[2, 1, -1], [0, 3, 1], [0, 0, 4]] at stride 4, residual pivot 2, m = 7: sigma^2
    // = 4 / 4 = 1 and the variances are the squared row norms of R^-1.
    {
        const TestableCorrMath math(3);
        std::vector<float> work{2, 1, -1, 9, L, 3, 1, 9, L, L, 4, 9, L, L, L, 2};
        float variances[3];
        EXPECT_EQ(math.varianceOfSolution(work.data(), 7, variances), 0);
        EXPECT_NEAR(variances[0], 0.25f + 1.0f / 36 + 1.0f / 36, 1e-6f);
        EXPECT_NEAR(variances[1], 1.0f / 9 + 1.0f / 144, 1e-6f);
        EXPECT_NEAR(variances[2], 1.0f / 16, 1e-6f);

        // A zero pivot cannot be inverted: the variances stay unwritten.
        std::vector<float> singular{2, 1, -1, 9, L, 0, 1, 9, L, L, 4, 9, L, L, L, 2};
        float untouched[3] = {L, L, L};
        EXPECT_EQ(math.varianceOfSolution(singular.data(), 7, untouched), 1);
        EXPECT_EQ(untouched[0], L);
        EXPECT_EQ(untouched[2], L);
    }
}

TEST(CorrectionMath, DampingSearch)
{
    const TestableCorrMath math(2);
    const float L = kSentinel;
    float x[2], norm = 0;
    std::vector<float> work(9);

    // Nearly collinear parameters (N = [[1, 63/64], [63/64, 1]], pivot ratio about 32) fitted exactly
    // by x = (1, -1): with no residual the ratio limit is 524288, so the undamped solve is accepted.
    const float c = 63.0f / 64;
    std::vector<float> exact{1, c, 1 - c, L, 1, c - 1, L, L, 2 - 2 * c};
    EXPECT_TRUE(math.leastSquares(exact.data(), work.data(), 2, 4.0f, 10.0f, x, &norm));
    EXPECT_NEAR(x[0], 1.0f, 1e-3f);
    EXPECT_NEAR(x[1], -1.0f, 1e-3f);
    EXPECT_NEAR(norm, std::sqrt(2.0f), 1e-3f);

    // The same system with a residual of 1: the limit becomes max(16, 12) and rejects the ratio, so
    // the search damps the solution towards zero and reports the damping.
    std::vector<float> noisy = exact;
    noisy[8] += 1.0f;
    EXPECT_FALSE(math.leastSquares(noisy.data(), work.data(), 2, 4.0f, 10.0f, x, &norm));
    EXPECT_LT(norm, 1.0f);

    // One parameter, x = 1 undamped, but the norm limit 0.5 forces damping lambda = e^t - 1: t = 1 is
    // accepted, t = 0.5 is not, t = 0.75 is, and its |x|^2 above 0.8^2 * 0.25 ends the search.
    const TestableCorrMath single(1);
    std::vector<float> unit = kUnitProblem;
    std::vector<float> work1(4);
    EXPECT_FALSE(single.leastSquares(unit.data(), work1.data(), 1, 5.0f, 0.5f, x, &norm));
    const float lambda = std::exp(0.75f) - 1.0f;
    EXPECT_NEAR(x[0], 1.0f / (1.0f + lambda * lambda), 1e-6f);
    EXPECT_NEAR(norm, x[0], 1e-7f);
    EXPECT_NEAR(work1[0], std::sqrt(1.0f + lambda * lambda), 1e-6f) << "factor of the accepted solve";

    // No damping can bring |x| to 0: the search gives up and reports an infinite norm.
    EXPECT_FALSE(single.leastSquares(unit.data(), work1.data(), 1, 5.0f, 0.0f, x, &norm));
    EXPECT_EQ(norm, kInf);
    // A NaN limit accepts nothing either.
    EXPECT_FALSE(single.leastSquares(unit.data(), work1.data(), 1, 5.0f, std::nanf(""), x, &norm));
    EXPECT_EQ(norm, kInf);
}

TEST(CorrectionMath, StatusZeroTwoAndTheExactBoundaries)
{
    TestableCorrMath math(1);
    const float k = KFactor(5, 1);

    // x = 1, variance 1, so the test sum T is 1: the natural threshold 0.64 is below (2k + 1) T, the
    // correction is significant.
    Outcome o = Correct(math, kUnitProblem, 5, 10.0f, 0.0f, 100.0f);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.x[0], 1.0f);
    EXPECT_EQ(o.norm, 1.0f);
    EXPECT_EQ(o.variances[0], 1.0f);
    EXPECT_EQ(o.errorBound, 1.0f * (k + 1.0f));

    // A threshold of exactly (2k + 1) T accepts, the next float below does not.
    const float boundary = (2.0f * k + 1.0f) * 1.0f;
    math.SetTestThreshold(boundary);
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 10.0f, 0.0f, 100.0f).status, 2);
    math.SetTestThreshold(std::nextafter(boundary, 0.0f));
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 10.0f, 0.0f, 100.0f).status, 0);

    // A norm below minNormAccept is significant whatever the test sum says.
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 10.0f, 1.5f, 100.0f).status, 2);
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 10.0f, 1.0f, 100.0f).status, 0);

    // A norm of exactly maxNorm is kept; just below, the outcome is 0 with x and the norm written
    // but neither the variances nor the error bound.
    math.SetTestThreshold(boundary);
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 10.0f, 0.0f, 1.0f).status, 2);
    Outcome rejected = Correct(math, kUnitProblem, 5, 10.0f, 0.0f, std::nextafter(1.0f, 0.0f));
    EXPECT_EQ(rejected.status, 0);
    EXPECT_EQ(rejected.x[0], 1.0f);
    EXPECT_EQ(rejected.norm, 1.0f);
    EXPECT_EQ(rejected.variances[0], kSentinel);
    EXPECT_EQ(rejected.errorBound, kSentinel);

    // Too few observations (m - n - 3.21445 <= 0): k = 1e10, so only minNormAccept can call a
    // correction negligible.
    TestableCorrMath few(1);
    Outcome o3 = Correct(few, {1, 1, 1, 5}, 4, 10.0f, 0.0f, 100.0f);
    EXPECT_EQ(o3.status, 0);
    EXPECT_EQ(o3.errorBound, std::sqrt(4.0f / 3.0f) * (1e10f + 1.0f));
    EXPECT_EQ(Correct(few, {1, 1, 1, 5}, 4, 10.0f, 1.01f, 100.0f).status, 2);
}

TEST(CorrectionMath, StatusOneAfterSignificantDamping)
{
    const TestableCorrMath math(1);
    // The damping search of DampingSearch ends false with |x| about 0.445; below minNormAccept that
    // counts as negligible, reported as damped.
    Outcome o = Correct(math, kUnitProblem, 5, 0.5f, 1.0f, 100.0f);
    EXPECT_EQ(o.status, 1);
    EXPECT_NEAR(o.norm, 0.4449f, 1e-4f);
    EXPECT_GT(o.variances[0], 0.0f);
    EXPECT_EQ(Correct(math, kUnitProblem, 5, 0.5f, 0.0f, 100.0f).status, 0);
}

TEST(CorrectionMath, VarianceFloorInTheTestSum)
{
    const TestableCorrMath math(2);
    // N = diag(1, 1024), r = (0.25, 256), |b|^2 = 10064.0625, m = 10002: x = (0.25, 0.25), sigma^2 = 1,
    // variances (1, 1/1024). The tiny second variance makes T about 64: a significant correction ...
    const std::vector<float> normal{1, 0, 0.25f, 0, 1024, 256, 0, 0, 10064.0625f};
    Outcome plain = Correct(math, normal, 10002, 10.0f, 0.0f, 100.0f);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.x[0], 0.25f);
    EXPECT_EQ(plain.x[1], 0.25f);
    EXPECT_EQ(plain.variances[0], 1.0f);
    EXPECT_EQ(plain.variances[1], 1.0f / 1024);
    // ... while minNormAccept = 0.3 (still below |x| = 0.354) raises it to the floor 0.09 / 2.14, so
    // T falls to about 1.55 and the correction counts as negligible.
    Outcome floored = Correct(math, normal, 10002, 10.0f, 0.3f, 100.0f);
    EXPECT_EQ(floored.status, 2);
    EXPECT_EQ(floored.variances[1], 1.0f / 1024) << "the floor enters the test only";
    EXPECT_EQ(floored.errorBound, plain.errorBound);
}

TEST(CorrectionMath, ExhaustedSearchRejects)
{
    const TestableCorrMath math(1);
    for (float maxNorm : {100.0f, kInf, std::nanf("")})
    {
        Outcome o = Correct(math, kUnitProblem, 5, 0.0f, 10.0f, maxNorm);
        EXPECT_EQ(o.status, 0) << maxNorm;
        EXPECT_EQ(o.norm, kInf);
        EXPECT_EQ(o.variances[0], kSentinel);
        EXPECT_EQ(o.errorBound, kSentinel);
    }
}

namespace
{
// Normal equations of y = A x_true + noise (sigma 0.05, A uniform in [-1, 1]), formed in double and
// rounded to float as a caller would.
std::vector<float> NoisyNormalEquations(const double* xTrue, int n, int m, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> coord(-1.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<double> N((n + 1) * (n + 1), 0.0);
    std::vector<double> row(n + 1);
    for (int o = 0; o < m; ++o)
    {
        double y = 0;
        for (int i = 0; i < n; ++i)
        {
            row[i] = coord(rng);
            y += row[i] * xTrue[i];
        }
        row[n] = y + noise(rng);
        for (int i = 0; i <= n; ++i)
            for (int j = i; j <= n; ++j)
                N[i * (n + 1) + j] += row[i] * row[j];
    }
    return std::vector<float>(N.begin(), N.end());
}
} // namespace

TEST(CorrectionMath, RecoversLeastSquaresSolutionAndTestsItsSignificance)
{
    const int n = 4, m = 400;
    const TestableCorrMath math(n);

    // A correction far outside the noise: recovered, with variances near sigma^2 / sum(a_i^2) =
    // 0.0025 / (400/3), and judged significant (status 0) ...
    const double xTrue[n] = {0.5, -1.25, 2.0, 0.125};
    Outcome o = Correct(math, NoisyNormalEquations(xTrue, n, m, 7), m, 100.0f, 0.0f, 100.0f);
    EXPECT_EQ(o.status, 0);
    double norm = 0, varianceSum = 0;
    for (int i = 0; i < n; ++i)
    {
        EXPECT_NEAR(o.x[i], xTrue[i], 0.02);
        EXPECT_NEAR(o.variances[i], 0.0025 / (m / 3.0), 0.3 * 0.0025 / (m / 3.0)) << i;
        norm += double(o.x[i]) * o.x[i];
        varianceSum += o.variances[i];
    }
    EXPECT_NEAR(o.norm, std::sqrt(norm), 1e-5);
    EXPECT_NEAR(o.errorBound, std::sqrt(varianceSum) * (KFactor(m, n) + 1.0), 1e-5);

    // ... while a true correction of zero leaves only noise, which the test accepts as negligible.
    const double zero[n] = {0, 0, 0, 0};
    Outcome z = Correct(math, NoisyNormalEquations(zero, n, m, 7), m, 100.0f, 0.0f, 100.0f);
    EXPECT_EQ(z.status, 2);
    for (int i = 0; i < n; ++i)
        EXPECT_NEAR(z.x[i], 0.0, 0.02);
}
