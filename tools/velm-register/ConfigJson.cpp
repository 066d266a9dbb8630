#include "ConfigJson.h"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

namespace VelmTool
{
namespace
{
using Config = DataLayer::VelmTorCorrICPPointConfig;

enum class EKind
{
    Float,
    Double,
    Int,
    UInt,
    Bool
};

struct SField
{
    const char* label;
    EKind kind;
    std::function<double(const Config&)> get;
    std::function<void(Config&, double)> set;
};

#define VELM_FIELD(label, kind, getter, setter, type)                                                   \
    SField                                                                                              \
    {                                                                                                   \
        label, kind, [](const Config& c) { return static_cast<double>(c.getter()); },                  \
            [](Config& c, double v) { c.setter(static_cast<type>(v)); }                                \
    }

const std::vector<SField>& Fields()
{
    static const std::vector<SField> fields = {
        VELM_FIELD("fBoundingBoxBlowup", EKind::Float, GetBoundingBoxBlowup, SetBoundingBoxBlowup, float),
        VELM_FIELD("iMaxNumberDepthImagePairs", EKind::Int, GetMaxNumberDepthImagePairs, SetMaxNumberDepthImagePairs, int),
        VELM_FIELD("iNumberOfPairs", EKind::UInt, GetNumberOfPairs, SetNumberOfPairs, unsigned int),
        VELM_FIELD("fInitialDistanceThreshold", EKind::Float, GetInitialDistanceThreshold, SetInitialDistanceThreshold, float),
        VELM_FIELD("iAdaptDistanceThreshold", EKind::Int, GetAdaptDistanceThreshold, SetAdaptDistanceThreshold, int),
        VELM_FIELD("fDistanceThresholdAdaptionFactor", EKind::Float, GetDistanceThresholdAdaptionFactor,
                   SetDistanceThresholdAdaptionFactor, float),
        VELM_FIELD("fSamplingDensity", EKind::Float, GetSamplingDensity, SetSamplingDensity, float),
        VELM_FIELD("fQueryRadiusThreshold", EKind::Float, GetQueryRadiusThreshold, SetQueryRadiusThreshold, float),
        VELM_FIELD("fConvergedQueryRadius", EKind::Float, GetConvergedQueryRadius, SetConvergedQueryRadius, float),
        VELM_FIELD("bSmoothDistanceThresholding", EKind::Bool, GetSmoothDistanceThresholding,
                   SetSmoothDistanceThresholding, bool),
        VELM_FIELD("uiMaxTransformationUpdates", EKind::Int, GetMaxTransformationUpdates, SetMaxTransformationUpdates, int),
        VELM_FIELD("dMinImprovement", EKind::Double, GetMinImprovement, SetMinImprovement, double),
        VELM_FIELD("dMinStepSize", EKind::Double, GetMinStepSize, SetMinStepSize, double),
        VELM_FIELD("iMaxIterations", EKind::Int, GetMaxIterations, SetMaxIterations, int),
        VELM_FIELD("dOffsetThreshold", EKind::Double, GetOffsetThreshold, SetOffsetThreshold, double),
        VELM_FIELD("fMinimumPairWeights", EKind::Float, GetMinimumPairWeights, SetMinimumPairWeights, float),
        VELM_FIELD("fMaxDOFConditionNumber", EKind::Float, GetMaxDOFConditionNumber, SetMaxDOFConditionNumber, float),
        VELM_FIELD("fMaxRelativeMovement", EKind::Float, GetMaxRelativeMovement, SetMaxRelativeMovement, float),
        VELM_FIELD("iNrTestSamples", EKind::Int, GetNrTestSamples, SetNrTestSamples, int),
        VELM_FIELD("fOverlapRange", EKind::Float, GetOverlapRange, SetOverlapRange, float),
        VELM_FIELD("fTestRange", EKind::Float, GetTestRange, SetTestRange, float),
        VELM_FIELD("dCosNormalThreshold", EKind::Double, GetCosNormalThreshold, SetCosNormalThreshold, double),
        VELM_FIELD("dCurvatureThreshold", EKind::Double, GetCurvatureThreshold, SetCurvatureThreshold, double),
        VELM_FIELD("dMinimumOverlapQuotient", EKind::Double, GetMinimumOverlapQuotient, SetMinimumOverlapQuotient, double),
        VELM_FIELD("dMinimumWeightsQuotient", EKind::Double, GetMinimumWeightsQuotient, SetMinimumWeightsQuotient, double),
        VELM_FIELD("defaultResClass_errorThreshold", EKind::Double, GetDefaultResClassErrorThreshold,
                   SetDefaultResClassErrorThreshold, double),
        VELM_FIELD("minimumAbsOverlap", EKind::Double, GetMinimumAbsOverlap, SetMinimumAbsOverlap, double),
        VELM_FIELD("minScanQualityFix", EKind::UInt, GetMinimumNumberSurfelsFix, SetMinimumNumberSurfelsFix, unsigned int),
        VELM_FIELD("minScanQualityFloat", EKind::UInt, GetMinimumNumberSurfelsFloat, SetMinimumNumberSurfelsFloat,
                   unsigned int),
    };
    return fields;
}
#undef VELM_FIELD

// The number a JSON value gives for a setting, checked against the setting's kind.
double ValueFor(const SField& f, const nlohmann::json& v)
{
    const std::string key = std::string("configuration key '") + f.label + "': ";
    if (f.kind == EKind::Bool)
    {
        if (v.is_boolean())
            return v.get<bool>() ? 1.0 : 0.0;
        if (v.is_number_integer() && (v.get<int64_t>() == 0 || v.get<int64_t>() == 1))
            return static_cast<double>(v.get<int64_t>());
        throw std::runtime_error(key + "expected true, false, 0 or 1, got " + v.dump());
    }
    if (!v.is_number())
        throw std::runtime_error(key + "expected a number, got " + v.dump());
    if (f.kind == EKind::Int || f.kind == EKind::UInt)
    {
        if (!v.is_number_integer())
            throw std::runtime_error(key + "expected an integer, got " + v.dump());
        const bool isUnsigned = v.is_number_unsigned();
        const double d = isUnsigned ? static_cast<double>(v.get<uint64_t>()) : static_cast<double>(v.get<int64_t>());
        const double lo = f.kind == EKind::Int ? -2147483648.0 : 0.0;
        const double hi = f.kind == EKind::Int ? 2147483647.0 : 4294967295.0;
        if (d < lo || d > hi)
            throw std::runtime_error(key + v.dump() + " is outside " + (f.kind == EKind::Int ? "a 32-bit int" : "a 32-bit unsigned int"));
        return d;
    }
    const double d = v.get<double>();
    if (f.kind == EKind::Float && std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        throw std::runtime_error(key + v.dump() + " does not fit single precision");
    return d;
}
} // namespace

DataLayer::VelmTorCorrICPPointConfig DefaultConfiguration(double spacingMm)
{
    const float s = static_cast<float>(spacingMm);
    Config c;
    // The start may be up to about 10 degrees and 10 mm off: the first correspondences reach far, then
    // the threshold follows the error down to a few sampling distances, where pairs are reliable.
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
    return c;
}

nlohmann::ordered_json ConfigurationToJson(const DataLayer::VelmTorCorrICPPointConfig& config)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const SField& f : Fields())
    {
        const double v = f.get(config);
        switch (f.kind)
        {
        case EKind::Bool: out[f.label] = v != 0.0; break;
        case EKind::Int: out[f.label] = static_cast<int64_t>(v); break;
        case EKind::UInt: out[f.label] = static_cast<uint64_t>(v); break;
        // A float setting prints with the shortest digits of its single-precision value.
        case EKind::Float: out[f.label] = static_cast<float>(v); break;
        case EKind::Double: out[f.label] = v; break;
        }
    }
    return out;
}

void ApplyConfigurationJson(const nlohmann::json& overrides, DataLayer::VelmTorCorrICPPointConfig& config)
{
    if (!overrides.is_object())
        throw std::runtime_error("the configuration must be a JSON object of settings, got " +
                                 std::string(overrides.type_name()));
    // Check every key before changing anything.
    std::vector<std::pair<const SField*, double>> values;
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
    {
        const SField* field = nullptr;
        for (const SField& f : Fields())
            if (it.key() == f.label)
                field = &f;
        if (!field)
            throw std::runtime_error("unknown configuration key '" + it.key() + "'");
        values.emplace_back(field, ValueFor(*field, it.value()));
    }
    for (const auto& [field, value] : values)
        field->set(config, value);
}

std::vector<std::string> ConfigurationLabels()
{
    std::vector<std::string> labels;
    for (const SField& f : Fields())
        labels.emplace_back(f.label);
    return labels;
}
} // namespace VelmTool
