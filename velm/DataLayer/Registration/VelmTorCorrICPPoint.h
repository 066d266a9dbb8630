#pragma once

#include "velm/Base/Interfaces/CCovarianceEllipsoid.h"
#include "velm/Base/Interfaces/CSurfelCollectionMask.h"
#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbVector3.h"
#include "velm/Frame/XoBoundingBox3D.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace DataLayer
{
// One weighted point. Two lists handed over together are parallel: element i of both forms pair i,
// weighted by the product of the two qualities.
struct VelmTorQualityPointCCT
{
    CbVector3d vPosition;
    double dQuality = 0.0;
};

// Normal equations of the linearised point-to-plane error in the unknowns (t.x, t.y, t.z, w.x, w.y,
// w.z): a small translation t and rotation vector w. Only the lower triangle of the symmetric 6x6
// matrix is kept, row by row; entry (i, j) with j <= i is element i(i+1)/2 + j.
class VelmTorPointToPlaneErrorSystemMatrix
{
public:
    double aNormalMatrix[21];
    double aRightSide[6];

    VelmTorPointToPlaneErrorSystemMatrix();

    // Adds the constraint that p, moved by p + t + w x p, lies on the plane through q with normal n.
    void AddPointToPlaneConstraint(const CbVector3d& p, const CbVector3d& q, const CbVector3d& n, const double& w);
    void Reset();
    // Cholesky solve of the system. False, with t and w untouched, when the matrix is not positive
    // definite (for instance when the pairs leave a motion unconstrained).
    bool Solve(CbVector3d& t, CbVector3d& w) const;
};

// The abstract ICP engine: owns the state of one registration and runs the iteration; every access
// to the data goes through the seven protected pure virtual operations of a concrete engine.
// Every transformation maps floating coordinates into fixed coordinates; A * B applies A first.
class VelmTorCorrICPPoint
{
public:
    VelmTorCorrICPPoint();
    // Memberwise: the copy uses the same configuration and shares the result and description records.
    VelmTorCorrICPPoint(const VelmTorCorrICPPoint& other);
    VelmTorCorrICPPoint& operator=(const VelmTorCorrICPPoint& other);
    virtual ~VelmTorCorrICPPoint();

    // Only the address is kept: the caller keeps the record alive, and changes made to it act from
    // the next operation on.
    void SetConfiguration(const VelmTorCorrICPPointConfig& config);
    const VelmTorCorrICPPointConfig& GetConfiguration() const;

    void SetTransform(const CbMatrix4Rd& m);
    // Start transformation a * b^-1; throws XoExceptionNotInvertible (nothing changed) for a singular b.
    void ComputeInitialTransform(const CbMatrix4Rd& a, const CbMatrix4Rd& b);
    const CbMatrix4Rd& GetTransform() const;

    void Init();
    void CalculateICPTransform();
    void DoICPIteration();
    void DoICPIteration1();
    void DoICPIteration2(bool checkWeights);
    bool IsFinished();
    void SetResultValues();
    bool IsSuccesful();

    std::shared_ptr<const VelmTorCorrICPRegistrationResult> GetResult();

    // Threads for the per-sample work of pair building: 1 (the default) runs it on the calling
    // thread, as without a pool; more start a pool of that many threads (the caller's included). The
    // result is the same, bit for bit, for every count. SetThreadPool shares a pool the caller
    // already has (null: no pool); engines that share one wait for each other's loops. Copies of the
    // engine share its pool.
    void SetThreadCount(uint32_t threads);
    void SetThreadPool(std::shared_ptr<CThreadPool> pool);
    uint32_t GetThreadCount() const;
    std::shared_ptr<const VelmTorDegreeOfFreedomDescription> GetDOFDescriptionFix() const;
    std::shared_ptr<const VelmTorDegreeOfFreedomDescription> GetDOFDescriptionFlt() const;

    // Weighted covariance of a point list, decomposed in closed form: eigenvalues sorted by absolute
    // value (largest first) into x, y, z of values, their unit eigenvectors (or zero) into axes[0..2].
    static void ComputeCovariance(const std::vector<VelmTorQualityPointCCT>& points, CbVector3d& centre,
                                  CbVector3d* const axes, CbVector3d& values);
    // Centre and one-standard-deviation semi-axis ends of the points; fewer than three points give the
    // degenerate forms (none: only the sigma scale, set to -1).
    static void ComputeCovarianceEllipsoid(const std::vector<VelmTorQualityPointCCT>& points,
                                           Base::CCovarianceEllipsoid& ellipsoid);

    // Closed-form weighted rigid fit (unit-quaternion method) mapping the first list onto the second.
    static CbMatrix4Rd computeTransform(const CbVector3d& centreA, const CbVector3d& centreB, double Sxx, double Sxy,
                                        double Sxz, double Syx, double Syy, double Syz, double Szx, double Szy,
                                        double Szz);
    static void getCentersOfGravity(const std::vector<VelmTorQualityPointCCT>& listA,
                                    const std::vector<VelmTorQualityPointCCT>& listB, CbVector3d& centreA,
                                    CbVector3d& centreB);
    static void buildMatrixElements(const std::vector<VelmTorQualityPointCCT>& listA,
                                    const std::vector<VelmTorQualityPointCCT>& listB, const CbVector3d& centreA,
                                    const CbVector3d& centreB, double& Sxx, double& Sxy, double& Sxz, double& Syx,
                                    double& Syy, double& Syz, double& Szx, double& Szy, double& Szz);
    static CbMatrix4Rd getMinimizingTransformPointToPointCorrespondences(
        const std::vector<VelmTorQualityPointCCT>& listA, const std::vector<VelmTorQualityPointCCT>& listB);

protected:
    // The seven data operations of a concrete engine, in this slot order.
    virtual double GetRMSE(const CbMatrix4Rd& transform) = 0;
    virtual double GetOffset(const CbMatrix4Rd& transform) = 0;
    virtual void BuildPairs() = 0;
    virtual void BuildMatrix(VelmTorPointToPlaneErrorSystemMatrix& system, bool onlyNormalMatrix) = 0;
    virtual CbMatrix4Rd approximateRigidTransformation(const CbVector3d& t, const CbVector3d& w, double step) = 0;
    virtual void ComputeOverlapRepresentation() = 0;
    virtual void ComputePairWeightsQuotient() = 0;

    // Called at the start of every operation that reaches the data; a concrete engine throws a
    // VelmException here when its models are missing. The abstract engine has no models to check.
    virtual void CheckModelsAvailable() const;

    // The configuration, or a VelmException naming the operation when none has been set.
    const VelmTorCorrICPPointConfig& RequireConfiguration(const char* function) const;

    // Iteration driver.
    void InitDistanceThreshold();
    void UpdateDistanceThreshold();
    void SetDistanceThreshold(double threshold);
    void adjustCOGTransformsFromTransform();
    void adjustTransformFromCOGTransforms();

    // Transformation update.
    uint32_t UpdateTransformation();
    bool IsImprovement(double previousError, double newError);
    void ComputeAffineCorrection(CbVector3d& t, CbVector3d& w);
    CbMatrix4Rd GetAffineCorrectionMatrix(const CbVector3d& t, const CbVector3d& w);

    // Pair weights and overlap tests.
    double GetDistanceWeight(const CbVector3d& movedPoint, const CbVector3f& partnerPosition,
                             const Base::CQuantizedNormal& partnerNormal);
    bool IsAValidPair(const CbVector3d& movedPoint, bool movedOnBoundary, const CbVector3f& partnerPosition,
                      const Base::CQuantizedNormal& partnerNormal, bool partnerOnBoundary, double pairWeight,
                      double& distanceWeight);
    bool AreNormalsSimilar(const Base::CQuantizedNormal& n1, const Base::CQuantizedNormal& n2);
    bool IsSimilarCurvature(unsigned char c1, unsigned char c2);
    bool IsOnBoundary(bool b1, bool b2);
    float GetPairQuality(const float& q1, const float& q2);
    double GetSquaredError(const CbVector3d& p, const CbVector3d& q, const CbVector3d& n) const;
    bool HasSufficientPairWeights();
    // T maps the points of A into the space of B.
    bool CheckForBoundingBoxOverlap(const Base::ISurfelCollection& A, const Base::ISurfelCollection& B,
                                    const CbMatrix4Rd& T);
    float GetBoundingBoxOverlapVolume(const Base::ISurfelCollection& A, const Base::ISurfelCollection& B,
                                      const CbMatrix4Rd& T);
    void AccumulatePairWeights(const Base::ISurfelCollection& A, const Base::CSurfelCollectionMask* maskA,
                               const Base::ISurfelCollection& B, const Base::CSurfelCollectionMask* maskB,
                               const CbMatrix4Rd& T);

    // Success evaluation and degree-of-freedom analysis.
    void ComputeDegreeOfFreedomDescriptor();
    static void computeScaledDOF(const VelmTorPointToPlaneErrorSystemMatrix& system,
                                 VelmTorDegreeOfFreedomDescription& description, float scale);

    // Jacobi eigen-decomposition of a symmetric 4x4 matrix (row-major, only the lower triangle and
    // the diagonal are read and updated); eigenvalues on the diagonal of A, eigenvector k in row k of
    // V. True when it converged within 49 rotations.
    static bool jacobiEigenDecomposition(double* A, double* V);

    CbMatrix4Rd mTransform;
    CbMatrix4Rd mStartTransform;
    CbMatrix4Rd mCOGTransform;
    CbMatrix4Rd mToCOG;
    CbMatrix4Rd mFromCOG;
    CbMatrix4Rd mCenteredTransform;
    uint32_t uiNrFoundPairs;
    XoBoundingBox3D bbOverlap;
    CbVector3d vPairCentre;
    double dRMSE;
    bool bConvergedRadiusReached;
    double dDistanceThreshold;
    double dSquaredDistanceThreshold;
    double dSumOfPairWeights;
    double dOverallSumOfPairWeights;
    double dOffset;
    double dLastMovement;
    double dRelativeMovement;
    uint32_t uiIteration;
    bool bBoundingBoxesOverlap;
    double dSumTestWeights;
    double dSumOverlapWeights;
    double dSumMatchedWeights;
    double dOverlapQuotient;
    double dPairWeightsQuotient;
    uint32_t uiNrDepthImagePairs;
    bool bSurfelCountTooLow;
    const VelmTorCorrICPPointConfig* pConfig;
    std::shared_ptr<VelmTorCorrICPRegistrationResult> spResult;
    VelmTorPointToPlaneErrorSystemMatrix errorSystem;
    std::shared_ptr<VelmTorDegreeOfFreedomDescription> spDOFFix;
    std::shared_ptr<VelmTorDegreeOfFreedomDescription> spDOFFlt;
    Base::CCovarianceEllipsoid ceFloat;
    std::shared_ptr<CThreadPool> spThreadPool;
};
} // namespace DataLayer
