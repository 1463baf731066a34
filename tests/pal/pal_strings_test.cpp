// Code pages and strsafe printf against Win32 behaviour.
#include "fixtures/PalTest.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace paltest;

constexpr WCHAR kFill = 0xbdbd;

// Each way: the size query, the conversion into exactly that room (nothing written past it), and
// whether a character was replaced.
TEST(PalStrings, ConversionsReplaceWhatTheOtherSideCannotHold) {
    for (const auto& r : paltest::Rows("strings", "conv")) {
        SCOPED_TRACE(r[1]);
        const std::u16string wide = paltest::Wide(r[0]);
        const std::string utf8 = paltest::Raw(r[1]);
        const bool fromWide = r[2] == "1", lossy = r[3] == "1";
        const int cch = static_cast<int>(wide.size()), cb = static_cast<int>(utf8.size());
        if (fromWide) {
            BOOL used = 7;
            ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), cch, nullptr, 0, nullptr, &used), cb);
            std::vector<char> out(cb + 1, '\xbd');
            EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), cch, out.data(), cb, nullptr, &used), cb);
            EXPECT_EQ(std::string(out.data(), cb), utf8);
            EXPECT_EQ(out[cb], '\xbd');
            EXPECT_EQ(used, lossy ? TRUE : FALSE);
        }
        if (!fromWide || !lossy) {
            ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), cb, nullptr, 0), cch);
            std::vector<WCHAR> out(cch + 1, kFill);
            EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, utf8.data(), cb, out.data(), cch), cch);
            EXPECT_EQ(std::u16string(out.data(), cch), wide);
            EXPECT_EQ(out[cch], kFill);
        }
    }
}

TEST(PalStrings, ConversionSizesAndErrors) {
    const WCHAR* text = u"h\u00e9llo"; // 1 + 2 + 3 bytes + NUL = 7
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);
    std::vector<char> buf(8, '\xbd');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buf.data(), 7, nullptr, nullptr), 7);
    EXPECT_EQ(std::string(buf.data()), "h\xc3\xa9llo");
    EXPECT_EQ(buf[7], '\xbd');
    for (const auto& r : paltest::Rows("strings", "w2mb")) {
        const std::u16string in = paltest::Wide(r[2]);
        SetLastError(kSentinel);
        EXPECT_EQ(WideCharToMultiByte(paltest::Num(r[0]), paltest::Num(r[1]), r[2] == "null" ? nullptr : in.c_str(),
                                      int(paltest::Num(r[3])), buf.data(), int(paltest::Num(r[4])), nullptr, nullptr),
                  0);
        EXPECT_EQ(GetLastError(), paltest::Num(r[5])) << r[0] << " " << r[3] << " " << r[4];
    }
    // WC_NO_BEST_FIT_CHARS is accepted: UTF-8 has no best-fit mapping.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, nullptr), 7);
    // -1 counts the NUL; a short buffer fails.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    WCHAR small[3];
    EXPECT_EQ(ErrOf(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 3) != 0),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ErrOf(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, small, 3) != 0),
              DWORD(ERROR_INVALID_PARAMETER));
}

template <typename... A> std::string Fmt(const WCHAR* format, A... args) {
    WCHAR buf[128];
    EXPECT_EQ(StringCchPrintfW(buf, 128, format, args...), S_OK) << vktest::Narrow(format);
    return vktest::Narrow(buf);
}

// %s is wide and %S narrow, as in the wide printf family of the Windows C runtime.
TEST(PalStrings, PrintfFollowsTheWideCrt) {
    const WCHAR* nullWide = nullptr;
    EXPECT_EQ(Fmt(u"%s\\%s", u"Software\\Vendor", u"App"), "Software\\Vendor\\App");
    EXPECT_EQ(Fmt(u"%S|%ls|%hs|%ws|%s", "h\xc3\xa9", u"a", "b", u"c", nullWide), "h\xc3\xa9|a|b|c|(null)");
    EXPECT_EQ(Fmt(u"%d|%i|%u|%x/%X", -42, INT_MIN, 4294967295u, 0xbeefu, 0xbeefu),
              "-42|-2147483648|4294967295|beef/BEEF");
    EXPECT_EQ(Fmt(u"%5d|%-5d|%05d|%.3d|%5.3d", 42, 42, 42, 7, -7), "   42|42   |00042|007| -007");
    EXPECT_EQ(Fmt(u"%ld|%I64u|%zu", static_cast<LONG>(-1), 18446744073709551615ull, static_cast<size_t>(123)),
              "-1|18446744073709551615|123");
    EXPECT_EQ(Fmt(u"100%%|%.2s|%-4s|%4s|%c", u"abcdef", u"ab", u"ab", u'A'), "100%|ab|ab  |  ab|A");
}

TEST(PalStrings, PrintfTruncatesAndRefusesBadArguments) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%s", u"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(buf[5], kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%d", 1234), S_OK); // exact fit
    EXPECT_EQ(std::u16string(buf), u"1234");
    buf[0] = kFill;
    EXPECT_EQ(StringCchPrintfW(buf, 0, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], kFill);
    EXPECT_EQ(StringCchPrintfW(nullptr, 5, u"x"), STRSAFE_E_INVALID_PARAMETER);
    for (const WCHAR* bad : {u"%n", u"%y", u"abc%"}) {
        int n = 0;
        EXPECT_EQ(StringCchPrintfW(buf, 8, bad, &n), STRSAFE_E_INVALID_PARAMETER) << vktest::Narrow(bad);
        EXPECT_EQ(buf[0], 0);
    }
}

} // namespace
