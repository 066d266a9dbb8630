#include "velm/DataLayer/Algorithms/Math/CCholmodSolver.h"

#include "velm/DataLayer/Algorithms/Math/detail/CholmodWorkspace.h"
#include "velm/Frame/CLogger.h"

#include <cholmod.h>

#include <algorithm>
#include <utility>

namespace
{
// The class's channel; the solver reports through return values and writes no records.
[[maybe_unused]] const Logging::CLogger s_logger(L"Velm.CCholmodSolver");
} // namespace

namespace DataLayer
{
struct CCholmodSolver::SState : detail::SCholmodWorkspace
{
    cholmod_sparse* pMatrix = nullptr;
    cholmod_factor* pFactor = nullptr;
    std::vector<double> vecValues;
    std::vector<int> vecRowStarts;
    std::vector<int> vecColumnIndices;
    // -1 until the first row is begun, so that earlier entries are dropped.
    int iCurrentRow = -1;
    bool bSupernodal = false;
    // CHOLMOD resets its status on every call, so the outcome of the last factorize is kept here.
    bool bFactorized = false;
};

CCholmodSolver::CCholmodSolver() : m_pState(std::make_unique<SState>())
{
}

CCholmodSolver::~CCholmodSolver()
{
    if (m_pState)
        delete_matrices();
}

CCholmodSolver::CCholmodSolver(CCholmodSolver&& other) noexcept = default;

CCholmodSolver& CCholmodSolver::operator=(CCholmodSolver&& other) noexcept
{
    if (this != &other)
    {
        if (m_pState)
            delete_matrices();
        m_pState = std::move(other.m_pState);
    }
    return *this;
}

void CCholmodSolver::begin_row()
{
    if (!m_pState)
        return;
    SState& s = *m_pState;
    const int count = static_cast<int>(s.vecValues.size());
    if (!s.vecRowStarts.empty() && s.vecRowStarts.back() == count)
        return;
    s.vecRowStarts.push_back(count);
    s.iCurrentRow = static_cast<int>(s.vecRowStarts.size()) - 1;
}

void CCholmodSolver::end_row()
{
    begin_row();
}

void CCholmodSolver::add_value(int col, double value)
{
    // A negative column would reach CHOLMOD as a row index before the start of the matrix.
    if (!m_pState || col < 0 || col > m_pState->iCurrentRow)
        return;
    m_pState->vecValues.push_back(value);
    m_pState->vecColumnIndices.push_back(col);
}

bool CCholmodSolver::factorize(bool supernodal)
{
    if (!m_pState)
        return false;
    SState& s = *m_pState;
    if (s.vecRowStarts.empty() || s.vecColumnIndices.empty() || s.vecValues.empty())
        return false;

    s.bSupernodal = supernodal;
    delete_matrices();

    cholmod_common* common = &s.common;
    // Only a METIS ordering is tried.
    common->nmethods = 1;
    common->method[0].ordering = CHOLMOD_METIS;
    common->supernodal = supernodal ? CHOLMOD_SUPERNODAL : CHOLMOD_SIMPLICIAL;

    // Row i with its columns 0..i is column i of the upper triangle of the symmetric matrix.
    const size_t dim = s.vecRowStarts.size() - 1;
    s.pMatrix = cholmod_allocate_sparse(dim, dim, s.vecValues.size(), false, true, 1, CHOLMOD_REAL, common);
    if (!s.pMatrix)
        return false;
    std::copy(s.vecRowStarts.begin(), s.vecRowStarts.end(), static_cast<int*>(s.pMatrix->p));
    std::copy(s.vecColumnIndices.begin(), s.vecColumnIndices.end(), static_cast<int*>(s.pMatrix->i));
    std::copy(s.vecValues.begin(), s.vecValues.end(), static_cast<double*>(s.pMatrix->x));

    s.pFactor = cholmod_analyze(s.pMatrix, common);
    if (s.pFactor)
        cholmod_factorize(s.pMatrix, s.pFactor, common);
    // A failed factor (not positive definite in supernodal mode, a zero pivot in LDL' mode) would
    // make solve return inf or NaN as if it had succeeded.
    s.bFactorized = s.pFactor && common->status == CHOLMOD_OK;
    return s.bFactorized;
}

bool CCholmodSolver::solve(std::vector<double>& b, std::vector<double>& x)
{
    if (!m_pState || !m_pState->bFactorized)
        return false;
    SState& s = *m_pState;
    cholmod_common* common = &s.common;

    const size_t n = b.size();
    cholmod_dense* rhs = cholmod_allocate_dense(n, 1, n, CHOLMOD_REAL, common);
    if (!rhs)
        return false;
    std::copy(b.begin(), b.end(), static_cast<double*>(rhs->x));
    cholmod_dense* solution = cholmod_solve(CHOLMOD_A, s.pFactor, rhs, common);
    cholmod_free_dense(&rhs, common);
    if (!solution)
        return false;

    if (x.size() < n)
        x.resize(n);
    std::copy_n(static_cast<const double*>(solution->x), n, x.begin());
    cholmod_free_dense(&solution, common);
    return true;
}

void CCholmodSolver::delete_matrices()
{
    SState& s = *m_pState;
    s.bFactorized = false;
    if (s.pFactor)
        cholmod_free_factor(&s.pFactor, &s.common);
    if (s.pMatrix)
        cholmod_free_sparse(&s.pMatrix, &s.common);
    s.pFactor = nullptr;
    s.pMatrix = nullptr;
}
} // namespace DataLayer
