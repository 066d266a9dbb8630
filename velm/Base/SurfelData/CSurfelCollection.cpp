#include "velm/Base/SurfelData/CSurfelCollection.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/ComputeSampleOrder.h"
#include "velm/Frame/VelmException.h"
#include "velm/Frame/XoMatrix3x3.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Base
{
namespace
{
constexpr const char* c_Constructor = "Base::CSurfelCollection::CSurfelCollection";

using ull = unsigned long long;

// Checks everything before anything is built, so a rejected collection leaves nothing behind.
uint64_t ValidatedCount(const SSurfelData& data, const std::vector<CbVector3f>& positions)
{
    struct SElement
    {
        const wchar_t* name;
        size_t length;
    };
    const SElement elements[] = {
        {L"Normal", data.vecNormals.size()},          {L"NormalCode", data.vecNormalCodes.size()},
        {L"Quality", data.vecQuality.size()},         {L"Weight", data.vecWeight.size()},
        {L"Curvature", data.vecCurvature.size()},     {L"BoundaryFlag", data.vecBoundaryFlags.size()},
        {L"SampleOrder", data.vecSampleOrder.size()},
    };
    const size_t count = positions.size();
    for (const SElement& element : elements)
    {
        if (element.length == 0 || element.length == count)
            continue;
        if (count == 0)
            ThrowFormattedException(VELM_HERE, c_Constructor,
                                    L"Element %s has %llu entries, but the positions are missing.", element.name,
                                    static_cast<ull>(element.length));
        ThrowFormattedException(VELM_HERE, c_Constructor, L"Element %s has %llu entries, but there are %llu positions.",
                                element.name, static_cast<ull>(element.length), static_cast<ull>(count));
    }
    // Indices are 32 bits wide and 0xFFFFFFFF answers "none".
    if (count >= 0xFFFFFFFFull)
        ThrowFormattedException(VELM_HERE, c_Constructor, L"A collection holds at most 4294967294 surfels, not %llu.",
                                static_cast<ull>(count));

    for (size_t i = 0; i < count; ++i)
    {
        const CbVector3f& p = positions[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            ThrowFormattedException(VELM_HERE, c_Constructor, L"Position %llu is not finite (%g, %g, %g).",
                                    static_cast<ull>(i), static_cast<double>(p.x), static_cast<double>(p.y),
                                    static_cast<double>(p.z));
    }

    if (!data.vecSampleOrder.empty())
    {
        std::vector<char> seen(count, 0);
        for (uint32_t index : data.vecSampleOrder)
        {
            if (index >= count)
                ThrowFormattedException(VELM_HERE, c_Constructor,
                                        L"The sample order lists surfel %u, but there are only %llu surfels.", index,
                                        static_cast<ull>(count));
            if (seen[index])
                ThrowFormattedException(VELM_HERE, c_Constructor, L"The sample order lists surfel %u more than once.",
                                        index);
            seen[index] = 1;
        }
    }
    return count;
}

// Centre and principal axes of the positions, each axis one standard deviation long; sums and the
// decomposition in double, the covariance divided by the number of points.
CCovarianceEllipsoid PositionEllipsoid(const std::vector<CbVector3f>& positions)
{
    CCovarianceEllipsoid ellipsoid;
    if (positions.empty())
    {
        ellipsoid.SetSigmaScale(-1.0f);
        return ellipsoid;
    }
    const double n = static_cast<double>(positions.size());
    CbVector3d sum;
    for (const CbVector3f& p : positions)
        sum += CbVector3d(p);
    const CbVector3d centre = sum * (1.0 / n);

    XoMatrix3x3<double> covariance;
    for (const CbVector3f& p : positions)
    {
        const CbVector3d d = CbVector3d(p) - centre;
        const double c[3] = {d.x, d.y, d.z};
        for (int r = 0; r < 3; ++r)
            for (int k = r; k < 3; ++k)
                covariance(r, k) += c[r] * c[k];
    }
    for (int r = 0; r < 3; ++r)
        for (int k = r; k < 3; ++k)
        {
            covariance(r, k) /= n;
            covariance(k, r) = covariance(r, k);
        }

    XoMatrix3x3<double> values;
    XoMatrix3x3<double> vectors;
    covariance.ComputeEVD(values, vectors);
    int rank[3] = {0, 1, 2};
    std::stable_sort(rank, rank + 3, [&](int a, int b) { return values(a, a) > values(b, b); });

    CbVector3d ends[3];
    for (int k = 0; k < 3; ++k)
    {
        const int col = rank[k];
        CbVector3d axis(vectors(0, col), vectors(1, col), vectors(2, col));
        // An eigenvector's sign is arbitrary; fixing it keeps the ellipsoid's points reproducible.
        const double largest = std::fabs(axis.x) >= std::fabs(axis.y)
                                   ? (std::fabs(axis.x) >= std::fabs(axis.z) ? axis.x : axis.z)
                                   : (std::fabs(axis.y) >= std::fabs(axis.z) ? axis.y : axis.z);
        if (largest < 0.0)
            axis = -axis;
        // Rounding can leave a flat direction's variance slightly negative.
        const double sigma = std::sqrt(std::max(values(col, col), 0.0));
        ends[k] = centre + axis * sigma;
    }
    ellipsoid.Set(centre, ends[0], ends[1], ends[2], 1.0f);
    return ellipsoid;
}

class CSurfelCollectionDerivedData final : public ISurfelCollectionDerivedData
{
public:
    CSurfelCollectionDerivedData(std::shared_ptr<const IKdTree3D> tree, const std::vector<CbVector3f>& positions,
                                 std::vector<uint32_t> sampleOrder)
        : m_spKdTree(std::move(tree)),
          m_ellipsoid(PositionEllipsoid(positions)),
          m_vecSampleOrder(sampleOrder.empty() ? ComputeSampleOrder(positions) : std::move(sampleOrder))
    {
        for (const CbVector3f& p : positions)
            m_boundingBox.box.Extend(p);
    }

    const IKdTree3D& GetKdTree() const override { return *m_spKdTree; }
    const XoBoundingBox3D& GetBoundingBox() const override { return m_boundingBox; }
    const CCovarianceEllipsoid& GetCovarianceEllipsoid() const override { return m_ellipsoid; }
    const std::vector<uint32_t>& GetSampleOrder() const override { return m_vecSampleOrder; }

private:
    std::shared_ptr<const IKdTree3D> m_spKdTree;
    XoBoundingBox3D m_boundingBox;
    CCovarianceEllipsoid m_ellipsoid;
    std::vector<uint32_t> m_vecSampleOrder;
};

template <typename Definition, typename T>
TElementAccessRead<Definition> AccessTo(const std::vector<T>& elements)
{
    if (elements.empty())
        return TElementAccessRead<Definition>();
    return TElementAccessRead<Definition>(elements.data(), sizeof(T));
}
} // namespace

CSurfelCollection::CSurfelCollection(SSurfelData data) : m_uiCount(ValidatedCount(data, data.vecPositions))
{
    auto positions = std::make_shared<const std::vector<CbVector3f>>(std::move(data.vecPositions));
    auto tree = std::make_shared<const CKdTree3D>(positions);
    Build(std::move(data), std::move(tree), std::move(positions), nullptr);
}

CSurfelCollection::CSurfelCollection(SSurfelData data, std::shared_ptr<const CKdTree3D> tree, CThreadPool* pool)
    : CSurfelCollection(std::move(data), std::shared_ptr<const IKdTree3D>(tree), tree ? tree->GetPositions() : nullptr,
                        pool)
{
}

CSurfelCollection::CSurfelCollection(SSurfelData data, std::shared_ptr<const IKdTree3D> tree,
                                     std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool)
{
    if (!tree || !positions)
        ThrowFormattedException(VELM_HERE, c_Constructor, L"A collection on a kd-tree needs the tree.");
    if (!data.vecPositions.empty())
        ThrowFormattedException(VELM_HERE, c_Constructor,
                                L"The positions of a collection on a kd-tree are the tree's; %llu more were given.",
                                static_cast<ull>(data.vecPositions.size()));
    m_uiCount = ValidatedCount(data, *positions);
    Build(std::move(data), std::move(tree), std::move(positions), pool);
}

void CSurfelCollection::Build(SSurfelData data, std::shared_ptr<const IKdTree3D> tree,
                              std::shared_ptr<const std::vector<CbVector3f>> positions, CThreadPool* pool)
{
    m_spPositions = std::move(positions);

    const size_t count = !data.vecNormalCodes.empty() ? data.vecNormalCodes.size() : data.vecNormals.size();
    m_vecNormals.resize(count);
    const auto encode = [&](size_t begin, size_t end, uint32_t) {
        for (size_t i = begin; i < end; ++i)
            m_vecNormals[i] = data.vecNormalCodes.empty() ? CQuantizedNormal(EncodeNormal(data.vecNormals[i]))
                                                          : CQuantizedNormal(data.vecNormalCodes[i]);
    };
    if (pool)
        pool->ParallelFor(count, 4096, encode);
    else
        encode(0, count, 0);
    m_vecQuality = std::move(data.vecQuality);
    m_vecWeight = std::move(data.vecWeight);
    m_vecCurvature = std::move(data.vecCurvature);
    m_vecBoundaryFlags = std::move(data.vecBoundaryFlags);

    m_accessPosition = AccessTo<CSCElementDefinitionPosition>(*m_spPositions);
    m_accessNormal = AccessTo<CSCElementDefinitionNormal>(m_vecNormals);
    m_accessQuality = AccessTo<CSCElementDefinitionQuality>(m_vecQuality);
    m_accessWeight = AccessTo<CSCElementDefinitionWeight>(m_vecWeight);
    m_accessCurvature = AccessTo<CSCElementDefinitionCurvature>(m_vecCurvature);
    m_accessBoundaryFlag = AccessTo<CSCElementDefinitionBoundaryFlag>(m_vecBoundaryFlags);

    m_spDerivedData = std::make_shared<const CSurfelCollectionDerivedData>(std::move(tree), *m_spPositions,
                                                                           std::move(data.vecSampleOrder));
}

CSurfelCollection::~CSurfelCollection() = default;

uint64_t CSurfelCollection::GetCount() const
{
    return m_uiCount;
}

const AElementAccessBase* CSurfelCollection::FindElementAccess(const std::type_info& definition) const
{
    const AElementAccessBase* access = nullptr;
    if (definition == typeid(CSCElementDefinitionPosition))
        access = &m_accessPosition;
    else if (definition == typeid(CSCElementDefinitionNormal))
        access = &m_accessNormal;
    else if (definition == typeid(CSCElementDefinitionQuality))
        access = &m_accessQuality;
    else if (definition == typeid(CSCElementDefinitionWeight))
        access = &m_accessWeight;
    else if (definition == typeid(CSCElementDefinitionCurvature))
        access = &m_accessCurvature;
    else if (definition == typeid(CSCElementDefinitionBoundaryFlag))
        access = &m_accessBoundaryFlag;
    return access && access->IsValid() ? access : nullptr;
}

std::shared_ptr<const ISurfelCollectionDerivedData> CSurfelCollection::GetDerivedData() const
{
    return m_spDerivedData;
}
} // namespace Base
