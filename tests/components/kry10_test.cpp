/* The crypto library against published vectors, its cipher contract and its stream bounds. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "platform/Kry10.h"

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using vktest::Bytes;
using vktest::Hex;
using vktest::Pattern;

class Kry10 : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(KRY_Initialize(), KRY_OK); }
    void TearDown() override { EXPECT_EQ(KRY_Uninitialize(), KRY_OK); }

    Bytes key = Pattern(32, 1);
    Bytes iv = Bytes(32, 0);

    /* Runs the cipher over data into growing storage, or a fixed area of room bytes; returns the status and
     * fills out with what was written. */
    LONG Run(bool encrypt, const Bytes& k, const Bytes& ivBuf, const Bytes& data, Bytes& out,
             BYTE* area = nullptr, DWORD room = 0) {
        KRY_STREAM in = nullptr, o = nullptr;
        KRY_CIPHER c = nullptr;
        EXPECT_EQ(KRY_StreamCreateOnBuffer(const_cast<BYTE*>(data.data()), static_cast<DWORD>(data.size()),
                                           KRY_STREAM_READ, &in),
                  KRY_OK);
        EXPECT_EQ(KRY_StreamCreateOnBuffer(area, room, KRY_STREAM_WRITE, &o), KRY_OK);
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

/* The known answers of tests/data/kry10_vectors.txt (each family's source is noted there). */
TEST_F(Kry10, KnownAnswerVectors) {
    std::ifstream f(vktest::DataFile("kry10_vectors.txt"));
    ASSERT_TRUE(f.good());
    std::set<std::string> kinds;
    for (std::string line; std::getline(f, line);) {
        std::string kind = "#", a, b, c, d;
        std::istringstream(line) >> kind >> a >> b >> c >> d;
        if (kind[0] == '#') continue;
        SCOPED_TRACE(line);
        kinds.insert(kind);
        Bytes x = Hex(a), y = Hex(b), out(32);
        if (kind == "pbkdf2") { // password salt iterations key
            out.resize(Hex(d).size());
            ASSERT_EQ(KRY_Pbkdf2Compute(x.empty() ? nullptr : x.data(), LONG(x.size()), y.data(),
                                        LONG(y.size()), std::stol(c), out.data(), LONG(out.size())),
                      KRY_OK);
        } else if (kind == "hmac") { // key data mac
            ASSERT_EQ(KRY_HmacSha256Compute(x.data(), LONG(x.size()), y.data(), DWORD(y.size()), out.data()),
                      KRY_OK);
            d = c;
        } else { // aes key iv plain sealed
            ASSERT_EQ(Run(true, x, y, Hex(c), out), KRY_OK);
        }
        EXPECT_EQ(out, Hex(d));
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"aes", "hmac", "pbkdf2"}));
}

TEST_F(Kry10, Pbkdf2RefusesBadArguments) {
    Bytes pw = {'p', 'w'}, salt = Pattern(32, 9), out(32, 0x5A);
    const std::tuple<const BYTE*, LONG, LONG, LONG> bad[] = {
        {pw.data(), -1, 1000, 32}, {pw.data(), 2, 0, 32}, {pw.data(), 2, 1000, 0}, {nullptr, 2, 1000, 32}};
    for (const auto& [p, len, iterations, outLen] : bad)
        EXPECT_EQ(KRY_Pbkdf2Compute(p, len, salt.data(), 32, iterations, out.data(), outLen), KRY_E_PARAM);
    EXPECT_EQ(out, Bytes(32, 0x5A));
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
        Bytes area(128, 0xC3), got;
        EXPECT_EQ(Run(encrypt, key, iv, *input, got, area.data(), room), status);
        const size_t written = status == KRY_OK ? 52 : 0;
        EXPECT_EQ(got, Bytes(cipher.begin(), cipher.begin() + written));
        EXPECT_EQ(Bytes(area.begin() + written, area.end()), Bytes(128 - written, 0xC3));
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

TEST(Kry10Lifecycle, InitialisationsNestRandomFillsAndCallsOutsideThemAreRefused) {
    ASSERT_EQ(KRY_Initialize(), KRY_OK);
    ASSERT_EQ(KRY_Initialize(), KRY_OK);
    EXPECT_EQ(KRY_Uninitialize(), KRY_OK);
    BYTE b[4], key[32], mac[32];
    Bytes r1(64, 0), r2(64, 0);
    EXPECT_EQ(KRY_RandomBytes(r1.data(), 64), KRY_OK) << "one initialisation is left";
    EXPECT_EQ(KRY_RandomBytes(r2.data(), 64), KRY_OK);
    EXPECT_NE(r1, r2);
    EXPECT_EQ(KRY_RandomBytes(nullptr, 0), KRY_OK);
    EXPECT_EQ(KRY_RandomBytes(nullptr, 4), KRY_E_PARAM);
    EXPECT_EQ(KRY_Uninitialize(), KRY_OK);
    EXPECT_EQ(KRY_Uninitialize(), KRY_E_NOT_INITIALIZED);
    EXPECT_EQ(KRY_RandomBytes(b, 4), KRY_E_NOT_INITIALIZED);
    EXPECT_EQ(KRY_HmacSha256Compute(key, 32, b, 4, mac), KRY_E_NOT_INITIALIZED);
}

} // namespace
