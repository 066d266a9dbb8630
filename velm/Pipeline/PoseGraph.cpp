#include "velm/Pipeline/PoseGraph.h"

#include "velm/DataLayer/Algorithms/Math/CCholmodSolver.h"

#include "velm/Pipeline/detail/EigenPose.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>

namespace Pipeline
{
namespace
{
using Pose = Eigen::Isometry3d; // column-vector form: x maps to R x + t
using Vector6 = Eigen::Matrix<double, 6, 1>;
using Matrix6 = Eigen::Matrix<double, 6, 6>;
constexpr double kPi = 3.14159265358979323846;

using detail::ToMatrix;
using detail::ToPose;

Eigen::Vector3d ToVector(const CbVector3d& v)
{
    return Eigen::Vector3d(v.x, v.y, v.z);
}

Eigen::Matrix3d Turn(const Eigen::Vector3d& w)
{
    const double angle = w.norm();
    return angle > 0.0 ? Eigen::AngleAxisd(angle, w / angle).toRotationMatrix() : Eigen::Matrix3d::Identity();
}

Eigen::Vector3d TurnVector(const Eigen::Matrix3d& r)
{
    const Eigen::AngleAxisd a(r);
    return a.angle() * a.axis();
}

// A change of a pose in the scan's own frame: a turn about its middle, then a shift.
Pose Change(const Vector6& x, const Eigen::Vector3d& middle)
{
    Pose p = Pose::Identity();
    p.linear() = Turn(x.head<3>());
    p.translation() = middle + x.tail<3>() - p.linear() * middle;
    return p;
}

struct SEdge
{
    size_t fix, flt;
    Pose measuredInverse;
    Eigen::Vector3d centre;
    Matrix6 information;
    double pairs;
};

// How far the poses leave an edge from its registration: the turn (radians, FIX's frame) and the shift
// of FLOAT's middle that take the registration onto what the poses say.
Vector6 Disagreement(const SEdge& e, const Pose& fix, const Pose& flt)
{
    const Pose d = fix.inverse() * flt * e.measuredInverse;
    Vector6 r;
    r.head<3>() = TurnVector(d.linear());
    r.tail<3>() = d * e.centre - e.centre;
    return r;
}

double Cost(const std::vector<SEdge>& edges, const std::vector<char>& active, const std::vector<Pose>& poses)
{
    double cost = 0.0;
    for (size_t k = 0; k < edges.size(); ++k)
        if (active[k])
        {
            const Vector6 r = Disagreement(edges[k], poses[edges[k].fix], poses[edges[k].flt]);
            cost += r.dot(edges[k].information * r);
        }
    return cost;
}

double Residual(const std::vector<SEdge>& edges, const std::vector<char>& active, const std::vector<Pose>& poses)
{
    double pairs = 0.0;
    for (size_t k = 0; k < edges.size(); ++k)
        if (active[k])
            pairs += edges[k].pairs;
    return pairs > 0.0 ? std::sqrt(std::max(0.0, Cost(edges, active, poses)) / pairs)
                       : std::numeric_limits<double>::quiet_NaN();
}

// The scans reached from the anchor through active edges, each placed by chaining registrations out
// from it (edges with the most pairs first, so that the chain follows the best determined motions).
std::vector<char> Chain(const std::vector<SEdge>& edges, const std::vector<char>& active, size_t anchor,
                        std::vector<Pose>& poses)
{
    std::vector<size_t> order;
    for (size_t k = 0; k < edges.size(); ++k)
        if (active[k])
            order.push_back(k);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return edges[a].pairs > edges[b].pairs; });
    std::vector<char> reached(poses.size(), 0);
    reached[anchor] = 1;
    std::deque<size_t> queue{anchor};
    while (!queue.empty())
    {
        const size_t from = queue.front();
        queue.pop_front();
        for (const size_t k : order)
        {
            const SEdge& e = edges[k];
            if (e.fix == from && !reached[e.flt])
            {
                poses[e.flt] = poses[e.fix] * e.measuredInverse.inverse();
                reached[e.flt] = 1;
                queue.push_back(e.flt);
            }
            else if (e.flt == from && !reached[e.fix])
            {
                poses[e.fix] = poses[e.flt] * e.measuredInverse;
                reached[e.fix] = 1;
                queue.push_back(e.fix);
            }
        }
    }
    return reached;
}

// Levenberg-Marquardt over the poses of the reached scans but the anchor.
uint32_t Optimise(const std::vector<SEdge>& edges, const std::vector<char>& active, const std::vector<char>& reached,
                  size_t anchor, const std::vector<Eigen::Vector3d>& middles, uint32_t maxIterations,
                  std::vector<Pose>& poses)
{
    std::vector<int> index(poses.size(), -1);
    int unknowns = 0;
    for (size_t i = 0; i < poses.size(); ++i)
        if (reached[i] && i != anchor)
            index[i] = unknowns++;
    if (unknowns == 0)
        return 0;

    double lambda = 1e-4;
    double cost = Cost(edges, active, poses);
    uint32_t iteration = 0;
    while (iteration < maxIterations)
    {
        ++iteration;
        // Blocks of the normal matrix below and on the diagonal, by (row scan, column scan).
        std::map<std::pair<int, int>, Matrix6> blocks;
        Eigen::VectorXd gradient = Eigen::VectorXd::Zero(6 * unknowns);
        for (size_t k = 0; k < edges.size(); ++k)
        {
            if (!active[k])
                continue;
            const SEdge& e = edges[k];
            const Vector6 r = Disagreement(e, poses[e.fix], poses[e.flt]);
            // Each pose's part of the Jacobian by central differences: the disagreement is smooth, and
            // a step of 1e-6 leaves errors far below what registrations can tell apart.
            Matrix6 jacobian[2];
            const size_t ends[2] = {e.fix, e.flt};
            for (int side = 0; side < 2; ++side)
            {
                if (index[ends[side]] < 0)
                    continue;
                for (int p = 0; p < 6; ++p)
                {
                    Vector6 step = Vector6::Zero();
                    step(p) = 1e-6;
                    Pose plus[2] = {poses[e.fix], poses[e.flt]}, minus[2] = {poses[e.fix], poses[e.flt]};
                    plus[side] = plus[side] * Change(step, middles[ends[side]]);
                    minus[side] = minus[side] * Change(-step, middles[ends[side]]);
                    jacobian[side].col(p) =
                        (Disagreement(e, plus[0], plus[1]) - Disagreement(e, minus[0], minus[1])) / 2e-6;
                }
            }
            for (int a = 0; a < 2; ++a)
            {
                const int ia = index[ends[a]];
                if (ia < 0)
                    continue;
                gradient.segment<6>(6 * ia) += jacobian[a].transpose() * e.information * r;
                for (int b = 0; b < 2; ++b)
                {
                    const int ib = index[ends[b]];
                    if (ib < 0 || ib > ia)
                        continue;
                    auto [it, added] = blocks.try_emplace({ia, ib}, Matrix6::Zero());
                    it->second += jacobian[a].transpose() * e.information * jacobian[b];
                }
            }
        }

        // Damped steps until one lowers the cost (or the damping says the poses cannot move).
        bool improved = false;
        Eigen::VectorXd x;
        while (!improved && lambda < 1e12)
        {
            DataLayer::CCholmodSolver solver;
            for (int row = 0; row < 6 * unknowns; ++row)
            {
                solver.begin_row();
                const int rowScan = row / 6;
                for (auto it = blocks.lower_bound({rowScan, 0}); it != blocks.end() && it->first.first == rowScan; ++it)
                {
                    const int colScan = it->first.second;
                    for (int c = 0; c < 6; ++c)
                    {
                        const int col = 6 * colScan + c;
                        if (col > row)
                            break;
                        double value = it->second(row % 6, c);
                        if (col == row) // damping relative to each unknown's own scale, never below a floor
                            value += lambda * std::max(value, 1e-9);
                        solver.add_value(col, value);
                    }
                }
            }
            solver.end_row();
            std::vector<double> b(gradient.data(), gradient.data() + gradient.size()), solution;
            for (double& v : b)
                v = -v;
            if (!solver.factorize(true) || !solver.solve(b, solution))
            {
                lambda *= 10.0;
                continue;
            }
            x = Eigen::Map<const Eigen::VectorXd>(solution.data(), 6 * unknowns);
            std::vector<Pose> trial = poses;
            for (size_t i = 0; i < poses.size(); ++i)
                if (index[i] >= 0)
                    trial[i] = poses[i] * Change(x.segment<6>(6 * index[i]), middles[i]);
            const double trialCost = Cost(edges, active, trial);
            if (trialCost <= cost)
            {
                improved = true;
                poses = std::move(trial);
                const double before = cost;
                cost = trialCost;
                lambda = std::max(lambda / 10.0, 1e-12);
                // Settled: the last step turned by less than 1e-9 rad and shifted by less than 1e-7 mm,
                // or no longer lowered the cost measurably.
                bool small = true;
                for (int i = 0; i < unknowns; ++i)
                    small = small && x.segment<3>(6 * i).norm() < 1e-9 && x.segment<3>(6 * i + 3).norm() < 1e-7;
                if (small || before - cost <= 1e-14 * before)
                    return iteration;
            }
            else
                lambda *= 10.0;
        }
        if (!improved)
            return iteration;
    }
    return iteration;
}
} // namespace

SPoseGraphResult OptimisePoses(const std::vector<SPoseNode>& nodes, const std::vector<SPoseEdge>& given,
                               const SPoseGraphOptions& options)
{
    if (options.uiAnchor >= nodes.size())
        throw std::invalid_argument("the anchor is scan " + std::to_string(options.uiAnchor) + " of " +
                                    std::to_string(nodes.size()));
    std::vector<SEdge> edges;
    for (const SPoseEdge& g : given)
    {
        if (g.uiFix >= nodes.size() || g.uiFloat >= nodes.size() || g.uiFix == g.uiFloat)
            throw std::invalid_argument("an edge joins scans " + std::to_string(g.uiFix) + " and " +
                                        std::to_string(g.uiFloat) + " of " + std::to_string(nodes.size()));
        SEdge e;
        e.fix = g.uiFix;
        e.flt = g.uiFloat;
        e.measuredInverse = ToPose(g.mMeasured).inverse();
        e.centre = ToVector(g.vCentre);
        for (int i = 0; i < 36; ++i)
            e.information(i / 6, i % 6) = g.adInformation[i];
        e.information = 0.5 * (e.information + e.information.transpose());
        e.pairs = g.dPairs;
        edges.push_back(e);
    }
    std::vector<Pose> starts;
    std::vector<Eigen::Vector3d> middles;
    for (const SPoseNode& n : nodes)
    {
        starts.push_back(ToPose(n.mStart));
        middles.push_back(ToVector(n.vCentre));
    }

    SPoseGraphResult result;
    std::vector<char> active(edges.size(), 1);
    std::vector<Pose> poses = starts;
    std::vector<char> reached;
    for (;;)
    {
        poses = starts;
        reached = Chain(edges, active, options.uiAnchor, poses);
        result.uiIterations +=
            Optimise(edges, active, reached, options.uiAnchor, middles, options.uiMaxIterations, poses);
        // The edge left furthest beyond the limits, if any, disagrees with the rest.
        size_t worst = edges.size();
        double worstExcess = 1.0;
        for (size_t k = 0; k < edges.size(); ++k)
        {
            if (!active[k] || !reached[edges[k].fix])
                continue;
            const Vector6 r = Disagreement(edges[k], poses[edges[k].fix], poses[edges[k].flt]);
            const double excess = std::max(r.head<3>().norm() * 180.0 / kPi / options.dMaxEdgeTurn,
                                           r.tail<3>().norm() / options.dMaxEdgeShift);
            if (excess > worstExcess)
            {
                worstExcess = excess;
                worst = k;
            }
        }
        if (worst == edges.size())
            break;
        active[worst] = 0;
        result.vecRemoved.push_back(worst);
    }

    // Edges outside the anchor's part place nothing: they count in neither residual.
    std::vector<char> counted(edges.size(), 0);
    for (size_t k = 0; k < edges.size(); ++k)
        counted[k] = active[k] && reached[edges[k].fix];
    result.dResidualBefore = Residual(edges, counted, starts);
    result.dResidualAfter = Residual(edges, counted, poses);
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        result.vecConnected.push_back(reached[i] != 0);
        result.vecPoses.push_back(reached[i] ? ToMatrix(poses[i]) : nodes[i].mStart);
    }
    for (const SEdge& e : edges)
    {
        const Vector6 r = Disagreement(e, poses[e.fix], poses[e.flt]);
        result.vecDisagreement.push_back({r.head<3>().norm() * 180.0 / kPi, r.tail<3>().norm()});
    }
    return result;
}
} // namespace Pipeline
