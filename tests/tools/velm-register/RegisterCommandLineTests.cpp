// The command line of velm-register end to end: exit codes, messages, the result file, the aligned scan.
#include "RegisterTool.h"

#include "RealScans.h"

#include "velm/IO/CPlyReader.h"
#include "velm/Pipeline/SRegistrationConfig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace
{
// Runs the tool in-process; returns the exit code and collects both streams.
int RunTool(const std::vector<std::string>& args, std::string& out, std::string& err)
{
    std::vector<const char*> argv = {"velm-register"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    std::ostringstream o, e;
    const int code = VelmTool::RunRegister(static_cast<int>(argv.size()), argv.data(), o, e);
    out = o.str(), err = e.str();
    return code;
}

const auto Read = [](const std::string& path) { return json::parse(std::ifstream(path)); };
} // namespace

TEST(RegisterCommandLine, ExitCodesMessagesOutputsAndTheSearchForAStart)
{
    const fs::path dir = fs::temp_directory_path() / ("velm_register_test_" + std::to_string(::getpid()));
    fs::remove_all(dir), fs::create_directories(dir);
    const std::string fix = RealScans::kData + "bun000.ply", flt = RealScans::kData + "bun045.ply",
                      none = (dir / "none.ply").string();
    std::string out, err;

    // Usage and input faults: exit 1 with one line on stderr, nothing on stdout. A message that ends in a
    // line end is the whole of stderr, the others its start.
    EXPECT_EQ(RunTool({"--help"}, out, err), VelmTool::kExitSuccess);
    EXPECT_NE(out.find("--init"), std::string::npos);
    const std::pair<std::vector<std::string>, std::string> faults[] = {
        {{}, "FIX is required (see --help)\n"},
        {{fix}, "FLOAT is required (see --help)\n"},
        {{fix, flt, "--units", "km"}, "--units: km not in {mm,m} (see --help)\n"},
        {{fix, none}, "file '" + none + "': cannot open for reading (No such file or directory)\n"},
        {{fix, flt, "--init", "1 2 3"}, "--init: expected 16 numbers (a 4x4 matrix row by row), got 3\n"},
        {{fix, flt, "--threads", "0"}, "--threads: Value 0 not in range 1 to 1024 (see --help)\n"},
        {{fix, flt, "--view-dir", "0,0,0"},
         "file '" + fix + "': the view direction must be a finite, non-zero vector\n"},
        {{fix, flt, "--config", fix}, "file '" + fix + "': not valid JSON"},
        {{fix, flt, "--config", (dir / "array.json").string()},
         "the configuration must be a JSON object of settings, got array\n"},
        {{fix, flt, "--config", (dir / "unknown.json").string()}, "unknown configuration key 'coarse_stpes'\n"},
    };
    std::ofstream(dir / "array.json") << "[1, 2]";
    std::ofstream(dir / "unknown.json") << R"({"coarse_stpes": 2})";
    for (const auto& [args, message] : faults)
    {
        SCOPED_TRACE(message);
        EXPECT_EQ(RunTool(args, out, err), VelmTool::kExitBadInput);
        EXPECT_EQ(out, "");
        const std::string expected = "velm-register: error: " + message;
        EXPECT_EQ(message.back() == '\n' ? err : err.substr(0, expected.size()), expected);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }

    // The configuration in effect: defaults from the fixed scan's spacing (about 0.5 mm), overridden.
    const std::string config = (dir / "config.json").string();
    std::ofstream(config) << R"({"iMaxIterations": 1})";
    ASSERT_EQ(RunTool({fix, "--units", "m", "--print-config", "--config", config}, out, err), VelmTool::kExitSuccess);
    const json printed = json::parse(out);
    EXPECT_EQ(json::array({printed.size(), printed["iMaxIterations"], printed["coarse_steps"],
                           printed["fSamplingDensity"] > 0.5 && printed["fSamplingDensity"] < 2.0}),
              json::array({Pipeline::ConfigKeys().size(), 1, 3, true}));

    // Header lines of unknown keywords before the first element are skipped, and named with -v.
    const std::string bye = (dir / "bye.ply").string();
    std::ofstream(bye) << "ply\nformat ascii 1.0\nobj_info num_cols 2\nbye\nbye\nelement vertex 4\nproperty float x\n"
                          "property float y\nproperty float z\nend_header\n0 0 0\n1 0 0\n0 1 0\n1 1 0.1\n";
    ASSERT_EQ(RunTool({bye, "--print-config", "-v"}, out, err), VelmTool::kExitSuccess) << err;
    EXPECT_EQ(err, "velm-register: file '" + bye + "': skipped header lines with the unknown keyword 'bye'\n");
    ASSERT_EQ(RunTool({bye, "--print-config"}, out, err), VelmTool::kExitSuccess);
    EXPECT_EQ(err, "");
    fs::remove(bye);

    // From the published alignment (metres, usual layout) the registration succeeds: exit 0.
    json start; // in metres, 4 rows of 4 numbers, as --init takes it
    const CbMatrix4Rd published =
        Pipeline::ScaleTranslation(RealScans::Published("bun.conf", "bun000", "bun045"), 0.001);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            start[r][c] = published.Usual(r, c);
    const std::string result = (dir / "result.json").string(), aligned = (dir / "aligned.ply").string();
    const int code = RunTool(
        {fix, flt, "--units", "m", "--init", start.dump(), "--output", result, "--aligned", aligned, "-v"}, out, err);
    ASSERT_EQ(code, VelmTool::kExitSuccess) << out << err;
    EXPECT_EQ(out.rfind("state: Success\nfailure cause: (none)\nverdict: verified: residual_ratio ", 0), 0u) << out;
    EXPECT_EQ(err.rfind("coarse iteration 1: threshold ", 0), 0u);
    EXPECT_NE(err.find("\nfine iteration 1: threshold "), std::string::npos);
    const json j = Read(result);
    EXPECT_EQ(json::array({j["state"], j["failure_cause"], j["verified"], j["units"], j["configuration"].size(),
                           j["verdict"].get<std::string>().substr(0, 10), j["dof_eigenvalues"].size(),
                           j["stages"].back()["name"]}),
              json::array({"Success", "", true, "m", Pipeline::ConfigKeys().size(), "verified: ", 6, "fine"}));
    // Every check of the verification applies to these range scans and passed; iterations sum the stages.
    ASSERT_EQ(j["verification"].size(), 4u);
    for (const auto& check : j["verification"])
        EXPECT_TRUE(check["applicable"] == true && check["passed"] == true) << check;
    int iterations = 0;
    for (const auto& stage : j["stages"])
        iterations += stage["iterations"].get<int>();
    EXPECT_EQ(j["iterations"], iterations);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(j["start_transformation"][r][c].get<double>(), start[r][c].get<double>(), 1e-12);
    // The aligned scan is the floating scan moved by the reported transformation; nothing else is left behind.
    const IO::SPointCloud moved = IO::CPlyReader::Read(aligned), original = IO::CPlyReader::Read(flt);
    ASSERT_TRUE(moved.GetCount() == original.GetCount() && moved.HasNormals());
    EXPECT_EQ(moved.vecGrid, original.vecGrid);
    const CbMatrix4Rd reported = VelmTool::ParseTransformation(j["transformation"].dump());
    for (size_t i = 0; i < moved.GetCount(); i += 997)
        EXPECT_LT((CbVector3d(moved.vecPositions[i]) - reported.TransformPoint(CbVector3d(original.vecPositions[i])))
                      .Length(),
                  1.5e-6);
    // Any thread count gives the same result, to the last digit; timings aside.
    const std::string threaded = (dir / "threaded.json").string();
    ASSERT_EQ(
        RunTool({fix, flt, "--units", "m", "--init", start.dump(), "--output", threaded, "--threads", "3"}, out, err),
        VelmTool::kExitSuccess);
    for (const json& change : json::diff(j, Read(threaded)))
        EXPECT_TRUE(change["path"].get<std::string>().rfind("/timings_s", 0) == 0 ||
                    change["path"].get<std::string>().find("/seconds") != std::string::npos)
            << change;
    fs::remove(threaded);
    // aligned, result, and the three configurations
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 5);

    // One iteration cannot converge: the engine's state stands, the result is not verified, exit 2.
    // The start comes from a file this time, as a result file prints it.
    const std::string startFile = (dir / "start.txt").string();
    std::ofstream(startFile) << j["transformation"].dump() << "\n";
    ASSERT_EQ(
        RunTool({fix, flt, "--units", "m", "--config", config, "--output", result, "--init", startFile}, out, err),
        VelmTool::kExitNotSuccess);
    EXPECT_EQ(out.rfind("state: NotConverged\n", 0), 0u);
    EXPECT_NE(out.find("verdict: not verified: the engine ended in NotConverged"), std::string::npos) << out;
    const json failed = Read(result);
    EXPECT_EQ(json::array({failed["state"], failed["verified"], failed["state_value"], failed["start_transformation"]}),
              json::array({"NotConverged", false, 4, j["transformation"]}));
    EXPECT_EQ(failed["failure_cause"].get<std::string>().rfind(" uiIterations=1 (1)", 0), 0u);

    // Too few points to register: the engine reports it, the start stands as the transformation.
    const std::string tiny = (dir / "tiny.xyz").string();
    std::ofstream(tiny) << "0 0 0\n0.001 0 0\n0 0.001 0\n0.001 0.001 0.0001\n";
    ASSERT_EQ(RunTool({fix, tiny, "--units", "m", "--output", result, "--init", startFile}, out, err),
              VelmTool::kExitNotSuccess);
    const json tooFew = Read(result);
    EXPECT_EQ(json::array({tooFew["state"], tooFew["transformation"], tooFew["verified"]}),
              json::array({"SurfelCountTooLow", tooFew["start_transformation"], false}));

    // FLOAT so far away that no pair is ever found: measures without a value are null, not a number.
    const std::string away = "1 0 0 5  0 1 0 0  0 0 1 0  0 0 0 1"; // 5 m along x
    ASSERT_EQ(RunTool({fix, flt, "--units", "m", "--output", result, "--init", away}, out, err),
              VelmTool::kExitNotSuccess);
    const json apart = Read(result);
    EXPECT_EQ(json::array({apart["rmse_mm"], apart["overlap_quotient"], apart["verified"]}),
              json::array({nullptr, nullptr, false}));
    EXPECT_NE(out.find("rmse: none (no pairs)"), std::string::npos) << out;

    // Without a start the tool searches: the bundled scans lie 45 degrees apart in their files, beyond any
    // turned start from the identity in one pass.
    ASSERT_EQ(RunTool({flt, fix, "--units", "m", "--output", result, "-v"}, out, err), VelmTool::kExitSuccess)
        << out << err;
    EXPECT_EQ(err.rfind("search: voxel ", 0), 0u) << err;
    const json searched = Read(result), found = searched["start"];
    EXPECT_EQ(json::array(
                  {found["method"], found["inliers"] > 0, found["rank"] >= 1 && found["rank"] <= found["hypotheses"]}),
              json::array({"global", true, true}))
        << found;
    const auto [degrees, mm] = RealScans::Error(
        RealScans::Published("bun.conf", "bun045", "bun000"),
        Pipeline::ScaleTranslation(VelmTool::ParseTransformation(searched["transformation"].dump()), 1000.0),
        RealScans::Centroid(*Pipeline::LoadScan(fix, {"m", {}})));
    EXPECT_TRUE(degrees < 0.2 && mm < 0.5) << degrees << " deg, " << mm << " mm";
    // "identity" starts where FLOAT lies, as the tool did before it searched; "auto" is the default.
    ASSERT_NE(RunTool({flt, fix, "--units", "m", "--output", result, "--init", "identity"}, out, err),
              VelmTool::kExitBadInput)
        << err;
    const json identity = Read(result)["start"];
    EXPECT_EQ(json::array({identity["method"], identity["inliers"], identity["hypotheses"]}),
              json::array({"identity", nullptr, 1}));
    ASSERT_EQ(RunTool({flt, fix, "--units", "m", "--output", result, "--init", "auto"}, out, err),
              VelmTool::kExitSuccess);
    EXPECT_EQ(Read(result)["transformation"], searched["transformation"]);
    fs::remove_all(dir);

    // The program itself, as a shell sees it.
    EXPECT_EQ(std::system(VELM_REGISTER_TOOL " --help > /dev/null"), 0);
    const int bad = std::system(VELM_REGISTER_TOOL " /nonexistent.ply /nonexistent.ply 2> /dev/null");
    EXPECT_TRUE(WIFEXITED(bad) && WEXITSTATUS(bad) == 1) << bad;
}
