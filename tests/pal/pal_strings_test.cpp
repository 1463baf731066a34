// Code pages and strsafe printf against Win32 behaviour.
#include "fixtures/PalTest.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using paltest::ErrOf;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr WCHAR kFill = 0xbdbd;

// Each way: the size query, the conversion into exactly that room (nothing written past it), and
// whether a character was replaced. Invalid UTF-16 and each maximal invalid UTF-8 subpart become U+FFFD.
TEST(PalStrings, ConversionsReplaceWhatTheOtherSideCannotHold) {
    const struct {
        std::u16string wide;
        std::string utf8;
        bool fromWide; // the direction the pair is checked in; lossless pairs both ways
        bool lossy;
    } cases[] = {
        {u"h\u00e9\u20ac", "h\xc3\xa9\xe2\x82\xac", true, false},
        {u"\U0001F600", "\xf0\x9f\x98\x80", true, false},
        {std::u16string(1, 0xD800), "\xef\xbf\xbd", true, true},                  // lone high surrogate
        {std::u16string{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd", true, true}, // reversed pair
        {std::u16string{u'a', 0xD83D}, "a\xef\xbf\xbd", true, true},              // high surrogate at the end
        {u"\uFFFD", "\xc3", false, false},                                        // truncated 2-byte sequence
        {u"\uFFFD\uFFFD", "\xc0\xaf", false, false},                              // overlong lead byte
        {u"\uFFFD\uFFFD\uFFFD", "\xed\xa0\x80", false, false},                    // encoded surrogate
        {u"\uFFFD", "\xf0\x9f\x98", false, false},                                // truncated 4-byte sequence
        {u"\uFFFD\uFFFD\uFFFD\uFFFD", "\xf4\x90\x80\x80", false, false},          // above U+10FFFF
        {u"a\uFFFDz", "a\x80z", false, false},                                    // stray continuation byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        const int cch = static_cast<int>(c.wide.size()), cb = static_cast<int>(c.utf8.size());
        if (c.fromWide) {
            BOOL used = 7;
            ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, c.wide.data(), cch, nullptr, 0, nullptr, &used), cb);
            std::vector<char> out(cb + 1, '\xbd');
            EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide.data(), cch, out.data(), cb, nullptr, &used), cb);
            EXPECT_EQ(std::string(out.data(), cb), c.utf8);
            EXPECT_EQ(out[cb], '\xbd');
            EXPECT_EQ(used, c.lossy ? TRUE : FALSE);
        }
        if (!c.fromWide || !c.lossy) {
            ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), cb, nullptr, 0), cch);
            std::vector<WCHAR> out(cch + 1, kFill);
            EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.utf8.data(), cb, out.data(), cch), cch);
            EXPECT_EQ(std::u16string(out.data(), cch), c.wide);
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
    const struct {
        UINT cp;
        DWORD flags;
        const WCHAR* in;
        int cch, cbOut;
        DWORD error;
    } cases[] = {{CP_UTF8, 0, text, -1, 6, ERROR_INSUFFICIENT_BUFFER},
                 {CP_UTF8, 0, text, 0, 8, ERROR_INVALID_PARAMETER},
                 {CP_UTF8, 0, nullptr, -1, 8, ERROR_INVALID_PARAMETER},
                 {CP_UTF8, 0, text, -1, -1, ERROR_INVALID_PARAMETER},
                 {1252, 0, text, -1, 8, ERROR_INVALID_PARAMETER},
                 {CP_UTF8, 0x1, text, -1, 8, ERROR_INVALID_FLAGS}};
    for (const auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(WideCharToMultiByte(c.cp, c.flags, c.in, c.cch, buf.data(), c.cbOut, nullptr, nullptr), 0);
        EXPECT_EQ(GetLastError(), c.error) << c.cp << " " << c.cch << " " << c.cbOut;
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
