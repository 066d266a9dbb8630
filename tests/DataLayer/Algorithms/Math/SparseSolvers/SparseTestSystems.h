#pragma once

#include <cmath>
#include <utility>
#include <vector>

namespace SparseTestSystems
{
// A symmetric matrix by the entries on and above the diagonal of each column, which equal those on
// and left of the diagonal of each row: the input of both solvers.
struct SSymmetric
{
    int n = 0;
    std::vector<std::vector<std::pair<int, double>>> upper;

    std::vector<double> Multiply(const std::vector<double>& x) const
    {
        std::vector<double> y(n, 0.0);
        for (int j = 0; j < n; ++j)
            for (const auto& [i, v] : upper[j])
            {
                y[i] += v * x[j];
                if (i != j)
                    y[j] += v * x[i];
            }
        return y;
    }
};

const SSymmetric k2x2{2, {{{0, 4.0}}, {{1, 3.0}, {0, 2.0}}}};       // x = (-0.5, 2) for b = (2, 5)
const SSymmetric kSingular2x2{2, {{{0, 1.0}}, {{0, 1.0}, {1, 1.0}}}}; // second pivot 0

// The 5-point Laplacian of a side×side grid plus the identity (diagonal listed first, so the
// solvers must take a column in any order), and a smooth solution for it.
inline SSymmetric GridLaplacianPlusIdentity(int side, std::vector<double>& solution)
{
    SSymmetric a{side * side, std::vector<std::vector<std::pair<int, double>>>(side * side)};
    solution.resize(a.n);
    for (int j = 0; j < a.n; ++j)
    {
        a.upper[j].push_back({j, 5.0});
        if (j % side != 0)
            a.upper[j].push_back({j - 1, -1.0});
        if (j >= side)
            a.upper[j].push_back({j - side, -1.0});
        solution[j] = std::sin(0.37 * j) + 0.25 * std::cos(0.011 * j * j);
    }
    return a;
}

// Dense, 0.5 on the diagonal and 1 elsewhere: eigenvalues -0.5 and n - 0.5, no zero pivot.
inline SSymmetric DenseIndefinite(int n)
{
    SSymmetric a{n, std::vector<std::vector<std::pair<int, double>>>(n)};
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i)
            a.upper[j].push_back({i, i == j ? 0.5 : 1.0});
    return a;
}

inline double MaxAbsDifference(const std::vector<double>& a, const std::vector<double>& b)
{
    double m = a.size() == b.size() ? 0.0 : INFINITY;
    for (size_t k = 0; k < a.size() && k < b.size(); ++k)
        m = std::fmax(m, std::fabs(a[k] - b[k]));
    return m;
}
} // namespace SparseTestSystems
