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

TEST(PalStrings, WideToUtf8ReplacesLoneSurrogates) {
    const struct {
        std::u16string in;
        std::string utf8;
        bool lossy;
    } cases[] = {
        {u"plain", "plain", false},
        {u"h\u00e9\u20ac", "h\xc3\xa9\xe2\x82\xac", false},
        {u"\U0001F600", "\xf0\x9f\x98\x80", false},                         // surrogate pair
        {std::u16string(1, 0xD800), "\xef\xbf\xbd", true},                  // lone high surrogate
        {std::u16string(1, 0xDC00), "\xef\xbf\xbd", true},                  // lone low surrogate
        {std::u16string{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd", true}, // reversed pair
        {std::u16string{u'a', 0xD83D}, "a\xef\xbf\xbd", true},              // high surrogate at the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        // Explicit length: no NUL is produced.
        const int cch = static_cast<int>(c.in.size());
        BOOL used = 7;
        int need = WideCharToMultiByte(CP_UTF8, 0, c.in.data(), cch, nullptr, 0, nullptr, &used);
        EXPECT_EQ(need, static_cast<int>(c.utf8.size()));
        std::vector<char> out(need + 4, '\xbd');
        used = 7;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.in.data(), cch, out.data(), need, nullptr, &used), need);
        EXPECT_EQ(std::string(out.data(), need), c.utf8);
        EXPECT_EQ(out[need], '\xbd');
        EXPECT_EQ(used, c.lossy ? TRUE : FALSE);
    }
}

TEST(PalStrings, WideToMultiSizesAndErrors) {
    const WCHAR* text = u"h\u00e9llo"; // 1 + 2 + 3 bytes + NUL = 7
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);
    std::vector<char> buf(8, '\xbd');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buf.data(), 7, nullptr, nullptr), 7);
    EXPECT_EQ(std::string(buf.data()), "h\xc3\xa9llo");
    EXPECT_EQ(buf[7], '\xbd');

    auto fails = [&](UINT cp, DWORD flags, const WCHAR* in, int cch, int cbOut) {
        SetLastError(kSentinel);
        EXPECT_EQ(WideCharToMultiByte(cp, flags, in, cch, buf.data(), cbOut, nullptr, nullptr), 0);
        return GetLastError();
    };
    EXPECT_EQ(fails(CP_UTF8, 0, text, -1, 6), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(fails(CP_UTF8, 0, text, 0, 8), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails(CP_UTF8, 0, nullptr, -1, 8), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails(CP_UTF8, 0, text, -1, -1), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails(1252, 0, text, -1, 8), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails(CP_UTF8, 0x1, text, -1, 8), DWORD(ERROR_INVALID_FLAGS));
    // WC_NO_BEST_FIT_CHARS is accepted: UTF-8 has no best-fit mapping.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, nullptr), 7);
}

TEST(PalStrings, Utf8ToWideReplacesEachMaximalInvalidSubpart) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"h\xc3\xa9", u"h\u00e9"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xc3", u"\uFFFD"},                               // truncated 2-byte sequence
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                     // overlong lead byte
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xf0\x9f\x98", u"\uFFFD"},                       // truncated 4-byte sequence
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"a\x80z", u"a\uFFFDz"},                           // stray continuation byte
    };
    for (const auto& [in, want] : cases) {
        SCOPED_TRACE(in);
        const int cb = static_cast<int>(in.size());
        int need = MultiByteToWideChar(CP_UTF8, 0, in.data(), cb, nullptr, 0);
        ASSERT_EQ(need, static_cast<int>(want.size()));
        std::vector<WCHAR> out(need + 1, kFill);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, in.data(), cb, out.data(), need), need);
        EXPECT_EQ(std::u16string(out.data(), need), want);
        EXPECT_EQ(out[need], kFill);
    }
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

TEST(PalStrings, PrintfFollowsTheWideCrt) {
    const WCHAR* nullWide = nullptr;
    EXPECT_EQ(Fmt(u"%s\\%s", u"Software\\Vendor", u"App"), "Software\\Vendor\\App");
    EXPECT_EQ(Fmt(u"%S|%ls|%hs|%ws", "narrow", u"a", "b", u"c"), "narrow|a|b|c");
    EXPECT_EQ(Fmt(u"%S|%s", "h\xc3\xa9", nullWide), "h\xc3\xa9|(null)");
    EXPECT_EQ(Fmt(u"%d|%i|%u", -42, INT_MIN, 4294967295u), "-42|-2147483648|4294967295");
    EXPECT_EQ(Fmt(u"%x/%X|%#x|%#X|%#x|%#o", 0xbeefu, 0xbeefu, 255u, 255u, 0u, 8u),
              "beef/BEEF|0xff|0XFF|0|010");
    EXPECT_EQ(Fmt(u"%5d|%-5d|%05d|%-05d|", 42, 42, 42, 42), "   42|42   |00042|42   |");
    EXPECT_EQ(Fmt(u"%.3d|%.0d|%5.3d", 7, 0, -7), "007|| -007");
    EXPECT_EQ(Fmt(u"%ld|%lu", static_cast<LONG>(-1), static_cast<ULONG>(4000000000u)), "-1|4000000000");
    EXPECT_EQ(Fmt(u"%I64u|%I64x", 18446744073709551615ull, 0x123456789abcdefull),
              "18446744073709551615|123456789abcdef");
    EXPECT_EQ(Fmt(u"%zu|%Iu", static_cast<size_t>(123), static_cast<size_t>(1ull << 40)),
              "123|1099511627776");
    EXPECT_EQ(Fmt(u"%c%c|%C|%lc|%hc", u'A', 0x263A, 'z', u'\u00e9', 'q'), "A\u263A|z|\u00e9|q");
    EXPECT_EQ(Fmt(u"100%%|%.2s|%-4s|%4s|", u"abcdef", u"ab", u"ab"), "100%|ab|ab  |  ab|");
    EXPECT_EQ(Fmt(u"%*d|%-*d|%.*s", 6, 42, 4, 1, 3, u"abcdef"), "    42|1   |abc");
    EXPECT_EQ(Fmt(u"%p", reinterpret_cast<void*>(0x12ab)), "00000000000012AB");
}

TEST(PalStrings, PrintfTruncatesAndReportsInsufficientBuffer) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%s", u"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(buf[5], kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%d", 1234), S_OK); // exact fit
    EXPECT_EQ(std::u16string(buf), u"1234");

    // A key path that does not fit 260 characters fails, as the core expects.
    std::u16string longName(300, u'x');
    WCHAR path[260];
    EXPECT_EQ(StringCchPrintfW(path, 260, u"%s\\%s", u"Software\\Vendor", longName.c_str()),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(lstrlenW(path), 259);

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
