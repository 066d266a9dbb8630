#include "velm/Base/SurfelData/CKdTree3D.h"

#include "velm/Frame/VelmException.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace Base
{
namespace
{
// The points of a subset of the positions, as nanoflann reads them while it builds a tree.
struct STreePoints
{
    const std::vector<CbVector3f>& points;
    const std::vector<uint32_t>& subset;

    size_t kdtree_get_point_count() const { return subset.size(); }
    float kdtree_get_pt(uint32_t index, size_t dim) const
    {
        const CbVector3f& p = points[subset[index]];
        return dim == 0 ? p.x : (dim == 1 ? p.y : p.z);
    }
    template <class BBox>
    bool kdtree_get_bbox(BBox&) const
    {
        return false;
    }
};

// The library's own distance, evaluated in float and in its order of terms, handed to the tree as a
// double so that the tree's pruning bounds are computed without float rounding of their own.
// A distance that overflows float becomes DBL_MAX: larger than every finite float distance, and
// still inside an infinite limit.
struct SFloatSquaredDistance
{
    using ElementType = float;
    using DistanceType = double;

    const STreePoints& cloud;

    explicit SFloatSquaredDistance(const STreePoints& c) : cloud(c) {}

    double evalMetric(const float* a, uint32_t index, size_t) const
    {
        const CbVector3f& p = cloud.points[cloud.subset[index]];
        const float dx = p.x - a[0];
        const float dy = p.y - a[1];
        const float dz = p.z - a[2];
        const float d = (dy * dy + dx * dx) + dz * dz;
        return d <= FLT_MAX ? static_cast<double>(d) : DBL_MAX;
    }

    template <typename U, typename V>
    double accum_dist(const U a, const V b, size_t) const
    {
        const double d = static_cast<double>(a) - static_cast<double>(b);
        return d * d;
    }
};

using TTree = nanoflann::KDTreeSingleIndexAdaptor<SFloatSquaredDistance, STreePoints, 3, uint32_t>;

// The tree prunes with exact per-axis bounds, but a float distance may round below its exact value
// by a few units in the last place. Searching a slightly wider bound and filtering with the exact
// float test keeps points that lie exactly on the limit.
double Widen(double squaredLimit)
{
    return squaredLimit * (1.0 + 1e-5) + 1e-37;
}

// Leaf points handled at a time.
constexpr size_t kLeafChunk = 32;

// The library's squared distances from the query to n points given coordinate by coordinate.
void LeafDistances(const float* xs, const float* ys, const float* zs, size_t n, const float* query, float* out)
{
    const CbVector3f q(query[0], query[1], query[2]);
    for (size_t i = 0; i < n; ++i)
        out[i] = KdTreeSquaredDistance(CbVector3f(xs[i], ys[i], zs[i]), q);
}

// The k entries smallest by (distance, index) within the limit, nearest first. Distances are the
// library's float distances; the limit and the pruning bound are exact doubles.
class CKNearestSet
{
public:
    CKNearestSet(size_t capacity, double squaredLimit, std::pair<float, uint32_t>* storage)
        : m_capacity(capacity), m_limit(squaredLimit), m_worst(Widen(squaredLimit)), m_entries(storage)
    {
    }

    double worstDist() const { return m_worst; }
    void addPoint(float distance, uint32_t index)
    {
        if (!(KdTreeBound(distance) <= m_limit))
            return;
        const std::pair<float, uint32_t> entry(distance, index);
        size_t at = m_count;
        if (m_count == m_capacity)
        {
            if (!(entry < m_entries[m_count - 1]))
                return;
            --at;
        }
        else
            ++m_count;
        // Insertion from the back: the few entries of a small k stay in cache.
        while (at > 0 && entry < m_entries[at - 1])
        {
            m_entries[at] = m_entries[at - 1];
            --at;
        }
        m_entries[at] = entry;
        if (m_count == m_capacity)
            m_worst = Widen(KdTreeBound(m_entries[m_count - 1].first));
    }

    // The points of a leaf with their distances. The few nearer than the bound so far are picked
    // without a branch; addPoint has the last word, the bound having shrunk meanwhile.
    void addLeafPoints(const float* distances, const uint32_t* indices, size_t n)
    {
        uint32_t nearer[kLeafChunk];
        size_t found = 0;
        for (size_t i = 0; i < n; ++i)
        {
            nearer[found] = static_cast<uint32_t>(i);
            found += KdTreeBound(distances[i]) < m_worst ? 1 : 0;
        }
        for (size_t j = 0; j < found; ++j)
            addPoint(distances[nearer[j]], indices[nearer[j]]);
    }

    size_t Count() const { return m_count; }
    const std::pair<float, uint32_t>& operator[](size_t i) const { return m_entries[i]; }

private:
    size_t m_capacity;
    double m_limit;
    double m_worst; // the pruning bound: the limit until the set is full, then its largest entry
    std::pair<float, uint32_t>* m_entries;
    size_t m_count = 0;
};

class CRadiusSet
{
public:
    CRadiusSet(std::vector<uint32_t>& result, double squaredLimit)
        : m_result(result), m_limit(squaredLimit), m_bound(Widen(squaredLimit))
    {
    }

    double worstDist() const { return m_bound; }
    // Every index is written and kept when within the limit: no branch to mispredict. A distance
    // that overflowed float is infinite here, inside the limit exactly when the limit is infinite too,
    // as KdTreeBound has it; the plain comparison spares the search's hottest loop a select.
    void addLeafPoints(const float* distances, const uint32_t* indices, size_t n)
    {
        size_t kept = m_result.size();
        m_result.resize(kept + n);
        uint32_t* out = m_result.data();
        for (size_t i = 0; i < n; ++i)
        {
            out[kept] = indices[i];
            kept += static_cast<double>(distances[i]) <= m_limit ? 1 : 0;
        }
        m_result.resize(kept);
    }

private:
    std::vector<uint32_t>& m_result;
    double m_limit;
    double m_bound;
};
} // namespace

// nanoflann builds the tree; the searches walk a flat copy of it: nodes side by side in depth-first
// order (a node's first child follows it), and the points of each leaf side by side, coordinate by
// coordinate, with distances in float.
struct CKdTree3D::SImpl
{
    struct SNode
    {
        float divLow = 0.0f;  // the first child's largest coordinate along the axis
        float divHigh = 0.0f; // the second child's smallest
        uint32_t axis = 0;    // 0, 1, 2; 3 for a leaf
        uint32_t other = 0;   // inner node: the second child; leaf: the end of its points
        uint32_t begin = 0;   // leaf: the first of its points
    };

    std::shared_ptr<const std::vector<CbVector3f>> spPositions;
    std::vector<SNode> nodes;
    std::vector<float> xs, ys, zs; // the points in leaf order
    std::vector<uint32_t> indices; // their indices in the positions
    float rootLow[3] = {0, 0, 0}, rootHigh[3] = {0, 0, 0};

    // A tree over some of the points: its nodes (leaves count their points from 0) and the indices of
    // its points in leaf order.
    struct SPart
    {
        std::vector<SNode> nodes;
        std::vector<uint32_t> indices;
    };

    SImpl(std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool)
        : spPositions(std::move(positions))
    {
        const std::vector<CbVector3f>& points = *spPositions;
        if (points.empty())
            return;
        for (int i = 0; i < 3; ++i)
        {
            rootLow[i] = FLT_MAX;
            rootHigh[i] = -FLT_MAX;
        }
        for (const CbVector3f& p : points)
        {
            const float c[3] = {p.x, p.y, p.z};
            for (int i = 0; i < 3; ++i)
            {
                rootLow[i] = std::min(rootLow[i], c[i]);
                rootHigh[i] = std::max(rootHigh[i], c[i]);
            }
        }
        std::vector<uint32_t> all(points.size());
        for (uint32_t i = 0; i < all.size(); ++i)
            all[i] = i;
        // A large set is split at medians into as many parts as there are threads (up to four), each
        // built on a thread of its own: the searches find the same points in any tree over them.
        const size_t parts = pool && points.size() >= 50000
                                 ? std::min<size_t>(pool->GetThreadCount() >= 4 ? 4 : 2, pool->GetThreadCount())
                                 : 1;
        SPart tree = parts > 1 ? BuildSplit(std::move(all), parts, pool) : BuildPart(std::move(all));
        nodes = std::move(tree.nodes);
        indices = std::move(tree.indices);
        xs.reserve(indices.size());
        ys.reserve(indices.size());
        zs.reserve(indices.size());
        for (uint32_t index : indices)
        {
            const CbVector3f& p = points[index];
            xs.push_back(p.x);
            ys.push_back(p.y);
            zs.push_back(p.z);
        }
    }

    SPart BuildPart(std::vector<uint32_t> subset) const
    {
        SPart part;
        const STreePoints cloud{*spPositions, subset};
        const TTree tree(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(kLeafSize));
        part.indices.reserve(subset.size());
        for (uint32_t local : tree.vAcc)
            part.indices.push_back(subset[local]);
        Flatten(tree.root_node, part.nodes);
        return part;
    }

    // Splits the points at the median of their widest axis, `parts` ways in all, builds the parts on
    // the pool and joins them under the split nodes.
    SPart BuildSplit(std::vector<uint32_t> subset, size_t parts, CThreadPool* pool) const
    {
        struct SPlan
        {
            std::vector<uint32_t> subset;
            SNode split;
            SPart part;
        };
        std::vector<SPlan> plans(2 * parts - 1); // a complete binary tree of splits, parts at the end
        plans[0].subset = std::move(subset);
        for (size_t at = 0; at + 1 < parts; ++at)
            Halve(plans[at], plans[2 * at + 1].subset, plans[2 * at + 2].subset);
        pool->ParallelFor(parts, 1, [&](size_t begin, size_t end, uint32_t) {
            for (size_t k = begin; k < end; ++k)
            {
                SPlan& leaf = plans[parts - 1 + k];
                leaf.part = BuildPart(std::move(leaf.subset));
            }
        });
        for (size_t at = parts - 1; at-- > 0;)
            plans[at].part =
                Join(plans[at].split, std::move(plans[2 * at + 1].part), std::move(plans[2 * at + 2].part));
        return std::move(plans[0].part);
    }

    template <typename TPlan>
    void Halve(TPlan& plan, std::vector<uint32_t>& low, std::vector<uint32_t>& high) const
    {
        const std::vector<CbVector3f>& points = *spPositions;
        float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX}, hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
        for (uint32_t i : plan.subset)
        {
            const float c[3] = {points[i].x, points[i].y, points[i].z};
            for (int k = 0; k < 3; ++k)
            {
                lo[k] = std::min(lo[k], c[k]);
                hi[k] = std::max(hi[k], c[k]);
            }
        }
        int axis = 0;
        for (int k = 1; k < 3; ++k)
            if (hi[k] - lo[k] > hi[axis] - lo[axis])
                axis = k;
        const auto coordinate = [&](uint32_t i) {
            return axis == 0 ? points[i].x : (axis == 1 ? points[i].y : points[i].z);
        };
        const auto mid = plan.subset.begin() + static_cast<std::ptrdiff_t>(plan.subset.size() / 2);
        std::nth_element(plan.subset.begin(), mid, plan.subset.end(), [&](uint32_t a, uint32_t b) {
            return std::make_pair(coordinate(a), a) < std::make_pair(coordinate(b), b);
        });
        low.assign(plan.subset.begin(), mid);
        high.assign(mid, plan.subset.end());
        plan.split.axis = static_cast<uint32_t>(axis);
        plan.split.divLow = -FLT_MAX;
        plan.split.divHigh = FLT_MAX;
        for (uint32_t i : low)
            plan.split.divLow = std::max(plan.split.divLow, coordinate(i));
        for (uint32_t i : high)
            plan.split.divHigh = std::min(plan.split.divHigh, coordinate(i));
        std::vector<uint32_t>().swap(plan.subset);
    }

    static SPart Join(SNode split, SPart first, SPart second)
    {
        SPart joined;
        joined.nodes.reserve(1 + first.nodes.size() + second.nodes.size());
        split.other = static_cast<uint32_t>(1 + first.nodes.size());
        joined.nodes.push_back(split);
        const auto append = [&](const SPart& part, uint32_t nodeOffset, uint32_t pointOffset) {
            for (SNode node : part.nodes)
            {
                if (node.axis == 3)
                {
                    node.begin += pointOffset;
                    node.other += pointOffset;
                }
                else
                    node.other += nodeOffset;
                joined.nodes.push_back(node);
            }
        };
        append(first, 1, 0);
        append(second, split.other, static_cast<uint32_t>(first.indices.size()));
        joined.indices = std::move(first.indices);
        joined.indices.insert(joined.indices.end(), second.indices.begin(), second.indices.end());
        return joined;
    }

    static uint32_t Flatten(const TTree::Node* node, std::vector<SNode>& nodes)
    {
        const uint32_t at = static_cast<uint32_t>(nodes.size());
        nodes.emplace_back();
        if (!node->child1 && !node->child2)
        {
            nodes[at].axis = 3;
            nodes[at].begin = static_cast<uint32_t>(node->node_type.lr.left);
            nodes[at].other = static_cast<uint32_t>(node->node_type.lr.right);
            return at;
        }
        // The split values come from float coordinates, so float holds them exactly.
        nodes[at].axis = static_cast<uint32_t>(node->node_type.sub.divfeat);
        nodes[at].divLow = static_cast<float>(node->node_type.sub.divlow);
        nodes[at].divHigh = static_cast<float>(node->node_type.sub.divhigh);
        Flatten(node->child1, nodes);
        const uint32_t second = Flatten(node->child2, nodes);
        nodes[at].other = second;
        return at;
    }

    // Points a leaf holds at most. Larger leaves than nanoflann's usual 10 cost a few more distances
    // per search but build faster and keep fewer nodes to walk: measured best on range scans.
    static constexpr size_t kLeafSize = 24;

    // Scratch of one thread for ForEachPositionsKNearest.
    struct SLeafScratch
    {
        // Candidates: room for the most a leaf shares, and one leaf more written before the count is checked.
        std::vector<float> xs = std::vector<float>(kMaxSharedCandidates + kLeafSize);
        std::vector<float> ys = xs, zs = xs, distances;
        std::vector<uint32_t> indices = std::vector<uint32_t>(kMaxSharedCandidates + kLeafSize), kept;
        size_t count = 0;
        std::vector<uint64_t> top;
        std::vector<std::pair<float, uint32_t>> entries;
        std::vector<SKdTreeNeighbour> neighbours;
        double reach = 0.0; // the last leaf's guess; 0: none
    };

    // Past this many candidates a leaf's positions are searched one by one: sharing no longer pays.
    static constexpr size_t kMaxSharedCandidates = 768;
    // The next leaf's reach, in the farthest k-th distance of the leaf before.
    static constexpr double kReachGrowth = 1.15;
    static constexpr float kKthGrowthSquared = 1.3f;

    // The points within the box [lo, hi] (bounds in double, inclusive), in leaf order; false when there
    // are more than kMaxSharedCandidates of them.
    bool GatherBox(uint32_t at, const double* lo, const double* hi, SLeafScratch& s) const
    {
        const SNode& node = nodes[at];
        if (node.axis == 3)
        {
            const uint32_t count = node.other - node.begin;
            if (s.count + count > kMaxSharedCandidates + kLeafSize)
                return false;
            // Every point is written and kept when inside: no branch to mispredict.
            size_t kept = s.count;
            for (uint32_t i = node.begin; i < node.other; ++i)
            {
                s.xs[kept] = xs[i];
                s.ys[kept] = ys[i];
                s.zs[kept] = zs[i];
                s.indices[kept] = indices[i];
                const bool inside = (xs[i] >= lo[0]) & (xs[i] <= hi[0]) & (ys[i] >= lo[1]) & (ys[i] <= hi[1]) &
                                    (zs[i] >= lo[2]) & (zs[i] <= hi[2]);
                kept += inside ? 1 : 0;
            }
            s.count = kept;
            return kept <= kMaxSharedCandidates;
        }
        // The first child holds coordinates up to divLow along the axis, the second from divHigh on.
        if (lo[node.axis] <= node.divLow && !GatherBox(at + 1, lo, hi, s))
            return false;
        return !(hi[node.axis] >= node.divHigh) || GatherBox(node.other, lo, hi, s);
    }

    // The k nearest of each point of a leaf, from the points in the leaf's box grown by a reach. A
    // point's answer among those candidates is its answer among all points when it has k candidates
    // within the reach; otherwise it is searched alone. The reach only decides how often that
    // happens, never what is found: it is guessed from the leaf before (neighbouring leaves have like
    // neighbourhoods), or taken from a search around the leaf's centre.
    void LeafKNearest(const SNode& leaf, uint32_t k, SLeafScratch& s, const KNearestBody& body) const
    {
        const size_t capacity = std::min<size_t>(k, indices.size());
        s.entries.resize(capacity);
        const auto searchOne = [&](uint32_t i) {
            CKNearestSet set(capacity, std::numeric_limits<double>::infinity(), s.entries.data());
            Search(set, CbVector3f(xs[i], ys[i], zs[i]));
            Emit(indices[i], set, s, body);
        };
        float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX}, hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
        for (uint32_t i = leaf.begin; i < leaf.other; ++i)
        {
            const float c[3] = {xs[i], ys[i], zs[i]};
            for (int a = 0; a < 3; ++a)
            {
                lo[a] = std::min(lo[a], c[a]);
                hi[a] = std::max(hi[a], c[a]);
            }
        }
        if (!(s.reach > 0.0))
            s.reach = ReachAround(lo, hi, leaf, capacity, s);
        const double reach = s.reach;
        const double boxLo[3] = {lo[0] - reach, lo[1] - reach, lo[2] - reach};
        const double boxHi[3] = {hi[0] + reach, hi[1] + reach, hi[2] + reach};
        s.count = 0;
        if (capacity < k || !std::isfinite(reach) || !GatherBox(0, boxLo, boxHi, s))
        {
            for (uint32_t i = leaf.begin; i < leaf.other; ++i)
                searchOne(i);
            s.reach = 0.0;
            return;
        }
        const size_t count = s.count;
        s.distances.resize(count);
        s.kept.resize(count);
        s.top.resize(capacity);
        // A point outside the grown box lies farther than the reach from every point of the leaf, so
        // candidates within the reach (a little less, for float rounding) are all a point needs when
        // it has k of them; with fewer it is searched alone.
        const float within = static_cast<float>(reach * reach * (1.0 - 1e-5));
        double farthest = 0.0;
        bool tooShort = false;
        // Neighbouring points of a leaf have about the same k-th distance: the previous point's, grown a
        // little, usually holds k candidates and keeps far fewer than the leaf's reach, which makes the
        // selection below cheaper. With fewer than k the leaf's reach decides.
        float previousKth = -1.0f;
        const auto keep = [&](float limit) {
            // Gathered without a branch to mispredict.
            size_t kept = 0;
            for (size_t c = 0; c < count; ++c)
            {
                s.kept[kept] = static_cast<uint32_t>(c);
                kept += s.distances[c] <= limit ? 1 : 0;
            }
            return kept;
        };
        for (uint32_t i = leaf.begin; i < leaf.other; ++i)
        {
            const float q[3] = {xs[i], ys[i], zs[i]};
            LeafDistances(s.xs.data(), s.ys.data(), s.zs.data(), count, q, s.distances.data());
            const float guess = previousKth >= 0.0f ? std::min(within, kKthGrowthSquared * previousKth) : within;
            size_t kept = keep(guess);
            if (kept < capacity && guess < within)
                kept = keep(within);
            if (kept < capacity)
            {
                searchOne(i);
                tooShort = true;
                continue;
            }
            // A distance is never negative, so its bits order as the distances do: (distance, index)
            // in one integer, smallest first, the largest dropped by each insertion.
            uint64_t* top = s.top.data();
            std::fill(top, top + capacity, ~uint64_t(0));
            for (size_t w = 0; w < kept; ++w)
            {
                const uint32_t c = s.kept[w];
                uint32_t bits;
                std::memcpy(&bits, &s.distances[c], sizeof bits);
                const uint64_t key = (static_cast<uint64_t>(bits) << 32) | s.indices[c];
                if (key >= top[capacity - 1])
                    continue;
                for (size_t j = capacity - 1; j > 0; --j)
                    top[j] = std::min(top[j], std::max(top[j - 1], key));
                top[0] = std::min(top[0], key);
            }
            float kth;
            const uint32_t kthBits = static_cast<uint32_t>(top[capacity - 1] >> 32);
            std::memcpy(&kth, &kthBits, sizeof kth);
            previousKth = kth;
            farthest = std::max(farthest, std::sqrt(static_cast<double>(kth)));
            s.neighbours.resize(capacity);
            for (size_t j = 0; j < capacity; ++j)
            {
                const uint32_t bits = static_cast<uint32_t>(top[j] >> 32);
                std::memcpy(&s.neighbours[j].fDistanceSqr, &bits, sizeof bits);
                s.neighbours[j].uiIndex = static_cast<uint32_t>(top[j]);
            }
            body(indices[i], s.neighbours.data(), s.neighbours.size());
        }
        s.reach = tooShort ? 0.0 : kReachGrowth * farthest;
    }

    // A reach that holds every point of the leaf's k nearest: the distance from the centre of its box
    // to the farthest of its points plus the distance from there to the centre's k-th nearest.
    double ReachAround(const float* lo, const float* hi, const SNode& leaf, size_t capacity, SLeafScratch& s) const
    {
        const float m[3] = {static_cast<float>(0.5 * (static_cast<double>(lo[0]) + hi[0])),
                            static_cast<float>(0.5 * (static_cast<double>(lo[1]) + hi[1])),
                            static_cast<float>(0.5 * (static_cast<double>(lo[2]) + hi[2]))};
        CKNearestSet around(capacity, std::numeric_limits<double>::infinity(), s.entries.data());
        Search(around, CbVector3f(m[0], m[1], m[2]));
        double spread = 0.0;
        for (uint32_t i = leaf.begin; i < leaf.other; ++i)
        {
            const double d[3] = {static_cast<double>(xs[i]) - m[0], static_cast<double>(ys[i]) - m[1],
                                 static_cast<double>(zs[i]) - m[2]};
            spread = std::max(spread, std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
        }
        return around.Count() == 0 ? 0.0 : spread + std::sqrt(KdTreeBound(around[around.Count() - 1].first));
    }

    static void Emit(uint32_t index, const CKNearestSet& set, SLeafScratch& s, const KNearestBody& body)
    {
        s.neighbours.clear();
        for (size_t j = 0; j < set.Count(); ++j)
            s.neighbours.push_back(SKdTreeNeighbour{set[j].second, set[j].first});
        body(index, s.neighbours.data(), s.neighbours.size());
    }

    template <typename TResultSet>
    void Search(TResultSet& set, const CbVector3f& p) const
    {
        if (nodes.empty())
            return;
        const float query[3] = {p.x, p.y, p.z};
        // The squared distance from the query to the root's box, per axis and in all.
        double dists[3] = {0.0, 0.0, 0.0};
        double distsq = 0.0;
        for (int i = 0; i < 3; ++i)
        {
            const double q = query[i];
            if (q < rootLow[i])
                dists[i] = (q - rootLow[i]) * (q - rootLow[i]);
            if (q > rootHigh[i])
                dists[i] = (q - rootHigh[i]) * (q - rootHigh[i]);
            distsq += dists[i];
        }
        SearchLevel(set, query, 0, distsq, dists);
    }

    // Distances first, in a loop the compiler turns into vector code; then the set's choice.
    template <typename TResultSet>
    void ScanLeaf(TResultSet& set, const float* query, size_t first, size_t count) const
    {
        const float* x = xs.data() + first;
        const float* y = ys.data() + first;
        const float* z = zs.data() + first;
        const uint32_t* index = indices.data() + first;
        float distances[kLeafChunk];
        for (size_t begin = 0; begin < count; begin += kLeafChunk)
        {
            const size_t n = std::min(kLeafChunk, count - begin);
            LeafDistances(x + begin, y + begin, z + begin, n, query, distances);
            set.addLeafPoints(distances, index + begin, n);
        }
    }

    template <typename TResultSet>
    void SearchLevel(TResultSet& set, const float* query, uint32_t at, double mindistsq, double* dists) const
    {
        const SNode& node = nodes[at];
        if (node.axis == 3)
        {
            ScanLeaf(set, query, node.begin, node.other - node.begin);
            return;
        }
        const uint32_t axis = node.axis;
        const double value = query[axis];
        const double diff1 = value - node.divLow;
        const double diff2 = value - node.divHigh;
        uint32_t best;
        uint32_t other;
        double cut;
        if (diff1 + diff2 < 0)
        {
            best = at + 1;
            other = node.other;
            cut = diff2 * diff2;
        }
        else
        {
            best = node.other;
            other = at + 1;
            cut = diff1 * diff1;
        }
        SearchLevel(set, query, best, mindistsq, dists);
        const double saved = dists[axis];
        mindistsq = mindistsq + cut - saved;
        dists[axis] = cut;
        if (mindistsq <= set.worstDist())
            SearchLevel(set, query, other, mindistsq, dists);
        dists[axis] = saved;
    }
};

namespace
{
std::shared_ptr<const std::vector<CbVector3f>> CheckedPositions(std::shared_ptr<const std::vector<CbVector3f>> p)
{
    if (!p)
        ThrowFormattedException(VELM_HERE, "Base::CKdTree3D::CKdTree3D", L"A kd-tree needs a list of positions.");
    // 0xFFFFFFFF answers "none", so it can never be an index.
    if (p->size() >= 0xFFFFFFFFull)
        ThrowFormattedException(VELM_HERE, "Base::CKdTree3D::CKdTree3D",
                                L"A kd-tree holds at most 4294967294 positions, not %llu.",
                                static_cast<unsigned long long>(p->size()));
    for (size_t i = 0; i < p->size(); ++i)
    {
        const CbVector3f& v = (*p)[i];
        if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
            ThrowFormattedException(VELM_HERE, "Base::CKdTree3D::CKdTree3D",
                                    L"Position %llu is not finite (%g, %g, %g).", static_cast<unsigned long long>(i),
                                    static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z));
    }
    return p;
}
} // namespace

CKdTree3D::CKdTree3D(std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool)
    : m_pImpl(std::make_unique<SImpl>(CheckedPositions(std::move(positions)), pool))
{
}

CKdTree3D::~CKdTree3D() = default;

size_t CKdTree3D::GetCount() const
{
    return m_pImpl->spPositions->size();
}

const std::shared_ptr<const std::vector<CbVector3f>>& CKdTree3D::GetPositions() const
{
    return m_pImpl->spPositions;
}

uint32_t CKdTree3D::FindNearest(const CbVector3f& p, float maxDistance, uint32_t) const
{
    double limit = 0.0;
    if (GetCount() == 0 || !IsKdTreeQueryPoint(p) || !KdTreeSquaredLimit(maxDistance, limit))
        return 0xFFFFFFFFu;
    std::pair<float, uint32_t> entry;
    CKNearestSet set(1, limit, &entry);
    m_pImpl->Search(set, p);
    return set.Count() == 0 ? 0xFFFFFFFFu : entry.second;
}

void CKdTree3D::FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                             float maxDistance) const
{
    double limit = 0.0;
    if (k == 0 || GetCount() == 0 || !IsKdTreeQueryPoint(p) || !KdTreeSquaredLimit(maxDistance, limit))
        return;
    const size_t capacity = std::min<size_t>(k, GetCount());
    // Room for the usual small k on the stack; a larger one takes the heap.
    std::pair<float, uint32_t> local[32];
    std::vector<std::pair<float, uint32_t>> heap(capacity > 32 ? capacity : 0);
    CKNearestSet set(capacity, limit, capacity > 32 ? heap.data() : local);
    m_pImpl->Search(set, p);
    for (size_t i = 0; i < set.Count(); ++i)
        result.push_back(SKdTreeNeighbour{set[i].second, set[i].first});
}

void CKdTree3D::ForEachPositionsKNearest(uint32_t k, CThreadPool* pool, const KNearestBody& body) const
{
    if (k == 0 || GetCount() == 0)
        return;
    std::vector<uint32_t> leaves;
    for (uint32_t at = 0; at < m_pImpl->nodes.size(); ++at)
        if (m_pImpl->nodes[at].axis == 3)
            leaves.push_back(at);
    const auto run = [&](size_t begin, size_t end) {
        SImpl::SLeafScratch scratch;
        for (size_t l = begin; l < end; ++l)
            m_pImpl->LeafKNearest(m_pImpl->nodes[leaves[l]], k, scratch, body);
    };
    if (!pool)
        run(0, leaves.size());
    else
        pool->ParallelFor(leaves.size(), 256, [&](size_t begin, size_t end, uint32_t) { run(begin, end); });
}

void CKdTree3D::FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const
{
    double limit = 0.0;
    if (GetCount() == 0 || !IsKdTreeQueryPoint(p) || !KdTreeSquaredLimit(radius, limit))
        return;
    const size_t first = result.size();
    CRadiusSet set(result, limit);
    m_pImpl->Search(set, p);
    std::sort(result.begin() + static_cast<std::ptrdiff_t>(first), result.end());
}
} // namespace Base
