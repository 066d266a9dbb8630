#pragma once

#include <cmath>
#include <utility>
#include <vector>

namespace SparseTestSystems
{
// A symmetric matrix by the entries on and above the diagonal of each column (equivalently on and
// left of the diagonal of each row), which is what both solvers take.
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

// The 5-point Laplacian of a side×side grid plus the identity: sparse, well conditioned, SPD.
inline SSymmetric GridLaplacianPlusIdentity(int side)
{
    SSymmetric a;
    a.n = side * side;
    a.upper.resize(a.n);
    for (int j = 0; j < a.n; ++j)
    {
        // Neighbours listed after the diagonal: the solvers must accept any order within a column.
        a.upper[j].push_back({j, 5.0});
        if (j % side != 0)
            a.upper[j].push_back({j - 1, -1.0});
        if (j >= side)
            a.upper[j].push_back({j - side, -1.0});
    }
    return a;
}

// Dense, with d on the diagonal and 1 elsewhere: eigenvalues d - 1 (n - 1 times) and d + n - 1.
inline SSymmetric DenseOnes(int n, double d)
{
    SSymmetric a;
    a.n = n;
    a.upper.resize(n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i)
            a.upper[j].push_back({i, i == j ? d : 1.0});
    return a;
}

inline std::vector<double> SmoothVector(int n)
{
    std::vector<double> x(n);
    for (int k = 0; k < n; ++k)
        x[k] = std::sin(0.37 * k) + 0.25 * std::cos(0.011 * k * k);
    return x;
}

inline double MaxAbsDifference(const std::vector<double>& a, const std::vector<double>& b)
{
    double m = 0.0;
    for (size_t k = 0; k < a.size(); ++k)
        m = std::fmax(m, std::fabs(a[k] - b[k]));
    return m;
}
} // namespace SparseTestSystems
