#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace Pipeline
{
// An ordered key/value tree: what a registration reports, in one place, for every front end (the
// tool writes it as JSON, the Python module turns it into a dict). A value is null, a boolean, an
// integer, a single- or double-precision number, a text, a list or a map whose keys keep the order
// in which they were added. Single precision is kept apart so that a float setting prints with its
// own shortest digits, not those of its widened double.
class CRecord
{
public:
    enum class EKind
    {
        Null,
        Bool,
        Int,
        UInt,
        Float,
        Double,
        Text,
        List,
        Map
    };
    using Items = std::vector<std::pair<std::string, CRecord>>;

    CRecord() = default;
    CRecord(bool value) : m_value(value) {}
    CRecord(int value) : m_value(static_cast<int64_t>(value)) {}
    CRecord(long value) : m_value(static_cast<int64_t>(value)) {}
    CRecord(long long value) : m_value(static_cast<int64_t>(value)) {}
    CRecord(unsigned value) : m_value(static_cast<uint64_t>(value)) {}
    CRecord(unsigned long value) : m_value(static_cast<uint64_t>(value)) {}
    CRecord(unsigned long long value) : m_value(static_cast<uint64_t>(value)) {}
    CRecord(float value) : m_value(value) {}
    CRecord(double value) : m_value(value) {}
    CRecord(std::string value) : m_value(std::move(value)) {}
    CRecord(const char* value) : m_value(std::string(value)) {}

    static CRecord List();
    static CRecord Map();
    // A measure: null when it has no value (NaN, infinite, or the largest finite double that the
    // engine reports for an error without pairs), else the number.
    static CRecord Measure(double value);

    EKind GetKind() const { return static_cast<EKind>(m_value.index()); }
    bool IsNull() const { return GetKind() == EKind::Null; }
    bool IsNumber() const;

    // Map: sets the key, replacing its value where it exists (keeping its place), else appending.
    // Returns the stored value. Throws std::logic_error on a value that is not a map.
    CRecord& Set(const std::string& key, CRecord value);
    // List: appends. Throws std::logic_error on a value that is not a list.
    CRecord& Append(CRecord value);

    // The value of a key, or null when the map lacks it (or this is not a map).
    const CRecord* Find(const std::string& key) const;
    const CRecord& operator[](const std::string& key) const;
    const Items& GetItems() const;                   // a map's entries; empty otherwise
    const std::vector<CRecord>& GetElements() const; // a list's elements; empty otherwise

    // Throw std::logic_error when the kind does not fit. AsDouble takes any number; AsInt any
    // integer within int64_t.
    bool AsBool() const;
    int64_t AsInt() const;
    uint64_t AsUInt() const;
    double AsDouble() const;
    const std::string& AsText() const;

    // JSON text: indent < 0 writes one line, otherwise nested values one per line, indented by that
    // many blanks per level. Numbers print with the shortest digits that read back to the same value
    // of their precision; a non-finite number prints as null.
    std::string ToJson(int indent = -1) const;

    bool operator==(const CRecord& other) const { return m_value == other.m_value; }
    bool operator!=(const CRecord& other) const { return !(*this == other); }

private:
    std::variant<std::monostate, bool, int64_t, uint64_t, float, double, std::string, std::vector<CRecord>, Items>
        m_value;
};
} // namespace Pipeline
