// Tests of the log facility: level names, line layout, filter, threshold,
// outputs, timestamps, and the CRITICAL stop (run in forked children).

#include "log.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/wait.h>
#include <unistd.h>

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
    RecordingOutput(std::string name, std::vector<std::string>* journal)
        : m_Name(std::move(name)), m_Journal(journal)
    {
    }

    void notify() override { m_Journal->push_back(m_Name + ".notify"); }
    void handleValue(void* value) override
    {
        m_Journal->push_back(m_Name + ".value");
        m_Values.push_back(value);
    }
    void handleOptionalValue(void* value) override
    {
        m_Journal->push_back(m_Name + ".optional");
        m_Values.push_back(value);
    }
    void write(const std::string& message, int level, std::string channel, uint64_t id,
               std::string timestamp, std::string line) override
    {
        m_Journal->push_back(m_Name + ".write");
        m_Writes.push_back({message, level, channel, id, timestamp, line});
    }

    std::string m_Name;
    std::vector<std::string>* m_Journal;
    std::vector<WriteCall> m_Writes;
    std::vector<void*> m_Values;
};

// An output without handleOptionalValue: the base version must do nothing.
class PlainOutput : public LogBase
{
public:
    void notify() override {}
    void handleValue(void*) override {}
    void write(const std::string&, int, std::string, uint64_t, std::string,
               std::string) override
    {
        ++m_Writes;
    }
    int m_Writes = 0;
};

// Writes each call straight to stderr so that a forked child's order survives
// its abrupt end.
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
    }
    const char* m_Name;
};

struct ChildResult
{
    bool exited = false;
    int status = -1;
    std::string output; // stdout and stderr together
};

// Runs body in a forked child with stdout and stderr captured.  A body that
// returns ends the child with status 99.
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
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
        result.exited = true;
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

void printAtExit()
{
    std::fprintf(stderr, "[atexit]");
}

struct DestructorMarker
{
    ~DestructorMarker() { std::fprintf(stderr, "[static-destructor]"); }
};

std::vector<std::string>* callbackJournal = nullptr;
std::vector<std::string> callbackArgs;

void recordingCallback(const std::string& message, std::string channel, uint64_t id,
                       std::string timestamp, std::string line)
{
    if (callbackJournal)
        callbackJournal->push_back("callback");
    callbackArgs = {message, channel, std::to_string(id), timestamp, line};
}

void stderrCallback(const std::string& message, std::string, uint64_t, std::string,
                    std::string)
{
    std::fprintf(stderr, "[callback:%s]", message.c_str());
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
        callbackJournal = nullptr;
        callbackArgs.clear();
    }

    std::vector<std::string> journal;
};

TEST_F(LogTest, LevelNames)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int lvl = 0; lvl < 6; ++lvl)
        EXPECT_EQ(getLogLevelName(lvl), names[lvl]) << lvl;
}

TEST_F(LogTest, LineLayoutWithDefaults)
{
    RecordingOutput out("A", &journal);
    writeLogMessage("disk almost full", 2, "", 0);
    ASSERT_EQ(out.m_Writes.size(), 1u);
    const WriteCall& call = out.m_Writes[0];
    EXPECT_EQ(call.message, "disk almost full");
    EXPECT_EQ(call.level, 2);
    EXPECT_EQ(call.channel, "");
    EXPECT_EQ(call.id, 0u);
    ASSERT_EQ(call.timestamp.size(), 26u);
    const std::string expected = call.timestamp + "|WARNING |" + std::string(14, ' ') + "|"
        + std::string(3, ' ') + "|disk almost full";
    EXPECT_EQ(call.line, expected);
    EXPECT_EQ(call.line.back(), 'l'); // no newline appended
}

TEST_F(LogTest, ColumnWidths)
{
    struct Case
    {
        int level;
        std::string channel;
        uint64_t id;
        std::string columns; // the line after the timestamp, without the message
    };
    const Case cases[] = {
        {1, "", 0, "|ERROR   |              |   |"},
        {4, "net", 42, "|INFO    |net           |42 |"},
        {5, "patch", 123456, "|DEVELOP |patch         |123456|"},
        {3, "averyveryverylongchannel", 7, "|DEBUG   |averyveryverylongchannel|7  |"},
        {1, "c", UINT64_MAX, "|ERROR   |c             |18446744073709551615|"},
    };
    for (const Case& c : cases) {
        RecordingOutput out("A", &journal);
        writeLogMessage("msg", c.level, c.channel, c.id);
        ASSERT_EQ(out.m_Writes.size(), 1u) << c.columns;
        const WriteCall& call = out.m_Writes[0];
        EXPECT_EQ(call.line, call.timestamp + c.columns + "msg");
        EXPECT_EQ(call.id, c.id);
        EXPECT_EQ(call.channel, c.channel);
    }
}

TEST_F(LogTest, ContinuationLinesAreIndentedUnderTheMessage)
{
    struct Case
    {
        std::string message;
        std::vector<std::string> parts; // joined by "\n" + indent
    };
    const Case cases[] = {
        {"two\nwords", {"two", "words"}},
        {"trailing\n", {"trailing", ""}},
        {"a\n\nb", {"a", "", "b"}},
        {"\nlead", {"", "lead"}},
    };
    for (const Case& c : cases) {
        RecordingOutput out("A", &journal);
        writeLogMessage(c.message, 1, "chan", 5);
        ASSERT_EQ(out.m_Writes.size(), 1u);
        const WriteCall& call = out.m_Writes[0];
        const std::string prefix = call.timestamp + "|ERROR   |chan          |5  |";
        std::string expected = prefix;
        for (size_t i = 0; i < c.parts.size(); ++i) {
            if (i > 0)
                expected += "\n" + std::string(prefix.size(), ' ');
            expected += c.parts[i];
        }
        EXPECT_EQ(call.line, expected);
        EXPECT_EQ(call.message, c.message); // handed over unchanged
    }
}

TEST_F(LogTest, DatabaseFilter)
{
    RecordingOutput out("A", &journal);
    const std::string missing = "sqlite3_prepare failed no such column: string_id";
    const std::string query =
        "before db_exec() select * from instance_properties where string_id = 'x' after";

    // Dropped on the database channel, even at level 0 (the process survives).
    writeLogMessage(missing, 0, "DatabaseQuery", 0);
    writeLogMessage(query, 0, "DatabaseQuery", 3);
    writeLogMessage(query, 1, "DatabaseQuery", 0);
    EXPECT_TRUE(out.m_Writes.empty());

    // Only an exact match of the first text is dropped.
    writeLogMessage(missing + " ", 1, "DatabaseQuery", 0);
    // The same texts on another channel pass.
    writeLogMessage(missing, 1, "Database", 0);
    writeLogMessage(query, 2, "", 0);
    ASSERT_EQ(out.m_Writes.size(), 3u);
    EXPECT_EQ(out.m_Writes[0].message, missing + " ");
    EXPECT_EQ(out.m_Writes[1].channel, "Database");
    EXPECT_EQ(out.m_Writes[2].message, query);
}

TEST_F(LogTest, Threshold)
{
    struct Case
    {
        int maxLevel;
        std::vector<int> passing;
    };
    const Case cases[] = {
        {5, {1, 2, 3, 4, 5}},
        {2, {1, 2}},
        {3, {1, 2, 3}},
        {1, {1}},
        {0, {}},
    };
    for (const Case& c : cases) {
        setLogMaxLevel(c.maxLevel);
        RecordingOutput out("A", &journal);
        for (int level = 1; level <= 5; ++level)
            writeLogMessage("m", level, "", 0);
        std::vector<int> levels;
        for (const WriteCall& call : out.m_Writes)
            levels.push_back(call.level);
        EXPECT_EQ(levels, c.passing) << "max " << c.maxLevel;
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
    EXPECT_EQ(journal, (std::vector<std::string>{"A.write", "B.write", "C.write"}));

    journal.clear();
    b.reset();
    auto d = std::make_unique<RecordingOutput>("D", &journal);
    writeLogMessage("second", 1, "", 0);
    EXPECT_EQ(journal, (std::vector<std::string>{"A.write", "C.write", "D.write"}));
    ASSERT_EQ(a->m_Writes.size(), 2u);
    EXPECT_EQ(a->m_Writes[1].message, "second");

    a.reset();
    c.reset();
    d.reset();
    EXPECT_TRUE(logOutputs().empty());
}

TEST_F(LogTest, DispatchCallsNotifyAfterEachWriteForCritical)
{
    RecordingOutput a("A", &journal);
    RecordingOutput b("B", &journal);
    LogOutputList list{&b, &a};
    dispatchLogLine(list, "m", 0, "", 0, "ts", "line");
    EXPECT_EQ(journal,
              (std::vector<std::string>{"B.write", "B.notify", "A.write", "A.notify"}));

    journal.clear();
    dispatchLogLine(list, "m", 1, "", 0, "ts", "line");
    EXPECT_EQ(journal, (std::vector<std::string>{"B.write", "A.write"}));

    journal.clear();
    dispatchLogLine(list, "m", 0, "", 0, "ts", ""); // empty line: nothing
    EXPECT_TRUE(journal.empty());
}

TEST_F(LogTest, Broadcasts)
{
    RecordingOutput a("A", &journal);
    PlainOutput plain;
    RecordingOutput b("B", &journal);
    int token = 0;

    broadcastValue(&token);
    EXPECT_EQ(journal, (std::vector<std::string>{"A.value", "B.value"}));
    ASSERT_EQ(a.m_Values.size(), 1u);
    EXPECT_EQ(a.m_Values[0], &token);

    journal.clear();
    broadcastOptionalValue(&token);
    EXPECT_EQ(journal, (std::vector<std::string>{"A.optional", "B.optional"}));

    journal.clear();
    LogOutputList list{&b};
    broadcastValue(list, nullptr);
    broadcastOptionalValue(list, nullptr);
    broadcastNotify(list);
    EXPECT_EQ(journal, (std::vector<std::string>{"B.value", "B.optional", "B.notify"}));
    EXPECT_EQ(plain.m_Writes, 0);
}

TEST_F(LogTest, TimestampStyles)
{
    const pt::ptime half(boost::gregorian::date(2015, 3, 2),
                         pt::hours(14) + pt::minutes(5) + pt::seconds(7)
                             + pt::microseconds(500000));
    const pt::ptime whole(boost::gregorian::date(2015, 3, 2),
                          pt::hours(14) + pt::minutes(5) + pt::seconds(7));
    const pt::ptime tiny(boost::gregorian::date(1999, 12, 31),
                         pt::hours(23) + pt::minutes(59) + pt::seconds(59)
                             + pt::microseconds(1));
    struct Case
    {
        pt::ptime time;
        int style;
        std::string text;
    };
    const Case cases[] = {
        {half, 0, "2015-03-02 14:05:07.500000"},
        {whole, 0, "2015-03-02 14:05:07.000000"},
        {tiny, 0, "1999-12-31 23:59:59.000001"},
        {half, 2, "20150302T140507.500000"},
        {whole, 2, "20150302T140507"},
        {half, 1, "2015-03-02T14:05:07.500000"},
        {whole, 1, "2015-03-02T14:05:07"},
        {half, -4, "2015-03-02T14:05:07.500000"},
        {whole, 3, "2015-03-02T14:05:07"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatLogTimestamp(c.time, c.style), c.text) << c.style;
}

TEST_F(LogTest, TimestampStyleIsUsedInTheLine)
{
    RecordingOutput out("A", &journal);
    setLogTimestampStyle(2);
    writeLogMessage("m", 1, "", 0);
    ASSERT_EQ(out.m_Writes.size(), 1u);
    const std::string& ts = out.m_Writes[0].timestamp;
    ASSERT_GE(ts.size(), 15u);
    EXPECT_EQ(ts[8], 'T');
    EXPECT_EQ(ts.find('-'), std::string::npos);
    EXPECT_EQ(out.m_Writes[0].line.substr(0, ts.size() + 1), ts + "|");
}

// Reads a style-0 stamp back and checks it lies between two clock readings.
TEST_F(LogTest, CurrentTimeInUtcAndLocalTime)
{
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    // Three hours east of UTC, no daylight saving.
    setenv("TZ", "XYZ-03", 1);
    tzset();

    const pt::ptime utcBefore = pt::microsec_clock::universal_time();
    const std::string utcStamp = makeLogTimestamp(0);
    const pt::ptime utcAfter = pt::microsec_clock::universal_time();
    ASSERT_EQ(utcStamp.size(), 26u);
    const pt::ptime utc = pt::time_from_string(utcStamp);
    EXPECT_LE(utcBefore, utc);
    EXPECT_LE(utc, utcAfter);

    setLogLocalTime(1);
    const pt::ptime localBefore = pt::microsec_clock::universal_time() + pt::hours(3);
    const std::string localStamp = makeLogTimestamp(0);
    const pt::ptime localAfter = pt::microsec_clock::universal_time() + pt::hours(3);
    const pt::ptime local = pt::time_from_string(localStamp);
    EXPECT_LE(localBefore, local);
    EXPECT_LE(local, localAfter);

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
        writeLogMessage("boom", 0, "", 0);
        std::fprintf(stderr, "[returned]");
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.status, 1);
    const size_t aWrite = r.output.find("[A.write:boom|");
    const size_t aNotify = r.output.find("[A.notify]");
    const size_t bWrite = r.output.find("[B.write:boom|");
    const size_t bNotify = r.output.find("[B.notify]");
    const size_t callback = r.output.find("[callback:boom]");
    ASSERT_NE(aWrite, std::string::npos) << r.output;
    ASSERT_NE(callback, std::string::npos) << r.output;
    EXPECT_LT(aWrite, aNotify);
    EXPECT_LT(aNotify, bWrite);
    EXPECT_LT(bWrite, bNotify);
    EXPECT_LT(bNotify, callback);
    EXPECT_NE(r.output.find("|CRITICAL|"), std::string::npos) << r.output;
    // The process ends without running exit handlers or static destructors.
    EXPECT_EQ(r.output.find("[returned]"), std::string::npos);
    EXPECT_EQ(r.output.find("[atexit]"), std::string::npos);
    EXPECT_EQ(r.output.find("[static-destructor]"), std::string::npos);
}

TEST_F(LogTest, CriticalCallbackReceivesTheLine)
{
    // In the child the callback is recorded before the exit; it reports back
    // through stderr.
    const ChildResult r = runInChild([] {
        setLogCriticalCallback([](const std::string& message, std::string channel,
                                  uint64_t id, std::string timestamp, std::string line) {
            const std::string expected = timestamp + "|CRITICAL|engine        |9  |" + message;
            std::fprintf(stderr, "[%s %s %llu %s]", message.c_str(), channel.c_str(),
                         static_cast<unsigned long long>(id),
                         line == expected ? "line-ok" : line.c_str());
        });
        writeLogMessage("bad", 0, "engine", 9);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "[bad engine 9 line-ok]");
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
    struct Case
    {
        std::function<void()> body;
    };
    const Case cases[] = {
        {[] { getLogLevelName(6); }},
        {[] { getLogLevelName(-1); }},
        {[] { writeLogMessage("caller text", -1, "chan", 3); }},
    };
    for (const Case& c : cases) {
        const ChildResult r = runInChild([&c] {
            new StderrOutput("A");
            c.body();
            std::fprintf(stderr, "[returned]");
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("[A.write:" + assertion + "|"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("caller text"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("[returned]"), std::string::npos);
    }
}

TEST_F(LogTest, CriticalFromWorkerThreadsEndsTheProcessOnce)
{
    const ChildResult r = runInChild([] {
        std::atexit(printAtExit);
        new StderrOutput("A");
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([i] { writeLogMessage("t" + std::to_string(i), 0, "", 0); });
        for (std::thread& t : threads)
            t.join();
        std::fprintf(stderr, "[returned]");
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.status, 1);
    // Exactly one CRITICAL line went out, completely, and nothing else ran.
    size_t writes = 0;
    for (size_t pos = r.output.find("[A.write:"); pos != std::string::npos;
         pos = r.output.find("[A.write:", pos + 1))
        ++writes;
    EXPECT_EQ(writes, 1u) << r.output;
    EXPECT_NE(r.output.find("[A.notify]"), std::string::npos);
    EXPECT_EQ(r.output.find("[atexit]"), std::string::npos);
    EXPECT_EQ(r.output.find("[returned]"), std::string::npos);
}

TEST_F(LogTest, FilteredCriticalRunsNoCallback)
{
    // A level-0 message removed by the filter neither calls the callback nor exits.
    callbackJournal = &journal;
    setLogCriticalCallback(recordingCallback);
    RecordingOutput out("A", &journal);
    writeLogMessage("sqlite3_prepare failed no such column: string_id", 0, "DatabaseQuery", 0);
    EXPECT_TRUE(journal.empty());
    EXPECT_TRUE(callbackArgs.empty());
}

} // namespace
