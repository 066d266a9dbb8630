#pragma once

#include <cstdint>

namespace DataLayer
{
// Small dense numerics in single precision: a damped least-squares correction with a significance
// test, and a Jacobi eigen-decomposition of packed symmetric matrices.
//
// The object only holds its parameter count; every member function is const and keeps its state in
// the caller's arrays, so one object may serve several threads that pass separate arrays.
class VelmTorCorrMath
{
public:
    // n is the number of parameters of the correction; a negative n throws VelmException.
    VelmTorCorrMath(int n = 0);

    // Solves the damped normal equations of a linear least-squares problem and tests whether the
    // correction is significant against the variances of its parameters.
    //  normal: the augmented normal matrix, (n+1) x (n+1) row-major: N in rows/columns 0..n-1, the
    //          right-hand side in column n, the squared norm of the observations at (n, n). Only the
    //          upper triangle is read; it is not changed.
    //  work:   (n+1) x (n+1) scratch owned by the caller; receives the factor of the accepted solve.
    //  m:      the number of observations.
    //  normLimitSearch bounds the solution norm during the damping search; a norm below
    //  minNormAccept counts as negligible; a norm above maxNorm rejects the solve.
    //  Outputs: x and variances (n values each), the norm of x and an error bound.
    // Returns 0 when the norm exceeds maxNorm (or the damping search ran out of solves; then only x
    // and norm are written) or when the correction is significant; otherwise, the correction being
    // negligible, 2 if the accepted solve needed no significant damping and 1 if it did.
    // Allocates nothing and throws nothing.
    int CorrectionMethod(float* normal, float* work, int m, float normLimitSearch, float minNormAccept, float maxNorm,
                         float* x, float* variances, float* norm, float* errorBound) const;

    // All eigenvalues and unit eigenvectors of a symmetric n x n matrix given as its packed lower
    // triangle (element (i, j), j <= i, at i(i+1)/2 + j), by threshold Jacobi rotations.
    // eigenvalues (n values) come out in decreasing order (a selection sort: among equal values the
    // first position wins, but its swaps may reorder equal values); row k of eigenvectors (n x n,
    // row-major) belongs to eigenvalue k. Rotations stop once the off-diagonal sum of squares has
    // fallen by the factor 1e-5 (or after 100 sweeps), which bounds the accuracy in both precisions.
    // The input is only read. Working storage is allocated per call; a negative n throws
    // std::bad_array_new_length before anything is written.
    static void semi_definite_symmetric(const float* matrix, int n, float* eigenvectors, float* eigenvalues);
    static void semi_definite_symmetric(const double* matrix, int n, double* eigenvectors, double* eigenvalues);

protected:
    // The damping search gives up after this many solves (returning false with an infinite norm):
    // its bisection need not end on its own.
    static constexpr int c_MaxSolves = 1000;

    // Searches the damping lambda = e^t - 1 of the normal equations; true when the accepted solve
    // needed no significant damping.
    bool leastSquares(float* normal, float* work, int n, float m, float normLimit, float* x, float* norm) const;
    // One solve with damping lambda; 0 on success, 1 when the factorisation fails before the last pivot.
    int solveEquation(float* normal, float* work, int n, float lambda, float* x, float* normSq, float* rss,
                      float* ratio) const;
    // In-place upper Cholesky factor of a size x size matrix; -1 on success, else the failing pivot.
    int cholesky(float* a, int size) const;
    // In-place inverse of an upper triangular n x n matrix; 1 on a zero diagonal element, else 0.
    int rinverse(float* r, int n) const;
    // Variances of the solution from the factor in work; 1 when the factor cannot be inverted.
    int varianceOfSolution(float* work, int m, float* variances) const;

    int32_t iNumParams;
    float fNumParams;
    float fTestThreshold;
};
} // namespace DataLayer
