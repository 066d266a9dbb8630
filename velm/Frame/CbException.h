#pragma once

#include "velm/Frame/CString.h"

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>

// Root of the host's object model: run-time type and class name.
class IObject
{
public:
    virtual ~IObject() = default;
    virtual const std::type_info& GetRTTI() const = 0;
    virtual const wchar_t* GetClassNameW() const = 0;
};

// An exception of the host's object model: where it was raised and by which thread.
class IException : public IObject
{
public:
    ~IException() override = default;
    virtual std::unique_ptr<IException> Clone() const = 0;
    virtual const char* GetFilename() const = 0;
    virtual uint32_t GetCodeLine() const = 0;
    virtual const char* GetFunctionName() const = 0;
    virtual uint64_t GetThreadID() const = 0;
};

// The concrete base of every exception the library raises: source location plus a wide message.
class CbException : public IException
{
public:
    CbException(const char* file, uint32_t line, const char* function, const CString& message);
    CbException(const CbException&) = default;
    CbException& operator=(const CbException&) = default;
    ~CbException() override = default;

    const std::type_info& GetRTTI() const override { return typeid(*this); }
    const wchar_t* GetClassNameW() const override { return L"CbException"; }
    std::unique_ptr<IException> Clone() const override { return std::make_unique<CbException>(*this); }
    const char* GetFilename() const override { return m_file.c_str(); }
    uint32_t GetCodeLine() const override { return m_line; }
    const char* GetFunctionName() const override { return m_function.c_str(); }
    uint64_t GetThreadID() const override { return m_threadId; }

    const CString& GetMessageText() const { return m_message; }

private:
    std::string m_file;
    uint32_t m_line;
    std::string m_function;
    CString m_message;
    uint64_t m_threadId;
};

// Raised by the inline 4x4 inversion for a determinant of exactly zero. Deliberately not a
// std::exception: callers that only catch standard exceptions do not swallow it.
class XoExceptionNotInvertible : public CbException
{
public:
    using CbException::CbException;
    const std::type_info& GetRTTI() const override { return typeid(*this); }
    const wchar_t* GetClassNameW() const override { return L"XoExceptionNotInvertible"; }
    std::unique_ptr<IException> Clone() const override { return std::make_unique<XoExceptionNotInvertible>(*this); }
};
