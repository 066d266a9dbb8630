#include "velm/DataLayer/Algorithms/Math/CSparseCholeskySolver.h"

#include "velm/DataLayer/Algorithms/Math/detail/CholmodWorkspace.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace
{
// Hosts match the out-of-range report by its location, so it keeps the line it has always had.
constexpr uint32_t kIndexCheckLine = 60;
} // namespace

struct CSparseCholeskySolver::SWorkspace : DataLayer::detail::SCholmodWorkspace
{
};

// ---------------------------------------------------------------------------------------------
// DenseMatrix

CSparseCholeskySolver::DenseMatrix::DenseMatrix(std::shared_ptr<SWorkspace> workspace, unsigned rows, unsigned cols)
    : m_spWorkspace(std::move(workspace))
{
    // Rows() and Cols() answer int, so larger sizes are refused rather than reported wrapped.
    if (rows <= static_cast<unsigned>(INT_MAX) && cols <= static_cast<unsigned>(INT_MAX))
        m_pDense = cholmod_zeros(rows, cols, CHOLMOD_REAL, &m_spWorkspace->common);
    if (!m_pDense)
        ThrowFormattedException(VELM_HERE, "CSparseCholeskySolver::CreateDenseMatrix",
                                L"Cannot create a dense matrix of %u x %u elements", rows, cols);
}

CSparseCholeskySolver::DenseMatrix::~DenseMatrix()
{
    release();
}

CSparseCholeskySolver::DenseMatrix::DenseMatrix(DenseMatrix&& other) noexcept
    : m_spWorkspace(std::move(other.m_spWorkspace)), m_pDense(std::exchange(other.m_pDense, nullptr))
{
}

CSparseCholeskySolver::DenseMatrix& CSparseCholeskySolver::DenseMatrix::operator=(DenseMatrix&& other) noexcept
{
    if (this != &other)
    {
        release();
        m_spWorkspace = std::move(other.m_spWorkspace);
        m_pDense = std::exchange(other.m_pDense, nullptr);
    }
    return *this;
}

void CSparseCholeskySolver::DenseMatrix::release()
{
    if (m_pDense)
        cholmod_free_dense(&m_pDense, &m_spWorkspace->common);
    m_pDense = nullptr;
    m_spWorkspace.reset();
}

// ---------------------------------------------------------------------------------------------
// SparseMatrix

CSparseCholeskySolver::SparseMatrix::SparseMatrix(std::shared_ptr<SWorkspace> workspace, unsigned dim)
    : m_uiDim(dim), m_spWorkspace(std::move(workspace))
{
}

// The cached CHOLMOD matrix exists only inside Factorize, so a copy never shares one.
CSparseCholeskySolver::SparseMatrix::SparseMatrix(const SparseMatrix& other)
    : m_uiDim(other.m_uiDim),
      m_spWorkspace(other.m_spWorkspace),
      m_vecColumnStarts(other.m_vecColumnStarts),
      m_vecRowIndices(other.m_vecRowIndices),
      m_vecValues(other.m_vecValues)
{
}

CSparseCholeskySolver::SparseMatrix& CSparseCholeskySolver::SparseMatrix::operator=(const SparseMatrix& other)
{
    if (this != &other)
    {
        SparseMatrix copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CSparseCholeskySolver::SparseMatrix::SparseMatrix(SparseMatrix&& other) noexcept
    : m_uiDim(other.m_uiDim),
      m_spWorkspace(other.m_spWorkspace),
      m_vecColumnStarts(std::move(other.m_vecColumnStarts)),
      m_vecRowIndices(std::move(other.m_vecRowIndices)),
      m_vecValues(std::move(other.m_vecValues))
{
    other.m_vecColumnStarts.clear();
    other.m_vecRowIndices.clear();
    other.m_vecValues.clear();
}

CSparseCholeskySolver::SparseMatrix& CSparseCholeskySolver::SparseMatrix::operator=(SparseMatrix&& other) noexcept
{
    if (this != &other)
    {
        deallocate_sparse();
        m_uiDim = other.m_uiDim;
        m_spWorkspace = other.m_spWorkspace;
        m_vecColumnStarts = std::move(other.m_vecColumnStarts);
        m_vecRowIndices = std::move(other.m_vecRowIndices);
        m_vecValues = std::move(other.m_vecValues);
        other.m_vecColumnStarts.clear();
        other.m_vecRowIndices.clear();
        other.m_vecValues.clear();
    }
    return *this;
}

CSparseCholeskySolver::SparseMatrix::~SparseMatrix()
{
    deallocate_sparse();
}

int CSparseCholeskySolver::SparseMatrix::NextVector()
{
    const int count = static_cast<int>(m_vecRowIndices.size());
    if (!m_vecColumnStarts.empty() && m_vecColumnStarts.back() == count)
        return -1;
    m_vecColumnStarts.push_back(count);
    return count;
}

void CSparseCholeskySolver::SparseMatrix::AddValue(unsigned row, double value)
{
    if (row >= m_uiDim)
        ThrowFormattedException(VelmSourceFile(__FILE__), kIndexCheckLine,
                                "CSparseCholeskySolver::SparseMatrix::AddValue",
                                L"Index %u exceeds matrix dimensions %i", row, static_cast<int>(m_uiDim));
    // Without a begun column the entry would belong to no column and shift every later one.
    if (m_vecColumnStarts.empty())
        ThrowFormattedException(VELM_HERE, "CSparseCholeskySolver::SparseMatrix::AddValue",
                                L"No column has been begun: call NextVector before adding the value of row %u", row);
    const size_t currentColumn = m_vecColumnStarts.size() - 1;
    if (row > currentColumn)
        return;
    m_vecValues.push_back(value);
    m_vecRowIndices.push_back(static_cast<int>(row));
}

cholmod_sparse* CSparseCholeskySolver::SparseMatrix::get_sparse()
{
    NextVector();
    deallocate_sparse();
    // CHOLMOD reads exactly n + 1 column pointers: any other count (a column left empty, or
    // columns begun beyond n) would make it read past the lists or use a truncated matrix.
    if (!m_spWorkspace || m_vecColumnStarts.size() != static_cast<size_t>(m_uiDim) + 1)
        return nullptr;
    cholmod_common* common = &m_spWorkspace->common;
    m_pSparse = cholmod_allocate_sparse(m_uiDim, m_uiDim, m_vecValues.size(), false, true, 1, CHOLMOD_REAL, common);
    if (!m_pSparse)
        return nullptr;
    std::copy(m_vecColumnStarts.begin(), m_vecColumnStarts.end(), static_cast<int*>(m_pSparse->p));
    std::copy(m_vecRowIndices.begin(), m_vecRowIndices.end(), static_cast<int*>(m_pSparse->i));
    std::copy(m_vecValues.begin(), m_vecValues.end(), static_cast<double*>(m_pSparse->x));
    return m_pSparse;
}

void CSparseCholeskySolver::SparseMatrix::deallocate_sparse() const
{
    if (m_pSparse)
        cholmod_free_sparse(&m_pSparse, &m_spWorkspace->common);
    m_pSparse = nullptr;
}

// ---------------------------------------------------------------------------------------------
// CSparseCholeskySolver

CSparseCholeskySolver::CSparseCholeskySolver() : m_spWorkspace(std::make_shared<SWorkspace>())
{
}

CSparseCholeskySolver::~CSparseCholeskySolver()
{
    release();
}

CSparseCholeskySolver::CSparseCholeskySolver(CSparseCholeskySolver&& other) noexcept
    : m_spWorkspace(std::move(other.m_spWorkspace)),
      m_pFactor(std::exchange(other.m_pFactor, nullptr)),
      m_bFactorized(std::exchange(other.m_bFactorized, false))
{
}

CSparseCholeskySolver& CSparseCholeskySolver::operator=(CSparseCholeskySolver&& other) noexcept
{
    if (this != &other)
    {
        release();
        m_spWorkspace = std::move(other.m_spWorkspace);
        m_pFactor = std::exchange(other.m_pFactor, nullptr);
        m_bFactorized = std::exchange(other.m_bFactorized, false);
    }
    return *this;
}

void CSparseCholeskySolver::release()
{
    if (m_pFactor)
        cholmod_free_factor(&m_pFactor, &m_spWorkspace->common);
    m_pFactor = nullptr;
    m_bFactorized = false;
    m_spWorkspace.reset();
}

CSparseCholeskySolver::DenseMatrix CSparseCholeskySolver::CreateDenseMatrix(unsigned rows, unsigned cols)
{
    if (!m_spWorkspace)
        ThrowFormattedException(VELM_HERE, "CSparseCholeskySolver::CreateDenseMatrix",
                                L"The solver has been moved from and owns no workspace");
    return DenseMatrix(m_spWorkspace, rows, cols);
}

CSparseCholeskySolver::SparseMatrix CSparseCholeskySolver::CreateSparseMatrix(unsigned dim)
{
    if (!m_spWorkspace)
        ThrowFormattedException(VELM_HERE, "CSparseCholeskySolver::CreateSparseMatrix",
                                L"The solver has been moved from and owns no workspace");
    return SparseMatrix(m_spWorkspace, dim);
}

bool CSparseCholeskySolver::Factorize(SparseMatrix& a)
{
    m_bFactorized = false;
    if (!m_spWorkspace)
        return false;
    cholmod_common* common = &m_spWorkspace->common;

    cholmod_sparse* sparse = a.get_sparse();
    if (m_pFactor)
        cholmod_free_factor(&m_pFactor, common);
    if (!sparse)
        return false;

    m_pFactor = cholmod_analyze(sparse, common);
    if (m_pFactor)
        cholmod_factorize(sparse, m_pFactor, common);
    a.deallocate_sparse();

    m_bFactorized = m_pFactor && common->status == CHOLMOD_OK;
    return m_bFactorized;
}

bool CSparseCholeskySolver::Solve(DenseMatrix& b)
{
    if (!m_pFactor || !m_bFactorized)
        return false;
    cholmod_common* common = &m_spWorkspace->common;
    if (common->status != CHOLMOD_OK)
        return false;
    cholmod_dense* rhs = b.get_dense();
    if (!rhs || static_cast<int>(rhs->nrow) != static_cast<int>(m_pFactor->n))
        return false;

    cholmod_dense* solution = cholmod_solve(CHOLMOD_A, m_pFactor, rhs, common);
    if (!solution)
        return false;
    // Column by column, because CHOLMOD may give a 0-row result a leading dimension of 1.
    const double* source = static_cast<const double*>(solution->x);
    double* target = static_cast<double*>(rhs->x);
    for (size_t col = 0; col < rhs->ncol; ++col)
        std::copy_n(source + col * solution->d, rhs->nrow, target + col * rhs->d);
    cholmod_free_dense(&solution, common);
    return common->status == CHOLMOD_OK;
}
