#include "velm/DataLayer/Algorithms/Math/CCholmodSolver.h"

#include "SparseTestSystems.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using DataLayer::CCholmodSolver;
using SparseTestSystems::SSymmetric;

namespace
{
// Row i of the lower triangle is column i of the upper one.
void Enter(CCholmodSolver& solver, const SSymmetric& a)
{
    for (int i = 0; i < a.n; ++i)
    {
        solver.begin_row();
        for (const auto& [col, v] : a.upper[i])
            solver.add_value(col, v);
    }
    solver.end_row();
}

const SSymmetric k2x2{2, {{{0, 4.0}}, {{0, 2.0}, {1, 3.0}}}};
const SSymmetric kIndefinite2x2{2, {{{0, 1.0}}, {{0, 2.0}, {1, 1.0}}}};
} // namespace

TEST(CCholmodSolver, SolvesTheSmallSystemInBothModes)
{
    for (bool supernodal : {true, false})
    {
        SCOPED_TRACE(supernodal ? "supernodal" : "simplicial");
        CCholmodSolver solver;
        // Row 0 carries an entry right of the diagonal and row 1 is begun twice: neither may
        // change the matrix.
        solver.begin_row();
        solver.add_value(0, 4.0);
        solver.add_value(1, 100.0);
        solver.end_row();
        solver.begin_row();
        solver.add_value(1, 3.0);
        solver.add_value(0, 2.0);
        solver.add_value(-1, 100.0);
        solver.end_row();
        ASSERT_TRUE(solver.factorize(supernodal));

        std::vector<double> b{2.0, 5.0};
        std::vector<double> x; // grown to the dimension
        ASSERT_TRUE(solver.solve(b, x));
        ASSERT_EQ(2u, x.size());
        EXPECT_DOUBLE_EQ(-0.5, x[0]);
        EXPECT_DOUBLE_EQ(2.0, x[1]);
        EXPECT_EQ((std::vector<double>{2.0, 5.0}), b);

        // A longer x keeps its tail; a b of another size is refused with x untouched.
        std::vector<double> longer{9.0, 9.0, 9.0};
        ASSERT_TRUE(solver.solve(b, longer));
        EXPECT_EQ(9.0, longer[2]);
        std::vector<double> three{1.0, 2.0, 3.0};
        EXPECT_FALSE(solver.solve(three, longer));
        EXPECT_DOUBLE_EQ(-0.5, longer[0]);
    }
}

TEST(CCholmodSolver, RefusesEmptyUnfactorisedAndFailedMatrices)
{
    CCholmodSolver empty;
    EXPECT_FALSE(empty.factorize(true));
    empty.add_value(0, 1.0); // before any row: dropped
    empty.begin_row();
    empty.end_row();
    EXPECT_FALSE(empty.factorize(false));

    CCholmodSolver unfactorised;
    Enter(unfactorised, k2x2);
    std::vector<double> b{2.0, 5.0};
    std::vector<double> x{7.0, 7.0};
    EXPECT_FALSE(unfactorised.solve(b, x));
    EXPECT_EQ((std::vector<double>{7.0, 7.0}), x);

    // The simplicial LDL' factor handles an indefinite matrix; the supernodal LL' one cannot.
    CCholmodSolver indefinite;
    Enter(indefinite, kIndefinite2x2);
    ASSERT_TRUE(indefinite.factorize(false));
    std::vector<double> rhs{3.0, 3.0};
    ASSERT_TRUE(indefinite.solve(rhs, x));
    EXPECT_DOUBLE_EQ(1.0, x[0]);
    EXPECT_DOUBLE_EQ(1.0, x[1]);
    EXPECT_FALSE(indefinite.factorize(true));
    x = {7.0, 7.0};
    EXPECT_FALSE(indefinite.solve(rhs, x));
    EXPECT_EQ((std::vector<double>{7.0, 7.0}), x);

    // A zero pivot stops both methods.
    for (bool supernodal : {true, false})
    {
        CCholmodSolver singular;
        Enter(singular, SSymmetric{2, {{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}}});
        EXPECT_FALSE(singular.factorize(supernodal)) << supernodal;
        EXPECT_FALSE(singular.solve(rhs, x)) << supernodal;
    }
}

TEST(CCholmodSolver, GrowsByRowsAndMovesItsState)
{
    CCholmodSolver solver;
    solver.begin_row();
    solver.add_value(0, 4.0);
    solver.end_row();
    ASSERT_TRUE(solver.factorize(true));
    std::vector<double> b1{8.0};
    std::vector<double> x;
    ASSERT_TRUE(solver.solve(b1, x));
    EXPECT_EQ((std::vector<double>{2.0}), x);

    // The row begun by end_row() takes the next entries: the matrix becomes the 2x2 system.
    solver.add_value(0, 2.0);
    solver.add_value(1, 3.0);
    solver.end_row();
    ASSERT_TRUE(solver.factorize(false));
    std::vector<double> b{2.0, 5.0};
    EXPECT_FALSE(solver.solve(b1, x));

    CCholmodSolver moved(std::move(solver));
    EXPECT_FALSE(solver.solve(b, x));
    EXPECT_FALSE(solver.factorize(true));
    solver.begin_row();
    solver.add_value(0, 1.0);
    ASSERT_TRUE(moved.solve(b, x));
    EXPECT_DOUBLE_EQ(-0.5, x[0]);
    EXPECT_DOUBLE_EQ(2.0, x[1]);

    CCholmodSolver target;
    Enter(target, SSymmetric{1, {{{0, 1.0}}}});
    ASSERT_TRUE(target.factorize(true));
    target = std::move(moved);
    ASSERT_TRUE(target.factorize(true));
    ASSERT_TRUE(target.solve(b, x));
    EXPECT_DOUBLE_EQ(2.0, x[1]);
}

TEST(CCholmodSolver, SolvesALargeSparseSystemInBothModes)
{
    const SSymmetric a = SparseTestSystems::GridLaplacianPlusIdentity(60);
    const std::vector<double> expected = SparseTestSystems::SmoothVector(a.n);
    std::vector<double> b = a.Multiply(expected);
    CCholmodSolver solver;
    Enter(solver, a);
    for (bool supernodal : {true, false})
    {
        ASSERT_TRUE(solver.factorize(supernodal)) << supernodal;
        std::vector<double> x;
        ASSERT_TRUE(solver.solve(b, x)) << supernodal;
        EXPECT_LT(SparseTestSystems::MaxAbsDifference(expected, x), 1e-12) << supernodal;
    }
}

TEST(CCholmodSolver, WritesNothingToTheConsole)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        std::vector<double> b{1.0, 1.0};
        std::vector<double> x;
        CCholmodSolver indefinite;
        Enter(indefinite, kIndefinite2x2);
        indefinite.factorize(true);
        indefinite.solve(b, x);
        CCholmodSolver singular;
        Enter(singular, SSymmetric{2, {{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}}});
        singular.factorize(false);
        std::vector<double> wrong{1.0, 1.0, 1.0};
        CCholmodSolver good;
        Enter(good, k2x2);
        good.factorize(true);
        good.solve(wrong, x);
    }
    std::fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}
