// The record tree every front end writes, and the registration settings: keys, defaults, overrides.
#include "velm/Pipeline/CRecord.h"
#include "velm/Pipeline/SRegistrationConfig.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using Pipeline::CRecord;

namespace
{
template <typename F>
std::string ErrorOf(F&& f)
{
    try
    {
        f();
    }
    catch (const std::invalid_argument& e)
    {
        return e.what();
    }
    return "";
}

std::string Dump(const DataLayer::VelmTorCorrICPPointConfig& c)
{
    const std::wstring w = c.ToString().Str();
    return std::string(w.begin(), w.end());
}

CRecord Overrides(std::initializer_list<std::pair<const char*, CRecord>> items)
{
    CRecord map = CRecord::Map();
    for (const auto& [key, value] : items)
        map.Set(key, value);
    return map;
}
} // namespace

TEST(Record, WritesJsonWithShortestDigitsOrderedKeysAndNullForMissingMeasures)
{
    CRecord r = CRecord::Map();
    r.Set("b", 1);
    r.Set("a", CRecord::List());
    r.Set("text", "quote \" backslash \\ tab \t line\n bell \x07 \xc3\xa9");
    r.Set("float", 0.1f); // single precision keeps its own shortest digits
    r.Set("double", 0.1);
    r.Set("big", 1e300);
    r.Set("unsigned", 4294967295u);
    r.Set("negative", -7);
    r.Set("none", CRecord::Measure(NAN));
    r.Set("no pairs", CRecord::Measure(DBL_MAX));
    r.Set("inf", CRecord::Measure(INFINITY));
    r.Set("b", true); // replaces in place
    CRecord rows = CRecord::List();
    rows.Append(CRecord::List());
    rows.Append(CRecord::Map());
    r.Set("nested", rows);
    r.Set("row", [] {
        CRecord l = CRecord::List();
        l.Append(1.5);
        l.Append(NAN);
        return l;
    }());
    EXPECT_EQ(r.ToJson(),
              "{\"b\":true,\"a\":[],\"text\":\"quote \\\" backslash \\\\ tab \\t line\\n bell \\u0007 \xc3\xa9\","
              "\"float\":0.1,\"double\":0.1,\"big\":1e+300,\"unsigned\":4294967295,\"negative\":-7,"
              "\"none\":null,\"no pairs\":null,\"inf\":null,\"nested\":[[],{}],\"row\":[1.5,null]}");
    EXPECT_EQ(CRecord(0.1f).ToJson(), "0.1");
    EXPECT_EQ(CRecord(static_cast<double>(0.1f)).ToJson(), "0.10000000149011612");
    // Indented: maps and lists of maps one entry per line, lists of plain values on one line.
    CRecord small = CRecord::Map();
    small.Set("m", CRecord::List());
    small["m"]; // reading a key never adds it
    CRecord matrix = CRecord::List();
    matrix.Append([] {
        CRecord l = CRecord::List();
        l.Append(1);
        l.Append(0);
        return l;
    }());
    small.Set("rows", matrix);
    EXPECT_EQ(small.ToJson(2), "{\n  \"m\": [],\n  \"rows\": [\n    [1, 0]\n  ]\n}");

    EXPECT_EQ(r["negative"].AsInt(), -7);
    EXPECT_EQ(r["unsigned"].AsUInt(), 4294967295u);
    EXPECT_EQ(r["float"].AsDouble(), static_cast<double>(0.1f));
    EXPECT_TRUE(r["absent"].IsNull());
    EXPECT_EQ(r.Find("absent"), nullptr);
    EXPECT_THROW(r["negative"].AsUInt(), std::logic_error);
    EXPECT_THROW(r["text"].AsDouble(), std::logic_error);
    EXPECT_THROW(CRecord(1).Set("k", 1), std::logic_error);
    EXPECT_THROW(CRecord::Map().Append(1), std::logic_error);
}

TEST(RegistrationConfig, KeysAreTheEngineDumpLabelsThenThePipelinesAndRoundTrip)
{
    const Pipeline::SRegistrationConfig defaults = Pipeline::DefaultConfig(0.5, 56.0);

    // The first 29 keys are exactly the labels of the engine's text dump, in its order.
    const std::string dump = Dump(defaults.fine);
    std::vector<std::string> labels;
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);)
        labels.push_back(line.substr(0, line.find(" = ")));
    const std::vector<std::string> keys = Pipeline::ConfigKeys();
    ASSERT_EQ(labels.size(), 29u);
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 29), labels);
    EXPECT_EQ(keys.size(), 29u + 14u);

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
    EXPECT_EQ(Dump(copy.fine), dump);
    EXPECT_EQ(printed["fSamplingDensity"].GetKind(), CRecord::EKind::Float);
    EXPECT_EQ(printed["bSmoothDistanceThresholding"].GetKind(), CRecord::EKind::Bool);
    EXPECT_EQ(printed["coarse_steps"].GetKind(), CRecord::EKind::UInt);
}

TEST(RegistrationConfig, OverridesChangeOnlyWhatTheyNameAndFaultsChangeNothing)
{
    const Pipeline::SRegistrationConfig defaults = Pipeline::DefaultConfig(0.5, 56.0);
    Pipeline::SRegistrationConfig c = defaults;
    Pipeline::ApplyConfigOverrides(Overrides({{"iMaxIterations", 7},
                                              {"bSmoothDistanceThresholding", false},
                                              {"dMinImprovement", 0.5},
                                              {"minScanQualityFix", 4294967295u},
                                              {"coarse_steps", 0},
                                              {"verify_min_normal_agreement", 1}}),
                                   c);
    EXPECT_EQ(c.fine.GetMaxIterations(), 7);
    EXPECT_FALSE(c.fine.GetSmoothDistanceThresholding());
    EXPECT_EQ(c.fine.GetMinImprovement(), 0.5);
    EXPECT_EQ(c.fine.GetMinimumNumberSurfelsFix(), 4294967295u);
    EXPECT_EQ(c.uiCoarseSteps, 0u);
    EXPECT_EQ(c.dMinNormalAgreement, 1.0);
    EXPECT_EQ(c.fine.GetSamplingDensity(), defaults.fine.GetSamplingDensity());
    EXPECT_EQ(c.dCoarseFirstThreshold, defaults.dCoarseFirstThreshold);

    // Faults name the key and change nothing, not even the valid keys given with them.
    const std::pair<CRecord, const char*> faults[] = {
        {Overrides({{"iMaxIterations", 3}, {"fSamplingDenstiy", 1}}), "unknown configuration key 'fSamplingDenstiy'"},
        {Overrides({{"iMaxIterations", 2.5}}), "configuration key 'iMaxIterations': expected an integer, got 2.5"},
        {Overrides({{"iMaxIterations", -1}}),
         "configuration key 'iMaxIterations': must not be negative (the registration would only stop on convergence)"},
        {Overrides({{"iNumberOfPairs", -1}}),
         "configuration key 'iNumberOfPairs': -1 is outside a 32-bit unsigned int"},
        {Overrides({{"iAdaptDistanceThreshold", 3000000000u}}),
         "configuration key 'iAdaptDistanceThreshold': 3000000000 is outside a 32-bit int"},
        {Overrides({{"fTestRange", "2"}}), "configuration key 'fTestRange': expected a number, got \"2\""},
        {Overrides({{"fTestRange", 1e300}}), "configuration key 'fTestRange': 1e+300 does not fit single precision"},
        {Overrides({{"bSmoothDistanceThresholding", 2}}),
         "configuration key 'bSmoothDistanceThresholding': expected true, false, 0 or 1, got 2"},
        {Overrides({{"verify_max_free_space_share", 1.5}}),
         "configuration key 'verify_max_free_space_share': 1.5 is outside [0, 1]"},
        {Overrides({{"coarse_pairs", 0}}), "configuration key 'coarse_pairs': 0 is outside [1, 4294967295]"},
        {Overrides({{"coarse_last_threshold_mm", NAN}}),
         "configuration key 'coarse_last_threshold_mm': must be a positive distance (mm)"},
        {Overrides({{"verify_pair_distance_mm", 0}}),
         "configuration key 'verify_pair_distance_mm': must be a positive distance (mm)"},
        {Overrides({{"hypothesis_angle_deg", -1}}), "configuration key 'hypothesis_angle_deg': -1 is outside [0, 180]"},
        {CRecord::List(), "the configuration must be a map of settings, got []"},
    };
    const CRecord before = Pipeline::ConfigToRecord(defaults);
    for (const auto& [overrides, message] : faults)
    {
        SCOPED_TRACE(message);
        Pipeline::SRegistrationConfig target = defaults;
        EXPECT_EQ(ErrorOf([&] { Pipeline::ApplyConfigOverrides(overrides, target); }), message);
        EXPECT_EQ(Pipeline::ConfigToRecord(target), before);
    }
    Pipeline::SRegistrationConfig target = defaults;
    EXPECT_THROW(Pipeline::ApplyConfigOverrides(Overrides({{"nope", 1}}), target), Pipeline::CUnknownKeyError);

    // A configuration set field by field is checked before a registration runs.
    Pipeline::SRegistrationConfig direct = defaults;
    direct.fine.SetMaxIterations(-5);
    EXPECT_EQ(
        ErrorOf([&] { Pipeline::CheckConfig(direct); }),
        "configuration key 'iMaxIterations': must not be negative (the registration would only stop on convergence)");
}
