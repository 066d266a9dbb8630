#include "velm/Frame/CString.h"
#include "velm/Frame/VelmException.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <string_view>
#include <type_traits>

namespace
{
// The message that ThrowFormattedException raises for the format and arguments.
template <typename... A>
std::wstring Thrown(const wchar_t* format, A... args)
{
    try
    {
        ThrowFormattedException("f", 1, "g", format, args...);
    }
    catch (const VelmException& e)
    {
        return e.GetMessageText().Str();
    }
}
} // namespace

TEST(CString, FormatsWithTheWideConventionsWithoutLengthLimit)
{
    CString s;
    s.Format(L"%s|%S|%c|%C|%d|%%|%5.2f|%-4s|", L"wide", "narrow", L'w', 'n', -7, 3.14159, L"ab");
    EXPECT_STREQ(s.GetString(), L"wide|narrow|w|n|-7|%| 3.14|ab  |");
    s.Format(L"%ls %hs %u %lld", L"l", "h", 4294967295u, -5LL); // explicit sizes keep their meaning
    EXPECT_STREQ(s.GetString(), L"l h 4294967295 -5");

    // Non-ASCII wide text passes through unchanged.
    s.Format(L"rmse=%.2f\u00B5m %s", 12.3, L"\u00E4\u00F6");
    s.AppendFormat(L"+%d", 1);
    s += L"!";
    EXPECT_EQ(std::pair(s.Str(), s.GetLength()), std::pair(std::wstring(L"rmse=12.30\u00B5m \u00E4\u00F6+1!"), 18));
    EXPECT_TRUE(!s.IsEmpty() && CString().IsEmpty() && CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());

    const std::wstring longText(20000, L'x');
    s.Format(L"[%s]", longText.c_str());
    EXPECT_EQ(s.Str(), L"[" + longText + L"]");
}

TEST(VelmException, IsCatchableAsEveryBaseVerbatimWithoutPercentCutAt8191AndConvertedByLocale)
{
    static_assert(std::is_base_of_v<std::exception, VelmException> && std::is_base_of_v<CbException, VelmException> &&
                  std::is_base_of_v<IObject, IException>);
    static_assert(!std::is_base_of<std::exception, XoExceptionNotInvertible>::value,
                  "the inversion error is not a standard exception");
    try
    {
        ThrowFormattedException("velm/x.cpp", 12, "NS::F", L"bad %d", 3);
    }
    catch (const IException& e)
    {
        EXPECT_EQ(std::tuple(std::string(e.GetFilename()), e.GetCodeLine(), std::string(e.GetFunctionName())),
                  std::tuple(std::string("velm/x.cpp"), 12u, std::string("NS::F")));
        EXPECT_STREQ(e.GetClassNameW(), L"VelmException");
        EXPECT_TRUE(e.GetRTTI() == typeid(VelmException));
        const std::unique_ptr<IException> clone = e.Clone();
        const auto* copy = dynamic_cast<const VelmException*>(clone.get());
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(copy->what(), "bad 3");
        EXPECT_EQ(copy->GetThreadID(), e.GetThreadID());
    }
    // The library names its own files from the repository root, wherever the checkout lies.
    static_assert(std::string_view(VelmSourceFile("/home/velm/src/velm/IO/CPlyReader.cpp")) ==
                  "velm/IO/CPlyReader.cpp");
    static_assert(std::string_view(VelmSourceFile("elsewhere.cpp")) == "elsewhere.cpp");

    // No '%': the text is the message and the arguments are ignored.
    EXPECT_EQ(Thrown(L"Radius is NaN, so it is not set.", 42, L"ignored"), L"Radius is NaN, so it is not set.");
    const std::wstring longText(9000, L'a'), exact(8190, L'b');
    EXPECT_EQ(Thrown(L"%s!", longText.c_str()), longText.substr(0, 8191));
    EXPECT_EQ(Thrown(L"%s!", exact.c_str()), exact + L"!"); // exactly 8191 characters fit

    // what() converts with the current locale.
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    const CString message(L"Gr\u00F6\u00DFe \u2260 0");
    std::setlocale(LC_CTYPE, "C");
    const VelmException c("f", 1, "g", message);
    EXPECT_STREQ(c.what(), "Gr??e ? 0");
    EXPECT_TRUE(c.GetWideMessage() == message && c.GetMessageText() == message);
    if (std::setlocale(LC_CTYPE, "C.UTF-8"))
    {
        const VelmException e("f", 1, "g", message);
        EXPECT_STREQ(e.what(), "Gr\xC3\xB6\xC3\x9F"
                               "e \xE2\x89\xA0 0");
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}
