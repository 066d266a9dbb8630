#include "velm/Pipeline/AlignScans.h"

#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/RegisterPair.h"
#include "velm/Pipeline/SRegistrationConfig.h"

#include <algorithm>
#include <numeric>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace Pipeline
{
namespace
{
using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979323846;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

CbVector3d Middle(const SScan& scan)
{
    return CbVector3d(scan.spCollection->GetDerivedData()->GetCovarianceEllipsoid().GetCentre());
}

// The scan's middle moved by the pose.
CbVector3d PlacedMiddle(const SScan& scan, const CbMatrix4Rd& pose)
{
    return pose.TransformPoint(Middle(scan));
}

// The pairs that overlap at these poses: FIX before FLOAT in the set, in the set's order. With
// `partners`, only the pairs among the `partners` best (by share) of one of their scans.
std::vector<std::pair<size_t, size_t>> Candidates(const std::vector<std::shared_ptr<const SScan>>& scans,
                                                  const std::vector<CbMatrix4Rd>& poses,
                                                  const std::vector<char>& aligned, uint32_t partners,
                                                  const SAlignOptions& o)
{
    std::vector<std::pair<size_t, size_t>> all, chosen;
    for (size_t i = 0; i < scans.size(); ++i)
        for (size_t j = i + 1; j < scans.size(); ++j)
            all.emplace_back(i, j);
    std::vector<char> keep(all.size(), 0);
    std::vector<double> shares(all.size(), 0.0);
    const auto test = [&](size_t begin, size_t end, uint32_t) {
        for (size_t k = begin; k < end; ++k)
        {
            const auto [i, j] = all[k];
            const double distance = aligned[i] && aligned[j] ? o.dCandidateDistance * scans[i]->dSpacing
                                                             : DefaultConfig(*scans[i]).dCoarseFirstThreshold;
            const double share = OverlapShare(*scans[i], *scans[j], poses[j] * poses[i].Inverted(), distance,
                                              o.dCandidateNormalAngle, o.uiCandidateSamples);
            keep[k] = share >= o.dCandidateShare;
            shares[k] = share;
        }
    };
    if (o.spThreads)
        o.spThreads->ParallelFor(all.size(), 4, test);
    else
        test(0, all.size(), 0);
    std::vector<SCandidatePair> candidates;
    for (size_t k = 0; k < all.size(); ++k)
        if (keep[k])
            candidates.push_back({all[k].first, all[k].second, shares[k]});
    for (const SCandidatePair& c : ChooseFirstPairs(scans.size(), candidates, partners))
        chosen.emplace_back(c.uiFix, c.uiFloat);
    return chosen;
}

// Whether two starts are the same to well below anything a registration resolves.
bool SameStart(const CbMatrix4Rd& a, const CbMatrix4Rd& b)
{
    return AngleBetween(a, b) < 1e-6 &&
           (CbVector3d(a.e[12], a.e[13], a.e[14]) - CbVector3d(b.e[12], b.e[13], b.e[14])).Length() < 1e-6;
}
} // namespace

std::vector<SCandidatePair> ChooseFirstPairs(size_t scans, const std::vector<SCandidatePair>& candidates,
                                             uint32_t partners)
{
    if (partners == 0)
        return candidates;
    for (const SCandidatePair& c : candidates)
        if (c.uiFix >= scans || c.uiFloat >= scans)
            throw std::invalid_argument("a candidate pair names a scan that does not exist");
    std::vector<size_t> byShare(candidates.size());
    std::iota(byShare.begin(), byShare.end(), size_t{0});
    std::stable_sort(byShare.begin(), byShare.end(),
                     [&](size_t a, size_t b) { return candidates[a].dShare > candidates[b].dShare; });
    std::vector<char> chosen(candidates.size(), 0);
    std::vector<uint32_t> seen(scans, 0); // a scan's pairs met so far, largest share first
    for (size_t k : byShare)
    {
        const SCandidatePair& c = candidates[k];
        chosen[k] = seen[c.uiFix] < partners || seen[c.uiFloat] < partners;
        ++seen[c.uiFix];
        ++seen[c.uiFloat];
    }
    // Each scan's best partners alone can leave a stretch of scans joined only among themselves
    // (views of one side whose best partners are each other): the best pair between two groups joins
    // them, as a spanning tree by share would.
    std::vector<size_t> group(scans);
    std::iota(group.begin(), group.end(), size_t{0});
    const auto root = [&](size_t s) {
        while (group[s] != s)
            s = group[s] = group[group[s]];
        return s;
    };
    for (size_t k = 0; k < candidates.size(); ++k)
        if (chosen[k])
            group[root(candidates[k].uiFix)] = root(candidates[k].uiFloat);
    for (size_t k : byShare)
    {
        const size_t a = root(candidates[k].uiFix), b = root(candidates[k].uiFloat);
        if (a != b)
        {
            chosen[k] = 1;
            group[a] = b;
        }
    }
    std::vector<SCandidatePair> out;
    for (size_t k = 0; k < candidates.size(); ++k)
        if (chosen[k])
            out.push_back(candidates[k]);
    return out;
}

double OverlapShare(const SScan& fix, const SScan& flt, const CbMatrix4Rd& fltOntoFix, double distance, double degrees,
                    uint32_t samples)
{
    const Base::IKdTree3D& tree = fix.spCollection->GetDerivedData()->GetKdTree();
    const std::vector<uint32_t>& order = flt.spCollection->GetDerivedData()->GetSampleOrder();
    const size_t count = std::min<size_t>(samples, order.size());
    if (count == 0)
        return 0.0;
    const double minCos = std::cos(degrees * kPi / 180.0);
    size_t near = 0;
    for (size_t k = 0; k < count; ++k)
    {
        const uint32_t i = order[k];
        const CbVector3d p = fltOntoFix.TransformPoint(CbVector3d(flt.Positions()[i]));
        const uint32_t j = tree.FindNearest(CbVector3f(p), static_cast<float>(distance), 0);
        const CbVector3d n = RotateDirection(fltOntoFix, CbVector3d(flt.surfels.vecNormals[i]));
        if (j != 0xFFFFFFFFu && n.Dot(CbVector3d(fix.surfels.vecNormals[j])) > minCos)
            ++near;
    }
    return static_cast<double>(near) / static_cast<double>(count);
}

SEdgeResult RegisterEdge(const SScan& fix, const SScan& flt, size_t fixIndex, size_t fltIndex,
                         const CbMatrix4Rd& fixPose, const CbMatrix4Rd& fltPose, EEdgeStart start,
                         const std::shared_ptr<CThreadPool>& threads)
{
    const auto t0 = Clock::now();
    SRegisterOptions options;
    options.config = DefaultConfig(fix);
    if (start != EEdgeStart::Retry)
        options.config->uiStartHypotheses = 0;
    if (start == EEdgeStart::Placed)
        options.config->uiCoarseSteps = 0;
    const CbMatrix4Rd startMm = fltPose * fixPose.Inverted();
    options.mStart = ScaleTranslation(startMm, 1.0 / fix.dScale);
    options.spThreads = threads;
    const SPairResult pair = RegisterPair(fix, flt, options);
    const CRecord record = pair.ToRecord();

    SEdgeResult edge;
    edge.uiFix = fixIndex;
    edge.uiFloat = fltIndex;
    edge.strState = record["state"].AsText();
    edge.strFailureCause = record["failure_cause"].AsText();
    edge.bVerified = pair.bVerified;
    edge.strVerdict = pair.strVerdict;
    edge.dRmse = record["rmse_mm"].IsNull() ? std::numeric_limits<double>::quiet_NaN() : record["rmse_mm"].AsDouble();
    const CbMatrix4Rd& m = pair.spEngine->GetTransformation();
    edge.mTransformation = m;

    // The information of the pairs the fine stage ended with: each pair's distance from FIX's plane
    // changes by n . (w x (q - c) + v) for a turn w about FLOAT's middle c and a shift v.
    const Base::IKdTree3D& tree = fix.spCollection->GetDerivedData()->GetKdTree();
    const std::vector<uint32_t>& order = flt.spCollection->GetDerivedData()->GetSampleOrder();
    const size_t count = std::min<size_t>(pair.config.fine.GetNumberOfPairs(), order.size());
    const float distance = static_cast<float>(pair.vecStages.back().dThreshold);
    const double minCos = pair.config.fine.GetCosNormalThreshold();
    const CbVector3d c = m.TransformPoint(Middle(flt));
    edge.vCentre = c;
    for (size_t k = 0; k < count; ++k)
    {
        const uint32_t i = order[k];
        const CbVector3d q = m.TransformPoint(CbVector3d(flt.Positions()[i]));
        const uint32_t j = tree.FindNearest(CbVector3f(q), distance, 0);
        if (j == 0xFFFFFFFFu)
            continue;
        const CbVector3d n(fix.surfels.vecNormals[j]);
        if (RotateDirection(m, CbVector3d(flt.surfels.vecNormals[i])).Dot(n) <= minCos)
            continue;
        const CbVector3d turn = (q - c).Cross(n);
        const double jacobian[6] = {turn.x, turn.y, turn.z, n.x, n.y, n.z};
        for (int r = 0; r < 6; ++r)
            for (int s = 0; s < 6; ++s)
                edge.adInformation[6 * r + s] += jacobian[r] * jacobian[s];
        edge.dPairs += 1.0;
    }
    edge.dSeconds = Seconds(t0, Clock::now());
    return edge;
}

bool SAlignResult::AllAligned() const
{
    return std::all_of(vecScans.begin(), vecScans.end(), [](const SAlignedScan& s) { return s.bAligned; });
}

CRecord SAlignResult::ToRecord(const std::vector<std::string>& names) const
{
    CRecord r = CRecord::Map();
    CRecord pairs = CRecord::List();
    for (const SEdgeResult& e : vecPairs)
    {
        CRecord p = CRecord::Map();
        p.Set("fix", names[e.uiFix]);
        p.Set("float", names[e.uiFloat]);
        p.Set("state", e.strState);
        p.Set("failure_cause", e.strFailureCause);
        p.Set("verified", e.bVerified);
        p.Set("verdict", e.strVerdict);
        p.Set("used", e.bUsed);
        p.Set("rmse_mm", CRecord::Measure(e.dRmse));
        p.Set("seconds", e.dSeconds);
        pairs.Append(std::move(p));
    }
    r.Set("pairs", std::move(pairs));
    CRecord scans = CRecord::List();
    for (size_t i = 0; i < vecScans.size(); ++i)
    {
        CRecord s = CRecord::Map();
        s.Set("file", names[i]);
        s.Set("aligned", vecScans[i].bAligned);
        s.Set("rotation_change_deg", vecScans[i].dTurn);
        s.Set("translation_change_mm", vecScans[i].dShift);
        scans.Append(std::move(s));
    }
    r.Set("scans", std::move(scans));
    CRecord removed = CRecord::List();
    for (const SRemovedEdge& e : vecRemoved)
    {
        CRecord x = CRecord::Map();
        x.Set("fix", names[e.uiFix]);
        x.Set("float", names[e.uiFloat]);
        x.Set("rotation_deg", e.dTurn);
        x.Set("translation_mm", e.dShift);
        removed.Append(std::move(x));
    }
    r.Set("removed_edges", std::move(removed));
    r.Set("residual_before", CRecord::Measure(dResidualBefore));
    r.Set("residual_after", CRecord::Measure(dResidualAfter));
    r.Set("rounds", uiRounds);
    CRecord timings = CRecord::Map();
    timings.Set("load", dLoadSeconds);
    timings.Set("surfels", dSurfelSeconds);
    timings.Set("candidates", dCandidateSeconds);
    timings.Set("registration", dRegistrationSeconds);
    timings.Set("optimisation", dOptimisationSeconds);
    timings.Set("total",
                dLoadSeconds + dSurfelSeconds + dCandidateSeconds + dRegistrationSeconds + dOptimisationSeconds);
    r.Set("timings_s", std::move(timings));
    return r;
}

SAlignResult AlignScans(const std::vector<std::shared_ptr<const SScan>>& scans, const std::vector<CbMatrix4Rd>& starts,
                        const SAlignOptions& options)
{
    if (starts.size() != scans.size())
        throw std::invalid_argument(std::to_string(starts.size()) + " start poses for " + std::to_string(scans.size()) +
                                    " scans");
    if (options.uiAnchor >= scans.size())
        throw std::invalid_argument("the anchor is scan " + std::to_string(options.uiAnchor + 1) + " of " +
                                    std::to_string(scans.size()));
    for (const auto& scan : scans)
        if (scan->strUnits != scans.front()->strUnits)
            throw std::invalid_argument("the scans are in different units (" + scans.front()->strUnits + " and " +
                                        scan->strUnits + ")");
    if (!(options.dCandidateShare >= 0.0 && options.dCandidateShare <= 1.0) || !(options.dCandidateDistance > 0.0) ||
        !(options.dMaxEdgeTurn > 0.0) || !(options.dMaxEdgeShift > 0.0) || options.uiRounds == 0)
        throw std::invalid_argument("alignment options out of range: candidate share in [0, 1], "
                                    "candidate distance, edge limits and rounds above 0");

    SAlignResult result;
    std::vector<SPoseNode> nodes;
    for (size_t i = 0; i < scans.size(); ++i)
        nodes.push_back({starts[i], Middle(*scans[i])});
    std::vector<CbMatrix4Rd> poses = starts;
    // The last registration of each pair so far, with the start it ran from (mm).
    std::map<std::pair<size_t, size_t>, std::pair<SEdgeResult, CbMatrix4Rd>> registered;
    std::vector<char> aligned(scans.size(), 0); // by an earlier round
    SPoseGraphOptions limits;
    limits.uiAnchor = options.uiAnchor;
    limits.dMaxEdgeTurn = options.dMaxEdgeTurn;
    double spacing = 0.0;
    for (const auto& scan : scans)
        spacing = std::max(spacing, scan->dSpacing);
    limits.dMaxEdgeShift = options.dMaxEdgeShift * spacing;
    SPoseGraphResult graph;
    std::mutex progress;
    for (uint32_t round = 0; round < options.uiRounds; ++round)
    {
        const auto t0 = Clock::now();
        // From the poses found, a round registers what is new: pairs that overlap there and were not
        // registered yet (a scan placed through other pairs finds its remaining neighbours), and pairs
        // of a scan not aligned yet that failed from another start. Pairs of aligned scans that failed
        // are not retried: their overlap is too small for a registration to hold, and a start a
        // little different would hardly change that.
        std::vector<std::pair<size_t, size_t>> pairs;
        for (const auto& [i, j] : Candidates(scans, poses, aligned, round == 0 ? options.uiFirstPartners : 0, options))
        {
            const auto known = registered.find({i, j});
            if (known == registered.end() || (!known->second.first.bVerified && !(aligned[i] && aligned[j]) &&
                                              !SameStart(known->second.second, poses[j] * poses[i].Inverted())))
                pairs.emplace_back(i, j);
        }
        if (round > 0 && pairs.empty())
            break;
        const auto t1 = Clock::now();
        std::vector<SEdgeResult> edges(pairs.size());
        size_t done = 0;
        const auto job = [&](size_t begin, size_t end, uint32_t) {
            for (size_t k = begin; k < end; ++k)
            {
                const auto [i, j] = pairs[k];
                const EEdgeStart start = aligned[i] && aligned[j] ? EEdgeStart::Placed
                                         : round == 0             ? EEdgeStart::Rough
                                                                  : EEdgeStart::Retry;
                edges[k] = RegisterEdge(*scans[i], *scans[j], i, j, poses[i], poses[j], start, options.spThreads);
                if (options.fnProgress)
                {
                    const std::lock_guard<std::mutex> lock(progress);
                    char line[512];
                    const auto name = [&](size_t s) {
                        return (options.vecNames.size() == scans.size() ? options.vecNames[s] : scans[s]->strName)
                            .c_str();
                    };
                    std::snprintf(line, sizeof line, "round %u, pair %zu of %zu: %s onto %s: %s, %s, %.2f s", round + 1,
                                  ++done, pairs.size(), name(j), name(i), edges[k].strState.c_str(),
                                  edges[k].bVerified ? "verified" : "not verified", edges[k].dSeconds);
                    options.fnProgress(line);
                }
            }
        };
        if (options.spThreads)
            options.spThreads->ParallelFor(pairs.size(), 1, job);
        else
            job(0, pairs.size(), 0);
        for (size_t k = 0; k < pairs.size(); ++k)
            registered[pairs[k]] = {edges[k], poses[pairs[k].second] * poses[pairs[k].first].Inverted()};
        const auto t2 = Clock::now();

        // Every verified registration so far is an edge; every round optimises from the given poses, so
        // that a scan not reached keeps its start.
        std::vector<SPoseEdge> graphEdges;
        std::vector<std::pair<size_t, size_t>> graphPairs;
        for (const auto& [pair, known] : registered)
        {
            const SEdgeResult& e = known.first;
            if (!e.bVerified)
                continue;
            SPoseEdge g;
            g.uiFix = e.uiFix;
            g.uiFloat = e.uiFloat;
            g.mMeasured = e.mTransformation;
            std::copy(e.adInformation, e.adInformation + 36, g.adInformation);
            g.vCentre = e.vCentre;
            g.dPairs = e.dPairs;
            graphEdges.push_back(g);
            graphPairs.push_back(pair);
        }
        graph = OptimisePoses(nodes, graphEdges, limits);
        for (auto& [pair, known] : registered)
            known.first.bUsed = false;
        std::vector<char> removed(graphEdges.size(), 0);
        result.vecRemoved.clear();
        for (const size_t g : graph.vecRemoved)
        {
            removed[g] = 1;
            result.vecRemoved.push_back({graphEdges[g].uiFix, graphEdges[g].uiFloat, graph.vecDisagreement[g].dTurn,
                                         graph.vecDisagreement[g].dShift});
        }
        for (size_t g = 0; g < graphEdges.size(); ++g)
            registered[graphPairs[g]].first.bUsed = !removed[g] && graph.vecConnected[graphEdges[g].uiFix];
        poses = graph.vecPoses;
        for (size_t i = 0; i < scans.size(); ++i)
            aligned[i] = graph.vecConnected[i];
        result.uiRounds = round + 1;
        result.dCandidateSeconds += Seconds(t0, t1);
        result.dRegistrationSeconds += Seconds(t1, t2);
        result.dOptimisationSeconds += Seconds(t2, Clock::now());
    }
    for (const auto& [pair, known] : registered)
        result.vecPairs.push_back(known.first);

    result.dResidualBefore = graph.dResidualBefore;
    result.dResidualAfter = graph.dResidualAfter;
    for (size_t i = 0; i < scans.size(); ++i)
    {
        SAlignedScan s;
        s.bAligned = graph.vecConnected[i];
        s.mPose = poses[i];
        s.dTurn = AngleBetween(starts[i], poses[i]);
        s.dShift = (PlacedMiddle(*scans[i], poses[i]) - PlacedMiddle(*scans[i], starts[i])).Length();
        result.vecScans.push_back(s);
    }
    return result;
}
} // namespace Pipeline
