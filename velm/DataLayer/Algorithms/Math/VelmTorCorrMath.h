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
    VelmTorCorrMath(int n = 0);

    // All eigenvalues and unit eigenvectors of a symmetric n x n matrix given as its packed lower
    // triangle (element (i, j), j <= i, at i(i+1)/2 + j), by threshold Jacobi rotations.
    // eigenvalues (n values) come out in decreasing order, equal values in the order of their
    // diagonal positions; row k of eigenvectors (n x n, row-major) belongs to eigenvalue k.
    // The input is only read. Working storage is allocated per call; a negative n throws
    // std::bad_array_new_length before anything is written.
    static void semi_definite_symmetric(const float* matrix, int n, float* eigenvectors, float* eigenvalues);
    static void semi_definite_symmetric(const double* matrix, int n, double* eigenvectors, double* eigenvalues);

protected:
    int32_t iNumParams;
    float fNumParams;
    float fTestThreshold;
};
} // namespace DataLayer
