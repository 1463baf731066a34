/* The zip library against its contract: KsZip packs a flat folder whole, KsUnzip unpacks what
 * KsZip made and refuses hostile archives leaving nothing behind. Archives are crafted and
 * inspected here with libzip directly. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "VkZip.h"
#include "platform/Wide.h"
#ifndef _WIN32
#include "internal/syscalls.h"
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <utility>

using namespace vktest;
using zipfile::Entry;
using zipfile::Files;

namespace {

typedef INT (*KsZipFn)(LPCWSTR archivePath, LPCWSTR folderPath);
typedef INT (*KsUnzipFn)(LPCWSTR folderPath, LPCWSTR archivePath);

/* Sets the uncompressed size the n-th entry declares, in its local and its central header alike. */
void DeclareSize(Bytes& b, int n, uint32_t size) {
    int local = 0, central = 0;
    for (size_t i = 0; i + 46 <= b.size(); ++i) {
        if (Le32(b, i) == 0x04034b50 && ++local == n) PutLe32(b, i + 22, size);
        if (Le32(b, i) == 0x02014b50 && ++central == n) PutLe32(b, i + 24, size);
    }
    ASSERT_TRUE(local >= n && central >= n);
}

class ZipUtilTest : public RootTest {
  protected:
    void SetUp() override {
        module = LoadLibraryW(U(BuiltModule("VaultkeepZipUtil")).c_str());
        ASSERT_NE(module, nullptr);
        zip = reinterpret_cast<KsZipFn>(reinterpret_cast<void*>(GetProcAddress(module, "KsZip")));
        unzip = reinterpret_cast<KsUnzipFn>(reinterpret_cast<void*>(GetProcAddress(module, "KsUnzip")));
        ASSERT_TRUE(zip && unzip);
        std::filesystem::create_directories(root.host("scratch/src"));
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }

    std::string Host(const std::string& rel) const { return root.host("scratch/" + rel); }
    /* The Windows view of a scratch path: the root is drive C: (on Windows, the scratch folder itself). */
    WString Win(const std::string& rel) const {
#ifdef _WIN32
        std::string p = Host(rel);
#else
        std::string p = "C:\\scratch\\" + rel;
#endif
        std::replace(p.begin(), p.end(), '/', '\\');
        return U(p);
    }

    /* An archive written with libzip. */
    Bytes Crafted(const std::vector<Entry>& entries, zip_uint32_t compression = ZIP_CM_DEFLATE) {
        const std::string path = Host("crafted.zip");
        zipfile::Write(path, entries, compression);
        Bytes b = ReadFileBytes(path);
        std::filesystem::remove(path);
        return b;
    }

    /* Unzips a hostile archive into a fresh folder and checks that nothing at all was made. */
    void ExpectRefused(const std::string& label, const Bytes& archive, const std::string& reason) {
        SCOPED_TRACE(label);
        WriteFileBytes(Host("hostile.zip"), archive);
        const Tree before = Snapshot(root.path());
        SetLastError(ERROR_SUCCESS);
#ifndef _WIN32 // the reason goes to the debugger's output, which the PAL lets a test read
        PalTestCaptureDebugOutput(true);
#endif
        EXPECT_EQ(unzip(Win("target").c_str(), Win("hostile.zip").c_str()), 0);
        EXPECT_NE(GetLastError(), (DWORD)ERROR_SUCCESS);
#ifndef _WIN32
        const std::string said = PalTestTakeDebugOutput();
        PalTestCaptureDebugOutput(false);
        EXPECT_EQ(said.rfind("KsUnzip: ", 0), 0u) << said;
        EXPECT_NE(said.find(reason), std::string::npos) << "refused for its own reason: " << said;
#endif
        EXPECT_EQ(Snapshot(root.path()), before) << "a refused archive leaves no folder and no file";
    }

    HMODULE module = nullptr;
    KsZipFn zip = nullptr;
    KsUnzipFn unzip = nullptr;
};

TEST_F(ZipUtilTest, PacksEveryFileOfTheFolderAndUnpacksThemByteForByte) {
    std::map<std::string, Bytes> files = {{"user.bin", ToBytes("table bytes")},
                                          {"user.backup", Bytes{4, 0, 0, 0, 1, 2, 3, 4}},
                                          {"empty", Bytes{}},
                                          {"small", Bytes(4095, 0x11)},
                                          {"6f1c2a9e-4b7d-4e0a-9c3b-2d5e8f7a1b60", Bytes(1 << 20, 0xA5)},
                                          {"key.backup", Bytes(4096, 0x5C)}};
    for (auto& [name, data] : files)
        WriteFileBytes(Host("src/" + name), data);
    // Windows paths, and host paths with a trailing separator.
    const WString archives[] = {Win("a.zip"), U(Host("b.zip"))}, folders[] = {Win("src"), U(Host("src/"))},
                  targets[] = {Win("out1"), U(Host("out2"))};
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        ASSERT_EQ(zip(archives[c].c_str(), folders[c].c_str()), 1);
        Files packed = zipfile::Read(Host(c ? "b.zip" : "a.zip"));
        ASSERT_EQ(unzip(targets[c].c_str(), archives[c].c_str()), 1);
        Tree want;
        for (auto& [name, data] : files) {
            want[name] = {data, 0};
            EXPECT_EQ(packed[name], data) << name;
        }
        EXPECT_EQ(packed.size(), files.size());
        EXPECT_EQ(Snapshot(Host(c ? "out2" : "out1")), want) << "exactly the packed files, nothing else";
    }
    // An empty folder gives an archive that unpacks to nothing.
    std::filesystem::create_directories(Host("none"));
    ASSERT_EQ(zip(Win("empty.zip").c_str(), Win("none").c_str()), 1);
    EXPECT_TRUE(zipfile::Read(Host("empty.zip")).empty());
    EXPECT_EQ(unzip(Win("out3").c_str(), Win("empty.zip").c_str()), 1);
    EXPECT_TRUE(Snapshot(Host("out3")).empty());
}

TEST_F(ZipUtilTest, AnExistingArchiveIsReplacedWholeAndKeptWhenPackingFails) {
    WriteFileBytes(Host("src/one"), ToBytes("1"));
    WriteFileBytes(Host("a.zip"), ToBytes("an older archive"));
    ASSERT_EQ(zip(Win("a.zip").c_str(), Win("src").c_str()), 1);
    EXPECT_EQ(zipfile::Read(Host("a.zip")), (Files{{"one", ToBytes("1")}}));
    const Bytes good = ReadFileBytes(Host("a.zip"));
    // Something that is not a plain file is never skipped silently: the zip fails and the archive
    // that was there stays as it was.
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"sub", [&] { std::filesystem::create_directory(Host("src/sub")); }},
#ifndef _WIN32 // no links, fifos or colons in names there
        {"link", [&] { ASSERT_EQ(symlink("one", Host("src/link").c_str()), 0); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(Host("src/fifo").c_str(), 0600), 0); }},
        {"a:b", [&] { WriteFileBytes(Host("src/a:b"), ToBytes("x")); }}, // a name no archive may carry
#endif
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        make();
        EXPECT_EQ(zip(Win("a.zip").c_str(), Win("src").c_str()), 0);
        EXPECT_EQ(ReadFileBytes(Host("a.zip")), good);
        std::filesystem::remove(Host("src/") + name);
    }
    EXPECT_EQ(zip(Win("a.zip").c_str(), Win("missing").c_str()), 0);
    EXPECT_EQ(zip(nullptr, Win("src").c_str()), 0);
    EXPECT_EQ(Snapshot(root.host("scratch")),
              (Tree{{"a.zip", {good, 0}}, {"src", {}}, {"src/one", {ToBytes("1"), 0}}}))
        << "the archive as it was, no temporary left";
}

/* The rows of tests/data/ziputil.tsv. */
TEST_F(ZipUtilTest, HostileArchivesAreRefusedWithNothingWritten) {
    const std::string outside = root.host("outside-evil");
    for (const auto& r : DataRows("ziputil.tsv", "hostile")) {
        std::string name;
        for (size_t i = 0; i < r[0].size(); ++i) {
            const bool raw = r[0][i] == '{';
            name += raw ? char(std::stoi(r[0].substr(i + 1, 2), nullptr, 16)) : r[0][i];
            i += raw ? 3 : 0;
        }
#ifdef _WIN32 // rooted on the current drive, as "C:" is refused anyway
        if (name == "@outside") name = outside.substr(2);
#else
        if (name == "@outside") name = outside;
#endif
        std::vector<Entry> entries;
        if (r[5] == "1") entries.push_back({"user.bin", "t"});
        entries.push_back({name, r[1], zip_uint8_t(Num(r[2])), Num(r[3]), r[4] == "1"});
        ExpectRefused(r[0], Crafted(entries), r[6]);
    }
    EXPECT_FALSE(FileExists(outside));
    EXPECT_FALSE(FileExists(root.host("evil")));
}

TEST_F(ZipUtilTest, CountsSizesAndChecksumsAreEnforced) {
    // 255 blobs beside user.bin, user.backup and key.backup: the most a store holds.
    std::vector<Entry> full;
    for (int i = 0; i < 258; ++i)
        full.push_back({"f" + std::to_string(i), std::to_string(i)});
    WriteFileBytes(Host("full.zip"), Crafted(full));
    ASSERT_EQ(unzip(Win("full").c_str(), Win("full.zip").c_str()), 1);
    EXPECT_EQ(Snapshot(Host("full")).size(), 258u);
    std::filesystem::remove_all(Host("full"));
    full.push_back({"f258", "one too many"});
    ExpectRefused("259 entries", Crafted(full), "more entries than a store holds");

    const std::string data(100000, 'z');
    Bytes oversize = Crafted({{"big", data}});
    DeclareSize(oversize, 1, 0x20000000); // 512 MiB declared
    ExpectRefused("declared size beyond the cap", oversize, "more bytes than a store holds");
    Bytes understated = Crafted({{"user.bin", "t"}, {"big", data}});
    DeclareSize(understated, 2, 1000);
    ExpectRefused("more bytes than declared", understated, "data does not match its size or checksum");

    // user.bin is unpacked first, then the damaged entry fails its checksum: user.bin must go again.
    Bytes corrupt =
        Crafted({{"user.bin", "table"}, {"blob", "stored data that will be damaged"}}, ZIP_CM_STORE);
    const std::string needle = "stored data";
    *std::search(corrupt.begin(), corrupt.end(), needle.begin(), needle.end()) ^= 0x01;
    ExpectRefused("checksum mismatch after a good entry", corrupt,
                  "data does not match its size or checksum");

    Bytes archive = Crafted({{"user.bin", "table"}, {"blob", data}});
    ExpectRefused("truncated archive",
                  Bytes(archive.begin(), archive.begin() + (ptrdiff_t)archive.size() / 2),
                  "not a readable archive");
}

TEST_F(ZipUtilTest, AFailedUnpackIntoAnExistingFolderRemovesOnlyWhatItWrote) {
    std::filesystem::create_directories(Host("target"));
    WriteFileBytes(Host("target/blob"), ToBytes("already here"));
    WriteFileBytes(Host("a.zip"), Crafted({{"user.bin", "table"}, {"blob", "new"}}));
    EXPECT_EQ(unzip(Win("target").c_str(), Win("a.zip").c_str()), 0)
        << "an existing file is never overwritten";
    EXPECT_EQ(unzip(Win("target").c_str(), Win("missing.zip").c_str()), 0);
    EXPECT_EQ(unzip(nullptr, Win("a.zip").c_str()), 0);
    EXPECT_EQ(Snapshot(Host("target")), (Tree{{"blob", {ToBytes("already here"), 0}}}));
}

} // namespace
