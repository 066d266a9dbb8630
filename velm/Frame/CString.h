#pragma once

#include <cstdarg>
#include <string>

// A wide string value with the formatting conventions of the Windows wide printf family, which the
// library's message and dump formats are written for: in a wide format %s and %c take wide text,
// %S and %C narrow text. Format and AppendFormat have no length limit.
class CString
{
public:
    CString() = default;
    CString(const wchar_t* text) : m_text(text ? text : L"") {}
    CString(std::wstring text) : m_text(std::move(text)) {}

    const wchar_t* GetString() const { return m_text.c_str(); }
    operator const wchar_t*() const { return m_text.c_str(); }
    const std::wstring& Str() const { return m_text; }
    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }

    bool operator==(const CString& o) const { return m_text == o.m_text; }
    bool operator!=(const CString& o) const { return m_text != o.m_text; }
    bool operator==(const wchar_t* o) const { return m_text == (o ? o : L""); }
    CString& operator+=(const CString& o)
    {
        m_text += o.m_text;
        return *this;
    }
    CString& operator+=(const wchar_t* o)
    {
        m_text += (o ? o : L"");
        return *this;
    }

    void Format(const wchar_t* format, ...);
    void AppendFormat(const wchar_t* format, ...);

    // Formats with the Windows conventions into a new string; no length limit.
    static std::wstring FormatV(const wchar_t* format, va_list args);
    // Rewrites a Windows-convention wide format into the C library's (%s -> %ls, %S -> %s, ...).
    static std::wstring TranslateFormat(const wchar_t* format);

private:
    std::wstring m_text;
};
