#pragma once

#include <cmath>

// Plain 3-vectors of the base math layer: three public components and nothing else, so that arrays
// of them can be read through raw element accessors with a 12- or 24-byte stride.
template <typename T>
struct TVector3
{
    T x{0};
    T y{0};
    T z{0};

    constexpr TVector3() = default;
    constexpr TVector3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}

    // Conversion between float and double vectors is explicit: a narrowing happens only where asked.
    template <typename U>
    constexpr explicit TVector3(const TVector3<U>& o)
        : x(static_cast<T>(o.x)), y(static_cast<T>(o.y)), z(static_cast<T>(o.z))
    {
    }

    constexpr TVector3 operator+(const TVector3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr TVector3 operator-(const TVector3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr TVector3 operator*(T s) const { return {x * s, y * s, z * s}; }
    constexpr TVector3 operator-() const { return {-x, -y, -z}; }
    TVector3& operator+=(const TVector3& o)
    {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    TVector3& operator-=(const TVector3& o)
    {
        x -= o.x;
        y -= o.y;
        z -= o.z;
        return *this;
    }
    TVector3& operator*=(T s)
    {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }
    constexpr bool operator==(const TVector3& o) const { return x == o.x && y == o.y && z == o.z; }
    constexpr bool operator!=(const TVector3& o) const { return !(*this == o); }

    constexpr T Dot(const TVector3& o) const { return x * o.x + y * o.y + z * o.z; }
    constexpr TVector3 Cross(const TVector3& o) const
    {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
    constexpr T LengthSqr() const { return x * x + y * y + z * z; }
    T Length() const { return std::sqrt(LengthSqr()); }
};

template <typename T>
constexpr TVector3<T> operator*(T s, const TVector3<T>& v)
{
    return v * s;
}

using CbVector3d = TVector3<double>;
using CbVector3f = TVector3<float>;
