#include "RegisterTool.h"

#include "velm/Frame/CbException.h"
#include "velm/IO/CPlyWriter.h"
#include "velm/IO/FileError.h"
#include "velm/Pipeline/RegisterPair.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace VelmTool
{
namespace
{
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
    uint32_t threads = 0; // 0: every core
};

CbVector3f ParseVector(const std::string& text, const std::string& what)
{
    const std::vector<double> v = ParseNumbers(text, what);
    if (v.size() != 3)
        throw std::runtime_error(what + ": expected 3 numbers, got " + std::to_string(v.size()));
    return CbVector3f(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]));
}

// The start: searched for when not given or "auto", the identity for "identity", else inline numbers
// or the name of a file holding them (the two words win over files of that name).
void ReadStart(const std::string& init, Pipeline::SRegisterOptions& options)
{
    if (init.empty() || init == "auto")
    {
        options.eStart = Pipeline::EStartMethod::Global;
        return;
    }
    if (init == "identity")
    {
        options.eStart = Pipeline::EStartMethod::Identity;
        return;
    }
    std::error_code ec;
    options.eStart = Pipeline::EStartMethod::Given;
    options.mStart = ParseTransformation(std::filesystem::is_regular_file(init, ec) ? IO::ReadWholeFile(init) : init);
}

Pipeline::CRecord ReadConfigFile(const std::string& file)
{
    if (file.empty())
        return Pipeline::CRecord::Map();
    const std::string text = IO::ReadWholeFile(file);
    nlohmann::json json;
    try
    {
        json = nlohmann::json::parse(text);
    }
    catch (const nlohmann::json::parse_error& e)
    {
        throw std::runtime_error("file '" + file + "': not valid JSON (" + e.what() + ")");
    }
    if (!json.is_object())
        throw std::runtime_error("the configuration must be a JSON object of settings, got " +
                                 std::string(json.type_name()));
    return JsonToRecord(json);
}

Pipeline::SScanOptions ScanOptions(const SArguments& a)
{
    Pipeline::SScanOptions options;
    options.strUnits = a.units;
    options.surfels.uiNormalNeighbours = a.normalNeighbours;
    options.surfels.bUseFileNormals = !a.estimateNormals;
    if (!a.viewDir.empty())
        options.surfels.vViewDirection = ParseVector(a.viewDir, "--view-dir");
    if (!a.viewpoint.empty())
    {
        options.surfels.bUseViewpoint = true;
        options.surfels.vViewpoint = ParseVector(a.viewpoint, "--viewpoint");
    }
    return options;
}

// A measure as the summary prints it: "none" where the record has no value.
std::string Measure(const Pipeline::CRecord& value, const char* unit = "")
{
    std::ostringstream s;
    s << std::setprecision(6);
    if (value.IsNull())
        s << "none";
    else
        s << value.AsDouble() << unit;
    return s.str();
}

std::string Summary(const Pipeline::SPairResult& r, const Pipeline::CRecord& record)
{
    const std::string cause = record["failure_cause"].AsText();
    std::ostringstream s;
    s << "state: " << r.GetStateName() << "\n";
    s << "failure cause:" << (cause.empty() ? " (none)" : cause) << "\n";
    s << "verdict: " << r.strVerdict << "\n";
    s << "rmse: " << (record["rmse_mm"].IsNull() ? "none (no pairs)" : Measure(record["rmse_mm"], " mm"))
      << ", iterations: " << r.GetIterations() << ", pairs: " << record["pairs"].AsUInt() << "\n";
    s << "overlap quotient: " << Measure(record["overlap_quotient"])
      << ", pair weights quotient: " << Measure(record["pair_weights_quotient"])
      << ", condition number: " << Measure(record["dof_condition_number"]) << "\n";
    s << "transformation (FLOAT onto FIX, " << r.strUnits << "):\n";
    s << std::fixed << std::setprecision(9);
    for (int row = 0; row < 4; ++row)
    {
        for (int c = 0; c < 4; ++c)
            s << (c ? " " : "  ") << std::setw(13) << r.mTransformation.Usual(row, c);
        s << "\n";
    }
    return s.str();
}

int Run(const SArguments& a, std::ostream& out, std::ostream& err)
{
    // The start and the configuration first: a mistake there should not cost the loading of two scans.
    Pipeline::SRegisterOptions options;
    ReadStart(a.init, options);
    const Pipeline::CRecord overrides = ReadConfigFile(a.config);
    const Pipeline::SScanOptions scanOptions = ScanOptions(a);
    options.spThreads = std::make_shared<CThreadPool>(a.threads ? a.threads : CThreadPool::HardwareThreads());

    Pipeline::SLoadTimes times;
    const auto scans =
        Pipeline::LoadScans(a.printConfig ? std::vector<std::string>{a.fix} : std::vector<std::string>{a.fix, a.flt},
                            scanOptions, options.spThreads.get(), &times);
    if (a.verbose)
        for (size_t i = 0; i < scans.size(); ++i)
            for (const std::string& keyword : scans[i]->cloud.vecSkippedHeaderKeywords)
                err << "velm-register: file '" << (i ? a.flt : a.fix)
                    << "': skipped header lines with the unknown keyword '" << keyword << "'\n";
    const Pipeline::SScan& fix = *scans.front();
    options.config = Pipeline::DefaultConfig(fix);
    Pipeline::ApplyConfigOverrides(overrides, *options.config);
    Pipeline::CheckConfig(*options.config);
    if (a.printConfig)
    {
        out << Pipeline::ConfigToRecord(*options.config).ToJson(2) << "\n";
        return kExitSuccess;
    }
    if (a.verbose)
        options.fnProgress = [&err](const std::string& line) { err << line << "\n" << std::flush; };

    Pipeline::SPairResult result = Pipeline::RegisterPair(fix, *scans.back(), options);
    result.dLoadSeconds = times.dLoadSeconds; // the phases as they ran, both scans at once
    result.dSurfelSeconds = times.dSurfelSeconds;
    const Pipeline::CRecord record = result.ToRecord();
    if (!a.aligned.empty())
        IO::CPlyWriter::Write(a.aligned, scans.back()->Moved(result.mTransformation));
    if (!a.output.empty())
    {
        const std::string json = record.ToJson(2) + "\n";
        IO::WriteWholeFile(a.output, json.data(), json.size());
    }
    out << Summary(result, record);
    return result.GetSuccess() ? kExitSuccess : kExitNotSuccess;
}
} // namespace

std::string Narrow(const CString& text)
{
    std::string out;
    for (const wchar_t c : text.Str())
        out += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
    return out;
}

Pipeline::CRecord JsonToRecord(const nlohmann::json& value)
{
    switch (value.type())
    {
    case nlohmann::json::value_t::boolean: return value.get<bool>();
    case nlohmann::json::value_t::number_integer: return value.get<int64_t>();
    case nlohmann::json::value_t::number_unsigned: return value.get<uint64_t>();
    case nlohmann::json::value_t::number_float: return value.get<double>();
    case nlohmann::json::value_t::string: return value.get<std::string>();
    case nlohmann::json::value_t::array:
    {
        Pipeline::CRecord list = Pipeline::CRecord::List();
        for (const auto& element : value)
            list.Append(JsonToRecord(element));
        return list;
    }
    case nlohmann::json::value_t::object:
    {
        Pipeline::CRecord map = Pipeline::CRecord::Map();
        for (auto it = value.begin(); it != value.end(); ++it)
            map.Set(it.key(), JsonToRecord(it.value()));
        return map;
    }
    default: return Pipeline::CRecord();
    }
}

int RunRegister(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    SArguments a;
    CLI::App app{"Registers the scan FLOAT onto the scan FIX (rigid point-to-plane ICP, coarse then fine), verifies "
                 "the result independently, and reports the transformation that maps FLOAT onto FIX.\nExit status: "
                 "0 \"Success\" and verified, 2 the result is not to be trusted, 1 bad input or usage.",
                 "velm-register"};
    app.add_option("FIX", a.fix, "fixed scan (PLY or XYZ)")->required();
    app.add_option("FLOAT", a.flt, "floating scan (PLY or XYZ), moved onto FIX");
    app.add_option("--init", a.init,
                   "start transformation mapping FLOAT onto FIX: 16 numbers row by row (translation in the last "
                   "column, in file units), inline or the name of a file holding them; \"identity\" starts where "
                   "FLOAT lies; \"auto\" (the default) searches the scans' shapes for a start");
    app.add_option("--config", a.config, "JSON file whose keys (those --print-config shows) override the defaults");
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
                   "\"x,y,z\": direction from the surface towards the scanner; estimated normals face it, and the "
                   "free-space check looks along it (default 0,0,1)");
    app.add_option("--viewpoint", a.viewpoint, "\"x,y,z\": scanner position in file units; overrides --view-dir");
    app.add_flag("--estimate-normals", a.estimateNormals, "estimate normals even when the files have them");
    app.add_option("--threads", a.threads,
                   "threads for normals, surfels and pair building (default: every core); the result is the same "
                   "for every count")
        ->check(CLI::Range(1u, 1024u));

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
