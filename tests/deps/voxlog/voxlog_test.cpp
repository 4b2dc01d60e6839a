// Tests of the log facility: level names, line layout, filter, threshold,
// outputs, timestamps, and the CRITICAL stop (run in forked children).

#include "log.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace pt = boost::posix_time;
using Strings = std::vector<std::string>;

struct WriteCall
{
    std::string message;
    int level;
    std::string channel;
    uint64_t id;
    std::string timestamp;
    std::string line;
};

// Records every call in a journal shared by all outputs of a test, so that
// the order across outputs can be checked.
class RecordingOutput : public LogBase
{
public:
    RecordingOutput(std::string name, Strings* journal) : m_Name(std::move(name)), m_Journal(journal) {}

    void notify() override { m_Journal->push_back(m_Name + ".notify"); }
    void handleValue(void* value) override { record(".value", value); }
    void handleOptionalValue(void* value) override { record(".optional", value); }
    void write(const std::string& message, int level, std::string channel, uint64_t id,
               std::string timestamp, std::string line) override
    {
        m_Journal->push_back(m_Name + ".write");
        m_Writes.push_back({message, level, channel, id, timestamp, line});
    }

    std::string m_Name;
    Strings* m_Journal;
    std::vector<WriteCall> m_Writes;
    std::vector<void*> m_Values;

private:
    void record(const char* what, void* value)
    {
        m_Journal->push_back(m_Name + what);
        m_Values.push_back(value);
    }
};

// An output without handleOptionalValue: the base version must do nothing.
class PlainOutput : public LogBase
{
public:
    void notify() override {}
    void handleValue(void*) override {}
    void write(const std::string&, int, std::string, uint64_t, std::string, std::string) override {}
};

// Writes each call straight to (unbuffered) stderr so that a forked child's
// order survives its abrupt end.
class StderrOutput : public LogBase
{
public:
    explicit StderrOutput(const char* name) : m_Name(name) {}
    void notify() override { std::fprintf(stderr, "[%s.notify]", m_Name); }
    void handleValue(void*) override {}
    void write(const std::string& message, int, std::string, uint64_t, std::string,
               std::string line) override
    {
        std::fprintf(stderr, "[%s.write:%s|%s]", m_Name, message.c_str(), line.c_str());
        afterWrite();
    }
    virtual void afterWrite() {}
    const char* m_Name;
};

struct ChildResult
{
    bool exited = false;
    int status = -1;
    std::string output; // stdout and stderr together
};

// Runs body in a forked child (the test process has no other threads) with
// stdout and stderr captured.  A body that returns ends the child with status 99.
ChildResult runInChild(const std::function<void()>& body)
{
    std::fflush(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        body();
        std::fflush(nullptr);
        _exit(99);
    }
    close(fds[1]);
    ChildResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            result.output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    int wstatus = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && WIFEXITED(wstatus)) {
        result.exited = true;
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++count;
    return count;
}

void printAtExit()
{
    std::fprintf(stderr, "[atexit]");
}

struct DestructorMarker
{
    ~DestructorMarker() { std::fprintf(stderr, "[static-destructor]"); }
};

bool callbackRan = false;
void recordingCallback(const std::string&, std::string, uint64_t, std::string, std::string)
{
    callbackRan = true;
}

void stderrCallback(const std::string& message, std::string channel, uint64_t id,
                    std::string timestamp, std::string line)
{
    const std::string expected = timestamp + "|CRITICAL|engine        |9  |" + message;
    std::fprintf(stderr, "[callback:%s %s %llu %s]", message.c_str(), channel.c_str(),
                 static_cast<unsigned long long>(id), line == expected ? "line-ok" : line.c_str());
}

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override { restoreDefaults(); }
    void TearDown() override { restoreDefaults(); }

    static void restoreDefaults()
    {
        setLogMaxLevel(5);
        setLogLocalTime(0);
        setLogTimestampStyle(0);
        setLogCriticalCallback(nullptr);
        callbackRan = false;
    }

    Strings journal;
};

TEST_F(LogTest, LevelNames)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int lvl = 0; lvl < 6; ++lvl)
        EXPECT_EQ(getLogLevelName(lvl), names[lvl]) << lvl;
}

TEST_F(LogTest, LineLayout)
{
    struct Case
    {
        int level;
        std::string channel;
        uint64_t id;
        std::string columns; // the line after the timestamp, before the message
        std::string message;
        Strings parts; // the message's lines, joined by "\n" + an indent as long as the prefix
    };
    const Case cases[] = {
        {2, "", 0, "|WARNING |              |   |", "disk full", {"disk full"}},
        {4, "net", 42, "|INFO    |net           |42 |", "m", {"m"}},
        {5, "patch", 123456, "|DEVELOP |patch         |123456|", "m", {"m"}},
        {3, "averyveryverylongchannel", 7, "|DEBUG   |averyveryverylongchannel|7  |", "m", {"m"}},
        {1, "c", UINT64_MAX, "|ERROR   |c             |18446744073709551615|", "m", {"m"}},
        {1, "chan", 5, "|ERROR   |chan          |5  |", "two\nwords", {"two", "words"}},
        {1, "chan", 5, "|ERROR   |chan          |5  |", "trailing\n", {"trailing", ""}},
        {1, "chan", 5, "|ERROR   |chan          |5  |", "a\n\nb", {"a", "", "b"}},
        {1, "chan", 5, "|ERROR   |chan          |5  |", "\nlead", {"", "lead"}},
    };
    for (const Case& c : cases) {
        RecordingOutput out("A", &journal);
        writeLogMessage(c.message, c.level, c.channel, c.id);
        ASSERT_EQ(out.m_Writes.size(), 1u) << c.columns;
        const WriteCall& call = out.m_Writes[0];
        EXPECT_EQ(call.timestamp.size(), 26u); // default style
        const std::string prefix = call.timestamp + c.columns;
        std::string expected = prefix; // no newline appended
        for (size_t i = 0; i < c.parts.size(); ++i)
            expected += (i > 0 ? "\n" + std::string(prefix.size(), ' ') : "") + c.parts[i];
        EXPECT_EQ(call.line, expected);
        EXPECT_EQ(call.message, c.message); // handed over unchanged
        EXPECT_EQ(call.level, c.level);
        EXPECT_EQ(call.id, c.id);
        EXPECT_EQ(call.channel, c.channel);
    }
}

TEST_F(LogTest, DatabaseFilter)
{
    RecordingOutput out("A", &journal);
    setLogCriticalCallback(recordingCallback);
    const std::string missing = "sqlite3_prepare failed no such column: string_id";
    const std::string query =
        "before db_exec() select * from instance_properties where string_id = 'x' after";

    // Dropped on the database channel, even at level 0: no line, no callback,
    // and the process survives.
    writeLogMessage(missing, 0, "DatabaseQuery", 0);
    writeLogMessage(query, 0, "DatabaseQuery", 3);
    writeLogMessage(query, 1, "DatabaseQuery", 0);
    EXPECT_TRUE(journal.empty());
    EXPECT_FALSE(callbackRan);

    // Only an exact match of the first text is dropped; other channels pass.
    writeLogMessage(missing + " ", 1, "DatabaseQuery", 0);
    writeLogMessage(missing, 1, "Database", 0);
    writeLogMessage(query, 2, "", 0);
    ASSERT_EQ(out.m_Writes.size(), 3u);
    EXPECT_EQ(out.m_Writes[0].message, missing + " ");
    EXPECT_EQ(out.m_Writes[1].channel, "Database");
    EXPECT_EQ(out.m_Writes[2].message, query);
}

TEST_F(LogTest, Threshold)
{
    const std::pair<int, std::vector<int>> cases[] = {
        {5, {1, 2, 3, 4, 5}}, {2, {1, 2}}, {1, {1}}, {0, {}}};
    for (const auto& c : cases) {
        setLogMaxLevel(c.first);
        RecordingOutput out("A", &journal);
        for (int level = 1; level <= 5; ++level)
            writeLogMessage("m", level, "", 0);
        std::vector<int> levels;
        for (const WriteCall& call : out.m_Writes)
            levels.push_back(call.level);
        EXPECT_EQ(levels, c.second) << "max " << c.first;
    }
    // Levels above the maximum vanish before any name lookup.
    setLogMaxLevel(5);
    RecordingOutput out("A", &journal);
    writeLogMessage("m", 6, "", 0);
    writeLogMessage("m", 1000, "", 0);
    EXPECT_TRUE(out.m_Writes.empty());
}

TEST_F(LogTest, OutputsInCreationOrderAndRemovedOnDestruction)
{
    auto a = std::make_unique<RecordingOutput>("A", &journal);
    auto b = std::make_unique<RecordingOutput>("B", &journal);
    auto c = std::make_unique<RecordingOutput>("C", &journal);
    writeLogMessage("first", 1, "", 0);
    EXPECT_EQ(journal, (Strings{"A.write", "B.write", "C.write"}));

    journal.clear();
    b.reset();
    auto d = std::make_unique<RecordingOutput>("D", &journal);
    writeLogMessage("second", 1, "", 0);
    EXPECT_EQ(journal, (Strings{"A.write", "C.write", "D.write"}));

    a.reset();
    c.reset();
    d.reset();
    EXPECT_TRUE(logOutputs().empty());
}

TEST_F(LogTest, DispatchAndBroadcasts)
{
    RecordingOutput a("A", &journal);
    PlainOutput plain;
    RecordingOutput b("B", &journal);
    const LogOutputList list{&b, &a};

    // Notify follows each write for CRITICAL; an empty line reaches nobody.
    dispatchLogLine(list, "m", 0, "", 0, "ts", "line");
    dispatchLogLine(list, "m", 1, "", 0, "ts", "line");
    dispatchLogLine(list, "m", 0, "", 0, "ts", "");
    EXPECT_EQ(journal, (Strings{"B.write", "B.notify", "A.write", "A.notify", "B.write", "A.write"}));

    journal.clear();
    int token = 0;
    broadcastValue(&token);
    broadcastOptionalValue(&token);
    broadcastNotify(); // does nothing
    EXPECT_EQ(journal, (Strings{"A.value", "B.value", "A.optional", "B.optional"}));
    EXPECT_EQ(a.m_Values, (std::vector<void*>{&token, &token}));

    journal.clear();
    const LogOutputList onlyB{&b};
    broadcastValue(onlyB, nullptr);
    broadcastOptionalValue(onlyB, nullptr);
    broadcastNotify(onlyB);
    EXPECT_EQ(journal, (Strings{"B.value", "B.optional", "B.notify"}));
}

TEST_F(LogTest, TimestampStyles)
{
    const pt::ptime whole(boost::gregorian::date(2015, 3, 2),
                          pt::hours(14) + pt::minutes(5) + pt::seconds(7));
    const pt::ptime half = whole + pt::microseconds(500000);
    const pt::ptime tiny(boost::gregorian::date(1999, 12, 31),
                         pt::hours(23) + pt::minutes(59) + pt::seconds(59) + pt::microseconds(1));
    const std::tuple<pt::ptime, int, std::string> cases[] = {
        {half, 0, "2015-03-02 14:05:07.500000"},  {whole, 0, "2015-03-02 14:05:07.000000"},
        {tiny, 0, "1999-12-31 23:59:59.000001"},  {half, 2, "20150302T140507.500000"},
        {whole, 2, "20150302T140507"},            {half, 1, "2015-03-02T14:05:07.500000"},
        {whole, 1, "2015-03-02T14:05:07"},        {half, -4, "2015-03-02T14:05:07.500000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatLogTimestamp(std::get<0>(c), std::get<1>(c)), std::get<2>(c))
            << std::get<1>(c);

    // The style setting reaches the line.
    RecordingOutput out("A", &journal);
    setLogTimestampStyle(2);
    writeLogMessage("m", 1, "", 0);
    ASSERT_EQ(out.m_Writes.size(), 1u);
    const std::string& ts = out.m_Writes[0].timestamp;
    ASSERT_GE(ts.size(), 15u);
    EXPECT_EQ(ts[8], 'T');
    EXPECT_EQ(out.m_Writes[0].line.substr(0, ts.size() + 1), ts + "|");
}

// Reads a style-0 stamp back and checks it lies between two clock readings.
TEST_F(LogTest, CurrentTimeInUtcAndLocalTime)
{
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "XYZ-03", 1); // three hours east of UTC, no daylight saving
    tzset();

    for (int local = 0; local < 2; ++local) {
        setLogLocalTime(local);
        const pt::time_duration offset = pt::hours(local ? 3 : 0);
        const pt::ptime before = pt::microsec_clock::universal_time() + offset;
        const std::string stamp = makeLogTimestamp(0);
        const pt::ptime after = pt::microsec_clock::universal_time() + offset;
        ASSERT_EQ(stamp.size(), 26u);
        const pt::ptime logged = pt::time_from_string(stamp);
        EXPECT_LE(before, logged) << local;
        EXPECT_LE(logged, after) << local;
    }

    if (oldTz)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(LogTest, CriticalWritesNotifiesRunsCallbackThenExitsWithStatusOne)
{
    const ChildResult r = runInChild([] {
        static DestructorMarker marker;
        std::atexit(printAtExit);
        new StderrOutput("A");
        new StderrOutput("B");
        setLogCriticalCallback(stderrCallback);
        writeLogMessage("boom", 0, "engine", 9);
        std::fprintf(stderr, "[returned]");
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.status, 1);
    // Nothing after the callback: no return, no exit handlers, no static destructors.
    const std::string line = "|CRITICAL|engine        |9  |boom]";
    const size_t aWrite = r.output.find("[A.write:boom|");
    const size_t aNotify = r.output.find("[A.notify]", aWrite);
    const size_t bWrite = r.output.find("[B.write:boom|", aNotify);
    const size_t bNotify = r.output.find("[B.notify]", bWrite);
    ASSERT_EQ(aWrite, 0u) << r.output;
    ASSERT_NE(bNotify, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(bNotify), "[B.notify][callback:boom engine 9 line-ok]");
    EXPECT_EQ(occurrences(r.output, line), 2u) << r.output;
}

TEST_F(LogTest, CriticalBelowThresholdStillExits)
{
    const ChildResult r = runInChild([] {
        new StderrOutput("A");
        setLogCriticalCallback(stderrCallback);
        setLogMaxLevel(-1);
        writeLogMessage("silent", 0, "", 0);
        std::fprintf(stderr, "[returned]");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, ""); // no line, no notify, no callback
}

TEST_F(LogTest, BadLevelIsAnAssertionFailure)
{
    const std::string assertion = "Assertion \"lvl >= 0 && lvl * sizeof(std::string) < "
                                  "sizeof(logLevelTable)\" failed at "
                                  "../../../../deps/voxlog/src/lib/log:211; ";
    const std::function<void()> bodies[] = {
        [] { getLogLevelName(6); },
        [] { getLogLevelName(-1); },
        [] { writeLogMessage("caller text", -1, "chan", 3); },
    };
    for (const auto& body : bodies) {
        const ChildResult r = runInChild([&body] {
            new StderrOutput("A");
            body();
            std::fprintf(stderr, "[returned]");
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output.rfind("[A.write:" + assertion + "|", 0), 0u) << r.output;
        EXPECT_EQ(r.output.find("caller text"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("[returned]"), std::string::npos);
    }
}

// The first writer holds on until every thread has called writeLogMessage
// and then lingers, so a facility that let a second CRITICAL line through
// before the exit would be caught here every time.
std::atomic<int> criticalCallers{0};

class LingeringOutput : public StderrOutput
{
public:
    LingeringOutput() : StderrOutput("A") {}
    void afterWrite() override
    {
        for (int i = 0; i < 5000 && criticalCallers.load() < 4; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

TEST_F(LogTest, CriticalFromWorkerThreadsEndsTheProcessOnce)
{
    const ChildResult r = runInChild([] {
        std::atexit(printAtExit);
        new LingeringOutput;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([i] {
                ++criticalCallers;
                writeLogMessage("t" + std::to_string(i), 0, "", 0);
            });
        for (std::thread& t : threads)
            t.join();
        std::fprintf(stderr, "[returned]");
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.status, 1);
    // Exactly one CRITICAL line went out, completely, and nothing else ran.
    EXPECT_EQ(occurrences(r.output, "[A.write:"), 1u) << r.output;
    EXPECT_EQ(occurrences(r.output, "[A.notify]"), 1u) << r.output;
    EXPECT_EQ(r.output.size(), r.output.find("[A.notify]") + 10) << r.output;
}

} // namespace
