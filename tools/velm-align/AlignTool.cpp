#include "AlignTool.h"

#include "RegisterTool.h"

#include "velm/Frame/CbException.h"
#include "velm/IO/CPlyWriter.h"
#include "velm/IO/FileError.h"
#include "velm/Pipeline/AlignScans.h"
#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/ScanSetConf.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace VelmTool
{
namespace
{
// The exit codes of every tool: kExitBadInput (1) as velm-register's.
constexpr int kExitAllAligned = 0;
constexpr int kExitNotAllAligned = 2;

struct SArguments
{
    std::string conf;
    std::string output;
    std::string units = "mm";
    std::string report;
    std::string merged;
    std::string anchor;
    uint32_t threads = 0; // 0: every core
    bool verbose = false;
};

// An output must be writable before hours of work go into it: its folder has to exist and take files.
void CheckWritable(const std::string& file, const char* option)
{
    if (file.empty())
        return;
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        throw std::runtime_error(std::string(option) + ": the folder '" + folder.string() + "' does not exist");
    if (::access(folder.c_str(), W_OK) != 0)
        throw std::runtime_error(std::string(option) + ": the folder '" + folder.string() + "' is not writable");
}

// All aligned scans in the common frame (file units) as one cloud; confidences only when every one has them.
IO::SPointCloud Merged(const std::vector<std::shared_ptr<const Pipeline::SScan>>& scans,
                       const Pipeline::SAlignResult& result, double scale)
{
    IO::SPointCloud merged;
    bool confidence = true;
    for (size_t i = 0; i < scans.size(); ++i)
        if (result.vecScans[i].bAligned)
            confidence = confidence && scans[i]->cloud.HasConfidence();
    for (size_t i = 0; i < scans.size(); ++i)
    {
        if (!result.vecScans[i].bAligned)
            continue;
        const IO::SPointCloud moved =
            scans[i]->Moved(Pipeline::ScaleTranslation(result.vecScans[i].mPose, 1.0 / scale));
        merged.vecPositions.insert(merged.vecPositions.end(), moved.vecPositions.begin(), moved.vecPositions.end());
        merged.vecNormals.insert(merged.vecNormals.end(), moved.vecNormals.begin(), moved.vecNormals.end());
        if (confidence)
            merged.vecConfidence.insert(merged.vecConfidence.end(), moved.vecConfidence.begin(),
                                        moved.vecConfidence.end());
    }
    return merged;
}

std::string Summary(const Pipeline::SAlignResult& r, const std::vector<std::string>& names)
{
    size_t aligned = 0, verified = 0, used = 0;
    for (const auto& s : r.vecScans)
        aligned += s.bAligned;
    for (const auto& p : r.vecPairs)
    {
        verified += p.bVerified;
        used += p.bUsed;
    }
    std::ostringstream s;
    s << std::setprecision(4);
    s << "aligned " << aligned << " of " << r.vecScans.size() << " scans; " << r.vecPairs.size()
      << " pairs registered, " << verified << " verified, " << used << " used (round " << r.uiRounds << ")\n";
    for (const auto& e : r.vecRemoved)
        s << "removed edge: " << names[e.uiFloat] << " onto " << names[e.uiFix] << " (" << e.dTurn << " deg, "
          << e.dShift << " mm off the other edges)\n";
    s << "residual: " << r.dResidualBefore << " mm at the start poses, " << r.dResidualAfter << " mm aligned\n";
    for (size_t i = 0; i < r.vecScans.size(); ++i)
    {
        const auto& scan = r.vecScans[i];
        s << "  " << names[i] << ": ";
        if (scan.bAligned)
            s << "aligned, turned " << scan.dTurn << " deg, moved " << scan.dShift << " mm\n";
        else
            s << "not aligned (no verified pair joins it to the anchor), start pose kept\n";
    }
    return s.str();
}

int Run(const SArguments& a, std::ostream& out, std::ostream& err)
{
    const double scale = Pipeline::UnitScale(a.units);
    const Pipeline::SScanSet set = Pipeline::ReadScanSet(a.conf);
    CheckWritable(a.output, "--output");
    CheckWritable(a.report, "--report");
    CheckWritable(a.merged, "--merged");

    const std::vector<const Pipeline::SConfLine*> lines = set.Scans();
    std::vector<std::string> names, files;
    std::vector<CbMatrix4Rd> starts;
    Pipeline::SAlignOptions options;
    options.uiAnchor = lines.size();
    for (size_t i = 0; i < lines.size(); ++i)
    {
        names.push_back(lines[i]->strFile);
        files.push_back(set.ScanPath(*lines[i]));
        starts.push_back(Pipeline::PoseOfLine(*lines[i], scale));
        if (options.uiAnchor == lines.size() && (a.anchor.empty() || a.anchor == lines[i]->strFile))
            options.uiAnchor = i;
    }
    if (options.uiAnchor == lines.size())
        throw std::runtime_error("--anchor: '" + a.anchor + "' is not the FILE of a bmesh line of '" + a.conf + "'");

    options.vecNames = names;
    options.spThreads = std::make_shared<CThreadPool>(a.threads ? a.threads : CThreadPool::HardwareThreads());
    if (a.verbose)
        options.fnProgress = [&err](const std::string& line) { err << "velm-align: " << line << "\n" << std::flush; };
    Pipeline::SScanOptions scanOptions;
    scanOptions.strUnits = a.units;
    Pipeline::SLoadTimes times;
    const auto scans = Pipeline::LoadScans(files, scanOptions, options.spThreads.get(), &times);

    Pipeline::SAlignResult result = Pipeline::AlignScans(scans, starts, options);
    result.dLoadSeconds = times.dLoadSeconds;
    result.dSurfelSeconds = times.dSurfelSeconds;

    // The anchor's line stays as written; so does a scan that was not aligned.
    std::vector<std::optional<CbMatrix4Rd>> poses(scans.size());
    for (size_t i = 0; i < scans.size(); ++i)
        if (result.vecScans[i].bAligned && i != options.uiAnchor)
            poses[i] = result.vecScans[i].mPose;
    if (!a.merged.empty())
        IO::CPlyWriter::Write(a.merged, Merged(scans, result, scale));
    if (!a.report.empty())
    {
        const std::string json = result.ToRecord(names).ToJson(2) + "\n";
        IO::WriteWholeFile(a.report, json.data(), json.size());
    }
    Pipeline::WriteScanSet(set, poses, scale, a.output);
    out << Summary(result, names);
    return result.AllAligned() ? kExitAllAligned : kExitNotAllAligned;
}
} // namespace

int RunAlign(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    SArguments a;
    CLI::App app{"Aligns a set of scans into one frame: registers every pair that overlaps at the given poses, "
                 "verifies each registration, and optimises all poses together from the verified ones; a scan no "
                 "verified pair joins to the anchor is reported \"not aligned\" and keeps its pose.\nExit status: 0 "
                 "every scan aligned, 2 some not aligned, 1 bad input or usage.",
                 "velm-align"};
    app.add_option("SCANS", a.conf,
                   "scan set: lines 'bmesh FILE tx ty tz qx qy qz qw' (FILE relative to this file's folder), "
                   "'camera ...' lines, blank lines and # comments")
        ->required();
    app.add_option("--output", a.output, "write the set with the aligned poses here (same lines, same order)")
        ->required();
    app.add_option("--units", a.units, "length unit of the scan files and the translations: mm (default) or m")
        ->check(CLI::IsMember({"mm", "m"}));
    app.add_option("--report", a.report, "write the report (pairs, scans, removed edges, residuals) as JSON");
    app.add_option("--merged", a.merged, "write every aligned scan, moved, as one binary PLY with normals");
    app.add_option("--anchor", a.anchor, "FILE (as written in SCANS) of the scan whose pose stays; default the first");
    app.add_option("--threads", a.threads,
                   "threads for loading and for the pair registrations (default: every core); the result is the same "
                   "for every count")
        ->check(CLI::Range(1u, 1024u));
    app.add_flag("-v,--verbose", a.verbose, "a progress line per registered pair on stderr");

    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::CallForHelp&)
    {
        out << app.help();
        return kExitAllAligned;
    }
    catch (const CLI::ParseError& e)
    {
        err << "velm-align: error: " << e.what() << " (see --help)\n";
        return kExitBadInput;
    }

    try
    {
        return Run(a, out, err);
    }
    catch (const std::exception& e)
    {
        err << "velm-align: error: " << e.what() << "\n";
    }
    catch (const CbException& e)
    {
        err << "velm-align: error: " << Narrow(e.GetMessageText()) << "\n";
    }
    return kExitBadInput;
}
} // namespace VelmTool
