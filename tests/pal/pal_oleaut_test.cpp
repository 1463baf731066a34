// BSTR, SAFEARRAY and GUIDs: the Win64 byte layouts and the Win32 result codes.
#include "fixtures/PalTest.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

namespace {

template <typename T> uint32_t Le32Before(T* p) {
    uint32_t v;
    memcpy(&v, reinterpret_cast<const char*>(p) - 4, 4);
    return v;
}

TEST(PalOleAut, BstrLayout) {
    BSTR s = SysAllocString(u"abc");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Le32Before(s), 6u); // byte length before the characters, NUL not counted
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 8, 0u);
    SysFreeString(s);

    BSTR embedded = SysAllocStringLen(u"a\0bcdef", 3); // embedded NULs count; the rest is cut
    EXPECT_EQ(SysStringLen(embedded), 3u);
    EXPECT_EQ(embedded[2], u'b');
    EXPECT_EQ(embedded[3], 0);
    SysFreeString(embedded);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX / 2 + 1), nullptr); // the byte length would overflow
}

TEST(PalOleAut, VectorLayoutPerVartype) {
    static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, pvData) == 16, "Win64 layout");
    for (const auto& r : paltest::Rows("oleaut", "vector")) {
        const VARTYPE type = VARTYPE(paltest::Num(r[0]));
        const UINT size = paltest::Num(r[1]);
        SCOPED_TRACE(type);
        SAFEARRAY* psa = SafeArrayCreateVector(type, 0, 10);
        ASSERT_EQ(psa != nullptr, size != 0);
        if (!psa) continue;
        VARTYPE vt = 0;
        EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
        // The vartype sits before the descriptor, as Windows keeps it.
        EXPECT_EQ(std::vector<ULONG>({psa->cDims, psa->fFeatures, psa->cbElements, SafeArrayGetElemsize(psa),
                                      psa->cLocks, psa->rgsabound[0].cElements,
                                      ULONG(psa->rgsabound[0].lLbound), Le32Before(psa), vt}),
                  std::vector<ULONG>({1, USHORT(paltest::Num(r[2])), size, size, 0, 10, 0, type, type}));
        // Elements start zeroed (BSTRs empty).
        const auto* data = static_cast<uint8_t*>(psa->pvData);
        EXPECT_EQ(vktest::Bytes(data, data + 10 * size), vktest::Bytes(10 * size, 0));
        LONG ub = 99;
        EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
        EXPECT_EQ(ub, 9);
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
    // BSTR elements are freed with the array (checked under the sanitizer build).
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 3);
    BSTR* items = nullptr;
    ASSERT_EQ(SafeArrayAccessData(strings, reinterpret_cast<void**>(&items)), S_OK);
    items[2] = SysAllocString(u"three");
    SafeArrayUnaccessData(strings);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

    SAFEARRAY* none = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(none, nullptr);
    LONG ub = 0;
    EXPECT_EQ(SafeArrayGetUBound(none, 1, &ub), S_OK);
    EXPECT_EQ(ub, -1);
    void* p = nullptr;
    EXPECT_EQ(SafeArrayAccessData(none, &p), S_OK);
    EXPECT_NE(p, nullptr); // copying zero bytes from it is safe
    SafeArrayUnaccessData(none);
    SafeArrayDestroy(none);
}

TEST(PalOleAut, BoundsAreStoredReversedAndOverflowRefused) {
    SAFEARRAYBOUND bounds[3] = {{2, 1}, {3, -5}, {4, 10}};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 3, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 3u);
    EXPECT_EQ(psa->rgsabound[0].cElements, 4u); // the last dimension first, as Windows keeps them
    EXPECT_EQ(psa->rgsabound[0].lLbound, 10);
    EXPECT_EQ(psa->rgsabound[2].lLbound, 1);
    LONG v = 1234;
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &v), S_OK); // dimensions count from the first given
    EXPECT_EQ(v, 2);
    EXPECT_EQ(SafeArrayGetUBound(psa, 4, &v), DISP_E_BADINDEX);
    EXPECT_EQ(v, 2);
    memset(psa->pvData, 0x5a, 2 * 3 * 4 * 4); // all 24 elements are there
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    SAFEARRAYBOUND big[2] = {{0x10000, 0}, {0x10000, 0}}; // 2^32 elements
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, big), nullptr);
    SAFEARRAYBOUND huge[3] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}}; // wraps 64 bits
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, huge), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_UI1, 0x7FFFFFFF, 2), nullptr); // upper bound beyond LONG
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 0, big), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, nullptr), nullptr);
    SAFEARRAY* edge = SafeArrayCreateVector(VT_UI1, 0x7FFFFFFE, 2); // the largest upper bound that fits
    ASSERT_NE(edge, nullptr);
    LONG ub = 0;
    EXPECT_EQ(SafeArrayGetUBound(edge, 1, &ub), S_OK);
    EXPECT_EQ(ub, 0x7FFFFFFF);
    SafeArrayDestroy(edge);
}

TEST(PalOleAut, LockingAndDestroy) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 3);
    ASSERT_NE(psa, nullptr);
    void* a = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &a), S_OK);
    EXPECT_EQ(SafeArrayAccessData(psa, &a), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(a, psa->pvData);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    VARTYPE vt = 77;
    EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
}

// ---- GUIDs ------------------------------------------------------------------

const GUID kMutexGuid = {0x9FC4C01C, 0x6B9E, 0x4507, {0xB2, 0x65, 0x5B, 0xB4, 0x41, 0x6D, 0x5B, 0xC9}};

TEST(PalGuid, TextForms) {
    RPC_WSTR s = nullptr;
    ASSERT_EQ(UuidToStringW(&kMutexGuid, &s), RPC_S_OK);
    EXPECT_EQ(vktest::Narrow(s), "9fc4c01c-6b9e-4507-b265-5bb4416d5bc9");
    EXPECT_EQ(RpcStringFreeW(&s), RPC_S_OK);
    EXPECT_EQ(s, nullptr);

    WCHAR buf[40];
    std::fill(std::begin(buf), std::end(buf), 0xbdbd);
    EXPECT_EQ(StringFromGUID2(kMutexGuid, buf, 40), 39);
    EXPECT_EQ(vktest::Narrow(buf), "{9FC4C01C-6B9E-4507-B265-5BB4416D5BC9}");
    EXPECT_EQ(buf[39], 0xbdbd);
    EXPECT_EQ(StringFromGUID2(kMutexGuid, buf, 38), 0);
}

TEST(PalGuid, CreatedGuidsAreVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        GUID g;
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        RPC_WSTR s = nullptr;
        ASSERT_EQ(UuidToStringW(&g, &s), RPC_S_OK);
        std::string text = vktest::Narrow(s);
        RpcStringFreeW(&s);
        EXPECT_EQ(text[14], '4');
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

} // namespace
