#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <mutex>

namespace Base
{
struct TQuantizedNormalMultiLevelTraitsFast
{
};

// The 16-bit code of a unit normal: three sign bits and a cell index into a 127-step triangular grid
// of the positive octant's face x + y + z = 1. The code 8128 (0x1FC0) means "no normal".
uint16_t EncodeNormal(float x, float y, float z);
inline uint16_t EncodeNormal(const CbVector3f& n) { return EncodeNormal(n.x, n.y, n.z); }

template <typename V, int Levels, typename Traits>
struct TQuantizedNormalMultiLevel
{
    uint16_t uiCode = 0;

    TQuantizedNormalMultiLevel() = default;
    explicit TQuantizedNormalMultiLevel(uint16_t code) : uiCode(code) {}
};

using CQuantizedNormal = TQuantizedNormalMultiLevel<CbVector3f, 7, TQuantizedNormalMultiLevelTraitsFast>;
static_assert(sizeof(CQuantizedNormal) == 2, "a normal code is stored in 16 bits");

// Decoding table of the normal codes: for every code the encoder produces a unit vector inside the
// code's cell that encodes back to it; (0, 0, 0) for every code it never produces.
template <typename V>
class TQuantizedNormalMultiLevelLUT
{
public:
    // Idempotent and safe to call from several threads at once.
    void Create();
    // Decodes a raw code; Create() must have run.
    const V& operator[](uint16_t code) const { return m_table[code]; }

    static TQuantizedNormalMultiLevelLUT lut;

private:
    V m_table[65536];
    std::once_flag m_once;
};

extern template class TQuantizedNormalMultiLevelLUT<CbVector3f>;
extern template class TQuantizedNormalMultiLevelLUT<CbVector3d>;
} // namespace Base
