// Code pages, strsafe printf and the lstr helpers against Win32 behaviour.
#include "VkTest.h"
#include "internal/strings.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr WCHAR kFill = 0xbdbd;

std::string Bytes(const std::vector<char>& v, size_t n) { return std::string(v.data(), n); }

// ---- WideCharToMultiByte / MultiByteToWideChar ---------------------------

struct WideCase {
    std::u16string in;
    std::string utf8;
    bool lossy;
};

TEST(PalStrings, WideToUtf8Table) {
    const WideCase cases[] = {
        {u"plain", "plain", false},
        {u"h\u00e9", "h\xc3\xa9", false},
        {u"\u20ac", "\xe2\x82\xac", false},
        {u"\U0001F600", "\xf0\x9f\x98\x80", false},            // surrogate pair
        {std::u16string(1, 0xD800), "\xef\xbf\xbd", true},      // lone high surrogate
        {std::u16string(1, 0xDC00), "\xef\xbf\xbd", true},      // lone low surrogate
        {std::u16string{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd", true}, // reversed pair
        {std::u16string{u'a', 0xD83D}, "a\xef\xbf\xbd", true},  // high surrogate at the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        // Explicit length: no NUL is produced.
        int cch = static_cast<int>(c.in.size());
        SetLastError(kSentinel);
        BOOL used = 7;
        int need = WideCharToMultiByte(CP_UTF8, 0, c.in.data(), cch, nullptr, 0, nullptr, &used);
        EXPECT_EQ(need, static_cast<int>(c.utf8.size()));
        std::vector<char> out(need + 4, '\xbd');
        used = 7;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.in.data(), cch, out.data(), need, nullptr, &used), need);
        EXPECT_EQ(Bytes(out, need), c.utf8);
        EXPECT_EQ(out[need], '\xbd');
        EXPECT_EQ(used, c.lossy ? TRUE : FALSE);
        // The internal conversion agrees.
        EXPECT_EQ(pal::Utf16ToUtf8(c.in.data(), c.in.size()), c.utf8);
    }
}

TEST(PalStrings, WideToMultiSizesAndErrors) {
    const WCHAR* text = u"h\u00e9llo"; // 1 + 2 + 3 bytes + NUL = 7
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);

    std::vector<char> buf(8, '\xbd');
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buf.data(), 6, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    std::fill(buf.begin(), buf.end(), '\xbd');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buf.data(), 7, nullptr, nullptr), 7);
    EXPECT_EQ(std::string(buf.data()), "h\xc3\xa9llo");
    EXPECT_EQ(buf[7], '\xbd');

    struct Bad {
        UINT cp;
        DWORD flags;
        const WCHAR* in;
        int cch;
        int cbOut;
        DWORD error;
    } bad[] = {
        {CP_UTF8, 0, text, 0, 10, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, nullptr, -1, 10, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, text, -2, 10, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, text, -1, -1, ERROR_INVALID_PARAMETER},
        {1252, 0, text, -1, 10, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0x1, text, -1, 10, ERROR_INVALID_FLAGS},
    };
    for (const auto& b : bad) {
        SetLastError(kSentinel);
        char out[16];
        EXPECT_EQ(WideCharToMultiByte(b.cp, b.flags, b.in, b.cch, out, b.cbOut, nullptr, nullptr), 0);
        EXPECT_EQ(GetLastError(), b.error);
    }
    // WC_NO_BEST_FIT_CHARS is accepted: UTF-8 has no best-fit mapping.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, nullptr), 7);
}

TEST(PalStrings, Utf8ToWideReplacesEachMaximalInvalidSubpart) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"plain", u"plain"},
        {"h\xc3\xa9", u"h\u00e9"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xc3", u"\uFFFD"},                                // truncated 2-byte sequence
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // overlong lead byte
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xf0\x9f\x98", u"\uFFFD"},                        // truncated 4-byte sequence
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
        {"\xe2\x82", u"\uFFFD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        int need = MultiByteToWideChar(CP_UTF8, 0, c.in.data(), static_cast<int>(c.in.size()), nullptr, 0);
        ASSERT_EQ(need, static_cast<int>(c.out.size()));
        std::vector<WCHAR> out(need + 1, kFill);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.in.data(), static_cast<int>(c.in.size()), out.data(), need), need);
        EXPECT_EQ(std::u16string(out.data(), need), c.out);
        EXPECT_EQ(out[need], kFill);
        EXPECT_EQ(pal::Utf8ToUtf16(c.in), c.out);
    }
    // -1 counts the NUL; a short buffer fails.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    WCHAR small[3];
    SetLastError(kSentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(kSentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, small, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PalStrings, PasswordsWithDifferentLoneSurrogatesGiveTheSameAnsiBytes) {
    // The backup password is converted to ANSI bytes; unpaired surrogates all
    // become the replacement character, so such passwords convert alike.
    std::u16string a = u"pw";
    a.push_back(0xD800);
    std::u16string b = u"pw";
    b.push_back(0xDBFF);
    char ba[16] = {}, bb[16] = {};
    BOOL ua = FALSE, ub = FALSE;
    int na = WideCharToMultiByte(CP_ACP, 0, a.c_str(), -1, ba, sizeof ba, nullptr, &ua);
    int nb = WideCharToMultiByte(CP_ACP, 0, b.c_str(), -1, bb, sizeof bb, nullptr, &ub);
    ASSERT_EQ(na, 6);
    ASSERT_EQ(na, nb);
    EXPECT_EQ(memcmp(ba, bb, na), 0);
    EXPECT_TRUE(ua);
    EXPECT_TRUE(ub);
}

// ---- StringCchPrintfW -----------------------------------------------------

template <typename... A>
std::u16string Fmt(const WCHAR* format, A... args) {
    WCHAR buf[128];
    std::fill(std::begin(buf), std::end(buf), kFill);
    HRESULT hr = StringCchPrintfW(buf, 128, format, args...);
    EXPECT_EQ(hr, S_OK) << vktest::Narrow(format);
    return buf;
}

TEST(PalStrings, PrintfFollowsTheWideCrt) {
    const WCHAR* nullWide = nullptr;
    struct Case {
        std::u16string got, want;
    } cases[] = {
        {Fmt(u"%s", u"wide"), u"wide"},
        {Fmt(u"%S", "narrow"), u"narrow"},
        {Fmt(u"%ls|%hs|%ws|%hS|%lS", u"a", "b", u"c", "d", u"e"), u"a|b|c|d|e"},
        {Fmt(u"%S", "h\xc3\xa9"), u"h\u00e9"},
        {Fmt(u"%s", nullWide), u"(null)"},
        {Fmt(u"%d|%i", -42, INT_MIN), u"-42|-2147483648"},
        {Fmt(u"%u", 4294967295u), u"4294967295"},
        {Fmt(u"%x/%X", 0xbeefu, 0xbeefu), u"beef/BEEF"},
        {Fmt(u"%08x", 0x1234u), u"00001234"},
        {Fmt(u"%#x|%#X|%#x|%#o", 255u, 255u, 0u, 8u), u"0xff|0XFF|0|010"},
        {Fmt(u"%5d|%-5d|%05d|%-05d|", 42, 42, 42, 42), u"   42|42   |00042|42   |"},
        {Fmt(u"%+d|% d|%+d", 5, 5, -5), u"+5| 5|-5"},
        {Fmt(u"%.3d|%.0d|%5.3d", 7, 0, -7), u"007|| -007"},
        {Fmt(u"%ld|%lu", static_cast<LONG>(-1), static_cast<ULONG>(4000000000u)), u"-1|4000000000"},
        {Fmt(u"%lld", -9000000000ll), u"-9000000000"},
        {Fmt(u"%I64u|%I64x", 18446744073709551615ull, 0x123456789abcdefull), u"18446744073709551615|123456789abcdef"},
        {Fmt(u"%zu|%Iu", static_cast<size_t>(123), static_cast<size_t>(1ull << 40)), u"123|1099511627776"},
        {Fmt(u"%I32d", -3), u"-3"},
        {Fmt(u"%hd|%hu|%hhd", 65535, 65535, 255), u"-1|65535|-1"},
        {Fmt(u"%c%c|%C|%lc|%hc", u'A', 0x263A, 'z', u'\u00e9', 'q'), u"A\u263A|z|\u00e9|q"},
        {Fmt(u"100%%"), u"100%"},
        {Fmt(u"%.2s|%-4s|%4s|", u"abcdef", u"ab", u"ab"), u"ab|ab  |  ab|"},
        {Fmt(u"%.3S", "h\xc3\xa9llo"), u"h\u00e9l"},
        {Fmt(u"%*d|%-*d|%.*s", 6, 42, 4, 1, 3, u"abcdef"), u"    42|1   |abc"},
        {Fmt(u"%*d", -4, 7), u"7   "},
        {Fmt(u"%p", reinterpret_cast<void*>(0x12ab)), u"00000000000012AB"},
        {Fmt(u"%.2f|%e", 3.14159, 1.5), u"3.14|1.500000e+00"},
        {Fmt(u"%s\\%s", u"Software\\Tarnwick Systems Corp.\\Vaultkeep", u"App"),
         u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App"},
    };
    for (const auto& c : cases) EXPECT_EQ(vktest::Narrow(c.got), vktest::Narrow(c.want));
}

TEST(PalStrings, PrintfTruncatesAndReportsInsufficientBuffer) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%s", u"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(buf[5], kFill);

    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 5, u"%d", 1234), S_OK); // exact fit
    EXPECT_EQ(std::u16string(buf), u"1234");

    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 4, u"%8d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"   ");

    // A key path that does not fit 260 characters fails, as the core expects.
    std::u16string longName(300, u'x');
    WCHAR path[260];
    EXPECT_EQ(StringCchPrintfW(path, 260, u"%s\\%s", u"Software\\Vendor", longName.c_str()),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(lstrlenW(path), 259);

    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchPrintfW(buf, 0, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], kFill);
    EXPECT_EQ(StringCchPrintfW(nullptr, 5, u"x"), STRSAFE_E_INVALID_PARAMETER);
    for (const WCHAR* bad : {u"%n", u"%y", u"abc%", u"%Z"}) {
        std::fill(std::begin(buf), std::end(buf), kFill);
        int n = 0;
        EXPECT_EQ(StringCchPrintfW(buf, 8, bad, &n), STRSAFE_E_INVALID_PARAMETER) << vktest::Narrow(bad);
        EXPECT_EQ(buf[0], 0);
    }
}

// ---- strsafe copy, cat, length; lstr ----------------------------------------

TEST(PalStrings, StrsafeCopyCatLength) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), kFill);
    EXPECT_EQ(StringCchCopyW(buf, 4, u"abc"), S_OK);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(StringCchCopyW(buf, 3, u"abc"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(buf[3], 0); // from the first copy; not touched by the second
    EXPECT_EQ(StringCchCopyW(buf, 0, u"abc"), STRSAFE_E_INVALID_PARAMETER);

    std::fill(std::begin(buf), std::end(buf), kFill);
    StringCchCopyW(buf, 8, u"ab");
    EXPECT_EQ(StringCchCatW(buf, 8, u"cd"), S_OK);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(StringCchCatW(buf, 6, u"efg"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    WCHAR unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(StringCchCatW(unterminated, 3, u"x"), STRSAFE_E_INVALID_PARAMETER);

    size_t len = 99;
    EXPECT_EQ(StringCchLengthW(u"hello", 260, &len), S_OK);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(StringCchLengthW(u"hello", 5, &len), STRSAFE_E_INVALID_PARAMETER); // no NUL within 5
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(StringCchLengthW(u"hello", 6, nullptr), S_OK);
    EXPECT_EQ(StringCchLengthW(nullptr, 6, &len), STRSAFE_E_INVALID_PARAMETER);
}

TEST(PalStrings, LstrFunctionsCompareByCodeUnit) {
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
    EXPECT_LT(lstrcmpW(u"abc", u"abd"), 0);
    EXPECT_GT(lstrcmpW(u"abcd", u"abc"), 0);
    // Names compare exactly: case matters and the order is by code unit.
    EXPECT_NE(lstrcmpW(u"App", u"app"), 0);
    EXPECT_LT(lstrcmpW(u"B", u"a"), 0);
    EXPECT_LT(lstrcmpW(nullptr, u"a"), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
}

} // namespace
