#include "velm/DataLayer/Registration/VelmTorCorrICPPoint.h"

#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"

#include <cfloat>

namespace DataLayer
{
bool VelmTorCorrICPPoint::IsImprovement(double previousError, double newError)
{
    const VelmTorCorrICPPointConfig& config = RequireConfiguration("DataLayer::VelmTorCorrICPPoint::IsImprovement");
    if (newError > previousError)
        return false;
    return config.GetMinImprovement() > newError / previousError;
}

CbMatrix4Rd VelmTorCorrICPPoint::GetAffineCorrectionMatrix(const CbVector3d& t, const CbVector3d& w)
{
    CbMatrix4Rd m;
    m.e[1] = w.z;
    m.e[2] = -w.y;
    m.e[4] = -w.z;
    m.e[6] = w.x;
    m.e[8] = w.y;
    m.e[9] = -w.x;
    m.e[12] = t.x;
    m.e[13] = t.y;
    m.e[14] = t.z;
    return m;
}

void VelmTorCorrICPPoint::ComputeAffineCorrection(CbVector3d& t, CbVector3d& w)
{
    errorSystem.Reset();
    BuildMatrix(errorSystem, false);
    // A system that does not constrain every motion gives no motion at all rather than whatever the
    // vectors held before.
    if (!errorSystem.Solve(t, w))
    {
        t = CbVector3d();
        w = CbVector3d();
    }
}

uint32_t VelmTorCorrICPPoint::UpdateTransformation()
{
    const VelmTorCorrICPPointConfig& config =
        RequireConfiguration("DataLayer::VelmTorCorrICPPoint::UpdateTransformation");
    CbMatrix4Rd startTransform = mTransform;
    const uint32_t maxPasses = static_cast<uint32_t>(config.GetMaxTransformationUpdates());
    const double minStepSize = config.GetMinStepSize();
    uint32_t passes = 0;

    if (maxPasses != 0)
    {
        // The pass loop changes only mCOGTransform and dRMSE, never the pairs or mCenteredTransform
        // from which the system is built: every pass would solve the same system.
        CbVector3d t;
        CbVector3d w;
        ComputeAffineCorrection(t, w);

        for (;;)
        {
            bool accepted = false;
            CbMatrix4Rd candidate = mCOGTransform * approximateRigidTransformation(t, w, 1.0);
            double error = GetRMSE(candidate * mFromCOG);
            if (IsImprovement(dRMSE, error))
            {
                mCOGTransform = candidate;
                dRMSE = error;
                accepted = true;
            }
            else
            {
                // The first-order motion tells whether the direction is worth a shorter step.
                error = GetRMSE(mCOGTransform * GetAffineCorrectionMatrix(t, w) * mFromCOG);
                if (!IsImprovement(dRMSE, error))
                    break;
                for (double step = 0.5; step > minStepSize; step *= 0.5)
                {
                    candidate = mCOGTransform * approximateRigidTransformation(t, w, step);
                    error = GetRMSE(candidate * mFromCOG);
                    if (IsImprovement(dRMSE, error))
                    {
                        mCOGTransform = candidate;
                        dRMSE = error;
                        accepted = true;
                        break;
                    }
                }
            }
            ++passes;
            if (passes >= maxPasses)
                break;
            if (!accepted)
            {
                // Nothing changed, so every remaining pass would repeat this one exactly.
                passes = maxPasses;
                break;
            }
        }
    }

    startTransform.Invert();
    adjustTransformFromCOGTransforms();
    dOffset = GetOffset(startTransform * mTransform);
    dRelativeMovement = GetOffset(mTransform);
    if (dOffset != 0.0 && dOffset != static_cast<double>(FLT_MAX))
        dLastMovement = dOffset;
    return passes;
}
} // namespace DataLayer
