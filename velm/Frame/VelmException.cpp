#include "velm/Frame/VelmException.h"

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <vector>

namespace
{
std::string ToNarrow(const std::wstring& wide)
{
    std::string out;
    char buffer[MB_LEN_MAX];
    std::mbstate_t state{};
    for (wchar_t c : wide)
    {
        const size_t n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<size_t>(-1))
        {
            out += '?';
            state = std::mbstate_t{};
        }
        else
            out.append(buffer, n);
    }
    return out;
}
} // namespace

VelmException::VelmException(const char* file, uint32_t line, const char* function, const CString& message)
    : CbException(file, line, function, message), m_narrow(ToNarrow(message.Str())), m_wide(message)
{
}

void ThrowFormattedException(const char* file, uint32_t line, const char* function, const wchar_t* format, ...)
{
    if (!format || !std::wcschr(format, L'%'))
        throw VelmException(file, line, function, CString(format));

    // The message buffer holds 8192 wide characters: longer output is cut, not lost entirely.
    constexpr size_t kLimit = 8191;
    va_list args;
    va_start(args, format);
    std::wstring message = CString::FormatV(format, args);
    va_end(args);
    if (message.size() > kLimit)
        message.resize(kLimit);
    throw VelmException(file, line, function, CString(std::move(message)));
}
