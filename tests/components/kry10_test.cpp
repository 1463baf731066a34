/* The crypto library against published vectors, its cipher contract and its stream bounds. */
#include <gtest/gtest.h>
#include "platform/Kry10.h"

#ifdef _WIN32
#include <gcrypt.h> // the reference there; the library itself is reached only through its calls
#else
#include <openssl/evp.h>
#endif

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Hex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<BYTE>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<BYTE>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

class Kry10 : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(KRY_Initialize(), KRY_OK); }
    void TearDown() override { EXPECT_EQ(KRY_Uninitialize(), KRY_OK); }

    Bytes key = Pattern(32, 1);
    Bytes iv = Bytes(32, 0);

    /* Runs the cipher over data into growing storage; returns the status and fills out. */
    LONG Run(bool encrypt, const Bytes& k, const Bytes& ivBuf, const Bytes& data, Bytes& out) {
        KRY_STREAM in = nullptr, o = nullptr;
        KRY_CIPHER c = nullptr;
        EXPECT_EQ(KRY_StreamCreateOnBuffer(const_cast<BYTE*>(data.data()), static_cast<DWORD>(data.size()),
                                           KRY_STREAM_READ, &in),
                  KRY_OK);
        EXPECT_EQ(KRY_StreamCreateOnBuffer(nullptr, 0, KRY_STREAM_WRITE, &o), KRY_OK);
        EXPECT_EQ(KRY_AesCreate(0, 1, k.data(), 32, ivBuf.data(), 32, &c), KRY_OK);
        LONG r = encrypt ? KRY_AesEncrypt(c, in, o) : KRY_AesDecrypt(c, in, o);
        ULONGLONG len = 12345;
        EXPECT_EQ(KRY_StreamLength(o, &len), KRY_OK);
        out.assign(static_cast<size_t>(len), 0);
        EXPECT_EQ(KRY_StreamSeek(o, 0, 0), KRY_OK);
        if (len) {
            EXPECT_EQ(KRY_StreamRead(o, out.data(), static_cast<DWORD>(len), 0, static_cast<DWORD>(len)),
                      static_cast<LONG>(len));
        }
        EXPECT_EQ(KRY_AesDestroy(c), KRY_OK);
        EXPECT_EQ(KRY_StreamDestroy(o), KRY_OK);
        EXPECT_EQ(KRY_StreamDestroy(in), KRY_OK);
        return r;
    }
    Bytes Enc(const Bytes& plain) {
        Bytes out;
        EXPECT_EQ(Run(true, key, iv, plain, out), KRY_OK);
        return out;
    }
};

/* RFC 7914's PBKDF2-HMAC-SHA256 vectors; an empty password as the reference computes it; bad arguments. */
TEST_F(Kry10, Pbkdf2MatchesTheReferenceAndRefusesBadArguments) {
    const std::pair<std::string, std::string> cases[] = {
        {"passwd",
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b39d77ef31"
         "7c71b845b1e30bd509112041d3a19783"},
        {"Password",
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b51c9b3"
         "176a272bdebba1d078478f62b397f33c8d"}};
    for (const auto& [password, dk] : cases) {
        Bytes pw = Text(password), salt = Text(password == "passwd" ? "salt" : "NaCl"), out(64, 0xEE);
        ASSERT_EQ(KRY_Pbkdf2Compute(pw.data(), (LONG)pw.size(), salt.data(), (LONG)salt.size(),
                                    password == "passwd" ? 1 : 80000, out.data(), 64),
                  KRY_OK);
        EXPECT_EQ(out, Hex(dk)) << password;
    }
    Bytes pw = Text("pw"), salt = Pattern(32, 9), expect(32), viaNull(32), out(32, 0x5A);
#ifdef _WIN32
    ASSERT_TRUE(gcry_check_version(nullptr));
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    static const unsigned char none = 0;
    ASSERT_EQ(
        gcry_kdf_derive(&none, 0, GCRY_KDF_PBKDF2, GCRY_MD_SHA256, salt.data(), 32, 1000, 32, expect.data()),
        0);
#else
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("", 0, salt.data(), 32, 1000, EVP_sha256(), 32, expect.data()), 1);
#endif
    EXPECT_EQ(KRY_Pbkdf2Compute(nullptr, 0, salt.data(), 32, 1000, viaNull.data(), 32), KRY_OK);
    EXPECT_EQ(viaNull, expect);
    const std::tuple<const BYTE*, LONG, LONG, LONG> bad[] = {
        {pw.data(), -1, 1000, 32}, {pw.data(), 2, 0, 32}, {pw.data(), 2, 1000, 0}, {nullptr, 2, 1000, 32}};
    for (const auto& [p, len, iterations, outLen] : bad)
        EXPECT_EQ(KRY_Pbkdf2Compute(p, len, salt.data(), 32, iterations, out.data(), outLen), KRY_E_PARAM);
    EXPECT_EQ(out, Bytes(32, 0x5A));
}

/* RFC 4231 test cases 1, 2, 4 and 6: keys shorter than, and longer than, the block. */
TEST_F(Kry10, HmacSha256MatchesRfc4231Cases) {
    const std::tuple<Bytes, Bytes, std::string> cases[] = {
        {Bytes(20, 0x0b), Text("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {Text("Jefe"), Text("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Bytes(131, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& [key, data, mac] : cases) {
        Bytes out(32, 0);
        ASSERT_EQ(
            KRY_HmacSha256Compute(key.data(), (LONG)key.size(), data.data(), (DWORD)data.size(), out.data()),
            KRY_OK);
        EXPECT_EQ(out, Hex(mac)) << mac;
    }
}

TEST_F(Kry10, RandomBytesFillsTheBuffer) {
    Bytes a(64, 0), b(64, 0);
    EXPECT_EQ(KRY_RandomBytes(a.data(), 64), KRY_OK);
    EXPECT_EQ(KRY_RandomBytes(b.data(), 64), KRY_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(KRY_RandomBytes(nullptr, 0), KRY_OK);
    EXPECT_EQ(KRY_RandomBytes(nullptr, 4), KRY_E_PARAM);
}

TEST_F(Kry10, AesRoundTripsEveryLength) {
    std::vector<size_t> lengths = {64 * 1024, 1024 * 1024};
    for (size_t n = 0; n <= 100; ++n)
        lengths.push_back(n);
    for (size_t n : lengths) {
        Bytes plain = Pattern(n, static_cast<unsigned>(n)), cipher = Enc(plain), back;
        ASSERT_EQ(cipher.size(), n + 16) << n;
        ASSERT_EQ(Run(false, key, iv, cipher, back), KRY_OK) << n;
        EXPECT_EQ(back, plain) << n;
    }
}

/* Vault files move between hosts: the sealed bytes of both builds, recorded from the OpenSSL one
 * (key 00..1f, IV a0..bf). */
TEST_F(Kry10, AesOutputIsTheSameOnEveryHost) {
    Bytes k(32), ivBuf(32), got;
    for (int i = 0; i < 32; ++i) {
        k[i] = static_cast<BYTE>(i);
        ivBuf[i] = static_cast<BYTE>(0xA0 + i);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"", "9157a5f89baffbd17face00a4b44c49b"}, {"vault", "3cd72976c69b11a8a43bd0e25160120516e4392836"}};
    for (const auto& [plain, sealed] : cases) {
        ASSERT_EQ(Run(true, k, ivBuf, Text(plain), got), KRY_OK);
        EXPECT_EQ(got, Hex(sealed)) << plain;
    }
}

TEST_F(Kry10, AesRejectsEveryCorruption) {
    for (size_t n : {0, 1, 40}) {
        Bytes plain = Pattern(n, 11), cipher = Enc(plain), out;
        for (size_t bit = 0; bit < cipher.size() * 8; ++bit) {
            Bytes bad = cipher;
            bad[bit / 8] ^= static_cast<BYTE>(1u << (bit % 8));
            ASSERT_EQ(Run(false, key, iv, bad, out), KRY_E_AUTH) << "length " << n << " bit " << bit;
            ASSERT_TRUE(out.empty());
        }
        for (size_t cut = 0; cut < cipher.size(); ++cut) {
            Bytes shortened(cipher.begin(), cipher.begin() + cut);
            EXPECT_EQ(Run(false, key, iv, shortened, out), KRY_E_AUTH) << "length " << n << " cut to " << cut;
            EXPECT_TRUE(out.empty());
        }
        Bytes longer = cipher;
        longer.push_back(0);
        EXPECT_EQ(Run(false, key, iv, longer, out), KRY_E_AUTH) << n;
        Bytes key2 = key, iv2 = iv;
        key2[0] ^= 0x80;
        iv2[31] ^= 0x01;
        EXPECT_EQ(Run(false, key2, iv, cipher, out), KRY_E_AUTH) << n;
        EXPECT_EQ(Run(false, key, iv2, cipher, out), KRY_E_AUTH) << n;
    }
}

/* A fixed output area gets all of the result or nothing: never a byte past its room, never a
 * plaintext that failed its check. */
TEST_F(Kry10, FixedOutputBufferNeverOverflowsAndFailuresLeaveItUntouched) {
    const Bytes plain = Pattern(36, 4), cipher = Enc(plain); // 36 bytes need 52
    Bytes corrupt = cipher;
    corrupt[5] ^= 0x10;
    const std::tuple<const Bytes*, bool, DWORD, LONG> cases[] = {{&plain, true, 0, KRY_E_OVERFLOW},
                                                                 {&plain, true, 51, KRY_E_OVERFLOW},
                                                                 {&plain, true, 52, KRY_OK},
                                                                 {&plain, true, 53, KRY_OK},
                                                                 {&corrupt, false, 64, KRY_E_AUTH}};
    for (auto [input, encrypt, room, status] : cases) {
        SCOPED_TRACE(testing::Message() << (encrypt ? "encrypt" : "decrypt") << " into " << room);
        Bytes area(128, 0xC3);
        KRY_STREAM in = nullptr, out = nullptr;
        KRY_CIPHER c = nullptr;
        ASSERT_EQ(KRY_StreamCreateOnBuffer(const_cast<BYTE*>(input->data()), (DWORD)input->size(),
                                           KRY_STREAM_READ, &in),
                  KRY_OK);
        ASSERT_EQ(KRY_StreamCreateOnBuffer(area.data(), room, KRY_STREAM_WRITE, &out), KRY_OK);
        ASSERT_EQ(KRY_AesCreate(0, 1, key.data(), 32, iv.data(), 32, &c), KRY_OK);
        EXPECT_EQ(encrypt ? KRY_AesEncrypt(c, in, out) : KRY_AesDecrypt(c, in, out), status);
        ULONGLONG len = 99;
        EXPECT_EQ(KRY_StreamLength(out, &len), KRY_OK);
        const size_t written = status == KRY_OK ? 52 : 0;
        EXPECT_EQ(len, written);
        EXPECT_EQ(Bytes(area.begin(), area.begin() + written),
                  Bytes(cipher.begin(), cipher.begin() + written));
        EXPECT_EQ(Bytes(area.begin() + written, area.end()), Bytes(128 - written, 0xC3));
        KRY_AesDestroy(c);
        KRY_StreamDestroy(out);
        KRY_StreamDestroy(in);
    }
}

TEST_F(Kry10, StreamReadIsBoundedByCapacityAndWhatIsLeft) {
    Bytes data = Pattern(10, 6);
    KRY_STREAM s = nullptr;
    ASSERT_EQ(KRY_StreamCreateOnBuffer(data.data(), 10, KRY_STREAM_READ, &s), KRY_OK);
    struct Step {
        LONGLONG seek;
        DWORD cap, count;
        LONG copied;
    } steps[] = {
        {0, 4, 4, 4}, {0, 3, 8, 3}, {6, 16, 16, 4}, {10, 16, 16, 0}}; // capacity or what is left bounds it
    for (const Step& st : steps) {
        Bytes dest(20, 0x77), expect(20, 0x77);
        ASSERT_EQ(KRY_StreamSeek(s, st.seek, 0), KRY_OK);
        EXPECT_EQ(KRY_StreamRead(s, dest.data(), st.cap, 0, st.count), st.copied) << st.seek << "/" << st.cap;
        std::copy(data.begin() + st.seek, data.begin() + st.seek + st.copied, expect.begin());
        EXPECT_EQ(dest, expect) << st.seek << "/" << st.cap;
    }
    const std::pair<LONGLONG, DWORD> badSeeks[] = {
        {11, 0}, {-1, 0}, {1, 2}, {0, 7}}; // past either end, bad origin
    for (auto [offset, origin] : badSeeks)
        EXPECT_EQ(KRY_StreamSeek(s, offset, origin), KRY_E_PARAM) << offset;
    EXPECT_EQ(KRY_StreamSeek(s, -10, 2), KRY_OK);
    EXPECT_EQ(KRY_StreamRead(s, data.data(), 5, 1, 5), KRY_E_PARAM); // reserved must be 0
    EXPECT_EQ(KRY_StreamDestroy(s), KRY_OK);
}

TEST(Kry10Lifecycle, InitialisationsNestAndCallsOutsideThemAreRefused) {
    ASSERT_EQ(KRY_Initialize(), KRY_OK);
    ASSERT_EQ(KRY_Initialize(), KRY_OK);
    EXPECT_EQ(KRY_Uninitialize(), KRY_OK);
    BYTE b[4], key[32], mac[32];
    EXPECT_EQ(KRY_RandomBytes(b, 4), KRY_OK) << "one initialisation is left";
    EXPECT_EQ(KRY_Uninitialize(), KRY_OK);
    EXPECT_EQ(KRY_Uninitialize(), KRY_E_NOT_INITIALIZED);
    EXPECT_EQ(KRY_RandomBytes(b, 4), KRY_E_NOT_INITIALIZED);
    EXPECT_EQ(KRY_HmacSha256Compute(key, 32, b, 4, mac), KRY_E_NOT_INITIALIZED);
}

} // namespace
