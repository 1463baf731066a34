/* The per-record lines of a user table read name each credential id in the
 * ANSI code page, whatever characters it holds; plain ASCII ids take a shorter
 * path to the same text. */
#include "TableFixture.h"

#include <string>
#include <vector>

using namespace vktest;

namespace {

class RecordLogLines : public RootTest {
protected:
    void SetUp() override {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
        ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("alice pw")), 0);
    }
    ByteArray secret{Bytes{9, 8, 7, 6}};
};

TEST_F(RecordLogLines, EveryIdIsNamedInTheAnsiCodePage) {
    struct Case {
        WString id;
        std::string logged; /* UTF-8, the PAL's ANSI code page */
    };
    const std::vector<Case> cases = {
        {W("cred-1"), "cred-1"},
        {W("A"), "A"},
        {W("\u043a\u043b\u044e\u0447"), "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87"},  // Cyrillic
        {W("mix-\u00e9t\u00e9"), "mix-\xc3\xa9t\xc3\xa9"},                      // Latin-1 range
        {W("\U0001F511key"), "\xf0\x9f\x94\x91key"},                            // a surrogate pair
        {WString(19, W('z')), std::string(19, 'z')},                     // the longest id
    };
    ByteArray md(Bytes{1}), emd(Bytes{2}), cred(Bytes{3});
    for (const Case& c : cases)
        ASSERT_EQ(StoreCredential(W("App"), secret, W("alice"), W("alice pw"), c.id.c_str(), md, emd, cred), 0);

    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    BSTR list = nullptr;
    ASSERT_EQ(QueryUserCreds(W("App"), secret, W("alice"), &list), 0);
    TakeBstr(list);
    std::vector<std::string> lines;
    for (const auto& l : diaglog::TakeCaptured())
        if (l.function == "CUserTable::ReadUserTable" && l.text.rfind("creds[", 0) == 0) lines.push_back(l.text);
    diaglog::SetCapture(false);

    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].logged);
        const size_t len = 580 + 1 + 17; // MD, EMD as stored (one byte and the AES tag), the fixed part
        // UTF-8 is the PAL's ANSI code page; Windows has its own.
        EXPECT_EQ(cases[i].logged, Narrow(cases[i].id));
        EXPECT_EQ(lines[i], "creds[" + std::to_string(i) + "] len=" + std::to_string(len) + " id=" +
                                Ansi(cases[i].id) + " version=1");
    }
}

} // namespace
