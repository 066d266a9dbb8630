#pragma once

#include <cholmod.h>

#include <cstddef>
#include <memory>
#include <vector>

// Solves sparse symmetric positive definite systems A·X = B with CHOLMOD. The solver hands out an
// empty sparse matrix and a zero dense matrix; the caller fills the sparse matrix column by column
// (upper triangle only), factorises it and solves for the dense matrix, which is overwritten with
// the solution.
//
// The CHOLMOD workspace is shared by the solver and every matrix it created, and is finished when
// the last of them goes: a matrix that outlives its solver, or a solver that is moved, never leaves
// another object with a dangling workspace.
class CSparseCholeskySolver
{
    struct SWorkspace;

public:
    // A dense real matrix in CHOLMOD's column-major layout. Move-only: it owns its CHOLMOD matrix.
    // A moved-from matrix owns nothing and reports 0 rows and columns.
    class DenseMatrix
    {
    public:
        ~DenseMatrix();
        DenseMatrix(const DenseMatrix&) = delete;
        DenseMatrix& operator=(const DenseMatrix&) = delete;
        DenseMatrix(DenseMatrix&& other) noexcept;
        DenseMatrix& operator=(DenseMatrix&& other) noexcept;

        double& operator()(int row, int col) { return Ptr()[m_pDense->d * static_cast<size_t>(col) + row]; }
        double operator()(int row, int col) const { return Ptr()[m_pDense->d * static_cast<size_t>(col) + row]; }

        double* Ptr() const { return m_pDense ? static_cast<double*>(m_pDense->x) : nullptr; }
        int Rows() const { return m_pDense ? static_cast<int>(m_pDense->nrow) : 0; }
        int Cols() const { return m_pDense ? static_cast<int>(m_pDense->ncol) : 0; }
        size_t Size() const { return m_pDense ? m_pDense->d * m_pDense->ncol : 0; }

    private:
        friend class CSparseCholeskySolver;
        DenseMatrix(std::shared_ptr<SWorkspace> workspace, unsigned rows, unsigned cols);
        cholmod_dense* get_dense() { return m_pDense; }
        void release();

        std::shared_ptr<SWorkspace> m_spWorkspace;
        cholmod_dense* m_pDense = nullptr;
    };

    // A symmetric n×n matrix entered column by column: NextVector() before each column j, then
    // AddValue(row, value) for the entries with row <= j in any order. Copies are deep; a moved-from
    // matrix is empty with its dimension kept.
    class SparseMatrix
    {
    public:
        SparseMatrix(const SparseMatrix& other);
        SparseMatrix& operator=(const SparseMatrix& other);
        SparseMatrix(SparseMatrix&& other) noexcept;
        SparseMatrix& operator=(SparseMatrix&& other) noexcept;
        ~SparseMatrix();

        // Begins the next column and answers where its entries start; -1 when the current column
        // is still empty (then no column is begun).
        int NextVector();
        // Throws VelmException for row >= Dim() or before the first NextVector(); drops entries
        // below the diagonal (row greater than the current column).
        void AddValue(unsigned row, double value);
        int Dim() const { return static_cast<int>(m_uiDim); }

    private:
        friend class CSparseCholeskySolver;
        SparseMatrix(std::shared_ptr<SWorkspace> workspace, unsigned dim);
        // Closes the last column and builds the CHOLMOD matrix from the lists; null when the
        // columns begun are not exactly Dim() or CHOLMOD cannot allocate it.
        cholmod_sparse* get_sparse();
        void deallocate_sparse() const;

        unsigned m_uiDim = 0;
        std::shared_ptr<SWorkspace> m_spWorkspace;
        // Lives only inside Factorize: the lists stay the one copy of the entries.
        mutable cholmod_sparse* m_pSparse = nullptr;
        std::vector<int> m_vecColumnStarts;
        std::vector<int> m_vecRowIndices;
        std::vector<double> m_vecValues;
    };

    CSparseCholeskySolver();
    ~CSparseCholeskySolver();
    CSparseCholeskySolver(const CSparseCholeskySolver&) = delete;
    CSparseCholeskySolver& operator=(const CSparseCholeskySolver&) = delete;
    // A moved-from solver owns no workspace and no factor: Factorize and Solve answer false, and
    // creating matrices throws VelmException.
    CSparseCholeskySolver(CSparseCholeskySolver&& other) noexcept;
    CSparseCholeskySolver& operator=(CSparseCholeskySolver&& other) noexcept;

    // All elements 0. Throws VelmException when CHOLMOD cannot provide a rows×cols matrix.
    DenseMatrix CreateDenseMatrix(unsigned rows, unsigned cols);
    SparseMatrix CreateSparseMatrix(unsigned dim);

    // Replaces the factor with that of a; true when CHOLMOD reports success.
    bool Factorize(SparseMatrix& a);
    // Overwrites b with the solution; false (b unchanged) without a successful last Factorize or
    // when b's row count differs from the factor's dimension.
    bool Solve(DenseMatrix& b);

private:
    void release();

    std::shared_ptr<SWorkspace> m_spWorkspace;
    cholmod_factor* m_pFactor = nullptr;
    // CHOLMOD's status is reset by every later call (creating a dense matrix, say), so the outcome
    // of the last Factorize is kept here.
    bool m_bFactorized = false;
};
