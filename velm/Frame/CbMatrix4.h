#pragma once

#include "velm/Frame/CbException.h"
#include "velm/Frame/CbVector3.h"

// Homogeneous 4x4 matrices in the row-vector convention: a point (x, y, z, 1) is multiplied from the
// left, the translation sits in e12..e14, and A * B applies A first and then B.
template <typename T>
struct TMatrix4R
{
    alignas(16) T e[16];

    constexpr TMatrix4R() : e{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

    template <typename U>
    constexpr explicit TMatrix4R(const TMatrix4R<U>& o) : e{}
    {
        for (int i = 0; i < 16; ++i)
            e[i] = static_cast<T>(o.e[i]);
    }

    static constexpr TMatrix4R Identity() { return TMatrix4R(); }
    static constexpr TMatrix4R Translation(T x, T y, T z)
    {
        TMatrix4R m;
        m.e[12] = x;
        m.e[13] = y;
        m.e[14] = z;
        return m;
    }

    // The same motion in the usual layout, which maps a column vector p to M p (rotation in the upper
    // left, translation in the last column): M is the transpose of e, M(row, col) = e[4 * col + row].
    constexpr T Usual(int row, int col) const { return e[4 * col + row]; }
    static constexpr TMatrix4R FromUsual(const T* rows) // 16 numbers, row by row
    {
        TMatrix4R m;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m.e[4 * c + r] = rows[4 * r + c];
        return m;
    }

    T& operator[](int i) { return e[i]; }
    const T& operator[](int i) const { return e[i]; }

    TMatrix4R operator*(const TMatrix4R& b) const
    {
        TMatrix4R r;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                r.e[4 * i + j] = ((e[4 * i] * b.e[j] + e[4 * i + 1] * b.e[4 + j]) + e[4 * i + 2] * b.e[8 + j]) +
                                 e[4 * i + 3] * b.e[12 + j];
        return r;
    }

    bool operator==(const TMatrix4R& b) const
    {
        for (int i = 0; i < 16; ++i)
            if (e[i] != b.e[i])
                return false;
        return true;
    }
    bool operator!=(const TMatrix4R& b) const { return !(*this == b); }

    // Maps a point as (x, y, z, 1) and divides by w.
    TVector3<T> TransformPoint(const TVector3<T>& p) const
    {
        const T x = ((p.x * e[0] + p.y * e[4]) + p.z * e[8]) + e[12];
        const T y = ((p.x * e[1] + p.y * e[5]) + p.z * e[9]) + e[13];
        const T z = ((p.x * e[2] + p.y * e[6]) + p.z * e[10]) + e[14];
        const T w = ((p.x * e[3] + p.y * e[7]) + p.z * e[11]) + e[15];
        return {x / w, y / w, z / w};
    }

    T Determinant() const
    {
        T inv[16];
        return Cofactors(inv);
    }

    TMatrix4R Inverted() const
    {
        TMatrix4R m = *this;
        m.Invert();
        return m;
    }

    // Inverts in place. A determinant of exactly zero throws and leaves the matrix as it was; a NaN
    // determinant is not zero, so it inverts into NaN elements.
    void Invert()
    {
        T inv[16];
        const T det = Cofactors(inv);
        if (det == T(0))
            throw XoExceptionNotInvertible("velm/Frame/CbMatrix4.h", 1437,
                                           "CbMatrixInternal::XoBaseMatrix4x4<class CbMatrix4Rd>::Invert",
                                           CString(L"Matrix is not invertible."));
        const T r = T(1) / det;
        for (int i = 0; i < 16; ++i)
            e[i] = inv[i] * r;
    }

private:
    // Adjugate (transposed cofactors) into inv; returns the determinant.
    T Cofactors(T* inv) const
    {
        const T* m = e;
        inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
                 m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
        inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
                 m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
        inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
                 m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
        inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
                  m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
        inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
                 m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
        inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
                 m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
        inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
                 m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
        inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
                  m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
        inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
                 m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
        inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
                 m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
        inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
                  m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
        inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
                  m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
        inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
                 m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
        inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
                 m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
        inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
                  m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
        inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
                  m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
        return m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    }
};

using CbMatrix4Rd = TMatrix4R<double>;
using CbMatrix4Rf = TMatrix4R<float>;
