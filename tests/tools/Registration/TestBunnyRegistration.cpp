// Registration of the bundled bunny scans with the tool's defaults, from perturbed starts, and the
// tool's command line end to end.
#include "ConfigJson.h"
#include "RegisterTool.h"

#include "velm/IO/CPlyReader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
constexpr double kPi = 3.14159265358979323846;
const std::string kData = std::string(VELM_SOURCE_DIR) + "/data/";

// Matrices below are the library's (row vectors, A * B applies A first).
// p -> transpose(R(q)) p for the unit quaternion q = (x, y, z, w), R(q) its usual rotation matrix, which is
// R(q) itself in the library's row-vector layout.
CbMatrix4Rd FromQuaternion(double x, double y, double z, double w)
{
    const double r[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
                         2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
                         2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
    CbMatrix4Rd m;
    for (int i = 0; i < 9; ++i)
        m.e[4 * (i / 3) + i % 3] = r[i];
    return m;
}

CbMatrix4Rd Inverse(CbMatrix4Rd m)
{
    m.Invert();
    return m;
}

// The published alignment of flt onto fix, in millimetres: bun.conf takes each scan into a common frame
// by p -> transpose(R(q)) p + t; flt goes into it, then out of it into fix's frame.
CbMatrix4Rd Published(const std::string& fix, const std::string& flt)
{
    std::map<std::string, CbMatrix4Rd> poses;
    std::ifstream in(kData + "bun.conf");
    std::string kind, name;
    double t[3], q[4];
    for (std::string line; std::getline(in, line);)
        if (std::istringstream(line) >> kind >> name >> t[0] >> t[1] >> t[2] >> q[0] >> q[1] >> q[2] >> q[3] && kind == "bmesh")
            poses[name.substr(0, name.find('.'))] =
                FromQuaternion(q[0], q[1], q[2], q[3]) * CbMatrix4Rd::Translation(1000 * t[0], 1000 * t[1], 1000 * t[2]);
    return poses.at(flt) * Inverse(poses.at(fix));
}

// Rotation angle (degrees) and translation length (mm) of a rigid motion.
std::pair<double, double> MotionSize(const CbMatrix4Rd& m)
{
    const double trace = m.e[0] + m.e[5] + m.e[10];
    return {std::acos(std::max(-1.0, std::min(1.0, 0.5 * (trace - 1.0)))) * 180.0 / kPi,
            CbVector3d(m.e[12], m.e[13], m.e[14]).Length()};
}

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
} // namespace

TEST(BunnyRegistration, DefaultsReturnToThePublishedAlignmentFromPerturbedStarts)
{
    Base::SSurfelsFromPointsOptions millimetres;
    millimetres.fScale = 1000.0f;
    std::map<std::string, VelmTool::SScan> scans;
    for (const std::string name : {"bun000", "bun045", "bun090", "bun180", "bun270", "bun315"})
        scans.emplace(name, VelmTool::LoadScan(kData + name + ".ply", millimetres));

    struct Pair { const char *a, *b; double maxDegrees, maxMm; };
    const Pair pairs[] = {{"bun000", "bun045", 0.2, 0.5}, {"bun000", "bun315", 0.2, 0.5},
                          {"bun045", "bun090", 0.2, 0.5}, {"bun270", "bun315", 0.2, 0.6},
                          {"bun180", "bun270", 0.4, 1.0}};
    // Ten degrees and ten millimetres, in directions that differ from case to case.
    const CbVector3d axes[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {0, 1, -1},
                               {1, 0, 1}, {-1, 1, 1}, {1, -1, 1}, {1, 1, 1}, {2, -1, 0}};
    int caseIndex = 0;
    for (const Pair& pair : pairs)
        for (int direction = 0; direction < 2; ++direction, ++caseIndex)
        {
            const std::string fixName = direction == 0 ? pair.a : pair.b;
            const std::string fltName = direction == 0 ? pair.b : pair.a;
            SCOPED_TRACE(fltName + " onto " + fixName);
            const VelmTool::SScan& fix = scans.at(fixName);
            const VelmTool::SScan& flt = scans.at(fltName);
            const CbMatrix4Rd published = Published(fixName, fltName);
            // Perturbation about the floating scan's centre, as it lies in the fixed frame: a rotation about
            // the case's axis (FromQuaternion turns by the inverse of q) and a shift along another axis.
            CbVector3d centroid;
            for (const CbVector3f& p : flt.cloud.vecPositions)
                centroid += CbVector3d(p) * (1000.0 / flt.cloud.GetCount());
            const CbVector3d centre = published.TransformPoint(centroid);
            const CbVector3d shift = axes[(caseIndex + 3) % 10] * (10.0 / axes[(caseIndex + 3) % 10].Length());
            const CbVector3d q = axes[caseIndex] * (-std::sin(5.0 * kPi / 180.0) / axes[caseIndex].Length());
            const CbMatrix4Rd perturbation = CbMatrix4Rd::Translation(-centre.x, -centre.y, -centre.z) *
                                             FromQuaternion(q.x, q.y, q.z, std::cos(5.0 * kPi / 180.0)) *
                                             CbMatrix4Rd::Translation(centre.x + shift.x, centre.y + shift.y,
                                                                      centre.z + shift.z);
            ASSERT_NEAR(MotionSize(perturbation).first, 10.0, 1e-9);

            const auto config = VelmTool::DefaultConfiguration(VelmTool::SamplingDensity(fix));
            const auto result = VelmTool::Register(fix, flt, config, published * perturbation, nullptr);
            const auto [degrees, mm] = MotionSize(Inverse(published) * result->GetTransformation());
            const std::wstring dump = result->ToString().Str();
            EXPECT_TRUE(result->GetSuccess()) << std::string(dump.begin(), dump.end());
            EXPECT_LT(degrees, pair.maxDegrees);
            EXPECT_LT(mm, pair.maxMm);
            std::printf("  %s onto %s: %.3f deg, %.3f mm, %u iterations, rmse %.4f mm\n", fltName.c_str(),
                        fixName.c_str(), degrees, mm, result->GetNrIterations(), result->GetRMSE());
        }
}

TEST(BunnyRegistration, CommandLineExitCodesAndOutputs)
{
    const fs::path dir = fs::temp_directory_path() / ("velm_register_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string fix = kData + "bun000.ply", flt = kData + "bun045.ply", none = (dir / "none.ply").string();
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
        {{fix, flt, "--config", fix}, "file '" + fix + "': not valid JSON"},
    };
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
    const nlohmann::json printed = nlohmann::json::parse(out);
    EXPECT_EQ(printed.size(), 29u);
    EXPECT_EQ(printed["iMaxIterations"], 1);
    EXPECT_GT(printed["fSamplingDensity"].get<double>(), 0.5);
    EXPECT_LT(printed["fSamplingDensity"].get<double>(), 2.0);

    // From the published alignment (metres, usual layout) the registration succeeds: exit 0.
    const CbMatrix4Rd published = Published("bun000", "bun045");
    nlohmann::json start;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            start[r][c] = VelmTool::UsualElement(published, r, c) * (c == 3 && r < 3 ? 0.001 : 1.0);
    const std::string result = (dir / "result.json").string(), aligned = (dir / "aligned.ply").string();
    const int code = RunTool({fix, flt, "--units", "m", "--init", start.dump(), "--output", result, "--aligned", aligned, "-v"},
                             out, err);
    ASSERT_EQ(code, VelmTool::kExitSuccess) << out << err;
    EXPECT_EQ(out.rfind("state: Success\n", 0), 0u);
    EXPECT_EQ(err.rfind("iteration 1: threshold ", 0), 0u);
    const nlohmann::json j = nlohmann::json::parse(std::ifstream(result));
    EXPECT_EQ(j["state"], "Success");
    EXPECT_EQ(j["failure_cause"], "");
    EXPECT_EQ(j["units"], "m");
    EXPECT_EQ(j["configuration"].size(), 29u);
    EXPECT_EQ(j["dof_eigenvalues"].size(), 6u);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(j["start_transformation"][r][c].get<double>(), start[r][c].get<double>(), 1e-12);
    // The aligned scan is the floating scan moved by the reported transformation; nothing else is left behind.
    const IO::SPointCloud moved = IO::CPlyReader::Read(aligned), original = IO::CPlyReader::Read(flt);
    ASSERT_EQ(moved.GetCount(), original.GetCount());
    ASSERT_TRUE(moved.HasNormals());
    EXPECT_EQ(moved.vecGrid, original.vecGrid);
    const CbMatrix4Rd reported = VelmTool::ParseTransformation(j["transformation"].dump());
    for (size_t i = 0; i < moved.GetCount(); i += 997)
        EXPECT_LT((CbVector3d(moved.vecPositions[i]) - reported.TransformPoint(CbVector3d(original.vecPositions[i]))).Length(),
                  1.5e-6);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3); // aligned, config, result

    // One iteration cannot converge: any state but "Success" exits with 2 and names the failed test.
    // The start comes from a file this time, as a result file prints it.
    const std::string startFile = (dir / "start.txt").string();
    std::ofstream(startFile) << j["transformation"].dump() << "\n";
    ASSERT_EQ(RunTool({fix, flt, "--units", "m", "--config", config, "--output", result, "--init", startFile}, out, err),
              VelmTool::kExitNotSuccess);
    EXPECT_EQ(out.rfind("state: NotConverged\n", 0), 0u);
    const nlohmann::json failed = nlohmann::json::parse(std::ifstream(result));
    EXPECT_EQ(failed["state"], "NotConverged");
    EXPECT_EQ(failed["state_value"], 4);
    EXPECT_EQ(failed["failure_cause"].get<std::string>().rfind(" uiIterations=1 (1)", 0), 0u);
    EXPECT_EQ(failed["start_transformation"], j["transformation"]);

    // Too few points to register: the engine reports it, the start stands as the transformation.
    const std::string tiny = (dir / "tiny.xyz").string();
    std::ofstream(tiny) << "0 0 0\n0.001 0 0\n0 0.001 0\n0.001 0.001 0.0001\n";
    ASSERT_EQ(RunTool({fix, tiny, "--units", "m", "--output", result, "--init", startFile}, out, err), VelmTool::kExitNotSuccess);
    const nlohmann::json tooFew = nlohmann::json::parse(std::ifstream(result));
    EXPECT_EQ(tooFew["state"], "SurfelCountTooLow");
    EXPECT_EQ(tooFew["transformation"], tooFew["start_transformation"]);
    fs::remove_all(dir);

#ifdef VELM_REGISTER_TOOL
    // The program itself, as a shell sees it.
    EXPECT_EQ(std::system(VELM_REGISTER_TOOL " --help > /dev/null"), 0);
    const int bad = std::system(VELM_REGISTER_TOOL " /nonexistent.ply /nonexistent.ply 2> /dev/null");
    EXPECT_TRUE(WIFEXITED(bad) && WEXITSTATUS(bad) == 1) << bad;
#endif
}
