/* The logging library: line form, printf conversions with %S, sinks, capture and concurrency. */
#include <gtest/gtest.h>
#include "platform/DiagLog.h"
#include "diaglog_control.h"
#include "VkTest.h"

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    return lines;
}

/* Each case logs to its own file and leaves logging off and capture cleared. */
class DiagLog : public vktest::RootTest {
  protected:
    void SetUp() override {
        std::ofstream(path, std::ios::binary | std::ios::trunc).close();
        ASSERT_TRUE(std::filesystem::exists(path));
        diaglog::Configure(("file:" + path).c_str());
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    void TearDown() override {
        diaglog::Configure("off");
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    /* The text of the only line logged since the last call. */
    std::string OnlyText() {
        auto lines = diaglog::TakeCaptured();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string("<none>") : lines[0].text;
    }
    const std::string path = root.path() + "/diag.log";
};

const std::regex
    kLineForm(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\d+) (\d+) (ENTER|EXIT |INFO |ERROR) (\S+) (.*)$)");

TEST_F(DiagLog, EveryLevelWritesOneWellFormedLineAndIsCapturedAsSuch) {
    diaglog::SetCapture(true);
    _PrintEnter("CUtil::GenAESKey", "start");
    _Print("CAppTable::AddUser", "added %d users", 3);
    _PrintError("KsAcquireMutex", 4321, "WaitForMultipleObjects() failed. ErrorCode = %d", 258);
    _PrintExit("CUtil::GenAESKey", "return");
    const struct {
        const char *level, *function, *text;
        diaglog::Level captured;
    } expect[] = {{"ENTER", "CUtil::GenAESKey", "start", diaglog::Level::Enter},
                  {"INFO ", "CAppTable::AddUser", "added 3 users", diaglog::Level::Info},
                  {"ERROR", "KsAcquireMutex", "WaitForMultipleObjects() failed. ErrorCode = 258 (line 4321)",
                   diaglog::Level::Error},
                  {"EXIT ", "CUtil::GenAESKey", "return", diaglog::Level::Exit}};
    auto lines = ReadLines(path);
    auto captured = diaglog::TakeCaptured();
    ASSERT_EQ(lines.size(), 4u);
    ASSERT_EQ(captured.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLineForm)) << lines[i];
        EXPECT_EQ(m[1].str(), std::to_string(getpid()));
        EXPECT_EQ(m[3].str(), expect[i].level);
        EXPECT_EQ(m[4].str(), expect[i].function);
        EXPECT_EQ(m[5].str(), expect[i].text);
        EXPECT_EQ(captured[i].level, expect[i].captured);
        EXPECT_EQ(captured[i].function, expect[i].function);
        EXPECT_EQ(captured[i].line, i == 2 ? 4321 : 0);
    }
    EXPECT_EQ(captured[2].text, "WaitForMultipleObjects() failed. ErrorCode = 258")
        << "the line number apart";
}

TEST_F(DiagLog, ConversionsMatchThePlatformPrintfAndWideStringsBecomeUtf8) {
    diaglog::SetCapture(true);
    char expect[256];
#define CHECK_FORMAT(...)                                                                                    \
    do {                                                                                                     \
        snprintf(expect, sizeof expect, __VA_ARGS__);                                                        \
        _Print("f", __VA_ARGS__);                                                                            \
        EXPECT_EQ(OnlyText(), expect) << #__VA_ARGS__;                                                       \
    } while (0)
    CHECK_FORMAT("%d|%i|%u", -42, 17, 4000000000u);
    CHECK_FORMAT("[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42);
    CHECK_FORMAT("%x %X %#x %08x %o", 0xbeefu, 0xbeefu, 255u, 0x1fu, 8u);
    // Ints on purpose: the length modifiers must narrow what the promotion widened. LONG_MIN fills
    // a long whatever its width (32 bits on Windows, where -5000000000L would be a long long).
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat"
#endif
    CHECK_FORMAT("%hhd %hu %ld %llu %zu", 300, 70000, LONG_MIN, 18000000000000000000ULL, size_t(1) << 40);
#ifdef __clang__
#pragma clang diagnostic pop
#endif
    CHECK_FORMAT("%s|%.3s|%10s|%-10s|%c", "hello", "hello", "right", "left", 'k');
    CHECK_FORMAT("100%% %*d|%.*s|", 6, 12, 2, "abcdef");
    CHECK_FORMAT("%p %.2f %e", static_cast<void*>(expect), 3.14159, 1234.5);
#undef CHECK_FORMAT
    _Print("f", "%s and %s %I64d", "one", static_cast<const char*>(nullptr), -3LL); // Win32 length prefix
    EXPECT_EQ(OnlyText(), "one and (null) -3");

    const char16_t unpaired[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    const struct {
        const char* format;
        const char16_t* arg;
        const char* expect;
    } wide[] = {{"<%S>", u"Gr\u00fc\u00dfe \u20ac",
                 "<Gr\xc3\xbc\xc3\x9f"
                 "e \xe2\x82\xac>"},
                {"%S", u"\U0001F600|\U00010437", "\xf0\x9f\x98\x80|\xf0\x90\x90\xb7"},
                {"%S", unpaired,
                 "a\xef\xbf\xbd"
                 "b\xef\xbf\xbd"},
                {"[%S]", nullptr, "[(null)]"},
                {"%ls", u"wide too", "wide too"},
                {"%.1S", u"\U0001F600x", "\xef\xbf\xbd"}, // a pair cut by the precision is not glued on
                {"%-8S|", u"abc", "abc     |"}};
    for (const auto& c : wide) {
        _Print("f", c.format, c.arg);
        EXPECT_EQ(OnlyText(), c.expect) << c.format;
    }
}

TEST_F(DiagLog, HostileTextCannotSplitOrGrowALineNorReadMissingArguments) {
    _Print("f", "two\nlines\r%s", "and\na\ttab\x01");
    _PrintError("f", 7, "x\ny");
    diaglog::SetCapture(true);
    _Print("f", "%s", std::string(20000, 'a').c_str());
    _PrintError("f", 99, "%S", std::u16string(20000, u'\u20ac').c_str());
    _Print("f", "%99999d|", 5);
    _Print("f", "ok %d then %q %s %d", 5);
    _Print("f", "%n");
    _Print(nullptr, nullptr);
    auto captured = diaglog::TakeCaptured();
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[0].find(" f two\\nlines\\rand\\na\\ttab\\x01"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" f x\\ny (line 7)"), std::string::npos) << lines[1];
    ASSERT_EQ(captured.size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_LE(captured[i].text.size(), 4096u);
        EXPECT_GE(captured[i].text.size(), 4000u);
        EXPECT_LT(lines[2 + i].size(), 4600u);
    }
    EXPECT_EQ(captured[0].text.substr(captured[0].text.size() - 3), "...");
    // Cut on a character boundary: the text before the mark is whole euro signs.
    std::string w = captured[1].text.substr(0, captured[1].text.size() - 3);
    EXPECT_EQ(w.size() % 3, 0u);
    EXPECT_EQ(w.substr(w.size() - 3), "\xe2\x82\xac");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 10), " (line 99)") << "the line number survives the cut";
    // An unknown conversion stops the reading of arguments.
    EXPECT_EQ(captured[3].text, "ok 5 then %q %s %d");
    EXPECT_EQ(captured[4].text, "%n");
    EXPECT_NE(lines[7].find(" (null) (null)"), std::string::npos) << lines[7];
}

TEST_F(DiagLog, DestinationComesFromTheEnvironmentAndOffWritesNothing) {
    diaglog::Configure("off");
    setenv("VAULTKEEP_LOG", ("file:" + path).c_str(), 1);
    diaglog::Configure(nullptr);
    _Print("f", "from env");
    for (const char* env : {"off", static_cast<const char*>(nullptr)}) {
        env ? setenv("VAULTKEEP_LOG", env, 1) : unsetenv("VAULTKEEP_LOG");
        diaglog::Configure(nullptr);
        _PrintEnter("f", "start");
        _PrintError("f", 1, "quiet");
    }
    diaglog::Configure(("file:/nonexistent-dir-" + std::to_string(getpid()) + "/x.log").c_str());
    _Print("f", "quiet when the file cannot be opened");
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" f from env"), std::string::npos);
}

TEST_F(DiagLog, ConcurrentWritersProduceIntactLines) {
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                _Print("worker", "thread=%d seq=%d %s", t, i, "payload-payload-payload");
        });
    for (auto& th : threads)
        th.join();
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex body(R"(thread=(\d) seq=(\d+) payload-payload-payload)");
    std::set<std::pair<int, int>> seen;
    std::set<std::string> tids;
    for (const auto& l : lines) {
        std::smatch m, b;
        ASSERT_TRUE(std::regex_match(l, m, kLineForm)) << l;
        const std::string text = m[5].str();
        ASSERT_TRUE(std::regex_match(text, b, body)) << l;
        seen.insert({std::stoi(b[1].str()), std::stoi(b[2].str())});
        tids.insert(m[2].str());
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(tids.size(), static_cast<size_t>(kThreads));
}

} // namespace
