/* The zip library against its contract: KsZip packs a flat folder whole, KsUnzip
 * unpacks what KsZip made and refuses hostile archives leaving nothing behind.
 * Archives are crafted and inspected here with libzip directly. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "internal/syscalls.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace vktest;

namespace {

typedef INT (*KsZipFn)(LPCWSTR archivePath, LPCWSTR folderPath);
typedef INT (*KsUnzipFn)(LPCWSTR folderPath, LPCWSTR archivePath);

std::string ModulePath() {
    const char* dir = std::getenv("VK_TEST_BIN_DIR");
    return std::string(dir ? dir : ".") + "/lib/libVaultkeepZipUtil.so";
}

/* One archive entry as the test crafts it. */
struct Entry {
    std::string name;
    std::string data;
    zip_uint8_t opsys = ZIP_OPSYS_UNIX;
    zip_uint32_t attr = 0100600u << 16;
};

/* Writes an archive with libzip; false when libzip refused an entry. */
bool MakeZip(const std::string& path, const std::vector<Entry>& entries, zip_uint32_t compression = ZIP_CM_DEFLATE) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return false;
    for (const Entry& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        zip_int64_t idx = src ? zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW) : -1;
        if (idx < 0) {
            if (src) zip_source_free(src);
            zip_discard(za);
            return false;
        }
        zip_set_file_compression(za, (zip_uint64_t)idx, compression, 0);
        zip_file_set_external_attributes(za, (zip_uint64_t)idx, 0, e.opsys, e.attr);
    }
    return zip_close(za) == 0;
}

/* The entries of an archive as libzip reads them: name -> (data, unix mode). */
struct Member {
    std::string data;
    zip_uint8_t opsys;
    zip_uint32_t attr;
};
std::map<std::string, Member> ReadZip(const std::string& path) {
    std::map<std::string, Member> out;
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
    EXPECT_NE(za, nullptr) << "libzip cannot open " << path << " error " << err;
    if (!za) return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, (zip_uint64_t)i, 0, &st);
        Member m;
        m.data.resize(st.size);
        zip_file_t* zf = zip_fopen_index(za, (zip_uint64_t)i, 0);
        EXPECT_EQ(zip_fread(zf, m.data.data(), st.size), (zip_int64_t)st.size);
        zip_fclose(zf);
        zip_file_get_external_attributes(za, (zip_uint64_t)i, 0, &m.opsys, &m.attr);
        out[zip_get_name(za, (zip_uint64_t)i, ZIP_FL_ENC_RAW)] = m;
    }
    zip_discard(za);
    return out;
}

/* Every path below a folder, relative, sorted; empty when the folder is missing. */
std::vector<std::string> Tree(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        out.push_back(std::filesystem::relative(it->path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes Raw(const std::string& s) { return Bytes(s.begin(), s.end()); }

/* Replaces every occurrence of a byte string (names sit in the local and the central header). */
void ReplaceAll(Bytes& b, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    size_t hits = 0;
    for (size_t i = 0; i + from.size() <= b.size(); ++i) {
        if (std::equal(from.begin(), from.end(), b.begin() + (ptrdiff_t)i)) {
            std::copy(to.begin(), to.end(), b.begin() + (ptrdiff_t)i);
            ++hits;
        }
    }
    ASSERT_EQ(hits, 2u) << "a name appears in its local and its central header";
}

/* Sets the uncompressed size of the first entry in both headers. */
void PatchUncompressedSize(Bytes& b, uint32_t size) {
    bool local = false, central = false;
    for (size_t i = 0; i + 46 <= b.size(); ++i) {
        if (!local && Le32(b, i) == 0x04034b50) {
            PutLe32(b, i + 22, size);
            local = true;
        } else if (!central && Le32(b, i) == 0x02014b50) {
            PutLe32(b, i + 24, size);
            central = true;
        }
    }
    ASSERT_TRUE(local && central);
}

class ZipUtilTest : public RootTest {
protected:
    void SetUp() override {
        module = LoadLibraryW(U(ModulePath()).c_str());
        ASSERT_NE(module, nullptr) << ModulePath();
        zip = reinterpret_cast<KsZipFn>(reinterpret_cast<void*>(GetProcAddress(module, "KsZip")));
        unzip = reinterpret_cast<KsUnzipFn>(reinterpret_cast<void*>(GetProcAddress(module, "KsUnzip")));
        ASSERT_NE(zip, nullptr);
        ASSERT_NE(unzip, nullptr);
        std::filesystem::create_directories(root.host("scratch/src"));
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }

    std::string Host(const std::string& rel) const { return root.host("scratch/" + rel); }
    /* The Windows view of a scratch path: the root is drive C:. */
    static std::u16string Win(const std::string& rel) {
        std::string p = "C:\\scratch\\" + rel;
        std::replace(p.begin(), p.end(), '/', '\\');
        return U(p);
    }

    /* Unzips a hostile archive into a fresh folder and checks that nothing at all was made. */
    void ExpectRefused(const std::string& label, const Bytes& archive, const std::string& reason) {
        SCOPED_TRACE(label);
        WriteFileBytes(Host("hostile.zip"), archive);
        std::vector<std::string> before = Tree(root.path());
        SetLastError(ERROR_SUCCESS);
        PalTestCaptureDebugOutput(TRUE);
        EXPECT_EQ(unzip(Win("target").c_str(), Win("hostile.zip").c_str()), 0);
        EXPECT_NE(GetLastError(), (DWORD)ERROR_SUCCESS);
        std::string said = PalTestTakeDebugOutput();
        PalTestCaptureDebugOutput(FALSE);
        EXPECT_NE(said.find("KsUnzip: "), std::string::npos) << said;
        EXPECT_NE(said.find(reason), std::string::npos) << "refused for its own reason: " << said;
        EXPECT_EQ(Tree(root.path()), before) << "a refused archive leaves no folder and no file";
        EXPECT_FALSE(FileExists(Host("target")));
    }

    Bytes Crafted(const std::vector<Entry>& entries, zip_uint32_t compression = ZIP_CM_DEFLATE) {
        std::string path = Host("crafted.zip");
        EXPECT_TRUE(MakeZip(path, entries, compression));
        Bytes b = ReadFileBytes(path);
        std::filesystem::remove(path);
        return b;
    }

    HMODULE module = nullptr;
    KsZipFn zip = nullptr;
    KsUnzipFn unzip = nullptr;
};

TEST_F(ZipUtilTest, PacksEveryFileOfTheFolderAndUnpacksThemByteForByte) {
    std::map<std::string, Bytes> files = {
        {"user.bin", Raw("table bytes")},
        {"user.backup", Bytes{4, 0, 0, 0, 1, 2, 3, 4}},
        {"empty", Bytes{}},
        {"6f1c2a9e-4b7d-4e0a-9c3b-2d5e8f7a1b60", Bytes(1 << 20, 0xA5)},
    };
    Bytes binary(4096);
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 7919 >> 3);
    files["key.backup"] = binary;
    for (auto& [name, data] : files) WriteFileBytes(Host("src/" + name), data);

    struct Case {
        const char* label;
        std::u16string archive, folder, target;
        std::string archiveHost, targetHost;
    } cases[] = {
        {"windows paths", Win("a.zip"), Win("src"), Win("out1"), Host("a.zip"), Host("out1")},
        {"host paths with a trailing separator", U(Host("b.zip")), U(Host("src/")), U(Host("out2")), Host("b.zip"),
         Host("out2")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(zip(c.archive.c_str(), c.folder.c_str()), 1);
        std::map<std::string, Member> packed = ReadZip(c.archiveHost);
        ASSERT_EQ(packed.size(), files.size());
        for (auto& [name, data] : files) {
            ASSERT_EQ(packed.count(name), 1u) << name;
            EXPECT_EQ(packed[name].data, Text(data)) << name;
            EXPECT_EQ(packed[name].opsys, ZIP_OPSYS_UNIX);
            EXPECT_EQ((packed[name].attr >> 16) & 0170000u, 0100000u) << "a regular file";
        }
        ASSERT_EQ(unzip(c.target.c_str(), c.archive.c_str()), 1);
        std::vector<std::string> names;
        for (auto& [name, data] : files) {
            names.push_back(name);
            EXPECT_EQ(ReadFileBytes(c.targetHost + "/" + name), data) << name;
        }
        EXPECT_EQ(Tree(c.targetHost), names) << "exactly the packed files, nothing else";
    }
}

TEST_F(ZipUtilTest, AnEmptyFolderGivesAnArchiveThatUnpacksToNothing) {
    ASSERT_EQ(zip(Win("empty.zip").c_str(), Win("src").c_str()), 1);
    EXPECT_TRUE(ReadZip(Host("empty.zip")).empty());
    EXPECT_EQ(unzip(Win("out").c_str(), Win("empty.zip").c_str()), 1);
    EXPECT_TRUE(Tree(Host("out")).empty());
}

TEST_F(ZipUtilTest, AnExistingArchiveIsReplacedWholeAndKeptWhenPackingFails) {
    WriteFileBytes(Host("src/one"), Raw("1"));
    WriteFileBytes(Host("a.zip"), Raw("an older archive"));
    ASSERT_EQ(zip(Win("a.zip").c_str(), Win("src").c_str()), 1);
    std::map<std::string, Member> packed = ReadZip(Host("a.zip"));
    ASSERT_EQ(packed.size(), 1u);
    EXPECT_EQ(packed["one"].data, "1");
    Bytes good = ReadFileBytes(Host("a.zip"));

    /* Something that is not a plain file is never skipped silently: the zip fails and the
     * archive that was there stays as it was. */
    struct Case {
        const char* label;
        std::function<void()> make, undo;
    } cases[] = {
        {"subfolder", [&] { std::filesystem::create_directory(Host("src/sub")); },
         [&] { std::filesystem::remove(Host("src/sub")); }},
        {"symbolic link", [&] { ASSERT_EQ(symlink("one", Host("src/link").c_str()), 0); },
         [&] { std::filesystem::remove(Host("src/link")); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(Host("src/fifo").c_str(), 0600), 0); },
         [&] { std::filesystem::remove(Host("src/fifo")); }},
        {"name no archive may carry", [&] { WriteFileBytes(Host("src/a:b"), Raw("x")); },
         [&] { std::filesystem::remove(Host("src/a:b")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        c.make();
        EXPECT_EQ(zip(Win("a.zip").c_str(), Win("src").c_str()), 0);
        EXPECT_EQ(ReadFileBytes(Host("a.zip")), good);
        c.undo();
    }
    EXPECT_EQ(zip(Win("a.zip").c_str(), Win("missing").c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Host("a.zip")), good);
    EXPECT_EQ(Tree(Host("")), (std::vector<std::string>{"a.zip", "src", "src/one"})) << "no temporary left";
}

TEST_F(ZipUtilTest, HostileArchivesAreRefusedWithNothingWritten) {
    const std::string outside = root.host("outside-evil");
    const zip_uint32_t dosDir = 0x10;
    const std::string sep = "name holds a path separator", reserved = "name holds a reserved or control character",
                      relative = "name is a relative folder reference", device = "entry is a device, FIFO or socket";
    struct Case {
        const char* label;
        std::vector<Entry> entries;
        std::string reason;
    } cases[] = {
        {"absolute path", {{"user.bin", "t"}, {outside, "x"}}, sep},
        {"parent reference", {{"user.bin", "t"}, {"../evil", "x"}}, sep},
        {"bare parent", {{"..", "x"}}, relative},
        {"bare current folder", {{".", "x"}}, relative},
        {"subfolder path", {{"sub/evil", "x"}}, sep},
        {"backslash path", {{"sub\\evil", "x"}}, sep},
        {"drive-relative name", {{"C:evil", "x"}}, reserved},
        {"folder entry", {{"dir/", ""}}, sep},
        {"folder by DOS attributes", {{"dir", "", ZIP_OPSYS_DOS, dosDir}}, "entry is a folder"},
        {"symbolic link", {{"user.bin", "t"}, {"link", "/etc/passwd", ZIP_OPSYS_UNIX, 0120777u << 16}},
         "entry is a symbolic link"},
        {"character device", {{"dev", "", ZIP_OPSYS_UNIX, 0020644u << 16}}, device},
        {"block device", {{"dev", "", ZIP_OPSYS_UNIX, 0060644u << 16}}, device},
        {"fifo", {{"fifo", "", ZIP_OPSYS_UNIX, 0010644u << 16}}, device},
        {"attributes of an unknown system", {{"user.bin", "t", ZIP_OPSYS_AMIGA, 0}},
         "entry attributes of an unknown system"},
        {"control character", {{"a\nb", "x"}}, reserved},
        {"trailing dot", {{"user.bin.", "x"}}, "name ends in a dot or a space"},
        {"invalid UTF-8", {{"\xC3\x28", "x"}}, "name is not valid UTF-8"},
        {"empty name", {{"", "x"}}, "empty name"},
    };
    for (const Case& c : cases) {
        std::string path = Host("crafted.zip");
        if (!MakeZip(path, c.entries)) {
            ADD_FAILURE() << c.label << ": libzip would not write the crafted archive";
            continue;
        }
        ExpectRefused(c.label, ReadFileBytes(path), c.reason);
        std::filesystem::remove(path);
    }
    EXPECT_FALSE(FileExists(outside));
    EXPECT_FALSE(FileExists(root.host("evil")));
}

TEST_F(ZipUtilTest, CountsSizesAndChecksumsAreEnforced) {
    /* 255 blobs beside user.bin, user.backup and key.backup: the most a store holds. */
    std::vector<Entry> full;
    for (int i = 0; i < 258; ++i) full.push_back({"f" + std::to_string(i), std::to_string(i)});
    WriteFileBytes(Host("full.zip"), Crafted(full));
    ASSERT_EQ(unzip(Win("full").c_str(), Win("full.zip").c_str()), 1);
    EXPECT_EQ(Tree(Host("full")).size(), 258u);
    EXPECT_EQ(Text(ReadFileBytes(Host("full/f257"))), "257");
    std::filesystem::remove_all(Host("full"));
    std::filesystem::remove(Host("full.zip"));

    full.push_back({"f258", "one too many"});
    ExpectRefused("259 entries", Crafted(full), "more entries than a store holds");

    /* Duplicate names: libzip will not write them, so one name is rewritten in place. */
    Bytes dup = Crafted({{"dupA", "first"}, {"dupB", "second"}}, ZIP_CM_STORE);
    ReplaceAll(dup, "dupB", "dupA");
    /* The consistency check of the archive reader already refuses the directory. */
    ExpectRefused("duplicate names", dup, "not a readable archive");

    std::string data(100000, 'z');
    Bytes oversize = Crafted({{"big", data}});
    PatchUncompressedSize(oversize, 0x20000000); /* 512 MiB declared */
    ExpectRefused("declared size beyond the cap", oversize, "more bytes than a store holds");

    Bytes understated = Crafted({{"user.bin", "t"}, {"big", data}});
    /* The first entry's size is left; the second one claims fewer bytes than it holds. */
    {
        size_t second = 0;
        int seen = 0;
        for (size_t i = 0; i + 4 <= understated.size(); ++i)
            if (Le32(understated, i) == 0x02014b50 && ++seen == 2) second = i;
        ASSERT_NE(second, 0u);
        PutLe32(understated, second + 24, 1000);
        for (size_t i = 0, n = 0; i + 4 <= understated.size(); ++i)
            if (Le32(understated, i) == 0x04034b50 && ++n == 2) PutLe32(understated, i + 22, 1000);
    }
    ExpectRefused("more bytes than declared", understated, "data does not match its size or checksum");

    Bytes corrupt = Crafted({{"user.bin", "table"}, {"blob", "stored data that will be damaged"}}, ZIP_CM_STORE);
    {
        std::string needle = "stored data";
        auto it = std::search(corrupt.begin(), corrupt.end(), needle.begin(), needle.end());
        ASSERT_NE(it, corrupt.end());
        *it ^= 0x01;
    }
    /* user.bin is unpacked first, then the damaged entry fails its checksum: user.bin must go again. */
    ExpectRefused("checksum mismatch after a good entry", corrupt, "data does not match its size or checksum");

    Bytes archive = Crafted({{"user.bin", "table"}, {"blob", data}});
    ExpectRefused("truncated archive", Bytes(archive.begin(), archive.begin() + (ptrdiff_t)archive.size() / 2),
                  "not a readable archive");
    ExpectRefused("not an archive", Raw("this is no zip archive at all, just some text"), "not a readable archive");
}

TEST_F(ZipUtilTest, AnEncryptedEntryIsRefused) {
    std::string path = Host("enc.zip");
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr);
    static const char data[] = "secret";
    zip_int64_t idx = zip_file_add(za, "user.bin", zip_source_buffer(za, data, sizeof data - 1, 0), 0);
    ASSERT_GE(idx, 0);
    if (zip_file_set_encryption(za, (zip_uint64_t)idx, ZIP_EM_AES_256, "pw") != 0) {
        zip_discard(za);
        GTEST_SKIP() << "this libzip cannot write encrypted entries";
    }
    ASSERT_EQ(zip_close(za), 0);
    Bytes b = ReadFileBytes(path);
    std::filesystem::remove(path);
    ExpectRefused("encrypted entry", b, "encrypted");
}

TEST_F(ZipUtilTest, AFailedUnpackIntoAnExistingFolderRemovesOnlyWhatItWrote) {
    std::filesystem::create_directories(Host("target"));
    WriteFileBytes(Host("target/blob"), Raw("already here"));
    WriteFileBytes(Host("a.zip"), Crafted({{"user.bin", "table"}, {"blob", "new"}}));
    EXPECT_EQ(unzip(Win("target").c_str(), Win("a.zip").c_str()), 0) << "an existing file is never overwritten";
    EXPECT_EQ(Tree(Host("target")), std::vector<std::string>{"blob"});
    EXPECT_EQ(Text(ReadFileBytes(Host("target/blob"))), "already here");

    EXPECT_EQ(unzip(Win("target").c_str(), Win("missing.zip").c_str()), 0);
    EXPECT_EQ(unzip(nullptr, Win("a.zip").c_str()), 0);
    EXPECT_EQ(zip(nullptr, Win("src").c_str()), 0);
    EXPECT_EQ(Tree(Host("target")), std::vector<std::string>{"blob"});
}

} // namespace
