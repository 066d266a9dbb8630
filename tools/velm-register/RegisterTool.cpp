#include "RegisterTool.h"

#include "ConfigJson.h"

#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPRegistrationResult.h"
#include "velm/Frame/CbException.h"
#include "velm/IO/CPlyWriter.h"
#include "velm/IO/CPointCloudReader.h"
#include "velm/IO/FileError.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace VelmTool
{
namespace
{
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

std::string Narrow(const CString& text)
{
    std::string out;
    for (const wchar_t c : text.Str())
        out += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
    return out;
}

CbVector3f ParseVector(const std::string& text, const std::string& what)
{
    const std::vector<double> v = ParseNumbers(text, what);
    if (v.size() != 3)
        throw std::runtime_error(what + ": expected 3 numbers, got " + std::to_string(v.size()));
    return CbVector3f(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]));
}

nlohmann::ordered_json MatrixJson(const CbMatrix4Rd& m)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (int r = 0; r < 4; ++r)
    {
        nlohmann::ordered_json row = nlohmann::ordered_json::array();
        for (int c = 0; c < 4; ++c)
            row.push_back(UsualElement(m, r, c));
        rows.push_back(row);
    }
    return rows;
}

// The same motion with its translation multiplied by factor (a change of length unit).
CbMatrix4Rd ScaleTranslation(CbMatrix4Rd m, double factor)
{
    m.e[12] *= factor;
    m.e[13] *= factor;
    m.e[14] *= factor;
    return m;
}

// The rotation part of m applied to a direction.
CbVector3d Rotate(const CbMatrix4Rd& m, const CbVector3d& n)
{
    return CbVector3d(n.x * m.e[0] + n.y * m.e[4] + n.z * m.e[8], n.x * m.e[1] + n.y * m.e[5] + n.z * m.e[9],
                      n.x * m.e[2] + n.y * m.e[6] + n.z * m.e[10]);
}

// Reads the engine's running measures for the progress lines.
class CProgressEngine : public DataLayer::VelmTorCorrICPPointSC
{
public:
    uint32_t Iteration() const { return uiIteration; }
    double Threshold() const { return dDistanceThreshold; }
    double Rmse() const { return dRMSE; }
    uint32_t Pairs() const { return uiNrFoundPairs; }
    double WeightSum() const { return dSumOfPairWeights; }
};

struct SArguments
{
    std::string fix;
    std::string flt;
    std::string init;
    std::string config;
    bool printConfig = false;
    std::string units = "mm";
    std::string output;
    std::string aligned;
    bool verbose = false;
    uint32_t normalNeighbours = 12;
    std::string viewDir;
    std::string viewpoint;
    bool estimateNormals = false;
};

void WriteText(const std::string& file, const std::string& text)
{
    IO::WriteWholeFile(file, text.data(), text.size());
}

int Run(const SArguments& a, std::ostream& out, std::ostream& err)
{
    const auto tStart = Clock::now();
    const double unit = a.units == "m" ? 1000.0 : 1.0; // file units to millimetres

    // Read the start first: a bad matrix should not cost the loading of two scans.
    CbMatrix4Rd start;
    if (!a.init.empty())
    {
        std::error_code ec;
        const bool isFile = std::filesystem::is_regular_file(a.init, ec);
        start = ParseTransformation(isFile ? IO::ReadWholeFile(a.init) : a.init);
    }
    nlohmann::json overrides = nlohmann::json::object();
    if (!a.config.empty())
    {
        const std::string text = IO::ReadWholeFile(a.config);
        try
        {
            overrides = nlohmann::json::parse(text);
        }
        catch (const nlohmann::json::parse_error& e)
        {
            throw std::runtime_error("file '" + a.config + "': not valid JSON (" + e.what() + ")");
        }
    }

    Base::SSurfelsFromPointsOptions options;
    options.fScale = static_cast<float>(unit);
    options.uiNormalNeighbours = a.normalNeighbours;
    options.bUseFileNormals = !a.estimateNormals;
    if (!a.viewDir.empty())
        options.vViewDirection = ParseVector(a.viewDir, "--view-dir");
    if (!a.viewpoint.empty())
    {
        options.bUseViewpoint = true;
        options.vViewpoint = ParseVector(a.viewpoint, "--viewpoint");
    }

    const SScan fix = LoadScan(a.fix, options);
    const auto tSpacing = Clock::now();
    const double spacing = SamplingDensity(fix);
    const double spacingSeconds = Seconds(tSpacing, Clock::now());
    if (!(spacing > 0.0))
        throw std::runtime_error("file '" + a.fix + "': the points have no spacing (most coincide)");

    DataLayer::VelmTorCorrICPPointConfig config = DefaultConfiguration(spacing);
    ApplyConfigurationJson(overrides, config);
    if (config.GetMaxIterations() < 0)
        throw std::runtime_error("configuration key 'iMaxIterations': must not be negative (the registration would "
                                 "only stop on convergence)");
    if (a.printConfig)
    {
        out << ConfigurationToJson(config).dump(2) << "\n";
        return kExitSuccess;
    }
    const SScan flt = LoadScan(a.flt, options, false);

    const auto tRegistration = Clock::now();
    const std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> result =
        Register(fix, flt, config, ScaleTranslation(start, unit), a.verbose ? &err : nullptr);
    const double registrationSeconds = Seconds(tRegistration, Clock::now());
    const double loadSeconds = fix.loadSeconds + flt.loadSeconds;
    const double surfelSeconds = fix.surfelSeconds + flt.surfelSeconds + spacingSeconds;
    const size_t fixCount = fix.cloud.GetCount();
    const size_t fltCount = flt.cloud.GetCount();

    const CbMatrix4Rd transform = ScaleTranslation(result->GetTransformation(), 1.0 / unit);
    const CbMatrix4Rd startUsed = ScaleTranslation(result->GetICPStartTransformation(), 1.0 / unit);
    const auto& dof = result->GetDegreeOfFreedomDescriptionFix();
    const float condition = dof.aEigenValues[0] / dof.aEigenValues[5];
    const std::string state = Narrow(DataLayer::VelmTorCorrICPRegistrationResult::GetStateName(result->GetState()));
    const std::string cause = Narrow(result->GetFailureCause());

    if (!a.aligned.empty())
    {
        // The floating scan moved onto the fixed one, in the file's units, with the normals it was
        // registered with.
        IO::SPointCloud moved = flt.cloud;
        moved.vecNormals.resize(moved.GetCount());
        for (size_t i = 0; i < moved.GetCount(); ++i)
        {
            moved.vecPositions[i] = CbVector3f(transform.TransformPoint(CbVector3d(flt.cloud.vecPositions[i])));
            moved.vecNormals[i] = CbVector3f(Rotate(transform, CbVector3d(flt.normals[i])));
        }
        IO::CPlyWriter::Write(a.aligned, moved);
    }
    const double totalSeconds = Seconds(tStart, Clock::now());

    if (!a.output.empty())
    {
        nlohmann::ordered_json j;
        j["state"] = state;
        j["state_value"] = static_cast<int>(result->GetState());
        j["failure_cause"] = cause;
        j["units"] = a.units;
        j["rmse_mm"] = result->GetRMSE();
        j["transformation"] = MatrixJson(transform);
        j["start_transformation"] = MatrixJson(startUsed);
        j["iterations"] = result->GetNrIterations();
        j["pairs"] = result->GetNrFoundPairs();
        j["sum_of_weights"] = result->GetSumOfWeights();
        j["overlap_quotient"] = result->GetOverlapQuotient();
        j["pair_weights_quotient"] = result->GetPairWeightsQuotient();
        j["offset_mm"] = result->GetOffset();
        j["relative_movement"] = result->GetRelativeMovement();
        j["final_distance_threshold_mm"] = result->GetFinalDistanceThreshold();
        j["dof_eigenvalues"] = std::vector<float>(dof.aEigenValues, dof.aEigenValues + 6);
        j["dof_condition_number"] = condition;
        j["sampling_density_mm"] = spacing;
        j["points_fix"] = fixCount;
        j["points_float"] = fltCount;
        j["timings_s"] = {{"load", loadSeconds},
                          {"surfels", surfelSeconds},
                          {"registration", registrationSeconds},
                          {"total", totalSeconds}};
        j["configuration"] = ConfigurationToJson(config);
        WriteText(a.output, j.dump(2) + "\n");
    }

    std::ostringstream s;
    s << std::setprecision(6);
    s << "state: " << state << "\n";
    s << "failure cause:" << (cause.empty() ? " (none)" : cause) << "\n";
    s << "rmse: " << result->GetRMSE() << " mm, iterations: " << result->GetNrIterations()
      << ", pairs: " << result->GetNrFoundPairs() << "\n";
    s << "overlap quotient: " << result->GetOverlapQuotient()
      << ", pair weights quotient: " << result->GetPairWeightsQuotient() << ", condition number: " << condition << "\n";
    s << "transformation (FLOAT onto FIX, " << a.units << "):\n";
    s << std::fixed << std::setprecision(9);
    for (int r = 0; r < 4; ++r)
    {
        for (int c = 0; c < 4; ++c)
            s << (c ? " " : "  ") << std::setw(13) << UsualElement(transform, r, c);
        s << "\n";
    }
    out << s.str();
    return result->GetSuccess() ? kExitSuccess : kExitNotSuccess;
}
} // namespace

SScan LoadScan(const std::string& file, const Base::SSurfelsFromPointsOptions& options, bool buildCollection)
{
    SScan scan;
    const auto t0 = Clock::now();
    scan.cloud = IO::CPointCloudReader::Read(file);
    const auto t1 = Clock::now();
    if (scan.cloud.GetCount() < 3)
        throw std::runtime_error("file '" + file + "': a scan needs at least 3 points, it has " +
                                 std::to_string(scan.cloud.GetCount()));
    scan.surfels = Base::SurfelsFromPoints(scan.cloud, options);
    scan.normals = scan.surfels.vecNormals;
    if (buildCollection)
        scan.collection = std::make_unique<Base::CSurfelCollection>(scan.surfels);
    scan.loadSeconds = Seconds(t0, t1);
    scan.surfelSeconds = Seconds(t1, Clock::now());
    return scan;
}

double SamplingDensity(const SScan& scan)
{
    return Base::MedianNeighbourSpacing(scan.surfels.vecPositions);
}

std::shared_ptr<const DataLayer::VelmTorCorrICPRegistrationResult> Register(
    const SScan& fix, const SScan& flt, const DataLayer::VelmTorCorrICPPointConfig& config,
    const CbMatrix4Rd& startMm, std::ostream* progress)
{
    Base::SSurfelData moved = flt.surfels;
    for (CbVector3f& p : moved.vecPositions)
        p = CbVector3f(startMm.TransformPoint(CbVector3d(p)));
    for (CbVector3f& n : moved.vecNormals)
        n = CbVector3f(Rotate(startMm, CbVector3d(n)));
    const Base::CSurfelCollection floating(std::move(moved));

    CProgressEngine engine;
    engine.SetConfiguration(config);
    engine.SetModelFix(*fix.collection, nullptr);
    engine.SetModelFloat(floating, nullptr);
    engine.SetTransform(CbMatrix4Rd::Identity());
    engine.Init();
    do
    {
        engine.DoICPIteration();
        if (progress)
        {
            char line[256];
            std::snprintf(line, sizeof line,
                          "iteration %u: threshold %.6g mm, rmse %.6g mm, pairs %u, weight sum %.6g\n",
                          engine.Iteration(), engine.Threshold(), engine.Rmse(), engine.Pairs(), engine.WeightSum());
            *progress << line << std::flush;
        }
    } while (!engine.IsFinished());
    engine.SetResultValues();
    auto result = std::make_shared<DataLayer::VelmTorCorrICPRegistrationResult>(*engine.GetResult());
    // A registration stopped before it began (too few surfels) keeps the identity: the start.
    result->SetTransformation(startMm * result->GetTransformation());
    result->SetICPStartTransformation(startMm);
    return result;
}

int RunRegister(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    SArguments a;
    CLI::App app{"Registers the scan FLOAT onto the scan FIX (rigid point-to-plane ICP) and reports the "
                 "transformation that maps FLOAT onto FIX.\nExit status: 0 \"Success\", 2 any other "
                 "registration state, 1 bad input or usage.",
                 "velm-register"};
    app.add_option("FIX", a.fix, "fixed scan (PLY or XYZ)")->required();
    app.add_option("FLOAT", a.flt, "floating scan (PLY or XYZ), moved onto FIX");
    app.add_option("--init", a.init,
                   "start transformation mapping FLOAT onto FIX: 16 numbers row by row (translation in the last "
                   "column, in file units), inline or the name of a file holding them; default identity");
    app.add_option("--config", a.config, "JSON file whose keys (the 29 configuration labels) override the defaults");
    app.add_flag("--print-config", a.printConfig,
                 "print the effective configuration as JSON (usable with --config) and exit; needs only FIX");
    app.add_option("--units", a.units, "length unit of the files: mm (default) or m")
        ->check(CLI::IsMember({"mm", "m"}));
    app.add_option("--output", a.output, "write the result as JSON to this file");
    app.add_option("--aligned", a.aligned, "write FLOAT moved by the result as binary PLY with normals");
    app.add_flag("-v,--verbose", a.verbose, "a progress line per iteration on stderr");
    app.add_option("--normal-neighbours", a.normalNeighbours,
                   "neighbours for estimating normals where the file has none (default 12)")
        ->check(CLI::Range(3u, 1000u));
    app.add_option("--view-dir", a.viewDir,
                   "\"x,y,z\": direction from the surface towards the scanner; estimated normals face it "
                   "(default 0,0,1)");
    app.add_option("--viewpoint", a.viewpoint, "\"x,y,z\": scanner position in file units; overrides --view-dir");
    app.add_flag("--estimate-normals", a.estimateNormals, "estimate normals even when the files have them");

    try
    {
        app.parse(argc, argv);
        if (a.flt.empty() && !a.printConfig)
            throw CLI::RequiredError("FLOAT");
    }
    catch (const CLI::CallForHelp&)
    {
        out << app.help();
        return kExitSuccess;
    }
    catch (const CLI::ParseError& e)
    {
        err << "velm-register: error: " << e.what() << " (see --help)\n";
        return kExitBadInput;
    }

    try
    {
        return Run(a, out, err);
    }
    catch (const std::exception& e)
    {
        err << "velm-register: error: " << e.what() << "\n";
    }
    catch (const CbException& e)
    {
        err << "velm-register: error: " << Narrow(e.GetMessageText()) << "\n";
    }
    return kExitBadInput;
}
} // namespace VelmTool
