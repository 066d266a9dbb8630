#pragma once

// A 3x3 matrix of the base math layer, element (r, c) at m[3r + c].
template <typename T>
class XoMatrix3x3
{
public:
    T m[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};

    T& operator()(int r, int c) { return m[3 * r + c]; }
    const T& operator()(int r, int c) const { return m[3 * r + c]; }

    // Eigen-decomposition of a symmetric matrix: D receives the eigenvalues on its diagonal, the
    // eigenvector of D(k, k) is column k of V. No order of the eigenvalues is promised.
    void ComputeEVD(XoMatrix3x3& D, XoMatrix3x3& V) const;
};

extern template class XoMatrix3x3<float>;
extern template class XoMatrix3x3<double>;
