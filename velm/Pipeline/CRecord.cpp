#include "velm/Pipeline/CRecord.h"

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace Pipeline
{
namespace
{
const CRecord kNull;
const CRecord::Items kNoItems;
const std::vector<CRecord> kNoElements;

template <typename T>
void AppendNumber(std::string& out, T value)
{
    if (!std::isfinite(value))
    {
        out += "null";
        return;
    }
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

void AppendText(std::string& out, const std::string& text)
{
    out += '"';
    for (const char c : text)
    {
        switch (c)
        {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
            {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                out += escape;
            }
            else
                out += c; // UTF-8 passes through unchanged
        }
    }
    out += '"';
}

void NewLine(std::string& out, int indent, int depth)
{
    if (indent < 0)
        return;
    out += '\n';
    out.append(static_cast<size_t>(indent * depth), ' ');
}

void AppendJson(std::string& out, const CRecord& r, int indent, int depth)
{
    switch (r.GetKind())
    {
    case CRecord::EKind::Null: out += "null"; return;
    case CRecord::EKind::Bool: out += r.AsBool() ? "true" : "false"; return;
    case CRecord::EKind::Int: out += std::to_string(r.AsInt()); return;
    case CRecord::EKind::UInt: out += std::to_string(r.AsUInt()); return;
    case CRecord::EKind::Float: AppendNumber(out, static_cast<float>(r.AsDouble())); return;
    case CRecord::EKind::Double: AppendNumber(out, r.AsDouble()); return;
    case CRecord::EKind::Text: AppendText(out, r.AsText()); return;
    case CRecord::EKind::List:
    {
        const std::vector<CRecord>& elements = r.GetElements();
        if (elements.empty())
        {
            out += "[]";
            return;
        }
        // A list of plain values (a matrix row, eigenvalues) stays on one line.
        bool plain = true;
        for (const CRecord& e : elements)
            plain = plain && e.GetKind() != CRecord::EKind::List && e.GetKind() != CRecord::EKind::Map;
        out += '[';
        for (size_t i = 0; i < elements.size(); ++i)
        {
            if (i)
                out += plain && indent >= 0 ? ", " : ",";
            if (!plain)
                NewLine(out, indent, depth + 1);
            AppendJson(out, elements[i], indent, depth + 1);
        }
        if (!plain)
            NewLine(out, indent, depth);
        out += ']';
        return;
    }
    case CRecord::EKind::Map:
    {
        const CRecord::Items& items = r.GetItems();
        if (items.empty())
        {
            out += "{}";
            return;
        }
        out += '{';
        for (size_t i = 0; i < items.size(); ++i)
        {
            if (i)
                out += ',';
            NewLine(out, indent, depth + 1);
            AppendText(out, items[i].first);
            out += indent >= 0 ? ": " : ":";
            AppendJson(out, items[i].second, indent, depth + 1);
        }
        NewLine(out, indent, depth);
        out += '}';
        return;
    }
    }
}

[[noreturn]] void WrongKind(const char* wanted)
{
    throw std::logic_error(std::string("record value is not ") + wanted);
}
} // namespace

CRecord CRecord::List()
{
    CRecord r;
    r.m_value = std::vector<CRecord>();
    return r;
}

CRecord CRecord::Map()
{
    CRecord r;
    r.m_value = Items();
    return r;
}

CRecord CRecord::Measure(double value)
{
    if (!std::isfinite(value) || value == DBL_MAX)
        return CRecord();
    return CRecord(value);
}

bool CRecord::IsNumber() const
{
    const EKind k = GetKind();
    return k == EKind::Int || k == EKind::UInt || k == EKind::Float || k == EKind::Double;
}

CRecord& CRecord::Set(const std::string& key, CRecord value)
{
    Items* items = std::get_if<Items>(&m_value);
    if (!items)
        WrongKind("a map");
    for (auto& item : *items)
        if (item.first == key)
            return item.second = std::move(value);
    items->emplace_back(key, std::move(value));
    return items->back().second;
}

CRecord& CRecord::Append(CRecord value)
{
    std::vector<CRecord>* elements = std::get_if<std::vector<CRecord>>(&m_value);
    if (!elements)
        WrongKind("a list");
    elements->push_back(std::move(value));
    return elements->back();
}

const CRecord* CRecord::Find(const std::string& key) const
{
    if (const Items* items = std::get_if<Items>(&m_value))
        for (const auto& item : *items)
            if (item.first == key)
                return &item.second;
    return nullptr;
}

const CRecord& CRecord::operator[](const std::string& key) const
{
    const CRecord* found = Find(key);
    return found ? *found : kNull;
}

const CRecord::Items& CRecord::GetItems() const
{
    const Items* items = std::get_if<Items>(&m_value);
    return items ? *items : kNoItems;
}

const std::vector<CRecord>& CRecord::GetElements() const
{
    const std::vector<CRecord>* elements = std::get_if<std::vector<CRecord>>(&m_value);
    return elements ? *elements : kNoElements;
}

bool CRecord::AsBool() const
{
    if (const bool* b = std::get_if<bool>(&m_value))
        return *b;
    WrongKind("a boolean");
}

int64_t CRecord::AsInt() const
{
    if (const int64_t* i = std::get_if<int64_t>(&m_value))
        return *i;
    if (const uint64_t* u = std::get_if<uint64_t>(&m_value); u && *u <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(*u);
    WrongKind("an integer within 64-bit signed range");
}

uint64_t CRecord::AsUInt() const
{
    if (const uint64_t* u = std::get_if<uint64_t>(&m_value))
        return *u;
    if (const int64_t* i = std::get_if<int64_t>(&m_value); i && *i >= 0)
        return static_cast<uint64_t>(*i);
    WrongKind("a non-negative integer");
}

double CRecord::AsDouble() const
{
    switch (GetKind())
    {
    case EKind::Int: return static_cast<double>(std::get<int64_t>(m_value));
    case EKind::UInt: return static_cast<double>(std::get<uint64_t>(m_value));
    case EKind::Float: return static_cast<double>(std::get<float>(m_value));
    case EKind::Double: return std::get<double>(m_value);
    default: WrongKind("a number");
    }
}

const std::string& CRecord::AsText() const
{
    if (const std::string* s = std::get_if<std::string>(&m_value))
        return *s;
    WrongKind("a text");
}

std::string CRecord::ToJson(int indent) const
{
    std::string out;
    AppendJson(out, *this, indent, 0);
    return out;
}
} // namespace Pipeline
