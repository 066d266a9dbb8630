#include "velm/Pipeline/GlobalStart.h"

#include "velm/Base/Features/Fpfh.h"
#include "velm/Base/Features/VoxelSubsample.h"
#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Pipeline/detail/EigenPose.h"

#include <Eigen/Dense>
#include <Eigen/Geometry>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

namespace Pipeline
{
namespace
{
constexpr double kPi = 3.14159265358979323846;
using Clock = std::chrono::steady_clock;

Eigen::Vector3d V(const CbVector3f& p)
{
    return Eigen::Vector3d(p.x, p.y, p.z);
}

// The rotation and shift that take the FLOAT points onto the FIX points with the least squared
// distance (the SVD of their cross-covariance, a reflection turned into a rotation).
Eigen::Isometry3d FitRigid(const std::vector<Eigen::Vector3d>& fix, const std::vector<Eigen::Vector3d>& flt)
{
    Eigen::Vector3d cFix = Eigen::Vector3d::Zero(), cFlt = Eigen::Vector3d::Zero();
    for (size_t i = 0; i < fix.size(); ++i)
    {
        cFix += fix[i];
        cFlt += flt[i];
    }
    cFix /= static_cast<double>(fix.size());
    cFlt /= static_cast<double>(flt.size());
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (size_t i = 0; i < fix.size(); ++i)
        h += (flt[i] - cFlt) * (fix[i] - cFix).transpose();
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    if ((svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0)
        d(2, 2) = -1.0;
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    pose.linear() = svd.matrixV() * d * svd.matrixU().transpose();
    pose.translation() = cFix - pose.linear() * cFlt;
    return pose;
}

double Angle(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b)
{
    const double c = 0.5 * ((a.transpose() * b).trace() - 1.0);
    return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / kPi;
}

class CRobustEstimate
{
public:
    CRobustEstimate(const std::vector<CbVector3f>& fixPoints, const std::vector<CbVector3f>& fixNormals,
                    const std::vector<CbVector3f>& floatPoints, const std::vector<CbVector3f>& floatNormals,
                    const std::vector<SCorrespondence>& correspondences, const SRobustOptions& options)
        : m_options(options), m_cosInlierNormal(std::cos(options.dInlierNormalAngle * kPi / 180.0))
    {
        m_fix.reserve(correspondences.size());
        for (const SCorrespondence& c : correspondences)
        {
            m_fix.push_back(V(fixPoints[c.uiFix]));
            m_fixNormal.push_back(V(fixNormals[c.uiFix]));
            m_flt.push_back(V(floatPoints[c.uiFloat]));
            m_fltNormal.push_back(V(floatNormals[c.uiFloat]));
        }
        m_middle = Eigen::Vector3d::Zero();
        for (const CbVector3f& p : floatPoints)
            m_middle += V(p);
        if (!floatPoints.empty())
            m_middle /= static_cast<double>(floatPoints.size());
    }

    std::vector<SStartHypothesis> Run()
    {
        const size_t n = m_fix.size();
        if (n < 3)
            return {};
        std::mt19937_64 random(m_options.uiSeed);
        const auto pick = [&] { return static_cast<size_t>(random() % n); };
        uint64_t needed = m_options.uiMaxIterations;
        uint32_t best = 0;
        for (uint64_t iteration = 0; iteration < needed; ++iteration)
        {
            const size_t s[3] = {pick(), pick(), pick()};
            if (s[0] == s[1] || s[0] == s[2] || s[1] == s[2] || !Consistent(s))
                continue;
            const Eigen::Isometry3d pose =
                FitRigid({m_fix[s[0]], m_fix[s[1]], m_fix[s[2]]}, {m_flt[s[0]], m_flt[s[1]], m_flt[s[2]]});
            bool normalsAgree = true;
            for (size_t k : s)
                normalsAgree =
                    normalsAgree && (pose.linear() * m_fltNormal[k]).dot(m_fixNormal[k]) >= m_cosInlierNormal;
            if (!normalsAgree)
                continue;
            const uint32_t inliers = Count(pose, nullptr);
            Offer(pose, inliers);
            if (inliers > best)
            {
                best = inliers;
                // Samples needed to draw three inliers at least once with the wanted confidence.
                const double w = static_cast<double>(best) / static_cast<double>(n);
                const double miss = 1.0 - w * w * w;
                if (miss <= 0.0)
                    needed = iteration + 1;
                else if (miss < 1.0)
                    needed = std::min<uint64_t>(
                        m_options.uiMaxIterations,
                        static_cast<uint64_t>(std::ceil(std::log(1.0 - m_options.dConfidence) / std::log(miss))));
            }
        }
        // The sample fixed a motion with three points; all of its inliers fix it better.
        std::vector<SKept> kept;
        kept.swap(m_kept);
        for (SKept& k : kept)
            for (int round = 0; round < 2; ++round)
            {
                std::vector<size_t> inliers;
                Count(k.pose, &inliers);
                if (inliers.size() < 3)
                    break;
                std::vector<Eigen::Vector3d> fix, flt;
                for (size_t i : inliers)
                {
                    fix.push_back(m_fix[i]);
                    flt.push_back(m_flt[i]);
                }
                const Eigen::Isometry3d refit = FitRigid(fix, flt);
                const uint32_t count = Count(refit, nullptr);
                if (count < k.inliers)
                    break;
                k.pose = refit;
                k.inliers = count;
            }
        for (const SKept& k : kept)
            Offer(k.pose, k.inliers);
        std::vector<SStartHypothesis> out;
        for (const SKept& k : m_kept)
            out.push_back({detail::ToMatrix(k.pose), k.inliers, false});
        return out;
    }

    uint32_t Count(const Eigen::Isometry3d& pose, std::vector<size_t>* inliers) const
    {
        const double limit = m_options.dInlierDistance * m_options.dInlierDistance;
        uint32_t count = 0;
        for (size_t i = 0; i < m_fix.size(); ++i)
            if ((pose * m_flt[i] - m_fix[i]).squaredNorm() <= limit &&
                (pose.linear() * m_fltNormal[i]).dot(m_fixNormal[i]) >= m_cosInlierNormal)
            {
                ++count;
                if (inliers)
                    inliers->push_back(i);
            }
        return count;
    }

private:
    struct SKept
    {
        Eigen::Isometry3d pose;
        uint32_t inliers;
    };

    // What a rigid motion keeps between the three sampled points of each side: the distances and the
    // angles between the normals.
    bool Consistent(const size_t s[3]) const
    {
        const double maxTurn = m_options.dNormalAngle * kPi / 180.0;
        for (int a = 0; a < 3; ++a)
        {
            const size_t i = s[a], j = s[(a + 1) % 3];
            const double dFix = (m_fix[i] - m_fix[j]).norm(), dFlt = (m_flt[i] - m_flt[j]).norm();
            if (std::min(dFix, dFlt) < m_options.dMinEdge ||
                std::min(dFix, dFlt) < m_options.dEdgeRatio * std::max(dFix, dFlt))
                return false;
            const double aFix = std::acos(std::clamp(m_fixNormal[i].dot(m_fixNormal[j]), -1.0, 1.0));
            const double aFlt = std::acos(std::clamp(m_fltNormal[i].dot(m_fltNormal[j]), -1.0, 1.0));
            if (std::abs(aFix - aFlt) > maxTurn)
                return false;
        }
        return true;
    }

    // Keeps the best supported distinct motions; one close to a kept motion replaces it only with
    // more support, so each place appears once, with its best estimate.
    void Offer(const Eigen::Isometry3d& pose, uint32_t inliers)
    {
        if (inliers < 3)
            return;
        for (SKept& k : m_kept)
            if (Angle(k.pose.linear(), pose.linear()) < m_options.dDistinctAngle &&
                (k.pose * m_middle - pose * m_middle).norm() < m_options.dDistinctShift)
            {
                if (inliers > k.inliers)
                {
                    k = {pose, inliers};
                    std::stable_sort(m_kept.begin(), m_kept.end(),
                                     [](const SKept& a, const SKept& b) { return a.inliers > b.inliers; });
                }
                return;
            }
        if (m_kept.size() >= m_options.uiHypotheses && (m_kept.empty() || inliers <= m_kept.back().inliers))
            return;
        if (m_kept.size() >= m_options.uiHypotheses)
            m_kept.pop_back();
        const auto at = std::upper_bound(m_kept.begin(), m_kept.end(), inliers,
                                         [](uint32_t v, const SKept& k) { return v > k.inliers; });
        m_kept.insert(at, SKept{pose, inliers});
    }

    const SRobustOptions& m_options;
    const double m_cosInlierNormal;
    std::vector<Eigen::Vector3d> m_fix, m_fixNormal, m_flt, m_fltNormal;
    Eigen::Vector3d m_middle;
    std::vector<SKept> m_kept;
};

// A scan's feature points: a voxel subsample with the scan's own normals and their histograms.
struct SFeatures
{
    std::vector<CbVector3f> points, normals;
    std::vector<Base::Features::CFpfh> descriptors;
};

SFeatures Features(const SScan& scan, double voxel, CThreadPool* pool)
{
    SFeatures f;
    const std::vector<CbVector3f>& positions = scan.Positions();
    for (uint32_t i : Base::Features::VoxelSubsample(positions, static_cast<float>(voxel)))
    {
        f.points.push_back(positions[i]);
        f.normals.push_back(scan.surfels.vecNormals[i]);
    }
    auto shared = std::make_shared<const std::vector<CbVector3f>>(f.points);
    const Base::CKdTree3D tree(shared, pool);
    Base::Features::SFpfhOptions options;
    options.fRadius = static_cast<float>(5.0 * voxel);
    options.uiMaxNeighbours = 100;
    f.descriptors = Base::Features::ComputeFpfh(f.points, f.normals, tree, options, pool);
    return f;
}

bool Empty(const Base::Features::CFpfh& d)
{
    return std::all_of(d.begin(), d.end(), [](float v) { return v == 0.0f; });
}

// The index of the first smallest of n >= 1 values, from four running minima, so that the loop does
// not wait on one comparison after another.
int32_t FirstSmallest(const float* values, Eigen::Index n)
{
    float low[4] = {values[0], values[0], values[0], values[0]};
    Eigen::Index at[4] = {0, 0, 0, 0};
    Eigen::Index c = 0;
    for (; c + 4 <= n; c += 4)
        for (int lane = 0; lane < 4; ++lane)
        {
            const bool lower = values[c + lane] < low[lane];
            low[lane] = lower ? values[c + lane] : low[lane];
            at[lane] = lower ? c + lane : at[lane];
        }
    for (; c < n; ++c)
    {
        const bool lower = values[c] < low[0];
        low[0] = lower ? values[c] : low[0];
        at[0] = lower ? c : at[0];
    }
    Eigen::Index best = at[0];
    float bestValue = low[0];
    for (int lane = 1; lane < 4; ++lane)
        if (low[lane] < bestValue || (low[lane] == bestValue && at[lane] < best))
        {
            best = at[lane];
            bestValue = low[lane];
        }
    return static_cast<int32_t>(best);
}

// The pairs of descriptors that are each other's nearest (squared Euclidean distance, ties to the lower
// index), FIX's and FLOAT's; empty descriptors take no part. The distances come from one matrix product
// a block of FLOAT's rows at a time: the blocks do not depend on the thread count, so neither do the pairs.
std::vector<SCorrespondence> MutualNearest(const std::vector<Base::Features::CFpfh>& fix,
                                           const std::vector<Base::Features::CFpfh>& flt, CThreadPool* pool)
{
    using Matrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    static constexpr Eigen::Index kBins = static_cast<Eigen::Index>(Base::Features::kFpfhBins);
    const auto pack = [](const std::vector<Base::Features::CFpfh>& d, std::vector<uint32_t>& index) {
        for (uint32_t i = 0; i < d.size(); ++i)
            if (!Empty(d[i]))
                index.push_back(i);
        Matrix m(static_cast<Eigen::Index>(index.size()), kBins);
        for (size_t r = 0; r < index.size(); ++r)
            for (Eigen::Index b = 0; b < kBins; ++b)
                m(static_cast<Eigen::Index>(r), b) = d[index[r]][static_cast<size_t>(b)];
        return m;
    };
    std::vector<uint32_t> fixIndex, fltIndex;
    const Matrix f = pack(fix, fixIndex), g = pack(flt, fltIndex);
    const Eigen::Index nf = f.rows(), ng = g.rows();
    if (nf == 0 || ng == 0)
        return {};
    const Eigen::VectorXf fNorm = f.rowwise().squaredNorm();
    constexpr Eigen::Index kBlock = 256;
    const Eigen::Index blocks = (ng + kBlock - 1) / kBlock;
    std::vector<int32_t> rowBest(static_cast<size_t>(ng));
    // Per block: the nearest FLOAT row of the block for each FIX descriptor, and its distance.
    std::vector<std::vector<float>> colValue(static_cast<size_t>(blocks));
    std::vector<std::vector<int32_t>> colRow(static_cast<size_t>(blocks));
    // Each thread's product, kept from block to block.
    std::vector<Matrix> products(pool ? pool->GetThreadCount() : 1);
    const auto body = [&](size_t begin, size_t end, uint32_t thread) {
        Matrix& d = products[thread];
        for (size_t block = begin; block < end; ++block)
        {
            const Eigen::Index r0 = static_cast<Eigen::Index>(block) * kBlock, rows = std::min(kBlock, ng - r0);
            d.resize(rows, nf);
            d.noalias() = g.middleRows(r0, rows) * f.transpose();
            std::vector<float>& value = colValue[block];
            std::vector<int32_t>& row = colRow[block];
            value.assign(static_cast<size_t>(nf), std::numeric_limits<float>::infinity());
            row.assign(static_cast<size_t>(nf), -1);
            float* line = d.data();
            for (Eigen::Index r = 0; r < rows; ++r, line += nf)
            {
                // The distance less the row's own norm, -2 g.f + |f|^2 (the doubling is exact): the
                // row's norm does not change which column is nearest to it, only the columns' view.
                for (Eigen::Index c = 0; c < nf; ++c)
                    line[c] = -2.0f * line[c] + fNorm[c];
                rowBest[static_cast<size_t>(r0 + r)] = FirstSmallest(line, nf);
                const float gNorm = g.row(r0 + r).squaredNorm();
                const int32_t here = static_cast<int32_t>(r0 + r);
                for (Eigen::Index c = 0; c < nf; ++c)
                {
                    const float v = line[c] + gNorm;
                    const bool nearer = v < value[static_cast<size_t>(c)];
                    value[static_cast<size_t>(c)] = nearer ? v : value[static_cast<size_t>(c)];
                    row[static_cast<size_t>(c)] = nearer ? here : row[static_cast<size_t>(c)];
                }
            }
        }
    };
    if (pool)
        pool->ParallelFor(static_cast<size_t>(blocks), 1, body);
    else
        body(0, static_cast<size_t>(blocks), 0);
    std::vector<float> fixValue = colValue[0];
    std::vector<int32_t> fixBest = colRow[0];
    for (size_t block = 1; block < colValue.size(); ++block)
        for (size_t c = 0; c < fixBest.size(); ++c)
            if (colValue[block][c] < fixValue[c])
            {
                fixValue[c] = colValue[block][c];
                fixBest[c] = colRow[block][c];
            }
    std::vector<SCorrespondence> out;
    for (Eigen::Index r = 0; r < ng; ++r)
    {
        const int32_t c = rowBest[static_cast<size_t>(r)];
        if (fixBest[static_cast<size_t>(c)] == r)
            out.push_back({fixIndex[static_cast<size_t>(c)], fltIndex[static_cast<size_t>(r)]});
    }
    return out;
}

double Diagonal(const std::vector<CbVector3f>& points)
{
    CbVector3d lo(std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity());
    CbVector3d hi = -lo;
    for (const CbVector3f& p : points)
    {
        lo = CbVector3d(std::min<double>(lo.x, p.x), std::min<double>(lo.y, p.y), std::min<double>(lo.z, p.z));
        hi = CbVector3d(std::max<double>(hi.x, p.x), std::max<double>(hi.y, p.y), std::max<double>(hi.z, p.z));
    }
    return (hi - lo).Length();
}
} // namespace

std::vector<SStartHypothesis> EstimateRigidHypotheses(const std::vector<CbVector3f>& fixPoints,
                                                      const std::vector<CbVector3f>& fixNormals,
                                                      const std::vector<CbVector3f>& floatPoints,
                                                      const std::vector<CbVector3f>& floatNormals,
                                                      const std::vector<SCorrespondence>& correspondences,
                                                      const SRobustOptions& options)
{
    if (fixPoints.size() != fixNormals.size() || floatPoints.size() != floatNormals.size())
        throw std::invalid_argument("the feature points and their normals differ in number");
    for (const SCorrespondence& c : correspondences)
        if (c.uiFix >= fixPoints.size() || c.uiFloat >= floatPoints.size())
            throw std::invalid_argument("a correspondence names a point that does not exist");
    if (!(options.dInlierDistance > 0.0) || !std::isfinite(options.dInlierDistance))
        throw std::invalid_argument("the inlier distance must be finite and above 0");
    return CRobustEstimate(fixPoints, fixNormals, floatPoints, floatNormals, correspondences, options).Run();
}

SGlobalSearch SearchStarts(const SScan& fix, const SScan& flt, CThreadPool* pool)
{
    const auto t0 = Clock::now();
    SGlobalSearch search;
    // Coarse enough that the scans' own sampling patterns do not show and a histogram (five voxels
    // across) sees a part of the shape, fine enough to keep its detail; coarser also means fewer
    // features to match. The start need not be exact: the registration takes it from there.
    const double spacing = std::max(fix.dSpacing, flt.dSpacing);
    const double size = std::max(Diagonal(fix.Positions()), Diagonal(flt.Positions()));
    search.dVoxel = std::max(3.0 * spacing, size / 50.0);
    const SFeatures f = Features(fix, search.dVoxel, pool);
    const SFeatures g = Features(flt, search.dVoxel, pool);
    search.uiFixFeatures = f.points.size();
    search.uiFloatFeatures = g.points.size();

    const std::vector<SCorrespondence> correspondences = MutualNearest(f.descriptors, g.descriptors, pool);
    search.uiCorrespondences = correspondences.size();

    SRobustOptions options;
    options.dInlierDistance = 2.0 * search.dVoxel;
    options.dMinEdge = 4.0 * search.dVoxel;
    options.dDistinctShift = 5.0 * search.dVoxel;
    search.vecHypotheses = EstimateRigidHypotheses(f.points, f.normals, g.points, g.normals, correspondences, options);

    // The identity competes with the support it has: scans already near each other start there.
    CRobustEstimate identity(f.points, f.normals, g.points, g.normals, correspondences, options);
    const SStartHypothesis start{CbMatrix4Rd::Identity(), identity.Count(Eigen::Isometry3d::Identity(), nullptr), true};
    const auto at = std::upper_bound(search.vecHypotheses.begin(), search.vecHypotheses.end(), start.uiInliers,
                                     [](uint32_t v, const SStartHypothesis& h) { return v > h.uiInliers; });
    search.vecHypotheses.insert(at, start);
    search.dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return search;
}
} // namespace Pipeline
