#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"

#include <vector>

namespace DataLayer
{
namespace
{
CbVector3d MapRounded(const CbMatrix4Rd& m, const CbVector3d& p)
{
    return CbVector3d(CbVector3f(m.TransformPoint(p)));
}
} // namespace

void VelmTorCorrICPPointSC::BuildMatrix(VelmTorPointToPlaneErrorSystemMatrix& system, bool onlyNormalMatrix)
{
    // The normals need no mapping: the centred frame differs from the fixed model's by a translation.
    for (const SurfelPair& pair : vecPairs)
    {
        const double w = pair.dWeight;
        const CbVector3d q = MapRounded(mToCOG, pair.vCentroidFix);
        const CbVector3d p = onlyNormalMatrix ? q : MapRounded(mCenteredTransform, pair.vCentroidFloat);
        system.AddPointToPlaneConstraint(p, q, pair.vNormalFix, w);
    }
}

CbMatrix4Rd VelmTorCorrICPPointSC::approximateRigidTransformation(const CbVector3d& t0, const CbVector3d& omega0,
                                                                  double stepFactor)
{
    const CbVector3d t(stepFactor * t0.x, stepFactor * t0.y, stepFactor * t0.z);
    const CbVector3d w(stepFactor * omega0.x, stepFactor * omega0.y, stepFactor * omega0.z);

    // The linear motion p + t + w x p is not rigid; fitting a rigid motion to six points that span
    // the floating model's extent keeps the step close to it where the data lies.
    std::vector<VelmTorQualityPointCCT> source;
    std::vector<VelmTorQualityPointCCT> target;
    source.reserve(6);
    target.reserve(6);
    for (int k = 0; k < 6; ++k)
    {
        const CbVector3d p = MapRounded(mCenteredTransform, CbVector3d(ceFloat[k]));
        VelmTorQualityPointCCT s;
        s.vPosition = p;
        s.dQuality = 1.0;
        source.push_back(s);

        VelmTorQualityPointCCT d;
        d.vPosition.x = (w.y * p.z - w.z * p.y) + (t.x + p.x);
        d.vPosition.y = (w.z * p.x - w.x * p.z) + (t.y + p.y);
        d.vPosition.z = (w.x * p.y - w.y * p.x) + (t.z + p.z);
        d.dQuality = 1.0;
        target.push_back(d);
    }
    return getMinimizingTransformPointToPointCorrespondences(source, target);
}
} // namespace DataLayer
