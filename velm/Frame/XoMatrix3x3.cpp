#include "velm/Frame/XoMatrix3x3.h"

#include <Eigen/Eigenvalues>

template <typename T>
void XoMatrix3x3<T>::ComputeEVD(XoMatrix3x3& D, XoMatrix3x3& V) const
{
    using Mat = Eigen::Matrix<T, 3, 3>;
    Mat a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            a(r, c) = (*this)(r, c);
    Eigen::SelfAdjointEigenSolver<Mat> solver(a, Eigen::ComputeEigenvectors);
    const Mat vectors = solver.eigenvectors();
    D = XoMatrix3x3();
    for (int k = 0; k < 3; ++k)
    {
        D(k, k) = solver.eigenvalues()(k);
        for (int r = 0; r < 3; ++r)
            V(r, k) = vectors(r, k);
    }
}

template class XoMatrix3x3<float>;
template class XoMatrix3x3<double>;
