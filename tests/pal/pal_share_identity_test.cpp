// Share modes hold for the file itself, whatever path reaches it: through a
// linked folder, through the host spelling, and after its folder was renamed.
#include "VkTest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

class ShareIdentity : public vktest::RootTest {
protected:
    static HANDLE Open(const std::u16string& path, DWORD access, DWORD share) {
        return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(ShareIdentity, EveryPathToAnOpenFileMeetsItsShareMode) {
    ASSERT_EQ(mkdir(root.host("d").c_str(), 0755), 0);
    vktest::WriteFileBytes(root.host("d/f"), vktest::Bytes{1, 2, 3});
    ASSERT_EQ(symlink(root.host("d").c_str(), root.host("link").c_str()), 0);

    HANDLE held = Open(u"C:\\d\\f", GENERIC_READ, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::u16string others[] = {u"C:\\d\\f", u"C:\\link\\f", vktest::U(root.host("d/f")),
                                     vktest::U(root.host("link/f")), vktest::U(root.host("d/../d/f"))};
    for (const auto& path : others) {
        SCOPED_TRACE(vktest::Narrow(path));
        SetLastError(0);
        EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }

    // The folder is renamed while the file is open: the file is still held under its new path,
    // and the old path names nothing held.
    ASSERT_EQ(rename(root.host("d").c_str(), root.host("e").c_str()), 0);
    SetLastError(0);
    EXPECT_EQ(Open(u"C:\\e\\f", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_EQ(mkdir(root.host("d").c_str(), 0755), 0);
    vktest::WriteFileBytes(root.host("d/f"), vktest::Bytes{9});
    HANDLE fresh = Open(u"C:\\d\\f", GENERIC_READ, 0);
    EXPECT_NE(fresh, INVALID_HANDLE_VALUE) << "a new file at the old path is another file";
    if (fresh != INVALID_HANDLE_VALUE) CloseHandle(fresh);

    CloseHandle(held);
    HANDLE again = Open(u"C:\\e\\f", GENERIC_READ, 0);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

} // namespace
