#include "velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.h"
#include "velm/Frame/VelmException.h"

#include "SparseTestSystems.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using SparseTestSystems::SSymmetric;

namespace
{
CSparseCholeskySolver::SparseMatrix Build(CSparseCholeskySolver& solver, const SSymmetric& a)
{
    CSparseCholeskySolver::SparseMatrix m = solver.CreateSparseMatrix(a.n);
    for (int j = 0; j < a.n; ++j)
    {
        m.NextVector();
        for (const auto& [i, v] : a.upper[j])
            m.AddValue(i, v);
    }
    return m;
}

CSparseCholeskySolver::DenseMatrix Column(CSparseCholeskySolver& solver, const std::vector<double>& b)
{
    CSparseCholeskySolver::DenseMatrix d = solver.CreateDenseMatrix(static_cast<unsigned>(b.size()), 1);
    for (size_t k = 0; k < b.size(); ++k)
        d(static_cast<int>(k), 0) = b[k];
    return d;
}

std::vector<double> Values(const CSparseCholeskySolver::DenseMatrix& d)
{
    return std::vector<double>(d.Ptr(), d.Ptr() + d.Size());
}

const SSymmetric k2x2{2, {{{0, 4.0}}, {{1, 3.0}, {0, 2.0}}}};
} // namespace

TEST(CSparseCholeskySolver, ColumnsAreBegunOnceAndEntriesOutsideTheUpperTriangleAreHandled)
{
    CSparseCholeskySolver solver;
    CSparseCholeskySolver::SparseMatrix m = solver.CreateSparseMatrix(3);
    EXPECT_EQ(3, m.Dim());

    // Nothing may be stored before a column exists; the matrix stays usable.
    EXPECT_THROW(m.AddValue(0, 1.0), VelmException);

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

    // Neither the dropped entry nor the rejected ones changed the matrix: diag(4, 2, 1).
    m.AddValue(1, 2.0);
    m.NextVector();
    m.AddValue(2, 1.0);
    ASSERT_TRUE(solver.Factorize(m));
    CSparseCholeskySolver::DenseMatrix b = Column(solver, {8.0, 8.0, 8.0});
    ASSERT_TRUE(solver.Solve(b));
    EXPECT_EQ((std::vector<double>{2.0, 4.0, 8.0}), Values(b));
}

TEST(CSparseCholeskySolver, SolvesSmallSystemsForSeveralRightHandSides)
{
    CSparseCholeskySolver solver;
    CSparseCholeskySolver::SparseMatrix one = solver.CreateSparseMatrix(1);
    one.NextVector();
    one.AddValue(0, 4.0);
    ASSERT_TRUE(solver.Factorize(one));
    CSparseCholeskySolver::DenseMatrix b1 = Column(solver, {8.0});
    ASSERT_TRUE(solver.Solve(b1));
    EXPECT_EQ(2.0, b1(0, 0));

    // A dense matrix is column-major with all elements zero at first.
    CSparseCholeskySolver::DenseMatrix b = solver.CreateDenseMatrix(2, 3);
    EXPECT_EQ(2, b.Rows());
    EXPECT_EQ(3, b.Cols());
    ASSERT_EQ(6u, b.Size());
    EXPECT_EQ((std::vector<double>(6, 0.0)), Values(b));
    b(0, 0) = 2.0;
    b(1, 0) = 5.0;
    b(0, 2) = 4.0;
    EXPECT_EQ(4.0, b.Ptr()[4]);

    CSparseCholeskySolver::SparseMatrix a = Build(solver, k2x2);
    ASSERT_TRUE(solver.Factorize(a));
    ASSERT_TRUE(solver.Solve(b));
    EXPECT_DOUBLE_EQ(-0.5, b(0, 0));
    EXPECT_DOUBLE_EQ(2.0, b(1, 0));
    EXPECT_EQ(0.0, b(0, 1));
    EXPECT_EQ(0.0, b(1, 1));
    EXPECT_DOUBLE_EQ(1.5, b(0, 2));
    EXPECT_DOUBLE_EQ(-1.0, b(1, 2));

    // Factorising the same matrix again closes no extra column and gives the same factor.
    ASSERT_TRUE(solver.Factorize(a));
    CSparseCholeskySolver::DenseMatrix again = Column(solver, {2.0, 5.0});
    ASSERT_TRUE(solver.Solve(again));
    EXPECT_DOUBLE_EQ(-0.5, again(0, 0));
    EXPECT_DOUBLE_EQ(2.0, again(1, 0));
}

TEST(CSparseCholeskySolver, RejectsFailedFactorsMalformedMatricesAndWrongRowCounts)
{
    CSparseCholeskySolver solver;

    // Before any factor.
    CSparseCholeskySolver::DenseMatrix early = Column(solver, {1.0, 1.0});
    EXPECT_FALSE(solver.Solve(early));

    // Singular: the second pivot of [[1, 1], [1, 1]] is zero.
    CSparseCholeskySolver::SparseMatrix singular = Build(solver, SSymmetric{2, {{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}}});
    EXPECT_FALSE(solver.Factorize(singular));
    // Creating a matrix resets CHOLMOD's status; the failed factor must still not be used.
    CSparseCholeskySolver::DenseMatrix b = Column(solver, {1.0, 2.0});
    EXPECT_FALSE(solver.Solve(b));
    EXPECT_EQ((std::vector<double>{1.0, 2.0}), Values(b));

    // Indefinite and large enough for the supernodal method, which needs positive pivots.
    CSparseCholeskySolver::SparseMatrix indefinite = Build(solver, SparseTestSystems::DenseOnes(200, 0.5));
    EXPECT_FALSE(solver.Factorize(indefinite));

    // A good matrix recovers the solver; a right-hand side of another row count is left alone.
    CSparseCholeskySolver::SparseMatrix good = Build(solver, k2x2);
    ASSERT_TRUE(solver.Factorize(good));
    CSparseCholeskySolver::DenseMatrix three = Column(solver, {1.0, 2.0, 3.0});
    EXPECT_FALSE(solver.Solve(three));
    EXPECT_EQ((std::vector<double>{1.0, 2.0, 3.0}), Values(three));

    // More columns begun than the dimension, and a column left empty (so one column too few):
    // neither may reach CHOLMOD, and the previous factor is gone.
    CSparseCholeskySolver::SparseMatrix tooMany = Build(solver, k2x2);
    tooMany.NextVector();
    tooMany.AddValue(0, 1.0);
    EXPECT_FALSE(solver.Factorize(tooMany));
    EXPECT_FALSE(solver.Solve(b));

    CSparseCholeskySolver::SparseMatrix gap = solver.CreateSparseMatrix(3);
    gap.NextVector();
    gap.AddValue(0, 1.0);
    gap.NextVector();
    EXPECT_EQ(-1, gap.NextVector());
    gap.AddValue(1, 1.0);
    gap.AddValue(2, 1.0); // dropped: the column index is still 1
    EXPECT_FALSE(solver.Factorize(gap));

    // Adding to a matrix after it was factorised begins a column beyond its dimension.
    ASSERT_TRUE(solver.Factorize(good));
    good.AddValue(1, 1.0);
    EXPECT_FALSE(solver.Factorize(good));
}

TEST(CSparseCholeskySolver, CopiesAreDeepAndMovesTransferOwnership)
{
    CSparseCholeskySolver solver;
    CSparseCholeskySolver::SparseMatrix half = solver.CreateSparseMatrix(2);
    half.NextVector();
    half.AddValue(0, 4.0);
    CSparseCholeskySolver::SparseMatrix copy = half;
    half.NextVector();
    half.AddValue(1, 2.0);
    copy.NextVector();
    copy.AddValue(1, 1.0);
    CSparseCholeskySolver::SparseMatrix assigned = solver.CreateSparseMatrix(5);
    assigned = copy;
    EXPECT_EQ(2, assigned.Dim());

    CSparseCholeskySolver::DenseMatrix b = Column(solver, {4.0, 4.0});
    ASSERT_TRUE(solver.Factorize(half));
    ASSERT_TRUE(solver.Solve(b));
    EXPECT_EQ((std::vector<double>{1.0, 2.0}), Values(b));
    CSparseCholeskySolver::DenseMatrix c = Column(solver, {4.0, 4.0});
    ASSERT_TRUE(solver.Factorize(assigned));
    ASSERT_TRUE(solver.Solve(c));
    EXPECT_EQ((std::vector<double>{1.0, 4.0}), Values(c));

    // A moved solver keeps its factor; the matrices it created stay valid.
    CSparseCholeskySolver moved(std::move(solver));
    EXPECT_FALSE(solver.Solve(c));
    EXPECT_FALSE(solver.Factorize(half));
    EXPECT_THROW(solver.CreateDenseMatrix(1, 1), VelmException);
    EXPECT_THROW(solver.CreateSparseMatrix(1), VelmException);
    CSparseCholeskySolver::DenseMatrix d = Column(moved, {4.0, 4.0});
    ASSERT_TRUE(moved.Solve(d));
    EXPECT_EQ((std::vector<double>{1.0, 4.0}), Values(d));

    CSparseCholeskySolver target;
    target = std::move(moved);
    ASSERT_TRUE(target.Factorize(half));

    CSparseCholeskySolver::DenseMatrix movedDense(std::move(d));
    EXPECT_EQ(nullptr, d.Ptr());
    EXPECT_EQ(0, d.Rows());
    EXPECT_EQ(0u, d.Size());
    EXPECT_FALSE(target.Solve(d));
    b = std::move(movedDense);
    ASSERT_TRUE(target.Solve(b));
    EXPECT_EQ((std::vector<double>{0.25, 2.0}), Values(b));

    // A moved-from sparse matrix is empty, keeps its dimension and can be filled again.
    CSparseCholeskySolver::SparseMatrix taken(std::move(half));
    EXPECT_EQ(2, half.Dim());
    EXPECT_EQ(0, half.NextVector());

    // Matrices that outlive their solver still release their CHOLMOD storage safely.
    CSparseCholeskySolver::DenseMatrix orphan = CSparseCholeskySolver().CreateDenseMatrix(3, 3);
    orphan(2, 2) = 1.0;
    EXPECT_EQ(9u, orphan.Size());
}

TEST(CSparseCholeskySolver, SolvesALargeSparseSystemAndTooLargeMatricesAreRefused)
{
    CSparseCholeskySolver solver;
    const SSymmetric a = SparseTestSystems::GridLaplacianPlusIdentity(60);
    const std::vector<double> expected = SparseTestSystems::SmoothVector(a.n);
    CSparseCholeskySolver::SparseMatrix m = Build(solver, a);
    ASSERT_TRUE(solver.Factorize(m));
    CSparseCholeskySolver::DenseMatrix b = Column(solver, a.Multiply(expected));
    ASSERT_TRUE(solver.Solve(b));
    EXPECT_LT(SparseTestSystems::MaxAbsDifference(expected, Values(b)), 1e-12);

    EXPECT_THROW(solver.CreateDenseMatrix(0x80000000u, 1), VelmException);
    EXPECT_THROW(solver.CreateDenseMatrix(0x7FFFFFFFu, 0x7FFFFFFFu), VelmException);
}

TEST(CSparseCholeskySolver, WritesNothingToTheConsole)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        CSparseCholeskySolver solver;
        CSparseCholeskySolver::SparseMatrix singular = Build(solver, SSymmetric{2, {{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}}});
        solver.Factorize(singular);
        CSparseCholeskySolver::SparseMatrix indefinite = Build(solver, SparseTestSystems::DenseOnes(200, 0.5));
        solver.Factorize(indefinite);
        CSparseCholeskySolver::DenseMatrix b = Column(solver, {1.0, 2.0});
        solver.Solve(b);
    }
    std::fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}
