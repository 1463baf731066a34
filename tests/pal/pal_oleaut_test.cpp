// BSTR and SAFEARRAY: the Win64 byte layouts and the Win32 result codes.
#include "VkTest.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <set>

namespace {

uint32_t PrefixOf(BSTR s) {
    uint32_t v;
    memcpy(&v, reinterpret_cast<const char*>(s) - 4, 4);
    return v;
}

DWORD VartypeField(SAFEARRAY* psa) {
    DWORD v;
    memcpy(&v, reinterpret_cast<const char*>(psa) - 4, 4);
    return v;
}

constexpr USHORT kFadfBstr = 0x0100;

TEST(PalOleAut, BstrLayout) {
    BSTR s = SysAllocString(u"abc");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(PrefixOf(s), 6u); // byte length, NUL not counted
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 8, 0u);
    SysFreeString(s);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);

    BSTR part = SysAllocStringLen(u"abcdef", 3);
    EXPECT_EQ(std::u16string(part), u"abc");
    EXPECT_EQ(SysStringLen(part), 3u);
    SysFreeString(part);

    // Embedded NULs are part of the string.
    BSTR embedded = SysAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(SysStringLen(embedded), 3u);
    EXPECT_EQ(embedded[2], u'b');
    SysFreeString(embedded);

    BSTR blank = SysAllocStringLen(nullptr, 5); // contents unset, terminated
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 5u);
    EXPECT_EQ(blank[5], 0);
    SysFreeString(blank);

    BSTR odd = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_EQ(memcmp(odd, "abc\0\0", 5), 0);
    SysFreeString(odd);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(PalOleAut, BstrLengthOverflowFails) {
    for (UINT n : {UINT_MAX, UINT_MAX / 2 + 1, 0x7FFFFFFFu, 0x40000000u}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(SysAllocStringLen(nullptr, n), nullptr);
    }
    EXPECT_EQ(SysAllocStringByteLen(nullptr, UINT_MAX), nullptr);
}

TEST(PalOleAut, VectorLayout) {
    static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, pvData) == 16, "Win64 layout");
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 10);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->cDims, 1);
    EXPECT_EQ(psa->fFeatures, FADF_HAVEVARTYPE);
    EXPECT_EQ(psa->cbElements, 1u);
    EXPECT_EQ(psa->cLocks, 0u);
    EXPECT_EQ(psa->rgsabound[0].cElements, 10u);
    EXPECT_EQ(psa->rgsabound[0].lLbound, 0);
    EXPECT_EQ(VartypeField(psa), static_cast<DWORD>(VT_UI1));
    const unsigned char zero[10] = {};
    EXPECT_EQ(memcmp(psa->pvData, zero, 10), 0);
    VARTYPE vt = 0;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);
    LONG lb = 99, ub = 99;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, 0);
    EXPECT_EQ(ub, 9);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(PalOleAut, ElementSizesPerVartype) {
    struct Case {
        VARTYPE vt;
        UINT size; // 0: not supported
        USHORT features;
    } cases[] = {
        {VT_UI1, 1, FADF_HAVEVARTYPE},
        {2 /*VT_I2*/, 2, FADF_HAVEVARTYPE},
        {VT_BOOL, 2, FADF_HAVEVARTYPE},
        {VT_I4, 4, FADF_HAVEVARTYPE},
        {19 /*VT_UI4*/, 4, FADF_HAVEVARTYPE},
        {5 /*VT_R8*/, 8, FADF_HAVEVARTYPE},
        {20 /*VT_I8*/, 8, FADF_HAVEVARTYPE},
        {VT_BSTR, 8, FADF_HAVEVARTYPE | kFadfBstr},
        {VT_EMPTY, 0, 0},
        {VT_VARIANT, 0, 0},
        {VT_UNKNOWN, 0, 0},
        {0xFFFF, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vt);
        SAFEARRAY* psa = SafeArrayCreateVector(c.vt, 0, 4);
        if (c.size == 0) {
            EXPECT_EQ(psa, nullptr);
            continue;
        }
        ASSERT_NE(psa, nullptr);
        EXPECT_EQ(SafeArrayGetElemsize(psa), c.size);
        EXPECT_EQ(psa->fFeatures, c.features);
        VARTYPE vt = 0;
        EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
}

TEST(PalOleAut, MultiDimensionalBoundsAreStoredReversed) {
    SAFEARRAYBOUND bounds[3] = {{2, 1}, {3, -5}, {4, 10}};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 3, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 3u);
    EXPECT_EQ(psa->rgsabound[0].cElements, 4u); // the last dimension first, as Windows keeps them
    EXPECT_EQ(psa->rgsabound[0].lLbound, 10);
    EXPECT_EQ(psa->rgsabound[2].lLbound, 1);
    struct Dim {
        UINT n;
        LONG lb, ub;
    } dims[] = {{1, 1, 2}, {2, -5, -3}, {3, 10, 13}};
    for (const auto& d : dims) {
        LONG lb = 0, ub = 0;
        EXPECT_EQ(SafeArrayGetLBound(psa, d.n, &lb), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(psa, d.n, &ub), S_OK);
        EXPECT_EQ(lb, d.lb);
        EXPECT_EQ(ub, d.ub);
    }
    LONG v = 1234;
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &v), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 4, &v), DISP_E_BADINDEX);
    EXPECT_EQ(v, 1234);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &v), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, nullptr), E_INVALIDARG);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    memset(data, 0x5a, 2 * 3 * 4 * 4); // all 24 elements are there
    SafeArrayUnaccessData(psa);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(PalOleAut, CreateRejectsOverflowAndBadArguments) {
    SAFEARRAYBOUND big[2] = {{0x10000, 0}, {0x10000, 0}}; // 2^32 elements
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, big), nullptr);
    SAFEARRAYBOUND huge[3] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}}; // wraps 64 bits
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, huge), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(5 /*VT_R8*/, 0, 0x20000000), nullptr); // 4 GiB
    EXPECT_EQ(SafeArrayCreateVector(VT_UI1, 0x7FFFFFFF, 2), nullptr);     // upper bound beyond LONG
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 0, big), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, nullptr), nullptr);
    // The largest upper bound that fits is fine.
    SAFEARRAY* edge = SafeArrayCreateVector(VT_UI1, 0x7FFFFFFE, 2);
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
    void* b = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &a), S_OK);
    EXPECT_EQ(SafeArrayAccessData(psa, &b), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(a, psa->pvData);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayAccessData(nullptr, &a), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    EXPECT_EQ(SafeArrayGetElemsize(nullptr), 0u);
    VARTYPE vt;
    EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
}

TEST(PalOleAut, EmptyVectorAndBstrElements) {
    SAFEARRAY* none = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(none, nullptr);
    LONG ub = 5;
    EXPECT_EQ(SafeArrayGetUBound(none, 1, &ub), S_OK);
    EXPECT_EQ(ub, -1);
    void* p = nullptr;
    EXPECT_EQ(SafeArrayAccessData(none, &p), S_OK);
    EXPECT_NE(p, nullptr); // copying zero bytes from it is safe
    SafeArrayUnaccessData(none);
    SafeArrayDestroy(none);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 3);
    ASSERT_NE(strings, nullptr);
    BSTR* items = nullptr;
    ASSERT_EQ(SafeArrayAccessData(strings, reinterpret_cast<void**>(&items)), S_OK);
    EXPECT_EQ(items[0], nullptr); // elements start empty
    items[0] = SysAllocString(u"one");
    items[2] = SysAllocString(u"three");
    SafeArrayUnaccessData(strings);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK); // frees the strings (checked under the sanitizer build)
}

TEST(PalOleAut, ForeignDescriptors) {
    // A static descriptor (FADF_STATIC) is not ours to free; one without any
    // type information has no vartype.
    unsigned char data[4] = {1, 2, 3, 4};
    SAFEARRAY fixed = {};
    fixed.cDims = 1;
    fixed.fFeatures = FADF_STATIC | FADF_FIXEDSIZE;
    fixed.cbElements = 1;
    fixed.pvData = data;
    fixed.rgsabound[0] = {4, 0};
    VARTYPE vt = 77;
    EXPECT_EQ(SafeArrayGetVartype(&fixed, &vt), E_INVALIDARG);
    EXPECT_EQ(vt, 77);
    EXPECT_EQ(SafeArrayDestroy(&fixed), S_OK);
    EXPECT_EQ(data[3], 4);
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

    GUID g = {};
    EXPECT_EQ(UuidFromStringW(const_cast<RPC_WSTR>(u"9FC4C01C-6b9e-4507-B265-5bb4416d5bc9"), &g), RPC_S_OK);
    EXPECT_TRUE(IsEqualGUID(g, kMutexGuid));
    g = {};
    EXPECT_EQ(CLSIDFromString(u"{9fc4c01c-6B9E-4507-b265-5BB4416D5BC9}", &g), S_OK);
    EXPECT_TRUE(IsEqualGUID(g, kMutexGuid));

    // A null UUID is the nil UUID in both directions.
    ASSERT_EQ(UuidToStringW(nullptr, &s), RPC_S_OK);
    EXPECT_EQ(vktest::Narrow(s), "00000000-0000-0000-0000-000000000000");
    RpcStringFreeW(&s);
    g = kMutexGuid;
    EXPECT_EQ(UuidFromStringW(nullptr, &g), RPC_S_OK);
    EXPECT_TRUE(IsEqualGUID(g, GUID{}));
}

TEST(PalGuid, MalformedTextIsRefused) {
    const char16_t* bad[] = {
        u"",
        u"9fc4c01c-6b9e-4507-b265-5bb4416d5bc",    // short
        u"9fc4c01c-6b9e-4507-b265-5bb4416d5bc9a",  // long
        u"9fc4c01c-6b9e-4507-b265-5bb4416d5bg9",   // not hex
        u"9fc4c01c_6b9e-4507-b265-5bb4416d5bc9",   // separator
        u"{9fc4c01c-6b9e-4507-b265-5bb4416d5bc9}", // braces belong to the OLE form
        u"9fc4c01c-6b9e4507-b265-5bb4416d5bc9-",
    };
    for (const char16_t* s : bad) {
        SCOPED_TRACE(vktest::Narrow(s));
        GUID g = kMutexGuid;
        EXPECT_EQ(UuidFromStringW(const_cast<RPC_WSTR>(s), &g), RPC_S_INVALID_STRING_UUID);
        EXPECT_TRUE(IsEqualGUID(g, kMutexGuid));
    }
    const HRESULT kClassString = static_cast<HRESULT>(0x800401F3);
    for (const char16_t* s : {u"9fc4c01c-6b9e-4507-b265-5bb4416d5bc9", u"{9fc4c01c-6b9e-4507-b265-5bb4416d5bc9",
                              u"{9fc4c01c-6b9e-4507-b265-5bb4416d5bc9}x", u"{}"}) {
        GUID g;
        EXPECT_EQ(CLSIDFromString(s, &g), kClassString) << vktest::Narrow(s);
    }
    EXPECT_EQ(CLSIDFromString(u"{9fc4c01c-6b9e-4507-b265-5bb4416d5bc9}", nullptr), E_INVALIDARG);
}

TEST(PalGuid, CreatedGuidsAreVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        GUID g;
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        RPC_WSTR s = nullptr;
        ASSERT_EQ(UuidToStringW(&g, &s), RPC_S_OK);
        std::string text = vktest::Narrow(s);
        RpcStringFreeW(&s);
        EXPECT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

} // namespace
