#include "velm/DataLayer/Algorithms/Math/CCholmodSolver.h"

#include "SparseTestSystems.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using DataLayer::CCholmodSolver;
using namespace SparseTestSystems;

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

const SSymmetric kIndefinite2x2{2, {{{0, 1.0}}, {{0, 2.0}, {1, 1.0}}}}; // x = (1, 1) for b = (3, 3)
} // namespace

TEST(CCholmodSolver, SolvesSmallAndLargeSystemsInBothModes)
{
    std::vector<double> solution;
    const SSymmetric grid = GridLaplacianPlusIdentity(60, solution);
    std::vector<double> gridB = grid.Multiply(solution);
    for (bool supernodal : {true, false})
    {
        SCOPED_TRACE(supernodal ? "supernodal" : "simplicial");
        // An entry right of the diagonal, a negative column and a row begun twice change nothing.
        CCholmodSolver solver;
        solver.begin_row();
        solver.add_value(0, 4.0);
        solver.add_value(1, 100.0);
        solver.end_row();
        solver.begin_row();
        solver.add_value(1, 3.0);
        solver.add_value(-1, 100.0);
        solver.add_value(0, 2.0);
        solver.end_row();
        ASSERT_TRUE(solver.factorize(supernodal));
        std::vector<double> b{2.0, 5.0};
        std::vector<double> x; // grown to the dimension
        ASSERT_TRUE(solver.solve(b, x));
        EXPECT_LT(MaxAbsDifference({-0.5, 2.0}, x), 1e-15);

        // A longer x keeps its tail; a b of another size leaves x untouched.
        std::vector<double> longer{9.0, 9.0, 9.0};
        ASSERT_TRUE(solver.solve(b, longer));
        EXPECT_EQ(9.0, longer[2]);
        std::vector<double> three{1.0, 2.0, 3.0};
        EXPECT_FALSE(solver.solve(three, x));
        EXPECT_LT(MaxAbsDifference({-0.5, 2.0}, x), 1e-15);

        CCholmodSolver large;
        Enter(large, grid);
        ASSERT_TRUE(large.factorize(supernodal));
        ASSERT_TRUE(large.solve(gridB, x));
        EXPECT_LT(MaxAbsDifference(solution, x), 1e-12);
    }
}

TEST(CCholmodSolver, RefusesEmptyUnfactorisedAndFailedMatricesSilently)
{
    // CHOLMOD's own warnings would go to stdout.
    testing::internal::CaptureStdout();
    CCholmodSolver empty;
    EXPECT_FALSE(empty.factorize(true));
    empty.add_value(0, 1.0); // before any row: dropped
    empty.end_row();
    EXPECT_FALSE(empty.factorize(false));

    std::vector<double> b{3.0, 3.0};
    std::vector<double> x{7.0, 7.0};
    CCholmodSolver solver;
    Enter(solver, k2x2);
    EXPECT_FALSE(solver.solve(b, x));

    // The simplicial LDL' factor handles an indefinite matrix; the supernodal LL' one cannot.
    CCholmodSolver indefinite;
    Enter(indefinite, kIndefinite2x2);
    EXPECT_FALSE(indefinite.factorize(true));
    EXPECT_FALSE(indefinite.solve(b, x));
    EXPECT_EQ((std::vector<double>{7.0, 7.0}), x);
    EXPECT_TRUE(indefinite.factorize(false));
    EXPECT_TRUE(indefinite.solve(b, x));
    EXPECT_LT(MaxAbsDifference({1.0, 1.0}, x), 1e-15);

    for (bool supernodal : {true, false})
    {
        CCholmodSolver singular;
        Enter(singular, kSingular2x2);
        EXPECT_FALSE(singular.factorize(supernodal)) << supernodal;
        EXPECT_FALSE(singular.solve(b, x)) << supernodal;
    }
    std::vector<double> wrongSize{1.0, 1.0, 1.0};
    EXPECT_FALSE(indefinite.solve(wrongSize, x));
    std::fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(CCholmodSolver, GrowsByRowsAndMovesItsState)
{
    CCholmodSolver solver;
    Enter(solver, SSymmetric{1, {{{0, 4.0}}}});
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
    EXPECT_FALSE(solver.solve(b1, x));

    std::vector<double> b{2.0, 5.0};
    CCholmodSolver moved(std::move(solver));
    EXPECT_FALSE(solver.solve(b, x));
    solver.begin_row();
    solver.add_value(0, 1.0);
    EXPECT_FALSE(solver.factorize(true));

    CCholmodSolver target;
    Enter(target, SSymmetric{1, {{{0, 1.0}}}});
    ASSERT_TRUE(target.factorize(true));
    target = std::move(moved);
    ASSERT_TRUE(target.solve(b, x));
    EXPECT_LT(MaxAbsDifference({-0.5, 2.0}, x), 1e-15);
}
