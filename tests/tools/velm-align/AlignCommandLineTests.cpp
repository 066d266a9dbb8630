// velm-align end to end on bundled bunny scans: exit codes, messages, the aligned set, report and merged cloud.
#include "AlignTool.h"

#include "RealScans.h"
#include "TestSupport.h"

#include "velm/IO/CPlyReader.h"
#include "velm/IO/CPlyWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;
using RealScans::kData;

namespace
{
int RunTool(const std::vector<std::string>& args, std::string& out, std::string& err)
{
    std::vector<const char*> argv = {"velm-align"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    std::ostringstream o, e;
    const int code = VelmTool::RunAlign(static_cast<int>(argv.size()), argv.data(), o, e);
    out = o.str(), err = e.str();
    return code;
}

// How far a scan's pose in the aligned set lies from its published one (bun000's pose is the identity).
std::pair<double, double> OffPublished(const Pipeline::SConfLine& line)
{
    const std::string name = fs::path(line.strFile).stem().string();
    return RealScans::Error(RealScans::Published("bun.conf", "bun000", name), Pipeline::PoseOfLine(line, 1000.0),
                            RealScans::Centroid(*Pipeline::LoadScan(kData + name + ".ply", {"m", {}})));
}
} // namespace

TEST(AlignCommandLine, AlignsThreeBunnyScansAndReportsWhatItCouldNot)
{
    const fs::path dir = fs::temp_directory_path() / ("velm_align_test_" + std::to_string(::getpid()));
    fs::remove_all(dir), fs::create_directories(dir);
    const std::string conf = (dir / "set.conf").string(), output = (dir / "aligned.conf").string(),
                      report = (dir / "report.json").string(), merged = (dir / "merged.ply").string();
    std::string out, err;

    // bun045 and bun315 start 8 degrees and 8 mm off their published poses, about their middles.
    Pipeline::SScanSet given;
    std::vector<std::optional<CbMatrix4Rd>> starts;
    size_t points = 0;
    for (const char* name : {"bun000", "bun045", "bun315"})
    {
        const std::string file = kData + name + ".ply";
        const CbMatrix4Rd published = RealScans::Published("bun.conf", "bun000", name);
        const CbVector3d centroid = RealScans::Centroid(*Pipeline::LoadScan(file, {"m", {}}));
        starts.push_back(starts.empty()
                             ? published
                             : RealScans::PerturbedStart(published, centroid, 11 + starts.size(), 8, 8, 8, 8));
        given.vecLines.push_back({"", true, file});
        points += IO::CPlyReader::Read(file).GetCount();
    }
    std::ofstream(conf) << "# three views\ncamera 0 0 0 0 0 0 1\n" + Pipeline::ScanSetText(given, starts, 1000.0, conf);
    const std::vector<std::string> args = {conf,   "--output", output, "--units", "m",         "--report",
                                           report, "--merged", merged, "-v",      "--threads", "2"};
    ASSERT_EQ(RunTool(args, out, err), 0) << out << err;
    EXPECT_EQ(out.rfind("aligned 3 of 3 scans; 3 pairs registered, 3 verified, 3 used (round 1)\n", 0), 0u) << out;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_EQ(err.rfind("velm-align: round 1, pair ", 0), 0u) << err;

    // The aligned set: the same lines, the anchor verbatim, the others back on their published poses.
    const Pipeline::SScanSet aligned = Pipeline::ReadScanSet(output), written = Pipeline::ReadScanSet(conf);
    ASSERT_EQ(aligned.vecLines.size(), written.vecLines.size());
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(aligned.vecLines[i].strText, written.vecLines[i].strText);
    for (int k = 1; k < 3; ++k)
    {
        const auto [degrees, mm] = OffPublished(*aligned.Scans()[k]);
        EXPECT_TRUE(degrees < 0.2 && mm < 0.5) << k << ": " << degrees << " deg, " << mm << " mm";
    }

    const json j = json::parse(std::ifstream(report));
    ASSERT_EQ(j["pairs"].size(), 3u);
    EXPECT_EQ(j["pairs"][0]["fix"], kData + "bun000.ply");
    EXPECT_EQ(j["pairs"][0]["float"], kData + "bun045.ply");
    for (const auto& pair : j["pairs"]) // state, failure cause, verified, used, RMS below 0.3 mm
        EXPECT_EQ(
            json::array({pair["state"], pair["failure_cause"], pair["verified"], pair["used"], pair["rmse_mm"] < 0.3}),
            json::array({"Success", "", true, true, true}));
    for (const auto& scan : j["scans"])
        EXPECT_EQ(scan["aligned"], true);
    EXPECT_EQ(j["scans"][0]["rotation_change_deg"], 0.0);
    EXPECT_NEAR(j["scans"][1]["rotation_change_deg"].get<double>(), 8.0, 0.3);
    EXPECT_TRUE(j["removed_edges"].empty());
    EXPECT_LT(j["residual_after"].get<double>(), 0.1 * j["residual_before"].get<double>());
    const IO::SPointCloud cloud = IO::CPlyReader::Read(merged); // all three clouds, in the common frame
    EXPECT_EQ(std::make_pair(cloud.GetCount(), cloud.HasNormals()), std::make_pair(points, true));

    // A scan nothing overlaps is not aligned: exit 2, its line as written, no merged points of it.
    IO::SPointCloud plane;
    for (int r = 0; r < 30; ++r)
        for (int c = 0; c < 30; ++c)
            plane.vecPositions.emplace_back(0.001f * c, 0.001f * r, 0.0f);
    IO::CPlyWriter::Write((dir / "plane.ply").string(), plane);
    std::ofstream(conf, std::ios::app) << "bmesh plane.ply 2 0 0 0 0 0 1\n";
    ASSERT_EQ(RunTool({conf, "--output", output, "--units", "m", "--merged", merged}, out, err), 2) << out << err;
    EXPECT_NE(out.find("  plane.ply: not aligned (no verified pair joins it to the anchor), start pose kept\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Pipeline::ReadScanSet(output).vecLines.back().strText, "bmesh plane.ply 2 0 0 0 0 0 1");
    EXPECT_EQ(IO::CPlyReader::Read(merged).GetCount(), points);

    // Bad input: exit 1, one line, nothing written.
    fs::remove(output), fs::remove(report);
    const std::string missing = (dir / "missing.conf").string();
    std::ofstream(missing) << "bmesh none.ply 0 0 0 0 0 0 1\n";
    const std::pair<std::vector<std::string>, std::string> faults[] = {
        {{}, "SCANS is required (see --help)\n"},
        {{conf}, "--output is required (see --help)\n"},
        {{conf, "--output", output, "--units", "km"}, "--units: km not in {mm,m} (see --help)\n"},
        {{missing, "--output", output}, "file '" + (dir / "none.ply").string() + "': cannot open for reading"},
        {{conf, "--output", output, "--anchor", "bun000.ply"},
         "--anchor: 'bun000.ply' is not the FILE of a bmesh line of '" + conf + "'\n"},
        {{conf, "--output", (dir / "no" / "a.conf").string()},
         "--output: the folder '" + (dir / "no").string() + "' does not exist\n"},
        {{conf, "--output", output, "--report", (dir / "no" / "r.json").string()},
         "--report: the folder '" + (dir / "no").string() + "' does not exist\n"},
    };
    for (const auto& [args, message] : faults)
    {
        SCOPED_TRACE(message);
        EXPECT_EQ(RunTool(args, out, err), 1);
        EXPECT_EQ(out, "");
        const std::string expected = "velm-align: error: " + message;
        EXPECT_EQ(message.back() == '\n' ? err : err.substr(0, expected.size()), expected);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
        EXPECT_FALSE(fs::exists(output) || fs::exists(report));
    }
    fs::remove_all(dir);
}

#ifndef VELM_SANITIZE // a dozen registrations of real scans: the release build runs them
TEST(AlignCommandLine, TheReadmeExampleAlignsTheRoughBunnySet)
{
    // The README shows this command; the set's poses are off by 5-10 degrees and 5-10 mm.
    const std::string text = FileText(std::string(VELM_SOURCE_DIR) + "/README.md");
    ASSERT_NE(text.find("build/release/tools/velm-align examples/bun-rough.conf --units m --output bun-aligned.conf"),
              std::string::npos);

    const std::string conf = std::string(VELM_SOURCE_DIR) + "/examples/bun-rough.conf",
                      output = (fs::temp_directory_path() / ("velm_readme_" + std::to_string(::getpid()))).string();
    std::string out, err;
    ASSERT_EQ(RunTool({conf, "--units", "m", "--output", output}, out, err), 0) << out << err;
    // Every scan within what a pair registered from the published alignment allows (0.35 degrees, 0.6 mm).
    const Pipeline::SScanSet aligned = Pipeline::ReadScanSet(output); // Scans() points into it
    for (const auto* line : aligned.Scans())
    {
        const auto [degrees, mm] = OffPublished(*line);
        EXPECT_TRUE(degrees < 0.4 && mm < 0.6) << line->strFile << ": " << degrees << " deg, " << mm << " mm";
    }
    fs::remove(output);
}
#endif
