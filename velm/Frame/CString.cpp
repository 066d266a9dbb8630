#include "velm/Frame/CString.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <wchar.h>

std::wstring CString::TranslateFormat(const wchar_t* format)
{
    std::wstring out;
    if (!format)
        return out;
    for (const wchar_t* p = format; *p;)
    {
        if (*p != L'%')
        {
            out += *p++;
            continue;
        }
        out += *p++;
        if (*p == L'%')
        {
            out += *p++;
            continue;
        }
        // flags, width, precision
        while (*p && std::wcschr(L"-+ #0123456789.*'", *p))
            out += *p++;
        // Explicit size prefixes keep their C meaning; h before s/c means narrow on both platforms.
        bool explicitSize = false;
        if (*p == L'h' && (p[1] == L's' || p[1] == L'c'))
        {
            ++p;
            out += *p++;
            continue;
        }
        if (*p == L'l' && (p[1] == L's' || p[1] == L'c'))
            explicitSize = true;
        if (*p == L'I' && p[1] == L'6' && p[2] == L'4')
        {
            out += L"ll";
            p += 3;
        }
        while (*p && std::wcschr(L"hlLqjzt", *p))
            out += *p++;
        if (!*p)
            break;
        wchar_t conv = *p++;
        if (!explicitSize)
        {
            if (conv == L's' || conv == L'c')
                out += L'l';
            else if (conv == L'S')
                conv = L's';
            else if (conv == L'C')
                conv = L'c';
        }
        out += conv;
    }
    return out;
}

std::wstring CString::FormatV(const wchar_t* format, va_list args)
{
    const std::wstring fmt = TranslateFormat(format);
    // A memory stream grows as needed, so no message is ever cut here.
    wchar_t* data = nullptr;
    size_t size = 0;
    FILE* stream = open_wmemstream(&data, &size);
    if (!stream)
        throw std::bad_alloc();
    va_list copy;
    va_copy(copy, args);
    std::vfwprintf(stream, fmt.c_str(), copy);
    va_end(copy);
    std::fclose(stream);
    std::wstring result(data ? data : L"", size);
    std::free(data);
    return result;
}

void CString::Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    m_text = FormatV(format, args);
    va_end(args);
}

void CString::AppendFormat(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    m_text += FormatV(format, args);
    va_end(args);
}
