/* The logging library: line form, printf conversions with %S, sinks, capture and concurrency. */
#include <gtest/gtest.h>
#include "platform/DiagLog.h"
#include "diaglog_control.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(f, line)) lines.push_back(line);
    return lines;
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

/* Each case logs to its own file and leaves logging off and capture cleared. */
class DiagLog : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vktest-diaglog-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        diaglog::Configure(("file:" + path).c_str());
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    void TearDown() override {
        diaglog::Configure("off");
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
        unlink(path.c_str());
    }
    /* The text of the only line logged since the last call. */
    std::string OnlyText() {
        auto lines = diaglog::TakeCaptured();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string("<none>") : lines[0].text;
    }
    std::string path;
};

const std::regex kLineForm(
    R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\d+) (\d+) (ENTER|EXIT |INFO |ERROR) (\S+) (.*)$)");

TEST_F(DiagLog, EveryLevelWritesOneWellFormedLine) {
    _PrintEnter("CUtil::GenAESKey", "start");
    _Print("CAppTable::AddUser", "added %d users", 3);
    _PrintError("KsAcquireMutex", 4321, "WaitForMultipleObjects() failed. ErrorCode = %d", 258);
    _PrintExit("CUtil::GenAESKey", "return");
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 4u);
    const struct { const char* level; const char* function; const char* text; } expect[] = {
        {"ENTER", "CUtil::GenAESKey", "start"},
        {"INFO ", "CAppTable::AddUser", "added 3 users"},
        {"ERROR", "KsAcquireMutex", "WaitForMultipleObjects() failed. ErrorCode = 258 (line 4321)"},
        {"EXIT ", "CUtil::GenAESKey", "return"},
    };
    for (size_t i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLineForm)) << lines[i];
        EXPECT_EQ(m[1].str(), std::to_string(getpid()));
        EXPECT_EQ(m[3].str(), expect[i].level);
        EXPECT_EQ(m[4].str(), expect[i].function);
        EXPECT_EQ(m[5].str(), expect[i].text);
    }
}

TEST_F(DiagLog, StandardConversionsMatchThePlatformPrintf) {
    diaglog::SetCapture(true);
    char expect[256];
    int n = 0;
#define CHECK_FORMAT(...)                                                                                      \
    do {                                                                                                       \
        snprintf(expect, sizeof expect, __VA_ARGS__);                                                          \
        _Print("f", __VA_ARGS__);                                                                              \
        EXPECT_EQ(OnlyText(), expect) << "format #" << n;                                                      \
        ++n;                                                                                                   \
    } while (0)
    CHECK_FORMAT("%d|%i|%u", -42, 17, 4000000000u);
    CHECK_FORMAT("[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42);
    CHECK_FORMAT("%x %X %#x %#X %08x %o", 0xbeefu, 0xbeefu, 255u, 255u, 0x1fu, 8u);
    CHECK_FORMAT("%hhd %hhu %hd %hu", 300, 300, 70000, 70000);
    CHECK_FORMAT("%ld %lu %lld %llu %llx", -5000000000L, 5000000000UL, -9000000000000000000LL,
                 18000000000000000000ULL, 0xfedcba9876543210ULL);
    CHECK_FORMAT("%zu %zd %jd", static_cast<size_t>(1) << 40, static_cast<ssize_t>(-7), static_cast<intmax_t>(-8));
    CHECK_FORMAT("%s|%.3s|%10s|%-10s|", "hello", "hello", "right", "left");
    CHECK_FORMAT("%c%c%5c", 'o', 'k', '!');
    CHECK_FORMAT("100%% %s", "done");
    CHECK_FORMAT("%*d|%-*d|%.*s|", 6, 12, 4, 7, 2, "abcdef");
    CHECK_FORMAT("%p %p", static_cast<void*>(expect), static_cast<void*>(nullptr));
    CHECK_FORMAT("%.2f %e", 3.14159, 1234.5);
    CHECK_FORMAT("res=%x", 0x80090016u);
#undef CHECK_FORMAT
    _Print("f", "%s and %s", "one", static_cast<const char*>(nullptr));
    EXPECT_EQ(OnlyText(), "one and (null)");
    _Print("f", "%I64d %I64u", -3LL, 3ULL); // Win32 length prefix
    EXPECT_EQ(OnlyText(), "-3 3");
}

TEST_F(DiagLog, WideStringsBecomeUtf8) {
    diaglog::SetCapture(true);
    const char16_t unpaired[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    const struct { const char* format; const char16_t* arg; const char* expect; } cases[] = {
        {"%S", u"plain", "plain"},
        {"<%S>", u"Gr\u00fc\u00dfe \u20ac \u4e2d", "<Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xe4\xb8\xad>"},
        {"%S", u"\U0001F600|\U00010437", "\xf0\x9f\x98\x80|\xf0\x90\x90\xb7"},
        {"%S", unpaired, "a\xef\xbf\xbd" "b\xef\xbf\xbd"},
        {"[%S]", nullptr, "[(null)]"},
        {"%ls", u"wide too", "wide too"},
        {"%.2S", u"abcdef", "ab"},
        {"%.1S", u"\U0001F600x", "\xef\xbf\xbd"}, /* a pair cut by the precision is not glued to what follows */
        {"%8S|", u"abc", "     abc|"},
        {"%-8S|", u"abc", "abc     |"},
    };
    for (const auto& c : cases) {
        _Print("f", c.format, c.arg);
        EXPECT_EQ(OnlyText(), c.expect) << c.format;
    }
    _Print("f", "Opened an existing mutex -- %S (%d)", u"Global\\Mutex{9FC4C01C}", 183);
    EXPECT_EQ(OnlyText(), "Opened an existing mutex -- Global\\Mutex{9FC4C01C} (183)");
    _Print("f", "%hS|%C", "narrow", static_cast<int>(u'\u00e9'));
    EXPECT_EQ(OnlyText(), "narrow|\xc3\xa9");
}

TEST_F(DiagLog, ControlCharactersCannotSplitALine) {
    _Print("f", "two\nlines\r%s", "and\na\ttab\x01");
    _PrintError("f", 7, "x\ny");
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" f two\\nlines\\rand\\na\\ttab\\x01"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" f x\\ny (line 7)"), std::string::npos) << lines[1];
}

TEST_F(DiagLog, LongMessagesAreCutNotGrown) {
    diaglog::SetCapture(true);
    std::string big(20000, 'a');
    std::u16string wide(20000, u'\u20ac');
    _Print("f", "%s", big.c_str());
    _PrintError("f", 99, "%S", wide.c_str());
    _Print("f", "%99999d|", 5);
    auto captured = diaglog::TakeCaptured();
    ASSERT_EQ(captured.size(), 3u);
    for (const auto& c : captured) {
        EXPECT_LE(c.text.size(), 4096u);
        EXPECT_GE(c.text.size(), 4000u);
    }
    EXPECT_EQ(captured[0].text.substr(captured[0].text.size() - 3), "...");
    /* Cut on a character boundary: the text before the mark is whole euro signs. */
    std::string w = captured[1].text.substr(0, captured[1].text.size() - 3);
    EXPECT_EQ(w.size() % 3, 0u);
    EXPECT_EQ(w.substr(w.size() - 3), "\xe2\x82\xac");
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& l : lines) EXPECT_LT(l.size(), 4600u);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 10), " (line 99)") << "the line number survives the cut";
}

TEST_F(DiagLog, UnknownConversionStopsReadingArguments) {
    diaglog::SetCapture(true);
    _Print("f", "ok %d then %q %s %d", 5);
    EXPECT_EQ(OnlyText(), "ok 5 then %q %s %d");
    _Print("f", "%n");
    EXPECT_EQ(OnlyText(), "%n");
    _Print("f", "trailing %");
    EXPECT_EQ(OnlyText(), "trailing %");
    _Print(nullptr, nullptr);
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find(" (null) (null)"), std::string::npos) << lines[3];
}

TEST_F(DiagLog, OffWritesNothing) {
    _Print("f", "before");
    ASSERT_EQ(ReadLines(path).size(), 1u);
    const std::string before = ReadAll(path);
    diaglog::Configure("off");
    _PrintEnter("f", "start");
    _Print("f", "%s", "quiet");
    _PrintError("f", 1, "quiet");
    _PrintExit("f", "return");
    setenv("VAULTKEEP_LOG", "off", 1);
    diaglog::Configure(nullptr);
    _Print("f", "still quiet");
    unsetenv("VAULTKEEP_LOG");
    diaglog::Configure(nullptr);
    _Print("f", "quiet when unset");
    diaglog::Configure(("file:/nonexistent-dir-" + std::to_string(getpid()) + "/x.log").c_str());
    _Print("f", "quiet when the file cannot be opened");
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_TRUE(diaglog::TakeCaptured().empty());
}

TEST_F(DiagLog, DestinationComesFromTheEnvironment) {
    diaglog::Configure("off");
    setenv("VAULTKEEP_LOG", ("file:" + path).c_str(), 1);
    diaglog::Configure(nullptr);
    unsetenv("VAULTKEEP_LOG");
    _Print("f", "from env");
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" f from env"), std::string::npos);

    /* stderr */
    fflush(stderr);
    int saved = dup(2);
    std::string errPath = path + ".err";
    FILE* errFile = fopen(errPath.c_str(), "w");
    ASSERT_NE(errFile, nullptr);
    dup2(fileno(errFile), 2);
    diaglog::Configure("stderr");
    _PrintError("g", 12, "to stderr");
    diaglog::Configure("off");
    dup2(saved, 2);
    close(saved);
    fclose(errFile);
    auto errLines = ReadLines(errPath);
    unlink(errPath.c_str());
    ASSERT_EQ(errLines.size(), 1u);
    EXPECT_TRUE(std::regex_match(errLines[0], kLineForm)) << errLines[0];
    EXPECT_NE(errLines[0].find(" g to stderr (line 12)"), std::string::npos);
}

TEST_F(DiagLog, CaptureKeepsLevelsFunctionsTextsAndLines) {
    diaglog::Configure("off");
    diaglog::SetCapture(true);
    _PrintEnter("CUtil::DecryptWithAES", "start");
    _Print("A::b", "value=%d", 9);
    _PrintError("CUtil::DecryptWithAES", 321, "KRY_AesDecrypt failed");
    _PrintExit("CUtil::DecryptWithAES", "return");
    auto lines = diaglog::TakeCaptured();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, diaglog::Level::Enter);
    EXPECT_EQ(lines[0].text, "start");
    EXPECT_EQ(lines[1].level, diaglog::Level::Info);
    EXPECT_EQ(lines[1].function, "A::b");
    EXPECT_EQ(lines[1].text, "value=9");
    EXPECT_EQ(lines[1].line, 0);
    EXPECT_EQ(lines[2].level, diaglog::Level::Error);
    EXPECT_EQ(lines[2].function, "CUtil::DecryptWithAES");
    EXPECT_EQ(lines[2].text, "KRY_AesDecrypt failed");
    EXPECT_EQ(lines[2].line, 321);
    EXPECT_EQ(lines[3].level, diaglog::Level::Exit);
    EXPECT_EQ(lines[3].text, "return");
    EXPECT_TRUE(diaglog::TakeCaptured().empty());
    diaglog::SetCapture(false);
    _Print("f", "not kept");
    EXPECT_TRUE(diaglog::TakeCaptured().empty());
    EXPECT_TRUE(ReadLines(path).empty());
}

TEST_F(DiagLog, ConcurrentWritersProduceIntactLines) {
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) _Print("worker", "thread=%d seq=%d %s", t, i, "payload-payload-payload");
        });
    }
    for (auto& th : threads) th.join();
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
