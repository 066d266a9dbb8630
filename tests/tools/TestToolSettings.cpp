#include "ConfigJson.h"
#include "RegisterTool.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace
{
template <typename F>
std::string ErrorOf(F&& f)
{
    try { f(); }
    catch (const std::runtime_error& e) { return e.what(); }
    return "";
}

std::string Dump(const DataLayer::VelmTorCorrICPPointConfig& c)
{
    const std::wstring w = c.ToString().Str();
    return std::string(w.begin(), w.end());
}
} // namespace

TEST(ToolTransformation, ReadsTheUsualLayoutAndRejectsNonRigidMatrices)
{
    // A quarter turn about z followed by a translation (1, 2, 3): column-vector form, row by row.
    const std::string text = "0 -1 0 1\n1 0 0 2\n0 0 1 3\n0 0 0 1\n";
    const CbMatrix4Rd m = VelmTool::ParseTransformation(text);
    // The library applies it to row vectors: (1, 0, 0) goes to (0, 1, 0) + (1, 2, 3).
    EXPECT_EQ(m.TransformPoint(CbVector3d(1.0, 0.0, 0.0)), CbVector3d(1.0, 3.0, 3.0));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(VelmTool::UsualElement(m, r, c), VelmTool::ParseNumbers(text, "t")[4 * r + c]);

    // Nested JSON arrays, commas and comments read the same.
    EXPECT_EQ(VelmTool::ParseTransformation("[[0, -1, 0, 1], [1, 0, 0, 2], # rows 1 and 2\n[0,0,1,3],[0,0,0,1]]"), m);

    const std::pair<const char*, const char*> faults[] = {
        {"1 0 0 0 0 1 0 0 0 0 1 0 0 0 0", "expected 16 numbers (a 4x4 matrix row by row), got 15"},
        {"1 0 0 0 0 1 0 0 0 0 1 0 5 6 7 1", "the last row must be 0 0 0 1 (translation belongs in the last column)"},
        {"2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 1", "the upper left 3x3 part is not a rotation"},
        {"-1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1", "the upper left 3x3 part is not a rotation"},
        {"1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 one", "'one' is not a finite number"},
        {"1 0 0 nan 0 1 0 0 0 0 1 0 0 0 0 1", "'nan' is not a finite number"},
    };
    for (const auto& [input, message] : faults)
        EXPECT_EQ(ErrorOf([&] { VelmTool::ParseTransformation(input); }), std::string("--init: ") + message) << input;
}

TEST(ToolConfiguration, KeysAreTheDumpLabelsAndOverridesAreChecked)
{
    const DataLayer::VelmTorCorrICPPointConfig defaults = VelmTool::DefaultConfiguration(0.5);

    // The JSON keys are exactly the labels of the text dump, in its order.
    const std::string dump = Dump(defaults);
    std::vector<std::string> labels;
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);)
        labels.push_back(line.substr(0, line.find(" = ")));
    EXPECT_EQ(labels, VelmTool::ConfigurationLabels());
    ASSERT_EQ(labels.size(), 29u);

    // Printing and reading back gives the same settings.
    DataLayer::VelmTorCorrICPPointConfig copy = VelmTool::DefaultConfiguration(7.0);
    VelmTool::ApplyConfigurationJson(nlohmann::json::parse(VelmTool::ConfigurationToJson(defaults).dump()), copy);
    EXPECT_EQ(Dump(copy), dump);

    // A subset overrides only what it names.
    DataLayer::VelmTorCorrICPPointConfig c = defaults;
    VelmTool::ApplyConfigurationJson(
        nlohmann::json::parse(R"({"iMaxIterations": 7, "bSmoothDistanceThresholding": false, "dMinImprovement": 0.5,
                                  "minScanQualityFix": 4294967295})"),
        c);
    EXPECT_EQ(c.GetMaxIterations(), 7);
    EXPECT_FALSE(c.GetSmoothDistanceThresholding());
    EXPECT_EQ(c.GetMinImprovement(), 0.5);
    EXPECT_EQ(c.GetMinimumNumberSurfelsFix(), 4294967295u);
    EXPECT_EQ(c.GetSamplingDensity(), defaults.GetSamplingDensity());

    // Faults name the key and change nothing, not even the valid keys given with them.
    const std::pair<const char*, const char*> faults[] = {
        {R"({"iMaxIterations": 3, "fSamplingDenstiy": 1})", "unknown configuration key 'fSamplingDenstiy'"},
        {R"({"iMaxIterations": 2.5})", "configuration key 'iMaxIterations': expected an integer, got 2.5"},
        {R"({"iNumberOfPairs": -1})", "configuration key 'iNumberOfPairs': -1 is outside a 32-bit unsigned int"},
        {R"({"iMaxIterations": 3000000000})", "configuration key 'iMaxIterations': 3000000000 is outside a 32-bit int"},
        {R"({"fTestRange": "2"})", "configuration key 'fTestRange': expected a number, got \"2\""},
        {R"({"fTestRange": 1e300})", "configuration key 'fTestRange': 1e+300 does not fit single precision"},
        {R"({"bSmoothDistanceThresholding": 2})",
         "configuration key 'bSmoothDistanceThresholding': expected true, false, 0 or 1, got 2"},
        {R"([1, 2])", "the configuration must be a JSON object of settings, got array"},
    };
    for (const auto& [json, message] : faults)
    {
        DataLayer::VelmTorCorrICPPointConfig target = defaults;
        EXPECT_EQ(ErrorOf([&] { VelmTool::ApplyConfigurationJson(nlohmann::json::parse(json), target); }), message);
        EXPECT_EQ(Dump(target), dump) << json;
    }
}
