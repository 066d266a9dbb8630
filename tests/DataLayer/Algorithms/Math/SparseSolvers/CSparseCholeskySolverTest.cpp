#include "velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.h"
#include "velm/Frame/VelmException.h"

#include "SparseTestSystems.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace SparseTestSystems;
using Dense = CSparseCholeskySolver::DenseMatrix;
using Sparse = CSparseCholeskySolver::SparseMatrix;

namespace
{
Sparse Build(CSparseCholeskySolver& solver, const SSymmetric& a)
{
    Sparse m = solver.CreateSparseMatrix(a.n);
    for (int j = 0; j < a.n; ++j)
    {
        m.NextVector();
        for (const auto& [i, v] : a.upper[j])
            m.AddValue(i, v);
    }
    return m;
}

Dense Column(CSparseCholeskySolver& solver, const std::vector<double>& b)
{
    Dense d = solver.CreateDenseMatrix(static_cast<unsigned>(b.size()), 1);
    for (size_t k = 0; k < b.size(); ++k)
        d(static_cast<int>(k), 0) = b[k];
    return d;
}

std::vector<double> Values(const Dense& d)
{
    return std::vector<double>(d.Ptr(), d.Ptr() + d.Size());
}
} // namespace

TEST(CSparseCholeskySolver, AssemblesColumnsAndRejectsMisplacedEntries)
{
    CSparseCholeskySolver solver;
    Sparse m = solver.CreateSparseMatrix(3);
    EXPECT_EQ(3, m.Dim());
    EXPECT_THROW(m.AddValue(0, 1.0), VelmException); // no column begun yet
    EXPECT_EQ(0, m.NextVector());
    EXPECT_EQ(-1, m.NextVector());
    m.AddValue(0, 4.0);
    m.AddValue(2, 100.0); // below the diagonal: dropped
    EXPECT_EQ(1, m.NextVector());
    try
    {
        m.AddValue(3, 1.0);
        FAIL() << "row 3 of a 3x3 matrix was accepted";
    }
    catch (const VelmException& e)
    {
        EXPECT_EQ(std::wstring(L"Index 3 exceeds matrix dimensions 3"), e.GetMessageText().Str());
        EXPECT_STREQ("Index 3 exceeds matrix dimensions 3", e.what());
        EXPECT_EQ(60u, e.GetCodeLine());
        EXPECT_STREQ("CSparseCholeskySolver::SparseMatrix::AddValue", e.GetFunctionName());
        EXPECT_STREQ("velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.cpp", e.GetFilename());
    }
    // None of the rejected entries reached the matrix: it is diag(4, 2, 1).
    m.AddValue(1, 2.0);
    m.NextVector();
    m.AddValue(2, 1.0);
    ASSERT_TRUE(solver.Factorize(m));
    Dense b = Column(solver, {8.0, 8.0, 8.0});
    ASSERT_TRUE(solver.Solve(b));
    EXPECT_EQ((std::vector<double>{2.0, 4.0, 8.0}), Values(b));
}

TEST(CSparseCholeskySolver, SolvesSmallAndLargeSystems)
{
    CSparseCholeskySolver solver;
    Sparse one = Build(solver, SSymmetric{1, {{{0, 4.0}}}});
    ASSERT_TRUE(solver.Factorize(one));
    Dense b1 = Column(solver, {8.0});
    ASSERT_TRUE(solver.Solve(b1));
    EXPECT_EQ(2.0, b1(0, 0));

    // Column-major and zero at first; each column is one right-hand side.
    Dense b = solver.CreateDenseMatrix(2, 3);
    EXPECT_EQ((std::vector<double>(6, 0.0)), Values(b));
    b(0, 0) = 2.0;
    b(1, 0) = 5.0;
    b.Ptr()[4] = 4.0;
    Sparse a = Build(solver, k2x2);
    // Factorising the same matrix twice must not close a column twice.
    ASSERT_TRUE(solver.Factorize(a));
    ASSERT_TRUE(solver.Factorize(a));
    ASSERT_TRUE(solver.Solve(b));
    const std::vector<double> expected{-0.5, 2.0, 0.0, 0.0, 1.5, -1.0};
    EXPECT_LT(MaxAbsDifference(expected, Values(b)), 1e-15);

    std::vector<double> solution;
    const SSymmetric grid = GridLaplacianPlusIdentity(60, solution);
    Sparse g = Build(solver, grid);
    ASSERT_TRUE(solver.Factorize(g));
    Dense gb = Column(solver, grid.Multiply(solution));
    ASSERT_TRUE(solver.Solve(gb));
    EXPECT_LT(MaxAbsDifference(solution, Values(gb)), 1e-12);
}

TEST(CSparseCholeskySolver, FailuresAreReportedSilentlyAndLeaveTheRightHandSideAlone)
{
    // CHOLMOD's own warnings would go to stdout.
    testing::internal::CaptureStdout();
    CSparseCholeskySolver solver;
    Dense b = Column(solver, {1.0, 2.0});
    EXPECT_FALSE(solver.Solve(b)); // no factor yet

    Sparse singular = Build(solver, kSingular2x2);
    EXPECT_FALSE(solver.Factorize(singular));
    Dense after = Column(solver, {1.0, 2.0}); // resets CHOLMOD's status
    EXPECT_FALSE(solver.Solve(after));
    EXPECT_EQ((std::vector<double>{1.0, 2.0}), Values(after));

    // Large enough for the supernodal method, which needs positive pivots.
    Sparse indefinite = Build(solver, DenseIndefinite(200));
    EXPECT_FALSE(solver.Factorize(indefinite));

    Sparse good = Build(solver, k2x2);
    EXPECT_TRUE(solver.Factorize(good));
    Dense three = Column(solver, {1.0, 2.0, 3.0});
    EXPECT_FALSE(solver.Solve(three));
    EXPECT_EQ((std::vector<double>{1.0, 2.0, 3.0}), Values(three));

    // More columns than the dimension (also by adding after a factorisation) and a column left
    // empty (one too few) must not reach CHOLMOD; the previous factor is gone.
    Sparse tooMany = Build(solver, k2x2);
    tooMany.NextVector();
    tooMany.AddValue(0, 1.0);
    EXPECT_FALSE(solver.Factorize(tooMany));
    EXPECT_FALSE(solver.Solve(b));
    Sparse gap = Build(solver, SSymmetric{3, {{{0, 1.0}}, {}, {{1, 1.0}, {2, 1.0}}}});
    EXPECT_FALSE(solver.Factorize(gap));
    EXPECT_TRUE(solver.Factorize(good));
    good.AddValue(1, 1.0);
    EXPECT_FALSE(solver.Factorize(good));

    EXPECT_THROW(solver.CreateDenseMatrix(0x80000000u, 1), VelmException);
    EXPECT_THROW(solver.CreateDenseMatrix(0x7FFFFFFFu, 0x7FFFFFFFu), VelmException);
    std::fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(CSparseCholeskySolver, CopiesAreDeepAndMovesTransferOwnership)
{
    CSparseCholeskySolver solver;
    Sparse half = solver.CreateSparseMatrix(2);
    half.NextVector();
    half.AddValue(0, 4.0);
    Sparse copy = half; // both go on independently
    Sparse assigned = solver.CreateSparseMatrix(5);
    half.NextVector();
    half.AddValue(1, 2.0);
    copy.NextVector();
    copy.AddValue(1, 1.0);
    assigned = copy;
    EXPECT_EQ(2, assigned.Dim());
    ASSERT_TRUE(solver.Factorize(assigned));

    // A moved solver keeps its factor, and the matrices it created stay valid.
    CSparseCholeskySolver target;
    target = CSparseCholeskySolver(std::move(solver));
    Dense d = Column(target, {4.0, 4.0});
    EXPECT_FALSE(solver.Factorize(half));
    EXPECT_THROW(solver.CreateSparseMatrix(1), VelmException);
    Dense taken(std::move(d));
    EXPECT_EQ(0u, d.Size());
    EXPECT_FALSE(target.Solve(d));
    ASSERT_TRUE(target.Solve(taken));
    EXPECT_EQ((std::vector<double>{1.0, 4.0}), Values(taken));
    ASSERT_TRUE(target.Factorize(half));
    d = std::move(taken);
    ASSERT_TRUE(target.Solve(d));
    EXPECT_EQ((std::vector<double>{0.25, 2.0}), Values(d));

    // A matrix that outlives its solver still releases its storage safely.
    Dense orphan = CSparseCholeskySolver().CreateDenseMatrix(3, 3);
    orphan(2, 2) = 1.0;
}
