#include "velm/Frame/CbException.h"

#include <functional>
#include <thread>

CbException::CbException(const char* file, uint32_t line, const char* function, const CString& message)
    : m_file(file ? file : ""),
      m_line(line),
      m_function(function ? function : ""),
      m_message(message),
      m_threadId(std::hash<std::thread::id>()(std::this_thread::get_id()))
{
}
