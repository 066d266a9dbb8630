#pragma once

#include <memory>
#include <vector>

namespace DataLayer
{
// A compact CHOLMOD wrapper for sparse symmetric positive definite systems. The matrix is entered
// row by row, keeping only the entries on and left of the diagonal: begin_row() before each row i,
// add_value(col, value) for its entries with col <= i in any order, end_row() after the last row.
// It is then factorised with the supernodal or the simplicial method and solved for one right-hand
// side. Rows can only be appended; each factorize rebuilds the factor from all rows entered so far.
//
// Nothing is thrown (apart from allocation failures of the constructor). Move-only: the object owns
// its CHOLMOD workspace; a moved-from solver owns nothing, ignores entries and answers false.
class CCholmodSolver
{
public:
    CCholmodSolver();
    ~CCholmodSolver();
    CCholmodSolver(const CCholmodSolver&) = delete;
    CCholmodSolver& operator=(const CCholmodSolver&) = delete;
    CCholmodSolver(CCholmodSolver&& other) noexcept;
    CCholmodSolver& operator=(CCholmodSolver&& other) noexcept;

    // Both begin a new row, unless the current row is still empty.
    void begin_row();
    void end_row();
    // Drops entries right of the diagonal (col greater than the current row), negative columns and
    // entries given before the first begin_row().
    void add_value(int col, double value);

    // False for a matrix without entries and when CHOLMOD reports a failure (a matrix that is not
    // positive definite in supernodal mode, a zero pivot in simplicial LDL' mode).
    bool factorize(bool supernodal);
    // Solves A·x = b. False, x untouched, without a successful last factorize or when b's size is
    // not the matrix dimension. x grows to b's size when it is shorter; further elements stay.
    bool solve(std::vector<double>& b, std::vector<double>& x);

private:
    struct SState;

    void delete_matrices();

    std::unique_ptr<SState> m_pState;
};
} // namespace DataLayer
