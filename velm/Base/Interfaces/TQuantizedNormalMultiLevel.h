#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <mutex>

namespace Base
{
struct TQuantizedNormalMultiLevelTraitsFast
{
};

// The 16-bit code of a direction of any length: three sign bits and one of 8128 cells of the
// octant's face x + y + z = 1 (a 127.5-step grid). (0, 0, 0) and directions with a NaN or infinite
// component give 8128 (0x1FC0), "no normal". Of the 8192 cell codes of an octant, 64 are never
// given to a direction, 8128 among them. Components so large or so small that their sum leaves the float range are
// encoded as the same direction scaled to a largest component of 1.
uint16_t EncodeNormal(float x, float y, float z);
inline uint16_t EncodeNormal(const CbVector3f& n)
{
    return EncodeNormal(n.x, n.y, n.z);
}

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
    // Idempotent and safe to call from several threads at once. An entry is the normalised mean of
    // a dense set of directions of its cell, so it lies well inside the cell (about a third of a
    // cell's width from its edges) and encodes back to its code.
    void Create();
    // Decodes a raw code; Create() must have run. Codes no direction gets decode to (0, 0, 0).
    const V& operator[](uint16_t code) const { return m_table[code]; }

    static TQuantizedNormalMultiLevelLUT lut;

private:
    V m_table[65536];
    std::once_flag m_once;
};

extern template class TQuantizedNormalMultiLevelLUT<CbVector3f>;
extern template class TQuantizedNormalMultiLevelLUT<CbVector3d>;
} // namespace Base
