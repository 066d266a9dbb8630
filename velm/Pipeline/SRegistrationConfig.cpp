#include "velm/Pipeline/SRegistrationConfig.h"

#include "velm/Pipeline/SScan.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace Pipeline
{
namespace
{
using Config = SRegistrationConfig;

enum class EKind
{
    Float,
    Double,
    Int,
    UInt,
    Bool
};

struct SKey
{
    const char* label;
    EKind kind;
    std::function<double(const Config&)> get;
    std::function<void(Config&, double)> set;
    // Pipeline keys are checked against a range; the engine's take whatever their type holds, as
    // the engine itself does.
    double min = -std::numeric_limits<double>::infinity();
    double max = std::numeric_limits<double>::infinity();
    const char* rangeNote = nullptr; // said instead of the range when a value lies outside it
};

#define VELM_ENGINE_KEY(label, kind, getter, setter, type)                                                             \
    SKey                                                                                                               \
    {                                                                                                                  \
        label, kind, [](const Config& c) { return static_cast<double>(c.fine.getter()); },                             \
            [](Config& c, double v) { c.fine.setter(static_cast<type>(v)); }                                           \
    }
#define VELM_PIPELINE_KEY(label, kind, member, type, min, max)                                                         \
    SKey                                                                                                               \
    {                                                                                                                  \
        label, kind, [](const Config& c) { return static_cast<double>(c.member); },                                    \
            [](Config& c, double v) { c.member = static_cast<type>(v); }, min, max                                     \
    }

// A distance in millimetres: positive and finite.
#define VELM_DISTANCE_KEY(label, member)                                                                               \
    SKey                                                                                                               \
    {                                                                                                                  \
        label, EKind::Double, [](const Config& c) { return c.member; }, [](Config& c, double v) { c.member = v; },     \
            std::numeric_limits<double>::min(), std::numeric_limits<double>::max(), "must be a positive distance (mm)" \
    }

constexpr double kUInt32Max = 4294967295.0;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

const std::vector<SKey>& Keys()
{
    static const std::vector<SKey> keys = {
        VELM_ENGINE_KEY("fBoundingBoxBlowup", EKind::Float, GetBoundingBoxBlowup, SetBoundingBoxBlowup, float),
        VELM_ENGINE_KEY("iMaxNumberDepthImagePairs", EKind::Int, GetMaxNumberDepthImagePairs,
                        SetMaxNumberDepthImagePairs, int),
        VELM_ENGINE_KEY("iNumberOfPairs", EKind::UInt, GetNumberOfPairs, SetNumberOfPairs, unsigned int),
        VELM_ENGINE_KEY("fInitialDistanceThreshold", EKind::Float, GetInitialDistanceThreshold,
                        SetInitialDistanceThreshold, float),
        VELM_ENGINE_KEY("iAdaptDistanceThreshold", EKind::Int, GetAdaptDistanceThreshold, SetAdaptDistanceThreshold,
                        int),
        VELM_ENGINE_KEY("fDistanceThresholdAdaptionFactor", EKind::Float, GetDistanceThresholdAdaptionFactor,
                        SetDistanceThresholdAdaptionFactor, float),
        VELM_ENGINE_KEY("fSamplingDensity", EKind::Float, GetSamplingDensity, SetSamplingDensity, float),
        VELM_ENGINE_KEY("fQueryRadiusThreshold", EKind::Float, GetQueryRadiusThreshold, SetQueryRadiusThreshold, float),
        VELM_ENGINE_KEY("fConvergedQueryRadius", EKind::Float, GetConvergedQueryRadius, SetConvergedQueryRadius, float),
        VELM_ENGINE_KEY("bSmoothDistanceThresholding", EKind::Bool, GetSmoothDistanceThresholding,
                        SetSmoothDistanceThresholding, bool),
        VELM_ENGINE_KEY("uiMaxTransformationUpdates", EKind::Int, GetMaxTransformationUpdates,
                        SetMaxTransformationUpdates, int),
        VELM_ENGINE_KEY("dMinImprovement", EKind::Double, GetMinImprovement, SetMinImprovement, double),
        VELM_ENGINE_KEY("dMinStepSize", EKind::Double, GetMinStepSize, SetMinStepSize, double),
        // The engine would stop only on convergence; nothing here may run without end.
        SKey{"iMaxIterations", EKind::Int,
             [](const Config& c) { return static_cast<double>(c.fine.GetMaxIterations()); },
             [](Config& c, double v) { c.fine.SetMaxIterations(static_cast<int>(v)); }, 0.0, 2147483647.0,
             "must not be negative (the registration would only stop on convergence)"},
        VELM_ENGINE_KEY("dOffsetThreshold", EKind::Double, GetOffsetThreshold, SetOffsetThreshold, double),
        VELM_ENGINE_KEY("fMinimumPairWeights", EKind::Float, GetMinimumPairWeights, SetMinimumPairWeights, float),
        VELM_ENGINE_KEY("fMaxDOFConditionNumber", EKind::Float, GetMaxDOFConditionNumber, SetMaxDOFConditionNumber,
                        float),
        VELM_ENGINE_KEY("fMaxRelativeMovement", EKind::Float, GetMaxRelativeMovement, SetMaxRelativeMovement, float),
        VELM_ENGINE_KEY("iNrTestSamples", EKind::Int, GetNrTestSamples, SetNrTestSamples, int),
        VELM_ENGINE_KEY("fOverlapRange", EKind::Float, GetOverlapRange, SetOverlapRange, float),
        VELM_ENGINE_KEY("fTestRange", EKind::Float, GetTestRange, SetTestRange, float),
        VELM_ENGINE_KEY("dCosNormalThreshold", EKind::Double, GetCosNormalThreshold, SetCosNormalThreshold, double),
        VELM_ENGINE_KEY("dCurvatureThreshold", EKind::Double, GetCurvatureThreshold, SetCurvatureThreshold, double),
        VELM_ENGINE_KEY("dMinimumOverlapQuotient", EKind::Double, GetMinimumOverlapQuotient, SetMinimumOverlapQuotient,
                        double),
        VELM_ENGINE_KEY("dMinimumWeightsQuotient", EKind::Double, GetMinimumWeightsQuotient, SetMinimumWeightsQuotient,
                        double),
        VELM_ENGINE_KEY("defaultResClass_errorThreshold", EKind::Double, GetDefaultResClassErrorThreshold,
                        SetDefaultResClassErrorThreshold, double),
        VELM_ENGINE_KEY("minimumAbsOverlap", EKind::Double, GetMinimumAbsOverlap, SetMinimumAbsOverlap, double),
        VELM_ENGINE_KEY("minScanQualityFix", EKind::UInt, GetMinimumNumberSurfelsFix, SetMinimumNumberSurfelsFix,
                        unsigned int),
        VELM_ENGINE_KEY("minScanQualityFloat", EKind::UInt, GetMinimumNumberSurfelsFloat, SetMinimumNumberSurfelsFloat,
                        unsigned int),
        VELM_PIPELINE_KEY("coarse_steps", EKind::UInt, uiCoarseSteps, uint32_t, 0.0, 100.0),
        VELM_DISTANCE_KEY("coarse_first_threshold_mm", dCoarseFirstThreshold),
        VELM_DISTANCE_KEY("coarse_last_threshold_mm", dCoarseLastThreshold),
        VELM_PIPELINE_KEY("coarse_pairs", EKind::UInt, uiCoarsePairs, uint32_t, 1.0, kUInt32Max),
        VELM_PIPELINE_KEY("coarse_max_iterations", EKind::UInt, uiCoarseMaxIterations, uint32_t, 1.0, 100000.0),
        VELM_PIPELINE_KEY("start_hypotheses", EKind::UInt, uiStartHypotheses, uint32_t, 0.0, 26.0),
        VELM_PIPELINE_KEY("hypothesis_angle_deg", EKind::Double, dHypothesisAngle, double, 0.0, 180.0),
        VELM_PIPELINE_KEY("hypotheses_refined", EKind::UInt, uiHypothesesRefined, uint32_t, 0.0, 26.0),
        VELM_PIPELINE_KEY("verify_samples", EKind::UInt, uiVerifySamples, uint32_t, 1.0, kUInt32Max),
        VELM_DISTANCE_KEY("verify_pair_distance_mm", dVerifyPairDistance),
        VELM_PIPELINE_KEY("verify_max_residual_ratio", EKind::Double, dMaxResidualRatio, double, 0.0, kInfinity),
        VELM_PIPELINE_KEY("verify_min_normal_agreement", EKind::Double, dMinNormalAgreement, double, 0.0, 1.0),
        VELM_PIPELINE_KEY("verify_max_free_space_share", EKind::Double, dMaxFreeSpaceShare, double, 0.0, 1.0),
        VELM_PIPELINE_KEY("verify_min_constraint", EKind::Double, dMinConstraint, double, 0.0, 1.0),
    };
    return keys;
}
#undef VELM_ENGINE_KEY
#undef VELM_PIPELINE_KEY
#undef VELM_DISTANCE_KEY

std::string Show(double v)
{
    if (std::isnan(v))
        return "nan";
    return std::isinf(v) ? (v > 0 ? "inf" : "-inf") : CRecord(v).ToJson();
}

void CheckRange(const SKey& k, double d)
{
    if (d >= k.min && d <= k.max)
        return;
    const std::string key = std::string("configuration key '") + k.label + "': ";
    if (k.rangeNote)
        throw std::invalid_argument(key + k.rangeNote);
    throw std::invalid_argument(key + Show(d) + " is outside [" + Show(k.min) + ", " + Show(k.max) + "]");
}

// The number a value gives for a key, checked against the key's kind and range.
double ValueFor(const SKey& k, const CRecord& v)
{
    const std::string key = std::string("configuration key '") + k.label + "': ";
    if (k.kind == EKind::Bool)
    {
        if (v.GetKind() == CRecord::EKind::Bool)
            return v.AsBool() ? 1.0 : 0.0;
        if ((v.GetKind() == CRecord::EKind::Int || v.GetKind() == CRecord::EKind::UInt) &&
            (v.AsDouble() == 0.0 || v.AsDouble() == 1.0))
            return v.AsDouble();
        throw std::invalid_argument(key + "expected true, false, 0 or 1, got " + v.ToJson());
    }
    if (!v.IsNumber())
        throw std::invalid_argument(key + "expected a number, got " + v.ToJson());
    double d = v.AsDouble();
    if (k.kind == EKind::Int || k.kind == EKind::UInt)
    {
        if (v.GetKind() != CRecord::EKind::Int && v.GetKind() != CRecord::EKind::UInt)
            throw std::invalid_argument(key + "expected an integer, got " + v.ToJson());
        const double lo = k.kind == EKind::Int ? -2147483648.0 : 0.0;
        const double hi = k.kind == EKind::Int ? 2147483647.0 : kUInt32Max;
        if (d < lo || d > hi)
            throw std::invalid_argument(key + v.ToJson() + " is outside " +
                                        (k.kind == EKind::Int ? "a 32-bit int" : "a 32-bit unsigned int"));
    }
    if (k.kind == EKind::Float && std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        throw std::invalid_argument(key + v.ToJson() + " does not fit single precision");
    CheckRange(k, d);
    return d;
}
} // namespace

double ScanSize(const SScan& scan)
{
    // The ellipsoid's axis ends lie one standard deviation from the centre along each axis.
    const Base::CCovarianceEllipsoid& e = scan.spCollection->GetDerivedData()->GetCovarianceEllipsoid();
    double sum = 0.0;
    for (int k = 0; k < 3; ++k)
        sum += (CbVector3d(e.GetAxisEnd(k)) - CbVector3d(e.GetCentre())).LengthSqr();
    return std::sqrt(sum);
}

SRegistrationConfig DefaultConfig(const SScan& fix)
{
    return DefaultConfig(fix.dSpacing, ScanSize(fix));
}

SRegistrationConfig DefaultConfig(double spacing, double size)
{
    const float s = static_cast<float>(spacing);
    Config config;
    DataLayer::VelmTorCorrICPPointConfig& c = config.fine;
    // The fine stage starts where the coarse stage left FLOAT: its first correspondences still reach
    // far, then the threshold follows the error down to a few sampling distances, where pairs are
    // reliable.
    c.SetBoundingBoxBlowup(20.0f * s);
    c.SetMaxNumberDepthImagePairs(1);
    c.SetNumberOfPairs(3000);
    c.SetInitialDistanceThreshold(40.0f * s);
    c.SetAdaptDistanceThreshold(1);
    c.SetDistanceThresholdAdaptionFactor(3.0f);
    c.SetSamplingDensity(2.0f * s);
    c.SetQueryRadiusThreshold(4.0f * s);
    c.SetConvergedQueryRadius(3.0f * s);
    c.SetSmoothDistanceThresholding(true);
    c.SetMaxTransformationUpdates(3);
    c.SetMinImprovement(0.9999);
    c.SetMinStepSize(0.1);
    c.SetMaxIterations(100);
    c.SetOffsetThreshold(0.001 * s);
    c.SetMinimumPairWeights(10.0f);
    c.SetMaxDOFConditionNumber(1000.0f);
    c.SetMaxRelativeMovement(50.0f * s);
    c.SetNrTestSamples(2000);
    c.SetOverlapRange(3.0f * s);
    c.SetTestRange(2.0f * s);
    c.SetCosNormalThreshold(0.8);
    c.SetCurvatureThreshold(1.0);
    c.SetMinimumOverlapQuotient(0.2);
    c.SetMinimumWeightsQuotient(0.5);
    c.SetDefaultResClassErrorThreshold(1.0 * s);
    c.SetMinimumAbsOverlap(0.0);
    c.SetMinimumNumberSurfelsFix(100);
    c.SetMinimumNumberSurfelsFloat(100);

    // The first correspondences reach about a third of the way across the object (20 mm on the
    // bundled scans, 56 mm in size): far enough for a start 35 degrees and 40 mm off; the last are a
    // few sampling distances long, where the fine stage takes over.
    config.uiCoarseSteps = 3;
    config.dCoarseFirstThreshold = std::max(0.35 * size, 8.0 * spacing);
    config.dCoarseLastThreshold = 8.0 * spacing;
    config.uiCoarsePairs = 1500;
    config.uiCoarseMaxIterations = 30;

    config.uiStartHypotheses = 6;
    config.dHypothesisAngle = 20.0;
    config.uiHypothesesRefined = 3;

    config.uiVerifySamples = 2000;
    config.dVerifyPairDistance = 3.0 * spacing;
    config.dMaxResidualRatio = 6.0;
    config.dMinNormalAgreement = 0.75;
    config.dMaxFreeSpaceShare = 0.05;
    config.dMinConstraint = 0.005;
    return config;
}

CRecord ConfigToRecord(const SRegistrationConfig& config)
{
    CRecord out = CRecord::Map();
    for (const SKey& k : Keys())
    {
        const double v = k.get(config);
        switch (k.kind)
        {
        case EKind::Bool: out.Set(k.label, v != 0.0); break;
        case EKind::Int: out.Set(k.label, static_cast<int64_t>(v)); break;
        case EKind::UInt: out.Set(k.label, static_cast<uint64_t>(v)); break;
        case EKind::Float: out.Set(k.label, static_cast<float>(v)); break;
        case EKind::Double: out.Set(k.label, v); break;
        }
    }
    return out;
}

void ApplyConfigOverrides(const CRecord& overrides, SRegistrationConfig& config)
{
    if (overrides.GetKind() != CRecord::EKind::Map)
        throw std::invalid_argument("the configuration must be a map of settings, got " + overrides.ToJson());
    // Check every key before changing anything.
    std::vector<std::pair<const SKey*, double>> values;
    for (const auto& [label, value] : overrides.GetItems())
    {
        const SKey* key = nullptr;
        for (const SKey& k : Keys())
            if (label == k.label)
                key = &k;
        if (!key)
            throw CUnknownKeyError("unknown configuration key '" + label + "'");
        values.emplace_back(key, ValueFor(*key, value));
    }
    for (const auto& [key, value] : values)
        key->set(config, value);
}

void CheckConfig(const SRegistrationConfig& config)
{
    for (const SKey& k : Keys())
        CheckRange(k, k.get(config));
}

std::vector<std::string> ConfigKeys()
{
    std::vector<std::string> labels;
    for (const SKey& k : Keys())
        labels.emplace_back(k.label);
    return labels;
}
} // namespace Pipeline
