#pragma once

#include "velm/Frame/CbVector3.h"

namespace DataLayer
{
// Principal component analysis of (optionally weighted) 3D points: accumulate with Add, then
// ComputePCA gives the covariance's eigenvalues in decreasing order with their unit eigenvectors.
// Instances: CbVector3d (all values double, results rounded to float precision) and CbVector3f.
template <typename T>
class CPrincipalComponentAnalysis3D
{
public:
    using ScalarType = decltype(T::x);

    CPrincipalComponentAnalysis3D() = default;
    CPrincipalComponentAnalysis3D(const CPrincipalComponentAnalysis3D&) = default;
    CPrincipalComponentAnalysis3D(CPrincipalComponentAnalysis3D&&) = default;
    CPrincipalComponentAnalysis3D& operator=(const CPrincipalComponentAnalysis3D&) = default;
    CPrincipalComponentAnalysis3D& operator=(CPrincipalComponentAnalysis3D&&) = default;

    void Add(const T& p);
    // The weight is not checked; a negative weight subtracts the point.
    void Add(const T& p, ScalarType w);

    // Does nothing while the weight sum is 0. Replaces the second moments and the second sum by their
    // means in place: call it once after the last Add. A second call divides the means again, and
    // points added afterwards are summed onto means.
    void ComputePCA();

    // Weighted mean of the points; an empty object divides by zero (non-finite components).
    T GetCenterOfGravity() const;
    // i = 0, 1, 2 in decreasing order of the eigenvalue; another index throws VelmException.
    ScalarType GetEigenValue(unsigned int i) const;
    const T& GetEigenVector(unsigned int i) const;
    // The weight sum (the number of points when unweighted), in float precision for both instances.
    ScalarType GetQualitySum() const;

protected:
    T vSumA{};                  // sum of w * p, for the centre of gravity
    ScalarType sQualitySum = 0; // sum of w
    ScalarType sSumXX = 0;      // sums of w * x * x, ...
    ScalarType sSumYY = 0;
    ScalarType sSumZZ = 0;
    ScalarType sSumXY = 0; // sums of w * x * y, ...
    ScalarType sSumXZ = 0;
    ScalarType sSumYZ = 0;
    T vSumB{}; // second sum of w * p, the one the covariance is centred with
    ScalarType aEigenValues[3] = {0, 0, 0};
    T aEigenVectors[3]{};
    bool bComputed = false; // true after ComputePCA, false after any Add
};

extern template class CPrincipalComponentAnalysis3D<CbVector3d>;
extern template class CPrincipalComponentAnalysis3D<CbVector3f>;
} // namespace DataLayer
