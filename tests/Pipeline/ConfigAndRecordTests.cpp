// The record tree every front end writes, and the registration settings: keys, defaults, overrides.
#include "velm/Pipeline/CRecord.h"
#include "velm/Pipeline/SRegistrationConfig.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <sstream>

using Pipeline::CRecord;

namespace
{
// A map of the keys and values that alternate in the arguments.
template <typename... T>
CRecord MapOf(const T&... keysAndValues)
{
    const CRecord items[] = {CRecord(keysAndValues)...};
    CRecord map = CRecord::Map();
    for (size_t i = 0; i < sizeof...(T); i += 2)
        map.Set(items[i].AsText(), items[i + 1]);
    return map;
}

const auto ListOf = [](const auto&... elements) {
    CRecord list = CRecord::List();
    (list.Append(CRecord(elements)), ...);
    return list;
};
} // namespace

TEST(Record, WritesJsonWithShortestDigitsOrderedKeysAndNullForMissingMeasures)
{
    // Single precision keeps its own shortest digits; a key set again is replaced in place.
    const CRecord r =
        MapOf("b", 1, "a", CRecord::List(), "text", "quote \" backslash \\ tab \t line\n bell \x07 \xc3\xa9", "float",
              0.1f, "double", 0.1, "big", 1e300, "unsigned", 4294967295u, "negative", -7, "none", CRecord::Measure(NAN),
              "no pairs", CRecord::Measure(DBL_MAX), "inf", CRecord::Measure(INFINITY), "b", true, "nested",
              ListOf(CRecord::List(), CRecord::Map()), "row", ListOf(1.5, NAN));
    EXPECT_EQ(r.ToJson(),
              "{\"b\":true,\"a\":[],\"text\":\"quote \\\" backslash \\\\ tab \\t line\\n bell \\u0007 \xc3\xa9\","
              "\"float\":0.1,\"double\":0.1,\"big\":1e+300,\"unsigned\":4294967295,\"negative\":-7,"
              "\"none\":null,\"no pairs\":null,\"inf\":null,\"nested\":[[],{}],\"row\":[1.5,null]}");
    EXPECT_EQ(CRecord(static_cast<double>(0.1f)).ToJson(), "0.10000000149011612");
    // Indented: maps and lists of maps one entry per line, lists of plain values on one line.
    CRecord small = MapOf("m", CRecord::List(), "rows", ListOf(ListOf(1, 0)));
    small["m"]; // reading a key never adds it
    EXPECT_EQ(small.ToJson(2), "{\n  \"m\": [],\n  \"rows\": [\n    [1, 0]\n  ]\n}");

    EXPECT_EQ(std::make_tuple(r["negative"].AsInt(), r["unsigned"].AsUInt(), r["float"].AsDouble(),
                              r["absent"].IsNull(), r.Find("absent")),
              std::make_tuple(-7, 4294967295u, static_cast<double>(0.1f), true, nullptr));
    EXPECT_THROW(r["negative"].AsUInt(), std::logic_error);
    EXPECT_THROW(r["text"].AsDouble(), std::logic_error);
    EXPECT_THROW(CRecord(1).Set("k", 1), std::logic_error);
    EXPECT_THROW(CRecord::Map().Append(1), std::logic_error);
}

TEST(RegistrationConfig, KeysDefaultsRoundTripOverridesAndFaults)
{
    const Pipeline::SRegistrationConfig defaults = Pipeline::DefaultConfig(0.5, 56.0);
    // The first 29 keys are exactly the labels of the engine's text dump, in its order.
    const std::wstring dump = defaults.fine.ToString().Str();
    std::vector<std::string> labels;
    std::istringstream lines(std::string(dump.begin(), dump.end()));
    for (std::string line; std::getline(lines, line);)
        labels.push_back(line.substr(0, line.find(" = ")));
    std::vector<std::string> keys = Pipeline::ConfigKeys();
    EXPECT_EQ(keys.size(), 29u + 14u);
    keys.resize(29);
    EXPECT_EQ(keys, labels);

    // Every distance follows the spacing, the coarse stage's reach the size; the defaults are valid.
    const Pipeline::SRegistrationConfig doubled = Pipeline::DefaultConfig(1.0, 112.0);
    EXPECT_EQ(doubled.fine.GetInitialDistanceThreshold(), 2.0f * defaults.fine.GetInitialDistanceThreshold());
    EXPECT_EQ(doubled.dCoarseFirstThreshold, 2.0 * defaults.dCoarseFirstThreshold);
    EXPECT_EQ(doubled.dVerifyPairDistance, 2.0 * defaults.dVerifyPairDistance);
    EXPECT_EQ(Pipeline::DefaultConfig(0.5, 112.0).dCoarseFirstThreshold, 2.0 * defaults.dCoarseFirstThreshold);
    EXPECT_EQ(Pipeline::DefaultConfig(0.5, 112.0).dCoarseLastThreshold, defaults.dCoarseLastThreshold);
    EXPECT_NO_THROW(Pipeline::CheckConfig(defaults));

    // Printing and reading back gives the same settings.
    const CRecord printed = Pipeline::ConfigToRecord(defaults);
    Pipeline::SRegistrationConfig copy = Pipeline::DefaultConfig(7.0, 20.0);
    Pipeline::ApplyConfigOverrides(printed, copy);
    EXPECT_EQ(Pipeline::ConfigToRecord(copy), printed);
    EXPECT_EQ(std::make_tuple(printed["fSamplingDensity"].GetKind(), printed["bSmoothDistanceThresholding"].GetKind(),
                              printed["coarse_steps"].GetKind()),
              std::make_tuple(CRecord::EKind::Float, CRecord::EKind::Bool, CRecord::EKind::UInt));

    // Overrides change only what they name.
    Pipeline::SRegistrationConfig c = defaults;
    Pipeline::ApplyConfigOverrides(MapOf("iMaxIterations", 7, "bSmoothDistanceThresholding", false, "dMinImprovement",
                                         0.5, "minScanQualityFix", 4294967295u, "coarse_steps", 0,
                                         "verify_min_normal_agreement", 1),
                                   c);
    EXPECT_EQ(std::make_tuple(c.fine.GetMaxIterations(), c.fine.GetSmoothDistanceThresholding(),
                              c.fine.GetMinImprovement(), c.fine.GetMinimumNumberSurfelsFix(), c.uiCoarseSteps,
                              c.dMinNormalAgreement, c.fine.GetSamplingDensity(), c.dCoarseFirstThreshold),
              std::make_tuple(7, false, 0.5, 4294967295u, 0u, 1.0, defaults.fine.GetSamplingDensity(),
                              defaults.dCoarseFirstThreshold));

    // Faults name the key and change nothing, not even the valid keys given with them.
    const std::string negative = "must not be negative (the registration would only stop on convergence)";
    const std::tuple<const char*, CRecord, std::string> faults[] = {
        {"iMaxIterations", 2.5, "expected an integer, got 2.5"},
        {"iMaxIterations", -1, negative},
        {"iNumberOfPairs", -1, "-1 is outside a 32-bit unsigned int"},
        {"iAdaptDistanceThreshold", 3000000000u, "3000000000 is outside a 32-bit int"},
        {"fTestRange", "2", "expected a number, got \"2\""},
        {"fTestRange", 1e300, "1e+300 does not fit single precision"},
        {"bSmoothDistanceThresholding", 2, "expected true, false, 0 or 1, got 2"},
        {"verify_max_free_space_share", 1.5, "1.5 is outside [0, 1]"},
        {"coarse_pairs", 0, "0 is outside [1, 4294967295]"},
        {"coarse_last_threshold_mm", NAN, "must be a positive distance (mm)"},
        {"verify_pair_distance_mm", 0, "must be a positive distance (mm)"},
        {"hypothesis_angle_deg", -1, "-1 is outside [0, 180]"},
    };
    std::vector<std::pair<CRecord, std::string>> cases = {
        {MapOf("iMaxIterations", 3, "fSamplingDenstiy", 1), "unknown configuration key 'fSamplingDenstiy'"},
        {CRecord::List(), "the configuration must be a map of settings, got []"}};
    for (const auto& [key, value, message] : faults)
        cases.emplace_back(MapOf(key, value), "configuration key '" + std::string(key) + "': " + message);
    for (const auto& [overrides, message] : cases)
    {
        SCOPED_TRACE(message);
        Pipeline::SRegistrationConfig target = defaults;
        EXPECT_EQ(Thrown<std::invalid_argument>([&] { Pipeline::ApplyConfigOverrides(overrides, target); }).what(),
                  message);
        EXPECT_EQ(Pipeline::ConfigToRecord(target), printed);
    }
    EXPECT_THROW(Pipeline::ApplyConfigOverrides(MapOf("nope", 1), c), Pipeline::CUnknownKeyError);

    // A configuration set field by field is checked before a registration runs.
    c.fine.SetMaxIterations(-5);
    EXPECT_EQ(Thrown<std::invalid_argument>([&] { Pipeline::CheckConfig(c); }).what(),
              "configuration key 'iMaxIterations': " + negative);
}
