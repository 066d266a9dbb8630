#include "DataLayer/EngineRigs.h"

#include "velm/DataLayer/Algorithms/Math/CCholmodSolver.h"
#include "velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.h"

#include <cstdio>
#include <utility>

using DataLayer::CCholmodSolver;
using Dense = CSparseCholeskySolver::DenseMatrix;
using Sparse = CSparseCholeskySolver::SparseMatrix;
using Vec = std::vector<double>;

namespace
{
// A symmetric matrix by the entries on and above the diagonal of each column, in any order.
using Upper = std::vector<std::vector<std::pair<int, double>>>;
const Upper k1x1{{{0, 4.0}}}, k2x2{{{0, 4.0}}, {{1, 3.0}, {0, 2.0}}}; // x = (-0.5, 2) for b = (2, 5)
const Upper kSecondPivot0{{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}};

Vec Multiply(const Upper& a, const Vec& x)
{
    Vec y(a.size(), 0.0);
    for (int j = 0; j < static_cast<int>(a.size()); ++j)
        for (const auto& [i, v] : a[j])
            y[i] += v * x[j], y[j] += i != j ? v * x[i] : 0.0;
    return y;
}

// The nonzero entries of a(i, j), i <= j, listed diagonal first.
template <typename F>
Upper Generate(int n, F a)
{
    Upper s(n);
    for (int j = 0; j < n; ++j)
        for (int i = j; i >= 0; --i)
            if (a(i, j) != 0.0)
                s[j].push_back({i, a(i, j)});
    return s;
}

// Same size, every element within the tolerance (NaN is not).
bool Near(const Vec& a, const Vec& b, double tolerance)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](double u, double v) { return std::fabs(u - v) < tolerance; });
}

void Enter(CCholmodSolver& solver, const Upper& a)
{
    for (const auto& row : a)
    {
        solver.begin_row();
        for (const auto& [col, v] : row)
            solver.add_value(col, v);
    }
    solver.end_row();
}

Sparse Build(CSparseCholeskySolver& solver, const Upper& a)
{
    Sparse m = solver.CreateSparseMatrix(static_cast<unsigned>(a.size()));
    for (const auto& column : a)
    {
        m.NextVector();
        for (const auto& [i, v] : column)
            m.AddValue(i, v);
    }
    return m;
}

Dense Column(CSparseCholeskySolver& solver, const Vec& b)
{
    Dense d = solver.CreateDenseMatrix(static_cast<unsigned>(b.size()), 1);
    std::copy(b.begin(), b.end(), d.Ptr());
    return d;
}

Vec Values(const Dense& d)
{
    return Vec(d.Ptr(), d.Ptr() + d.Size());
}

// a x = b by CCholmodSolver, supernodal (0) or simplicial (1), or CSparseCholeskySolver (2); {} on failure.
Vec SolveWith(int way, const Upper& a, Vec b)
{
    CSparseCholeskySolver sparse;
    CCholmodSolver cholmod;
    Sparse m = Build(sparse, a);
    Dense d = Column(sparse, b);
    Enter(cholmod, a);
    Vec x;
    if (way == 2)
        return sparse.Factorize(m) && sparse.Solve(d) ? Values(d) : Vec{};
    return cholmod.factorize(way == 0) && cholmod.solve(b, x) ? x : Vec{};
}
} // namespace

TEST(SparseSolvers, BothWrappersSolveOrRefuseTheSameSystemsSilently)
{
    testing::internal::CaptureStdout(); // where CHOLMOD's own warnings would go
    const int side = 60;
    Vec smooth(side * side);
    for (size_t j = 0; j < smooth.size(); ++j)
        smooth[j] = std::sin(0.37 * j) + 0.25 * std::cos(0.011 * j * j);
    const Upper grid = Generate(side * side, [&](int i, int j) {
        return i == j ? 5.0 : (j - i == 1 && j % side != 0) || j - i == side ? -1.0 : 0.0;
    });
    // {name, A, x, whether the supernodal, the simplicial and the CSparseCholeskySolver way solve it}
    const std::tuple<const char*, Upper, Vec, const char*> cases[] = {
        {"1x1", k1x1, {2.0}, "yyy"},
        {"2x2", k2x2, {-0.5, 2.0}, "yyy"},
        {"grid Laplacian plus identity", grid, smooth, "yyy"},
        // LDL' handles indefinite matrices, LL' not; CHOLMOD factorises small ones simplicially.
        {"indefinite 2x2", Upper{{{0, 1.0}}, {{0, 2.0}, {1, 1.0}}}, {1.0, 1.0}, "nyy"},
        {"indefinite dense", Generate(200, [](int i, int j) { return 1.0 - 0.5 * (i == j); }), Vec(200, 1.0), "nyn"},
        {"second pivot 0", kSecondPivot0, {1.0, 1.0}, "nnn"},
    };
    for (const auto& [name, a, expected, solves] : cases)
        for (int way = 0; way < 3; ++way)
        {
            const Vec x = SolveWith(way, a, Multiply(a, expected));
            EXPECT_TRUE(solves[way] == 'y' ? Near(expected, x, 1e-12) : x.empty()) << name << ", way " << way;
        }
    std::fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(CCholmodSolver, DroppedEntriesSizesRowsAndMoves)
{
    EXPECT_FALSE(CCholmodSolver().factorize(true)); // no entries
    // Entries before the first row, right of the diagonal or in a negative column are dropped.
    CCholmodSolver solver, target;
    solver.add_value(0, 100.0), solver.begin_row();
    Enter(solver, Upper{{{0, 4.0}, {1, 100.0}}, {{1, 3.0}, {-1, 100.0}, {0, 2.0}}});
    Vec b{2.0, 5.0}, b1{8.0}, longer{9.0, 9.0, 9.0}, x{7.0}, y;
    EXPECT_TRUE(!solver.solve(b, x) && x == Vec{7.0}) << "not factorised";
    // x grows to the dimension, a longer x keeps its tail, a b of another size leaves x untouched.
    EXPECT_TRUE(solver.factorize(true) && solver.solve(b, x) && solver.solve(b, longer) && !solver.solve(b1, x));
    EXPECT_TRUE(Near(x, {-0.5, 2.0}, 5e-16) && longer == (Vec{x[0], x[1], 9.0}));

    // A moved-from solver owns nothing and ignores entries.
    CCholmodSolver moved(std::move(solver));
    solver.begin_row(), solver.add_value(0, 1.0);
    EXPECT_FALSE(solver.solve(b, x) || solver.factorize(true));
    Enter(target, k1x1);
    ASSERT_TRUE(target.factorize(true));
    target = std::move(moved);
    EXPECT_TRUE(target.solve(b, y) && Near(y, {-0.5, 2.0}, 1e-15));
}

TEST(CSparseCholeskySolver, AssemblyMisplacedEntriesFailuresThatLeaveTheRightHandSideCopiesAndMoves)
{
    CSparseCholeskySolver solver, target;
    Sparse m = solver.CreateSparseMatrix(3);
    EXPECT_THROW(m.AddValue(0, 1.0), VelmException); // no column begun yet
    EXPECT_TRUE(m.NextVector() == 0 && m.NextVector() == -1);
    m.AddValue(0, 4.0), m.AddValue(2, 100.0); // below the diagonal: dropped
    EXPECT_EQ(1, m.NextVector());
    EXPECT_EQ(EngineTest::MessageOf([&] { m.AddValue(3, 1.0); }, true),
              L"velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.cpp:60 "
              L"CSparseCholeskySolver::SparseMatrix::AddValue: Index 3 exceeds matrix dimensions 3");
    // None of the rejected entries reached the matrix: it is diag(4, 2, 1).
    m.AddValue(1, 2.0), m.NextVector(), m.AddValue(2, 1.0);
    ASSERT_TRUE(solver.Factorize(m));
    // Column-major and zero at first; each column is one right-hand side.
    Dense b = solver.CreateDenseMatrix(3, 2);
    EXPECT_EQ(Values(b), Vec(6, 0.0));
    b(0, 0) = 8.0, b.Ptr()[4] = 4.0;
    EXPECT_TRUE(solver.Solve(b) && Values(b) == (Vec{2.0, 0.0, 0.0, 0.0, 2.0, 0.0}));
    EXPECT_THROW(solver.CreateDenseMatrix(0x80000000u, 1), VelmException);
    EXPECT_THROW(solver.CreateDenseMatrix(0x7FFFFFFFu, 0x7FFFFFFFu), VelmException);

    Sparse singular = Build(solver, kSecondPivot0), good = Build(solver, k2x2);
    EXPECT_FALSE(solver.Factorize(singular));
    Dense two = Column(solver, {1.0, 2.0}); // resets CHOLMOD's status
    EXPECT_TRUE(!solver.Solve(two) && Values(two) == (Vec{1.0, 2.0}));

    // Factorising the same matrix twice must not close a column twice; b has 3 rows, the factor 2.
    EXPECT_TRUE(solver.Factorize(good) && solver.Factorize(good));
    EXPECT_TRUE(!solver.Solve(b) && Values(b) == (Vec{2.0, 0.0, 0.0, 0.0, 2.0, 0.0}));

    // Too many columns (adding after a factorisation begins one) or an empty one: refused, the factor gone.
    good.AddValue(1, 1.0);
    EXPECT_FALSE(solver.Factorize(good) || solver.Solve(two));
    Sparse gap = Build(solver, Upper{{{0, 1.0}}, {}, {{1, 1.0}, {2, 1.0}}});
    EXPECT_FALSE(solver.Factorize(gap));

    // Column 1 begun and still empty: the copy goes on independently.
    Sparse half = Build(solver, Upper{{{0, 4.0}}, {}}), copy = half, assigned = Build(solver, k1x1);
    half.AddValue(1, 2.0), copy.AddValue(1, 1.0);
    assigned = copy;
    ASSERT_TRUE(solver.Factorize(assigned));

    // A moved solver keeps its factor, and the matrices it created stay valid.
    target = CSparseCholeskySolver(std::move(solver));
    Dense d = Column(target, {4.0, 4.0});
    EXPECT_FALSE(solver.Factorize(half));
    EXPECT_THROW(solver.CreateSparseMatrix(1), VelmException);
    Dense taken(std::move(d));
    EXPECT_FALSE(d.Size() != 0u || target.Solve(d));
    EXPECT_TRUE(target.Solve(taken) && Values(taken) == (Vec{1.0, 4.0}));
    ASSERT_TRUE(target.Factorize(half));
    d = std::move(taken);
    EXPECT_TRUE(target.Solve(d) && Values(d) == (Vec{0.25, 2.0}));
    // A matrix that outlives its solver still releases its storage safely.
    Dense orphan = CSparseCholeskySolver().CreateDenseMatrix(3, 3);
    orphan(2, 2) = 1.0;
}
