#pragma once

#include "velm/Frame/CbException.h"

#include <exception>
#include <string>

// The library's exception: a CbException that standard code can also catch as std::exception.
// what() is the message in the narrow encoding of the current C locale, '?' for what does not convert.
class VelmException : public CbException, public std::exception
{
public:
    VelmException(const char* file, uint32_t line, const char* function, const CString& message);
    VelmException(const VelmException&) = default;
    VelmException& operator=(const VelmException&) = default;
    ~VelmException() override = default;

    const char* what() const noexcept override { return m_narrow.c_str(); }
    const std::type_info& GetRTTI() const override { return typeid(*this); }
    const wchar_t* GetClassNameW() const override { return L"VelmException"; }
    std::unique_ptr<IException> Clone() const override { return std::make_unique<VelmException>(*this); }

    // The message as given, independent of the locale.
    const CString& GetWideMessage() const { return m_wide; }

private:
    std::string m_narrow;
    CString m_wide;
};

// The call site as the library reports it: the source file relative to the repository root
// ("velm/IO/CPlyReader.cpp", whatever the build's path to it) and the line. Every exception whose
// location the library chooses is raised with it; only a location the interface fixes is written out.
#define VELM_HERE ::VelmSourceFile(__FILE__), static_cast<uint32_t>(__LINE__)

constexpr const char* VelmSourceFile(const char* path)
{
    const char* relative = path;
    for (const char* p = path; *p; ++p)
        if (p[0] == '/' && p[1] == 'v' && p[2] == 'e' && p[3] == 'l' && p[4] == 'm' && p[5] == '/')
            relative = p + 1;
    return relative;
}

// Formats a wide printf-style message (Windows conventions: %s takes wide text) and throws it as a
// VelmException. A format without '%' is used verbatim; a longer message is cut at 8191 characters.
[[noreturn]] void ThrowFormattedException(const char* file, uint32_t line, const char* function, const wchar_t* format,
                                          ...);
