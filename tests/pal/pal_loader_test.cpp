// Modules: load, look up, free, and the names modules report.
#include "fixtures/PalTest.h"
#include "loader/loader.h"
#include "internal/syscalls.h"

#include <sys/stat.h>

#include <filesystem>
#include <unistd.h>

namespace {

using paltest::ErrOf;

using vktest::RootTest;

std::u16string ModuleName(HMODULE h) {
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(h, buf, MAX_PATH);
    return std::u16string(buf, n);
}

TEST_F(RootTest, LibrariesLoadFromWindowsPathsBelowTheRoot) {
    std::filesystem::create_directories(root.host("Program Files/Tarnwick Systems Corp"));
    std::filesystem::copy_file("/lib/x86_64-linux-gnu/libz.so.1",
                               root.host("Program Files/Tarnwick Systems Corp/z.so"));
    const char16_t* name = u"C:\\Program Files\\Tarnwick Systems Corp\\z.so";

    HMODULE h = LoadLibraryW(name);
    ASSERT_NE(h, (HMODULE)NULL);
    EXPECT_EQ(LoadLibraryW(name), h) << "one module, one handle, counted";
    EXPECT_EQ(ModuleName(h), name);

    auto version =
        reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(GetProcAddress(h, "zlibVersion")));
    ASSERT_NE(version, nullptr);
    EXPECT_NE(version()[0], 0);
    EXPECT_EQ(ErrOf(GetProcAddress(h, "NoSuchExport") != nullptr), DWORD(ERROR_PROC_NOT_FOUND));

    // Truncation as Windows does it: nSize characters with the terminator.
    WCHAR small[6];
    EXPECT_EQ(GetModuleFileNameW(h, small, 6), 6u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(small), u"C:\\Pr");

    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetProcAddress(h, "zlibVersion") != nullptr, true) << "still loaded once more";
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(FreeLibrary(h));
    EXPECT_EQ(ErrOf(GetProcAddress(h, "zlibVersion") != nullptr), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(RootTest, ModulesLoadOnlyFromFilesAndFoldersNobodyElseCanWrite) {
    const std::string dir = root.host("mods");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file("/lib/x86_64-linux-gnu/libz.so.1", dir + "/z.so");
    chmod((dir + "/z.so").c_str(), 0644);
    PalTestCaptureDebugOutput(TRUE);
    PalTestTakeDebugOutput();
    for (const auto& r : paltest::Rows("loader", "mode")) {
        SCOPED_TRACE(r[0] + " " + r[1]);
        chmod(dir.c_str(), paltest::Num(r[0]));
        chmod((dir + "/z.so").c_str(), paltest::Num(r[1]));
        HMODULE h = LoadLibraryW(u"C:\\mods\\z.so");
        if (r[2] == "1") {
            EXPECT_NE(h, (HMODULE)NULL);
            FreeLibrary(h);
            continue;
        }
        EXPECT_EQ(ErrOf(h != nullptr), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_NE(PalTestTakeDebugOutput().find("loader: refusing to load"), std::string::npos);
    }
    // A link from a safe folder into an open one is judged by where it leads.
    chmod(dir.c_str(), 0777);
    std::filesystem::create_directories(root.host("safe"));
    std::filesystem::create_symlink(dir + "/z.so", root.host("safe/z.so"));
    EXPECT_EQ(ErrOf(LoadLibraryW(u"C:\\safe\\z.so") != nullptr), DWORD(ERROR_ACCESS_DENIED));
    // Nor from below a folder another account owns: it could swap the folders under it.
    if (geteuid() == 0) {
        std::filesystem::create_directories(root.host("theirs/mods"));
        std::filesystem::copy_file(dir + "/z.so", root.host("theirs/mods/z.so"));
        ASSERT_EQ(chown(root.host("theirs").c_str(), 61235, 61235), 0);
        EXPECT_EQ(ErrOf(LoadLibraryW(u"C:\\theirs\\mods\\z.so") != nullptr), DWORD(ERROR_ACCESS_DENIED));
    }
    PalTestCaptureDebugOutput(FALSE);
}

TEST_F(RootTest, MissingModulesAreNotFound) {
    // A file that is no library fails like a missing one.
    vktest::WriteFileBytes(root.host("junk.so"), {'n', 'o', 't', ' ', 'e', 'l', 'f'});
    for (const auto& r : paltest::Rows("loader", "missing"))
        EXPECT_EQ(ErrOf(LoadLibraryW(vktest::U(r[0]).c_str()) != nullptr), paltest::Num(r[1])) << r[0];
}

TEST(PalLoader, ProgramAndOwnLibraryNames) {
    // The program lives outside any root: its host path comes back unchanged.
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(ModuleName(NULL), vktest::U(exe));

    HMODULE self = pal::loader::RegisterSelf(reinterpret_cast<const void*>(&CreateFileW));
    ASSERT_NE(self, (HMODULE)NULL);
    std::string own = vktest::Narrow(ModuleName(self));
    EXPECT_NE(own.find("libVaultkeepPal.so"), std::string::npos) << own;
    // By its ELF name: the PAL's functions have private ones (pal/names.h).
    EXPECT_EQ(GetProcAddress(self, "CreateFileW"), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(self, "VkPal_CreateFileW")),
              reinterpret_cast<void*>(&CreateFileW));
    EXPECT_TRUE(DisableThreadLibraryCalls(self));
    EXPECT_FALSE(FreeLibrary(self)) << "the library holding the PAL is not the caller's to free";
}

} // namespace
