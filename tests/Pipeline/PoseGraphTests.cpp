// The pose optimisation of a scan set on synthetic graphs whose true poses are known.
#include "RealScans.h"

#include "velm/Pipeline/AlignScans.h"
#include "velm/Pipeline/PoseGraph.h"

#include <gtest/gtest.h>

#include <algorithm>

using RealScans::PerturbedStart;

namespace
{
// A turntable of scans: scan k turned by k * 360 / n degrees about the vertical axis, each scan's middle
// 100 mm from the axis in its own frame.
struct SSet
{
    std::vector<Pipeline::SPoseNode> nodes;
    std::vector<CbMatrix4Rd> truth;
};

SSet Turntable(size_t n)
{
    SSet set;
    for (size_t k = 0; k < n; ++k)
    {
        set.truth.push_back(Pipeline::TurnAbout(CbVector3d(), CbVector3d(0, 1, 0), 360.0 * k / n) *
                            CbMatrix4Rd::Translation(0.0, 5.0 * k, 0.0));
        set.nodes.push_back({set.truth.back(), CbVector3d(0, 0, 100)});
    }
    return set;
}

// An edge measured as the truth, off by the given error (seeded) about FLOAT's middle, with the
// information of `pairs` pairs spread over a 60 mm patch whose normals point every way.
Pipeline::SPoseEdge Edge(const SSet& set, size_t fix, size_t flt, uint32_t seed = 0, double degrees = 0.0,
                         double mm = 0.0, double pairs = 1000.0)
{
    Pipeline::SPoseEdge e;
    e.uiFix = fix, e.uiFloat = flt, e.dPairs = pairs;
    const CbMatrix4Rd truth = set.truth[flt] * set.truth[fix].Inverted();
    e.vCentre = truth.TransformPoint(set.nodes[flt].vCentre);
    e.mMeasured = PerturbedStart(truth, set.nodes[flt].vCentre, seed, degrees, degrees, mm, mm);
    const double turn = pairs * 30.0 * 30.0; // a turn moves the pairs by their distance from the middle
    for (int i = 0; i < 6; ++i)
        e.adInformation[7 * i] = i < 3 ? turn : pairs;
    return e;
}

// The poses lie within the turn (degrees) and the shift of a scan's middle (mm) of the truth.
void ExpectNear(const SSet& set, const std::vector<CbMatrix4Rd>& poses, double maxTurn, double maxShift)
{
    for (size_t k = 0; k < poses.size(); ++k)
    {
        const auto [turn, shift] = RealScans::Error(set.truth[k], poses[k], set.nodes[k].vCentre);
        EXPECT_TRUE(turn < maxTurn && shift < maxShift) << "scan " << k << ": " << turn << " deg, " << shift << " mm";
    }
}
} // namespace

TEST(PoseGraph, ALoopSpreadsItsErrorAndKeepsTheAnchor)
{
    const size_t n = 8;
    SSet set = Turntable(n);
    std::vector<Pipeline::SPoseEdge> edges;
    for (uint32_t k = 0; k < n; ++k)
        edges.push_back(Edge(set, k, (k + 1) % n, k, 0.2, 0.2));
    // Starts far from the truth: the optimisation begins from the registrations, not from them.
    for (uint32_t k = 1; k < n; ++k)
        set.nodes[k].mStart = PerturbedStart(set.truth[k], CbVector3d(0, 0, 100), 100 + k, 9.0, 9.0, 9.0, 9.0);
    Pipeline::SPoseGraphOptions options;
    const Pipeline::SPoseGraphResult r = Pipeline::OptimisePoses(set.nodes, edges, options);

    EXPECT_TRUE(r.vecRemoved.empty());
    EXPECT_EQ(r.vecConnected, std::vector<bool>(n, true));
    EXPECT_EQ(r.vecPoses[0], set.truth[0]);
    // Chaining the registrations around the loop leaves all their error on the edge that closes it;
    // the optimum shares it out over the loop.
    std::vector<CbMatrix4Rd> chained = {set.truth[0]};
    for (size_t k = 0; k + 1 < n; ++k)
        chained.push_back(edges[k].mMeasured * chained.back());
    const double closing = Pipeline::AngleBetween(chained[0] * chained[n - 1].Inverted(), edges[n - 1].mMeasured);
    for (size_t k = 0; k < n; ++k)
        EXPECT_LT(r.vecDisagreement[k].dTurn, 0.5 * closing) << k;
    ExpectNear(set, r.vecPoses, 0.4, 0.6);
    EXPECT_LT(r.dResidualAfter, 0.2 * r.dResidualBefore);
    EXPECT_GT(r.dResidualAfter, 0.0); // the errors cannot all be met at once

    // The same graph without noise gives the truth.
    for (size_t k = 0; k < n; ++k)
        edges[k] = Edge(set, k, (k + 1) % n);
    ExpectNear(set, Pipeline::OptimisePoses(set.nodes, edges, options).vecPoses, 1e-9, 1e-9);
}

TEST(PoseGraph, AWrongEdgeIsRemovedAndAHeavyEdgeDominates)
{
    const size_t n = 6;
    const SSet set = Turntable(n);
    std::vector<Pipeline::SPoseEdge> edges;
    for (uint32_t k = 0; k < n; ++k)
    {
        edges.push_back(Edge(set, k, (k + 1) % n, 2 * k, 0.05, 0.05));
        edges.push_back(Edge(set, k, (k + 2) % n, 2 * k + 1, 0.05, 0.05));
    }
    // Verified, but 4 degrees and 3 mm off what the others say.
    edges[5] = Edge(set, edges[5].uiFix, edges[5].uiFloat, 50, 4.0, 3.0);
    const Pipeline::SPoseGraphResult r = Pipeline::OptimisePoses(set.nodes, edges, Pipeline::SPoseGraphOptions());
    ASSERT_EQ(r.vecRemoved, std::vector<size_t>{5});
    EXPECT_GT(r.vecDisagreement[5].dTurn, 3.0);
    ExpectNear(set, r.vecPoses, 0.1, 0.2);

    // A triangle whose edges disagree by half a degree: the edge with 100 times the pairs is met almost
    // exactly, the two light ones take the difference.
    const SSet three = Turntable(3);
    std::vector<Pipeline::SPoseEdge> triangle = {Edge(three, 0, 1, 6, 0.5, 0.3, 100000.0),
                                                 Edge(three, 1, 2, 7, 0.5, 0.3), Edge(three, 2, 0, 8, 0.5, 0.3)};
    const Pipeline::SPoseGraphResult t = Pipeline::OptimisePoses(three.nodes, triangle, Pipeline::SPoseGraphOptions());
    EXPECT_TRUE(t.vecRemoved.empty());
    EXPECT_LT(t.vecDisagreement[0].dTurn, 0.05 * std::min(t.vecDisagreement[1].dTurn, t.vecDisagreement[2].dTurn));
    EXPECT_LT(t.vecDisagreement[0].dShift, 0.05 * std::min(t.vecDisagreement[1].dShift, t.vecDisagreement[2].dShift));
}

TEST(PoseGraph, AScanWithoutAPathToTheAnchorKeepsItsStart)
{
    SSet set = Turntable(5);
    // Scans 0-1-2 joined, 3-4 joined to each other only; the anchor is scan 1.
    for (uint32_t k = 0; k < 5; ++k)
        set.nodes[k].mStart = PerturbedStart(set.truth[k], CbVector3d(0, 0, 100), k, 5.0, 5.0, 5.0, 5.0);
    const std::vector<Pipeline::SPoseEdge> edges = {Edge(set, 0, 1), Edge(set, 2, 1), Edge(set, 3, 4)};
    Pipeline::SPoseGraphOptions options;
    options.uiAnchor = 1;
    const Pipeline::SPoseGraphResult r = Pipeline::OptimisePoses(set.nodes, edges, options);
    EXPECT_EQ(r.vecConnected, (std::vector<bool>{true, true, true, false, false}));
    for (size_t k : {1u, 3u, 4u})
        EXPECT_EQ(r.vecPoses[k], set.nodes[k].mStart) << k;
    // Scans 0 and 2 sit where the edges put them relative to the anchor's start.
    const CbMatrix4Rd anchorError = set.truth[1].Inverted() * set.nodes[1].mStart;
    for (size_t k : {0u, 2u})
        for (int i = 0; i < 16; ++i)
            EXPECT_NEAR(r.vecPoses[k].e[i], (set.truth[k] * anchorError).e[i], 1e-9) << k;

    EXPECT_THROW(Pipeline::OptimisePoses(set.nodes, {Edge(set, 2, 2)}, Pipeline::SPoseGraphOptions()),
                 std::invalid_argument);
    options.uiAnchor = 5;
    EXPECT_THROW(Pipeline::OptimisePoses(set.nodes, edges, options), std::invalid_argument);
}

TEST(AlignScans, TheFirstRoundJoinsGroupsThatEachScansBestPartnersLeaveApart)
{
    // Two runs of a turntable, 0-1-2 and 3-4-5, each scan's two best partners within its own run; the
    // weaker pairs 2-3 and 1-4 join the runs, and 2-3 is the better of them.
    const std::vector<Pipeline::SCandidatePair> candidates = {{0, 1, 0.9}, {1, 2, 0.8}, {0, 2, 0.7}, {2, 3, 0.3},
                                                              {3, 4, 0.9}, {4, 5, 0.8}, {3, 5, 0.7}, {1, 4, 0.25}};
    std::vector<std::pair<size_t, size_t>> pairs;
    for (const auto& c : Pipeline::ChooseFirstPairs(6, candidates, 2))
        pairs.emplace_back(c.uiFix, c.uiFloat);
    EXPECT_EQ(pairs, (std::vector<std::pair<size_t, size_t>>{{0, 1}, {1, 2}, {0, 2}, {2, 3}, {3, 4}, {4, 5}, {3, 5}}));
    // One partner each: 0-1, 3-4, 1-2 and 4-5, then 2-3 joins the runs.
    EXPECT_EQ(Pipeline::ChooseFirstPairs(6, candidates, 1).size(), 5u);
    EXPECT_EQ(Pipeline::ChooseFirstPairs(6, candidates, 0).size(), candidates.size());
    EXPECT_THROW(Pipeline::ChooseFirstPairs(3, candidates, 2), std::invalid_argument);
}
