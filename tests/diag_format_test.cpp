// The narrow and wide formatting engines: conversions, flags, limits, and
// never a byte written beyond the buffer.
#include <gtest/gtest.h>
#include "diag/format_engine.h"
#include <string>

namespace {

int FormatInto(char *buffer, int size, const char *format, va_list args)
{
    return FormatText(buffer, size, format, args);
}

int FormatInto(WCHAR *buffer, int size, const WCHAR *format, va_list args)
{
    return FormatTextW(buffer, size, format, args);
}

// Formats into a buffer of `size` characters surrounded by guard characters
// and checks that neither guard was touched and that the count is right.
template <typename C> std::basic_string<C> Guarded(int size, const C *format, va_list args)
{
    constexpr int Guard = 16;
    constexpr C Fill = static_cast<C>(sizeof(C) == 1 ? 0xA5 : 0xA5A5);
    static C raw[4096 + 2 * Guard];
    for (C &c : raw) c = Fill;
    C *buffer = raw + Guard;
    int n = FormatInto(buffer, size, format, args);
    for (int i = 0; i < Guard; ++i) {
        EXPECT_EQ(raw[i], Fill) << "guard before, format " << format;
        EXPECT_EQ(buffer[size + i], Fill) << "guard after, format " << format;
    }
    std::basic_string<C> text(buffer);
    EXPECT_EQ(n, static_cast<int>(text.size())) << "count, format " << format;
    EXPECT_LT(static_cast<int>(text.size()), size > 0 ? size : 1);
    return text;
}

std::string Fmt(int size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Guarded(size, format, args);
    va_end(args);
    return text;
}

std::wstring FmtW(int size, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = Guarded(size, format, args);
    va_end(args);
    return text;
}

constexpr int Big = 256;

}  // namespace

TEST(FormatIntegers, WidthPrecisionAndFill)
{
    EXPECT_EQ(Fmt(Big, "%.4u", 7u), "   7");
    EXPECT_EQ(Fmt(Big, "%04u", 7u), "0007");
    EXPECT_EQ(Fmt(Big, "%0.4u", 7u), "0007");
    EXPECT_EQ(Fmt(Big, "%.6u:%.4u:", 123u, 45u), "   123:  45:");
    EXPECT_EQ(Fmt(Big, "%08.8x", 0xBEEFu), "0000beef");
    EXPECT_EQ(Fmt(Big, "%02.2x", 5u), "05");
    EXPECT_EQ(Fmt(Big, "%3.6d", 42), "    42") << "the larger of width and precision";
    EXPECT_EQ(Fmt(Big, "%10d|", 12345), "     12345|") << "a 0 inside the width is a digit";
    EXPECT_EQ(Fmt(Big, "%2u", 12345u), "12345") << "width never cuts";
    EXPECT_EQ(Fmt(Big, "% 5u", 3u), "    3");
    EXPECT_EQ(Fmt(Big, "%0 5u", 3u), "    3") << "the last fill flag wins";
}

TEST(FormatIntegers, SignedUnsignedHexAnd64Bit)
{
    EXPECT_EQ(Fmt(Big, "%d", -2147483647 - 1), "-2147483648");
    EXPECT_EQ(Fmt(Big, "%u", 0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(Fmt(Big, "%x %X", 0xABCDEFu, 0xABCDEFu), "abcdef ABCDEF");
    EXPECT_EQ(Fmt(Big, "%5d|%05d", -42, -42), "  -42|-0042");
    EXPECT_EQ(Fmt(Big, "%ld %lu %lx", -1, 2u, 255u), "-1 2 ff") << "l changes no integer";
    EXPECT_EQ(Fmt(Big, "%I64x", 0x123456789ABCDEF0ULL), "123456789abcdef0");
    EXPECT_EQ(Fmt(Big, "%I64d", static_cast<long long>(-9223372036854775807LL - 1)),
              "-9223372036854775808");
    EXPECT_EQ(Fmt(Big, "%I64u %d", 18446744073709551615ULL, 7), "18446744073709551615 7")
        << "the 64-bit argument is consumed whole";
    EXPECT_EQ(Fmt(Big, "%016I64X", 0xABCULL), "0000000000000ABC");
}

TEST(FormatEscapes, UnknownConversionsAndBrokenI)
{
    EXPECT_EQ(Fmt(Big, "100%%"), "100???");
    EXPECT_EQ(Fmt(Big, "a%qb"), "a???b");
    EXPECT_EQ(Fmt(Big, "%I32d"), "?%I32?d") << "I and two other characters, then the rest";
    EXPECT_EQ(Fmt(Big, "%Ixy|%d", 5), "?%Ixy?|5") << "no argument is consumed";
    EXPECT_EQ(Fmt(Big, "x%I"), "x?%I?");
    EXPECT_EQ(Fmt(Big, "x%"), "x") << "a lone percent at the end";
    EXPECT_EQ(FmtW(Big, L"50%%"), L"50???");
    EXPECT_EQ(FmtW(Big, L"%I3"), L"?%I3?");
}

TEST(FormatCharsAndStrings, NarrowEngine)
{
    EXPECT_EQ(Fmt(Big, "[%c]", 'A'), "[A]");
    EXPECT_EQ(Fmt(Big, "[%3c]", 'A'), "[  A]");
    EXPECT_EQ(Fmt(Big, "[%1c][%0c]", 'A', 'B'), "[A][B]");
    EXPECT_EQ(Fmt(Big, "[%s]", "abc"), "[abc]");
    EXPECT_EQ(Fmt(Big, "[%6s]", "abc"), "[   abc]");
    EXPECT_EQ(Fmt(Big, "[%06s]", "abc"), "[abc]") << "zero fill gives no fill for strings";
    EXPECT_EQ(Fmt(Big, "[%.2s]", "abc"), "[ab]");
    EXPECT_EQ(Fmt(Big, "[%5.2s]", "abc"), "[   ab]");
    EXPECT_EQ(Fmt(Big, "[%.0s]", "abc"), "[]");
    EXPECT_EQ(Fmt(Big, "[%S]", L"w\x0141z"), "[wAz]") << "wide to narrow keeps the low byte";
    EXPECT_EQ(Fmt(Big, "[%ls]", L"wide"), "[wide]");
    EXPECT_EQ(Fmt(Big, "[%.3S]", L"abcdef"), "[abc]");
    EXPECT_EQ(Fmt(Big, "[%s]", static_cast<const char *>(nullptr)), "[(null)]");
}

TEST(FormatCharsAndStrings, WideEngine)
{
    EXPECT_EQ(FmtW(Big, L"[%c]", L'\x263A'), L"[\x263A]");
    EXPECT_EQ(FmtW(Big, L"[%4c]", L'x'), L"[   x]");
    EXPECT_EQ(FmtW(Big, L"[%s]", L"\x263Ax"), L"[\x263Ax]");
    EXPECT_EQ(FmtW(Big, L"[%S]", "n\xE9"), L"[n\xE9]") << "narrow to wide widens each byte";
    EXPECT_EQ(FmtW(Big, L"[%ls]", L"same"), L"[same]");
    EXPECT_EQ(FmtW(Big, L"[%5.2S]", "narrow"), L"[   na]");
    EXPECT_EQ(FmtW(Big, L"%d.%d.%d.%d", 2, 0, 1, 5), L"2.0.1.5");
    EXPECT_EQ(FmtW(Big, L"%.4u|%08.8x", 7u, 0x1Au), L"   7|0000001a");
    EXPECT_EQ(FmtW(Big, L"[%S]", static_cast<const char *>(nullptr)), L"[(null)]");
}

TEST(FormatDouble, ThreeDecimalsSignsAndWidth)
{
    EXPECT_EQ(Fmt(Big, "%f", 3.14159), "3.142");
    EXPECT_EQ(Fmt(Big, "%f", -2.5), "-2.500");
    EXPECT_EQ(Fmt(Big, "%f", 0.0), "0.000");
    EXPECT_EQ(Fmt(Big, "%f", 0.0005), "0.001") << "rounded half up";
    EXPECT_EQ(Fmt(Big, "%f", -0.25), "-0.250");
    EXPECT_EQ(Fmt(Big, "[%9f]", -1.5), "[   -1.500]");
    EXPECT_EQ(Fmt(Big, "%f", 123456789.0), "123456789.000");
    EXPECT_EQ(Fmt(Big, "%f|%d", 1.0, 9), "1.000|9");
    EXPECT_EQ(Fmt(Big, "%f", 1e20).substr(0, 21), "100000000000000000000");
    EXPECT_EQ(FmtW(Big, L"%f", -10.0625), L"-10.063");
}

TEST(FormatLimits, OutputStopsBeforeTheEnd)
{
    EXPECT_EQ(Fmt(5, "abcdefgh"), "abcd");
    EXPECT_EQ(Fmt(5, "%u", 1234567u), "1234");
    EXPECT_EQ(Fmt(5, "%20u", 1u), "    ");
    EXPECT_EQ(Fmt(5, "%s", "long string"), "long");
    EXPECT_EQ(Fmt(5, "%30s", "x"), "    ");
    EXPECT_EQ(Fmt(5, "%f", -123.456), "-123");
    EXPECT_EQ(Fmt(5, "%%%%%%"), "????");
    EXPECT_EQ(Fmt(5, "%I12"), "?%I1");
    EXPECT_EQ(Fmt(5, "%99999999999c", 'x'), "    ") << "absurd widths are capped";
    EXPECT_EQ(Fmt(1, "abc"), "");
    EXPECT_EQ(FmtW(4, L"%S", "abcdef"), L"abc");
    EXPECT_EQ(FmtW(4, L"%08x", 1u), L"000");

    // Size 0: nothing at all is written.
    char one[2] = {'Q', 'R'};
    EXPECT_EQ(FormatTextF(one, 0, "abc"), 0);
    EXPECT_EQ(one[0], 'Q');
    EXPECT_EQ(FormatTextF(nullptr, 10, "abc"), 0);
}

TEST(FormatLimits, BufferIsClearedFirst)
{
    char buffer[16];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(FormatTextF(buffer, sizeof buffer, "ab"), 2);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST(FormatSafety, UnreadableArgumentsAreReportedNotDereferenced)
{
    // A committed page made unreadable stands for a wild string pointer.
    BYTE *page = static_cast<BYTE *>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old));

    char out[64];
    bool bad = false;
    auto checked = [&](const char *format, ...) {
        va_list args;
        va_start(args, format);
        int n = FormatTextChecked(out, sizeof out, format, args, &bad);
        va_end(args);
        return n;
    };
    checked("x%sy", reinterpret_cast<const char *>(page + 4096));
    EXPECT_TRUE(bad);
    EXPECT_STREQ(out, "x");

    // A string that runs up to the unreadable page without a terminator.
    memset(page + 4096 - 3, 'k', 3);
    checked("[%s]", reinterpret_cast<const char *>(page + 4096 - 3));
    EXPECT_TRUE(bad);
    // Its terminator just before the page is fine.
    page[4095] = 0;
    checked("[%s]", reinterpret_cast<const char *>(page + 4096 - 3));
    EXPECT_FALSE(bad);
    EXPECT_STREQ(out, "[kk]");
    // The same text capped by precision is read only as far as needed.
    memset(page + 4096 - 3, 'k', 3);
    checked("[%.3s]", reinterpret_cast<const char *>(page + 4096 - 3));
    EXPECT_FALSE(bad);
    EXPECT_STREQ(out, "[kkk]");

    // An unreadable format.
    checked(reinterpret_cast<const char *>(page + 4096));
    EXPECT_TRUE(bad);
    EXPECT_STREQ(out, "");
    checked(nullptr);
    EXPECT_TRUE(bad);

    VirtualFree(page, 0, MEM_RELEASE);
}
