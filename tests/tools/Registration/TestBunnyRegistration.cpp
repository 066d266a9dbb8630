// Registration of the bundled bunny scans with the tool's defaults, from perturbed starts, and the
// tool's command line end to end.
#include "ConfigJson.h"
#include "RegisterTool.h"

#include "velm/IO/CPlyReader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
constexpr double kPi = 3.14159265358979323846;
const std::string kData = std::string(VELM_SOURCE_DIR) + "/data/";

// Matrices below are the library's (row vectors, A * B applies A first).
CbMatrix4Rd Rotation(CbVector3d axis, double degrees)
{
    axis = axis * (1.0 / axis.Length());
    const double a = degrees * kPi / 180.0, c = std::cos(a), s = std::sin(a), t = 1.0 - c;
    const double x = axis.x, y = axis.y, z = axis.z;
    const double usual[3][3] = {{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                                {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                                {t * x * z - s * y, t * y * z + s * x, t * z * z + c}};
    CbMatrix4Rd m;
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            m.e[4 * k + r] = usual[r][k];
    return m;
}

CbMatrix4Rd Inverse(CbMatrix4Rd m)
{
    m.Invert();
    return m;
}

// Scan into the common frame of bun.conf, in millimetres: p -> transpose(R(q)) p + t.
std::map<std::string, CbMatrix4Rd> ReadConf()
{
    std::map<std::string, CbMatrix4Rd> poses;
    std::ifstream in(kData + "bun.conf");
    std::string line;
    while (std::getline(in, line))
    {
        std::istringstream words(line);
        std::string kind, name;
        double tx, ty, tz, qx, qy, qz, qw;
        if (!(words >> kind >> name >> tx >> ty >> tz >> qx >> qy >> qz >> qw) || kind != "bmesh")
            continue;
        const double usualR[3][3] = {{1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)},
                                     {2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)},
                                     {2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)}};
        CbMatrix4Rd m;
        // transpose(R) in the usual form is R itself in the library's row-vector layout.
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k)
                m.e[4 * r + k] = usualR[r][k];
        m.e[12] = 1000.0 * tx;
        m.e[13] = 1000.0 * ty;
        m.e[14] = 1000.0 * tz;
        poses[name.substr(0, name.find('.'))] = m;
    }
    return poses;
}

// Rotation angle (degrees) and translation length (mm) of a rigid motion.
void MotionSize(const CbMatrix4Rd& m, double& degrees, double& mm)
{
    const double trace = m.e[0] + m.e[5] + m.e[10];
    degrees = std::acos(std::max(-1.0, std::min(1.0, 0.5 * (trace - 1.0)))) * 180.0 / kPi;
    mm = CbVector3d(m.e[12], m.e[13], m.e[14]).Length();
}

CbVector3d Centroid(const IO::SPointCloud& c, double scale)
{
    CbVector3d sum;
    for (const CbVector3f& p : c.vecPositions)
        sum += CbVector3d(p);
    return sum * (scale / static_cast<double>(c.GetCount()));
}

struct Scans
{
    std::map<std::string, VelmTool::SScan> scans;
    std::map<std::string, CbMatrix4Rd> poses = ReadConf();

    const VelmTool::SScan& Get(const std::string& name)
    {
        auto it = scans.find(name);
        if (it == scans.end())
        {
            Base::SSurfelsFromPointsOptions options;
            options.fScale = 1000.0f;
            it = scans.emplace(name, VelmTool::LoadScan(kData + name + ".ply", options)).first;
        }
        return it->second;
    }
};

// Runs the tool in-process; returns the exit code and collects both streams.
int RunTool(const std::vector<std::string>& args, std::string& out, std::string& err)
{
    std::vector<const char*> argv = {"velm-register"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    std::ostringstream o, e;
    const int code = VelmTool::RunRegister(static_cast<int>(argv.size()), argv.data(), o, e);
    out = o.str();
    err = e.str();
    return code;
}

std::string UsualText(const CbMatrix4Rd& m, double translationScale)
{
    std::ostringstream s;
    s.precision(17);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            s << VelmTool::UsualElement(m, r, c) * (c == 3 && r < 3 ? translationScale : 1.0) << ' ';
    return s.str();
}
} // namespace

TEST(BunnyRegistration, DefaultsReturnToThePublishedAlignmentFromPerturbedStarts)
{
    Scans data;
    struct Pair
    {
        const char* a;
        const char* b;
        double maxDegrees;
        double maxMm;
    };
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
            const VelmTool::SScan& fix = data.Get(fixName);
            const VelmTool::SScan& flt = data.Get(fltName);

            // Published: float into the common frame, then out of it into the fixed scan's frame.
            const CbMatrix4Rd published = data.poses.at(fltName) * Inverse(data.poses.at(fixName));
            // Perturbation about the floating scan's centre, as it lies in the fixed frame.
            const CbVector3d centre = published.TransformPoint(Centroid(flt.cloud, 1000.0));
            const CbVector3d axis = axes[caseIndex];
            const CbVector3d shiftDir = axes[(caseIndex + 3) % 10];
            const CbVector3d shift = shiftDir * (10.0 / shiftDir.Length());
            const CbMatrix4Rd perturbation = CbMatrix4Rd::Translation(-centre.x, -centre.y, -centre.z) *
                                             Rotation(axis, 10.0) *
                                             CbMatrix4Rd::Translation(centre.x + shift.x, centre.y + shift.y,
                                                                      centre.z + shift.z);
            const CbMatrix4Rd start = published * perturbation;
            double startDeg = 0, startMm = 0;
            MotionSize(perturbation, startDeg, startMm);
            ASSERT_NEAR(startDeg, 10.0, 1e-9);

            const auto config = VelmTool::DefaultConfiguration(VelmTool::SamplingDensity(fix));
            const auto result = VelmTool::Register(fix, flt, config, start, nullptr);
            double degrees = 0, mm = 0;
            MotionSize(Inverse(published) * result->GetTransformation(), degrees, mm);
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
    const std::string fix = kData + "bun000.ply", flt = kData + "bun045.ply";
    std::string out, err;

    // Usage and input faults: exit 1 with one line on stderr, nothing on stdout.
    EXPECT_EQ(RunTool({"--help"}, out, err), VelmTool::kExitSuccess);
    EXPECT_NE(out.find("--init"), std::string::npos);
    const struct
    {
        std::vector<std::string> args;
        std::string message;
    } faults[] = {
        {{}, "velm-register: error: FIX is required (see --help)\n"},
        {{fix}, "velm-register: error: FLOAT is required (see --help)\n"},
        {{fix, flt, "--units", "km"}, "velm-register: error: --units: km not in {mm,m} (see --help)\n"},
        {{fix, (dir / "none.ply").string()},
         "velm-register: error: file '" + (dir / "none.ply").string() + "': cannot open for reading (No such file or directory)\n"},
        {{fix, flt, "--init", "1 2 3"}, "velm-register: error: --init: expected 16 numbers (a 4x4 matrix row by row), got 3\n"},
        {{fix, flt, "--config", fix}, ""}, // a PLY file is not JSON: message checked by prefix below
    };
    for (const auto& f : faults)
    {
        SCOPED_TRACE(f.message);
        EXPECT_EQ(RunTool(f.args, out, err), VelmTool::kExitBadInput);
        EXPECT_EQ(out, "");
        if (!f.message.empty())
        {
            EXPECT_EQ(err, f.message);
        }
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
    EXPECT_EQ(err.rfind("velm-register: error: file '" + fix + "': not valid JSON", 0), 0u);

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
    Scans data;
    const CbMatrix4Rd published = data.poses.at("bun045") * Inverse(data.poses.at("bun000"));
    const std::string result = (dir / "result.json").string(), aligned = (dir / "aligned.ply").string();
    ASSERT_EQ(RunTool({fix, flt, "--units", "m", "--init", UsualText(published, 0.001), "--output", result, "--aligned",
                       aligned, "-v"},
                      out, err),
              VelmTool::kExitSuccess)
        << out << err;
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
            EXPECT_NEAR(j["start_transformation"][r][c].get<double>(),
                        VelmTool::UsualElement(published, r, c) * (c == 3 && r < 3 ? 0.001 : 1.0), 1e-12);
    // The aligned scan is the floating scan moved by the reported transformation.
    const IO::SPointCloud moved = IO::CPlyReader::Read(aligned);
    const IO::SPointCloud original = IO::CPlyReader::Read(flt);
    ASSERT_EQ(moved.GetCount(), original.GetCount());
    ASSERT_TRUE(moved.HasNormals());
    EXPECT_EQ(moved.vecGrid, original.vecGrid);
    for (size_t i = 0; i < moved.GetCount(); i += 997)
    {
        const CbVector3f& p = original.vecPositions[i];
        for (int r = 0; r < 3; ++r)
        {
            const auto& m = j["transformation"][r];
            const double expected = m[0].get<double>() * p.x + m[1].get<double>() * p.y + m[2].get<double>() * p.z +
                                    m[3].get<double>();
            EXPECT_NEAR((&moved.vecPositions[i].x)[r], expected, 1e-6);
        }
    }
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"aligned.ply", "config.json", "result.json"}));

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
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(failed["start_transformation"][r][c].get<double>(), j["transformation"][r][c].get<double>(), 1e-15);

    // Too few points to register: the engine reports it, the start stands as the transformation.
    const std::string tiny = (dir / "tiny.xyz").string();
    std::ofstream(tiny) << "0 0 0\n0.001 0 0\n0 0.001 0\n0.001 0.001 0.0001\n";
    ASSERT_EQ(RunTool({fix, tiny, "--units", "m", "--output", result, "--init", startFile}, out, err), VelmTool::kExitNotSuccess);
    const nlohmann::json tooFew = nlohmann::json::parse(std::ifstream(result));
    EXPECT_EQ(tooFew["state"], "SurfelCountTooLow");
    EXPECT_EQ(tooFew["transformation"], tooFew["start_transformation"]);
    fs::remove_all(dir);
}

#ifdef VELM_REGISTER_TOOL
TEST(BunnyRegistration, ProgramExitStatus)
{
    // The program itself, as a shell sees it.
    const std::string tool = VELM_REGISTER_TOOL;
    EXPECT_EQ(std::system((tool + " --help > /dev/null").c_str()), 0);
    const int bad = std::system((tool + " /nonexistent.ply /nonexistent.ply 2> /dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(bad));
    EXPECT_EQ(WEXITSTATUS(bad), 1);
}
#endif
