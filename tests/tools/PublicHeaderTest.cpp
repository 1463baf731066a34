/* The C++ helpers of the public header <vaultkeep/vaultkeep.hpp>, against the
 * encodings' published examples (RFC 3629, Unicode's UTF-16 rules). */
#include <vaultkeep/vaultkeep.hpp>

#include <gtest/gtest.h>

// WCHAR text: char16_t here, wchar_t on Windows.
#ifdef _WIN32
#define WTEXT(s) L##s
#else
#define WTEXT(s) u##s
#endif
using WStr = std::basic_string<WCHAR>;

TEST(PublicHeader, Utf8ToUtf16AcceptsValidTextAndRejectsMalformedSequences) {
    struct Case {
        std::string utf8;
        WStr utf16;
    };
    const Case good[] = {
        {"", WTEXT("")},
        {"\xc3\xa9", WTEXT("\u00e9")},
        {"\xe2\x82\xac", WTEXT("\u20ac")},
        {"\xf0\x9d\x84\x9e", WTEXT("\xd834\xdd1e")}, // U+1D11E: a surrogate pair
        {"\xf4\x8f\xbf\xbf", WTEXT("\xdbff\xdfff")}, // U+10FFFF, the last code point
        {std::string("a\0b", 3), WStr(WTEXT("a\0b"), 3)},
    };
    for (const Case& c : good) {
        WStr out;
        EXPECT_TRUE(vaultkeep::Utf8ToUtf16(c.utf8, out)) << c.utf8;
        EXPECT_EQ(out, c.utf16) << c.utf8;
        EXPECT_EQ(vaultkeep::ToUtf8(c.utf16), c.utf8);
    }
    const char* const bad[] = {
        "\x80",             // a lone continuation byte
        "\xc0\x80",         // overlong NUL
        "\xf0\x80\x80\xaf", // overlong '/'
        "\xed\xa0\x80",     // U+D800, a surrogate
        "\xf4\x90\x80\x80", // U+110000, beyond Unicode
        "\xe2\x82",         // truncated
    };
    for (const char* b : bad) {
        WStr out;
        EXPECT_FALSE(vaultkeep::Utf8ToUtf16(b, out))
            << "accepted " << ::testing::PrintToString(std::string(b));
        EXPECT_THROW(vaultkeep::ToUtf16(b), std::invalid_argument);
    }
    // An unpaired surrogate from a wide string becomes U+FFFD.
    EXPECT_EQ(vaultkeep::ToUtf8(WTEXT("x\xd800y\xdc00")), "x\xef\xbf\xbdy\xef\xbf\xbd");
}

TEST(PublicHeader, ByteArraysRoundTripAndWipe) {
    const std::string bytes("\x00\x01\xfe\xff secret", 11);
    vaultkeep::SafeArrayPtr psa = vaultkeep::MakeByteArray(bytes);
    ASSERT_TRUE(psa);
    EXPECT_EQ(SafeArrayGetDim(psa.get()), 1u);
    LONG lb = -1, ub = -1;
    EXPECT_EQ(SafeArrayGetLBound(psa.get(), 1, &lb), 0);
    EXPECT_EQ(SafeArrayGetUBound(psa.get(), 1, &ub), 0);
    EXPECT_EQ(lb, 0);
    EXPECT_EQ(ub, 10);
    EXPECT_EQ(psa.size(), bytes.size());
    std::vector<uint8_t> back = psa.bytes();
    EXPECT_EQ(std::string(back.begin(), back.end()), bytes);
    psa.wipe();
    EXPECT_EQ(psa.bytes(), std::vector<uint8_t>(bytes.size(), 0));

    vaultkeep::Bstr s(SysAllocString(WTEXT("wide")));
    EXPECT_EQ(s.view(), WTEXT("wide"));
    *s.out() = nullptr;
    EXPECT_TRUE(s.view().empty());
}
