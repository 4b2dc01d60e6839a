// White-box tests of the plug-in's dispatcher, interpreter life cycle and
// function table, linked against the plug-in's own objects.

#include "hangguard.h"
#include "luahelpers.h"
#include "outputcapture.h"
#include "plugin.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// --- function table -------------------------------------------------------

TEST(FunctionTable, SetFunctionPointersCopiesAllSlots)
{
    // Distinct non-null values in every slot; they are compared, never called.
    uintptr_t raw[VX3FunctionSlotCount];
    for (int i = 0; i < VX3FunctionSlotCount; ++i)
        raw[i] = 0x1000u + 16u * static_cast<uintptr_t>(i);
    VX3Functions table;
    static_assert(sizeof raw == sizeof table, "one pointer per slot");
    std::memcpy(&table, raw, sizeof table);
    EXPECT_EQ(sizeof(VX3Functions), 1672u);

    std::memset(&vx3Functions, 0, sizeof vx3Functions);
    vx3plugin_setFunctionPointers(table);
    uintptr_t copied[VX3FunctionSlotCount];
    std::memcpy(copied, &vx3Functions, sizeof copied);
    for (int i = 0; i < VX3FunctionSlotCount; ++i)
        EXPECT_EQ(copied[i], raw[i]) << "slot " << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(vx3Functions.getClientNeededPermission), raw[208]);
    std::memset(&vx3Functions, 0, sizeof vx3Functions);
}

// --- helpers --------------------------------------------------------------

std::string g_pluginPath;
std::vector<size_t> g_pathSizes;

void testPluginPath(char* path, size_t maxLen)
{
    g_pathSizes.push_back(maxLen);
    std::snprintf(path, maxLen, "%s", g_pluginPath.c_str());
}

std::string tempRoot()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lua-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return std::string();
    return pattern + "/";
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void makeDir(const std::string& path)
{
    mkdir(path.c_str(), 0755);
}

// A fresh temporary folder holding an empty plug-in folder "p/" (with its "scriptling" folder),
// which the client's function table reports as the plug-in path. Returns the temporary folder,
// "" when it could not be made.
std::string preparePluginFolder()
{
    const std::string root = tempRoot();
    if (root.empty())
        return root;
    g_pluginPath = root + "p/";
    makeDir(g_pluginPath);
    makeDir(g_pluginPath + "scriptling");
    vx3Functions = VX3Functions();
    vx3Functions.getPluginPath = testPluginPath;
    return root;
}

void writeStartupScript(const std::string& text)
{
    writeFile(g_pluginPath + "scriptling/vx3events.lua", text);
}

// Runs a chunk in the current interpreter; returns the error text or "".
std::string run(const std::string& code)
{
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        std::string message = lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
        lua_pop(L, 1);
        return message;
    }
    return std::string();
}

std::string globalText(const char* name)
{
    lua_getglobal(L, name);
    std::string text = lua_isstring(L, -1) ? lua_tostring(L, -1) : std::string("<") + luaL_typename(L, -1) + ">";
    lua_pop(L, 1);
    return text;
}

// Calls the Lua function `name` without arguments; returns the call's status and puts what it
// wrote to standard error into `err`.
int callCapturingErrors(const char* name, std::string& err)
{
    OutputCapture capture;
    const int status = callLuaFunction(nullptr, name, "");
    capture.stop();
    err = capture.err();
    return status;
}

// Starts an interpreter over an empty plug-in folder (the start-up script is
// missing, which leaves the interpreter open) and defines the helpers.
class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_pluginPath = tempRoot();
        vx3Functions = VX3Functions();
        vx3Functions.getPluginPath = testPluginPath;
        {
            OutputCapture quiet;
            initLua();
        }
        ASSERT_NE(L, nullptr);
        ASSERT_EQ(run(R"(
            function probe(...)
                local n = select('#', ...)
                local parts = {}
                for k = 1, n do
                    local v = select(k, ...)
                    if type(v) == 'number' then parts[k] = string.format('%.17g', v)
                    else parts[k] = type(v) .. ':' .. tostring(v) end
                end
                got = n .. '|' .. table.concat(parts, ',')
            end
            function give() return unpack(RET) end
            function fail(text) error(text, 0) end
        )"), "");
    }
    void TearDown() override
    {
        OutputCapture quiet;
        closeLua();
    }
};

struct ArgumentCase {
    const char* title;
    std::function<int()> call;
    const char* expected;
};

TEST_F(Dispatcher, ArgumentLettersBecomeLuaValues)
{
    const ArgumentCase cases[] = {
        {"empty signature", [] { return callLuaFunction(nullptr, "probe", ""); }, "0|"},
        {"id above 32 bits", [] { return callLuaFunction(nullptr, "probe", "u", uint64_t(0x100000005ull)); }, "1|4294967301"},
        {"id with bit 31", [] { return callLuaFunction(nullptr, "probe", "u", uint64_t(0x80000003ull)); }, "1|2147483651"},
        {"id 2^53", [] { return callLuaFunction(nullptr, "probe", "u", uint64_t(1) << 53); }, "1|9007199254740992"},
        {"id 0", [] { return callLuaFunction(nullptr, "probe", "u", uint64_t(0)); }, "1|0"},
        {"negative int", [] { return callLuaFunction(nullptr, "probe", "i", -1); }, "1|-1"},
        {"int minimum", [] { return callLuaFunction(nullptr, "probe", "i", std::numeric_limits<int>::min()); }, "1|-2147483648"},
        {"client id", [] { return callLuaFunction(nullptr, "probe", "a", anyID(65535)); }, "1|65535"},
        {"unsigned maximum", [] { return callLuaFunction(nullptr, "probe", "I", 0xFFFFFFFFu); }, "1|4294967295"},
        {"double", [] { return callLuaFunction(nullptr, "probe", "d", 2.5); }, "1|2.5"},
        {"text", [] { return callLuaFunction(nullptr, "probe", "s", "hello world"); }, "1|string:hello world"},
        {"null text", [] { return callLuaFunction(nullptr, "probe", "s", static_cast<const char*>(nullptr)); }, "1|nil:nil"},
        {"mixed order",
         [] { return callLuaFunction(nullptr, "probe", "uiaIds", uint64_t(7), -3, anyID(9), 4000000000u, 0.25, "x"); },
         "6|7,-3,9,4000000000,0.25,string:x"},
    };
    for (const ArgumentCase& c : cases) {
        ASSERT_EQ(run("got = nil"), "");
        OutputCapture capture;
        const int result = c.call();
        capture.stop();
        EXPECT_EQ(result, 0) << c.title;
        EXPECT_EQ(globalText("got"), c.expected) << c.title;
        EXPECT_EQ(capture.err(), "") << c.title;
    }
}

struct IntResultCase {
    const char* returns; // Lua expression list for RET
    int status;
    int value; // value of the int afterwards (it starts at -77)
    const char* report;
};

TEST_F(Dispatcher, IntResultsAreTruncatedOrRejected)
{
    const IntResultCase cases[] = {
        {"{3.9}", 0, 3, ""},
        {"{-3.9}", 0, -3, ""},
        {"{'7'}", 0, 7, ""},
        {"{2147483647}", 0, 2147483647, ""},
        {"{-2147483648}", 0, std::numeric_limits<int>::min(), ""},
        {"{-2147483648.5}", 0, std::numeric_limits<int>::min(), ""},
        {"{}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{'seven'}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{{}}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{1e10}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{2147483648}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{-2147483649}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{math.huge}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{-math.huge}", 1, -77, "Error running Lua function: Wrong result type\n"},
        {"{0/0}", 1, -77, "Error running Lua function: Wrong result type\n"},
    };
    for (const IntResultCase& c : cases) {
        ASSERT_EQ(run(std::string("RET = ") + c.returns), "");
        int value = -77;
        OutputCapture capture;
        const int status = callLuaFunction(nullptr, "give", ">i", &value);
        capture.stop();
        EXPECT_EQ(status, c.status) << c.returns;
        EXPECT_EQ(value, c.value) << c.returns;
        EXPECT_EQ(capture.err(), c.report) << c.returns;
    }
}

TEST_F(Dispatcher, TextAndDoubleResults)
{
    ASSERT_EQ(run("RET = {'abc', 12, 2.75, '4.5'}"), "");
    const char* text = nullptr;
    const char* number = nullptr;
    double d1 = 0;
    double d2 = 0;
    EXPECT_EQ(callLuaFunction(nullptr, "give", ">ssdd", &text, &number, &d1, &d2), 0);
    ASSERT_NE(text, nullptr);
    ASSERT_NE(number, nullptr);
    EXPECT_STREQ(text, "abc");
    EXPECT_STREQ(number, "12");
    EXPECT_EQ(d1, 2.75);
    EXPECT_EQ(d2, 4.5);

    // A failing result stops the walk; results before it stay stored.
    ASSERT_EQ(run("RET = {'first', {}, 5}"), "");
    text = nullptr;
    d1 = -1;
    int i = -1;
    OutputCapture capture;
    EXPECT_EQ(callLuaFunction(nullptr, "give", ">sdi", &text, &d1, &i), 1);
    capture.stop();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "first");
    EXPECT_EQ(d1, -1);
    EXPECT_EQ(i, -1);
    EXPECT_EQ(capture.err(), "Error running Lua function: Wrong result type\n");
}

TEST_F(Dispatcher, InvalidLetters)
{
    ASSERT_EQ(run("got = nil"), "");
    {
        OutputCapture capture;
        EXPECT_EQ(callLuaFunction(nullptr, "probe", "uq", uint64_t(1), 2), 1);
        capture.stop();
        EXPECT_EQ(capture.err(), "Error running Lua function: Invalid option (q)\n");
        EXPECT_EQ(globalText("got"), "<nil>"); // never called
    }
    {
        // An unknown result letter still counts as an expected result.
        ASSERT_EQ(run("RET = {4, 5}"), "");
        int first = 0;
        OutputCapture capture;
        EXPECT_EQ(callLuaFunction(nullptr, "give", ">iz", &first, nullptr), 1);
        capture.stop();
        EXPECT_EQ(first, 4);
        EXPECT_EQ(capture.err(), "Error running Lua function: Invalid option (z)\n");
    }
}

struct LookupCase {
    const char* setup;
    const char* name;
    int status;
    const char* report; // prefix of standard error
    const char* got;
};

TEST_F(Dispatcher, LookupOfGlobalsAndModules)
{
    const LookupCase cases[] = {
        {"tools = {['run.now'] = function() got = 'run.now' end, run = {now = 1}}", "tools.run.now", 0, "", "run.now"},
        {"tools = 'a string'", "tools.run", 1, "Error running Lua function: Module 'tools' not found\n", "<nil>"},
        {"tools = nil", "tools.run", 1, "Error running Lua function: Module 'tools' not found\n", "<nil>"},
        {"tools = {}", "tools.run", 1, "Error running Lua function: Function 'run' not found in module 'tools'\n", "<nil>"},
        {"tools = {run = 5}", "tools.run", 1, "Error running Lua function: Function 'run' not found in module 'tools'\n", "<nil>"},
        {"handler = nil", "handler", 1, "Error running Lua function: Function 'handler' not found\n", "<nil>"},
        {"handler = setmetatable({}, {__call = function() got = 'called' end})", "handler", 1,
         "Error running Lua function: Function 'handler' not found\n", "<nil>"},
        {"handler = function() got = 'plain' end", "handler", 0, "", "plain"},
        // Handlers reached through metamethods still count.
        {"setmetatable(_G, {__index = function(t, k) if k == 'virtual' then return function() got = 'virtual' end end end})",
         "virtual", 0, "", "virtual"},
        {"setmetatable(_G, nil) tools = setmetatable({}, {__index = function(t, k) return function() got = k end end})",
         "tools.hidden", 0, "", "hidden"},
        // A failing __index is reported like any Lua error and the client lives.
        {"tools = setmetatable({}, {__index = function(t, k) error('no field ' .. k, 0) end})", "tools.run", 1,
         "Error running Lua function 'tools.run': no field run\n", "<nil>"},
        {"setmetatable(_G, {__index = function(t, k) error('undeclared ' .. k, 0) end})", "missing", 1,
         "Error running Lua function 'missing': undeclared missing\n", "<nil>"},
        {"rawset(_G, 'got', nil)", "other.f", 1, "Error running Lua function 'other.f': undeclared other\n", "<nil>"},
    };
    for (const LookupCase& c : cases) {
        ASSERT_EQ(run("rawset(_G, 'got', nil)"), "");
        ASSERT_EQ(run(c.setup), "") << c.setup;
        const int top = lua_gettop(L);
        OutputCapture capture;
        const int status = callLuaFunction(nullptr, c.name, "");
        capture.stop();
        EXPECT_EQ(status, c.status) << c.name << " / " << c.setup;
        EXPECT_EQ(capture.err(), c.report) << c.name << " / " << c.setup;
        EXPECT_EQ(lua_gettop(L), top);
        lua_getglobal(L, "rawget");
        lua_pushglobaltable(L);
        lua_pushstring(L, "got");
        lua_call(L, 2, 1);
        const std::string got = lua_isstring(L, -1) ? lua_tostring(L, -1) : "<nil>";
        lua_pop(L, 1);
        EXPECT_EQ(got, c.got) << c.name;
    }
}

TEST_F(Dispatcher, LuaErrorsAreReportedWithNameAndText)
{
    char buffer[LuaErrorBufferSize];
    std::memset(buffer, 'Z', sizeof buffer);
    OutputCapture capture;
    EXPECT_EQ(callLuaFunction(buffer, "fail", "s", "broken handler"), 1);
    capture.stop();
    EXPECT_EQ(capture.err(), "Error running Lua function 'fail': broken handler\n");
    EXPECT_STREQ(buffer, "Error running Lua function 'fail': broken handler\n");

    // Error values that are no strings.
    ASSERT_EQ(run("function failTable() error({}) end function failNumber() error(42, 0) end"), "");
    OutputCapture second;
    EXPECT_EQ(callLuaFunction(nullptr, "failTable", ""), 1);
    EXPECT_EQ(callLuaFunction(nullptr, "failNumber", ""), 1);
    second.stop();
    EXPECT_NE(second.err().find("Error running Lua function 'failTable': (error object is a table value)\n"),
              std::string::npos)
        << second.err();
    EXPECT_NE(second.err().find("Error running Lua function 'failNumber': 42\n"), std::string::npos) << second.err();
}

TEST_F(Dispatcher, LongErrorTextIsCutInTheBuffer)
{
    const std::string longText(2000, 'x');
    char buffer[LuaErrorBufferSize + 16];
    std::memset(buffer, 'Z', sizeof buffer);
    OutputCapture capture;
    EXPECT_EQ(callLuaFunction(buffer, "fail", "s", longText.c_str()), 1);
    capture.stop();
    const std::string full = "Error running Lua function 'fail': " + longText + "\n";
    EXPECT_EQ(capture.err(), full);
    EXPECT_EQ(std::strlen(buffer), 511u);
    EXPECT_EQ(std::string(buffer), full.substr(0, 511));
    EXPECT_EQ(buffer[LuaErrorBufferSize], 'Z'); // nothing written past 512 bytes

    char small[LuaErrorBufferSize];
    OutputCapture quiet;
    EXPECT_EQ(callLuaFunction(small, "nothing", ""), 1);
    quiet.stop();
    EXPECT_STREQ(small, "Error running Lua function: Function 'nothing' not found\n");
}

TEST_F(Dispatcher, StackStaysBalancedOnEveryPath)
{
    ASSERT_EQ(run("RET = {1, 'two'}"), "");
    const int top = lua_gettop(L);
    OutputCapture quiet;
    for (int round = 0; round < 500; ++round) {
        int i = 0;
        const char* s = nullptr;
        callLuaFunction(nullptr, "give", ">is", &i, &s);
        callLuaFunction(nullptr, "give", ">ii", &i, &i);
        callLuaFunction(nullptr, "probe", "uis", uint64_t(round), round, "t");
        callLuaFunction(nullptr, "fail", "s", "e");
        callLuaFunction(nullptr, "absent", "");
        callLuaFunction(nullptr, "absent.module", "");
        callLuaFunction(nullptr, "probe", "x");
    }
    quiet.stop();
    EXPECT_EQ(lua_gettop(L), top);
}

int g_innerResult = 0;

int reenterFromLua(lua_State* state)
{
    const int value = static_cast<int>(luaL_checkinteger(state, 1));
    int result = -1;
    const int status = callLuaFunction(nullptr, "inner", "i>i", value, &result);
    lua_pushinteger(state, status == 0 ? result : -1000);
    return 1;
}

TEST_F(Dispatcher, ReentersTheSameInterpreter)
{
    lua_register(L, "reenter", reenterFromLua);
    ASSERT_EQ(run("function inner(x) return x * 2 end function outer(x) return reenter(x) + 1 end"), "");
    const int top = lua_gettop(L);
    g_innerResult = 0;
    EXPECT_EQ(callLuaFunction(nullptr, "outer", "i>i", 20, &g_innerResult), 0);
    EXPECT_EQ(g_innerResult, 41);
    EXPECT_EQ(lua_gettop(L), top);
}

TEST_F(Dispatcher, ManyArgumentsGrowTheStack)
{
    // 300 arguments exceed the stack room Lua guarantees to a C function.
    ASSERT_EQ(run("function count(...) got = tostring(select('#', ...)) end"), "");
    std::string signature(60, 'i');
    OutputCapture quiet;
    const int status = callLuaFunction(nullptr, "count", signature.c_str(), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                       14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33,
                                       34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53,
                                       54, 55, 56, 57, 58, 59, 60);
    quiet.stop();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(globalText("got"), "60");
}

TEST_F(Dispatcher, RunawayAllocationFailsTheCallNotTheClient)
{
    ASSERT_EQ(run("function hog() big = string.rep('x', 600 * 1024 * 1024) end function alive() got = 'alive' end"),
              "");
    std::string err;
    EXPECT_EQ(callCapturingErrors("hog", err), 1);
    EXPECT_NE(err.find("Error running Lua function 'hog': not enough memory"), std::string::npos) << err;
    EXPECT_EQ(callLuaFunction(nullptr, "alive", ""), 0);
    EXPECT_EQ(globalText("got"), "alive");
}

TEST(DispatcherWithoutInterpreter, ReturnsOneSilently)
{
    ASSERT_EQ(L, nullptr);
    int value = 5;
    OutputCapture capture;
    EXPECT_EQ(callLuaFunction(nullptr, "anything", "u>i", uint64_t(1), &value), 1);
    capture.stop();
    EXPECT_EQ(value, 5);
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");
}

// --- interpreter life cycle -----------------------------------------------

class Interpreter : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = preparePluginFolder();
        ASSERT_FALSE(m_root.empty());
        g_pathSizes.clear();
    }
    void TearDown() override
    {
        OutputCapture quiet;
        closeLua();
        unsetenv("LUA_PATH_5_2");
    }
    std::string m_root;
};

TEST_F(Interpreter, StartsAndRunsTheStartupScript)
{
    writeStartupScript("started = 'yes' vx3type = type(vx3)");
    OutputCapture capture;
    EXPECT_EQ(initLua(), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "Initializing Lua interpreter\n");
    ASSERT_EQ(g_pathSizes.size(), 1u);
    EXPECT_EQ(g_pathSizes[0], 128u);
    ASSERT_NE(L, nullptr);
    EXPECT_EQ(globalText("started"), "yes");
    EXPECT_EQ(globalText("vx3type"), "table");
    const char* luaPath = std::getenv("LUA_PATH");
    ASSERT_NE(luaPath, nullptr);
    EXPECT_EQ(std::string(luaPath), g_pluginPath + "scriptling/?.lua");
    EXPECT_EQ(lua_gettop(L), 0);
}

// A client that shuts the plug-in down (or registers it anew) inside the
// function that received the plug-in's id, then reads the id it was given.
std::string g_idSeenAfterShutdown;

unsigned shutdownInsideSendPluginCommand(uint64_t, const char* id, const char*, uint64_t, const anyID*, const char*)
{
    OutputCapture quiet;
    vx3plugin_registerPluginID("replaced");
    vx3plugin_shutdown();
    quiet.stop();
    g_idSeenAfterShutdown = id ? id : "(null)";
    return 0;
}

TEST_F(Interpreter, PluginIdOutlivesAShutdownInsideTheClientCall)
{
    writeStartupScript("function send() got = vx3.sendPluginCommand(1, 'hello', 0, {7}) end");
    {
        OutputCapture quiet;
        ASSERT_EQ(initLua(), 0);
        vx3plugin_registerPluginID("scriptling-1");
    }
    vx3Functions.sendPluginCommand = shutdownInsideSendPluginCommand;
    g_idSeenAfterShutdown.clear();
    OutputCapture capture;
    EXPECT_EQ(callLuaFunction(nullptr, "send", ""), 0);
    capture.stop();
    EXPECT_EQ(g_idSeenAfterShutdown, "scriptling-1");
    // The shutdown happened once the call had returned.
    EXPECT_EQ(L, nullptr);
    EXPECT_EQ(pluginID, nullptr);
    EXPECT_EQ(capture.out(), "Shutting down Lua interpreter\n");
}

TEST_F(Interpreter, ModulesComeOnlyFromThePluginScriptFolder)
{
    // A decoy folder named by LUA_PATH_5_2, which the package library would
    // otherwise prefer, and a decoy in the working folder's default path.
    const std::string decoy = m_root + "decoy/";
    makeDir(decoy);
    makeDir(decoy + "greeter");
    writeFile(decoy + "greeter/init.lua", "return 'decoy'");
    writeFile(decoy + "stray.lua", "return 'stray'");
    setenv("LUA_PATH_5_2", (decoy + "?.lua;;").c_str(), 1);
    makeDir(g_pluginPath + "scriptling/greeter");
    writeFile(g_pluginPath + "scriptling/greeter/init.lua", "return 'plugin module'");
    writeStartupScript(R"(
        greeting = require 'greeter.init'
        strayFound = tostring(pcall(require, 'stray'))
        searchPath = package.path
    )");
    char* current = get_current_dir_name();
    ASSERT_NE(current, nullptr);
    const std::string cwd = current;
    std::free(current);
    ASSERT_EQ(chdir(decoy.c_str()), 0);
    OutputCapture quiet;
    const int status = initLua();
    quiet.stop();
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(status, 0) << quiet.out();
    EXPECT_EQ(globalText("greeting"), "plugin module");
    EXPECT_EQ(globalText("strayFound"), "false");
    EXPECT_EQ(globalText("searchPath"), g_pluginPath + "scriptling/?.lua");
}

int g_finalized = 0;

int markFinalized(lua_State*)
{
    ++g_finalized;
    return 0;
}

TEST_F(Interpreter, SecondStartClosesTheFirstInterpreter)
{
    writeStartupScript("generation = (generation or 0) + 1");
    OutputCapture capture;
    ASSERT_EQ(initLua(), 0);
    lua_register(L, "markFinalized", markFinalized);
    ASSERT_EQ(run("sentinel = setmetatable({}, {__gc = function() markFinalized() end})"), "");
    g_finalized = 0;
    EXPECT_EQ(initLua(), 0);
    capture.stop();
    EXPECT_EQ(g_finalized, 1);
    EXPECT_EQ(capture.out(),
              "Initializing Lua interpreter\nInitializing Lua interpreter\nShutting down Lua interpreter\n");
    EXPECT_EQ(globalText("generation"), "1"); // a fresh interpreter
}

TEST_F(Interpreter, FailingStartupScriptKeepsWhatItDefined)
{
    writeStartupScript("before = 'kept'\nerror('halfway')\nafter = 'never'");
    OutputCapture capture;
    EXPECT_EQ(initLua(), 1);
    capture.stop();
    ASSERT_NE(L, nullptr);
    const std::string script = g_pluginPath + "scriptling/vx3events.lua";
    // Lua shortens long chunk names in its messages, so only the ends are compared.
    const std::string expectedStart = "Initializing Lua interpreter\nFailed to load lua script: " + script + "\n";
    EXPECT_EQ(capture.out().compare(0, expectedStart.size(), expectedStart), 0) << capture.out();
    const std::string expectedEnd = "vx3events.lua:2: halfway\n";
    ASSERT_GE(capture.out().size(), expectedEnd.size());
    EXPECT_EQ(capture.out().substr(capture.out().size() - expectedEnd.size()), expectedEnd);
    EXPECT_EQ(globalText("before"), "kept");
    EXPECT_EQ(globalText("after"), "<nil>");
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(Interpreter, MissingOrBrokenScripts)
{
    OutputCapture capture;
    EXPECT_EQ(initLua(), 1); // no start-up script
    ASSERT_NE(L, nullptr);
    writeFile(m_root + "syntax.lua", "this is not lua");
    EXPECT_EQ(loadLuaScript((m_root + "syntax.lua").c_str()), 1);
    writeFile(m_root + "good.lua", "loaded = 'good' return 1, 2, 3");
    EXPECT_EQ(loadLuaScript((m_root + "good.lua").c_str()), 0);
    EXPECT_EQ(loadLuaScript(m_root.c_str()), 1); // a folder
    capture.stop();
    EXPECT_EQ(countOf(capture.out(), "Failed to load lua script: "), 3) << capture.out();
    EXPECT_NE(capture.out().find("Failed to load lua script: " + m_root + "syntax.lua\n"), std::string::npos);
    EXPECT_EQ(globalText("loaded"), "good");
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(Interpreter, WithoutInterpreter)
{
    OutputCapture capture;
    closeLua();
    EXPECT_EQ(loadLuaScript("whatever.lua"), 1);
    closeLua();
    capture.stop();
    EXPECT_EQ(capture.out(), "Shutting down Lua interpreter\nNo Lua state when trying to load lua script.\n"
                             "Shutting down Lua interpreter\n");
    EXPECT_EQ(L, nullptr);
}

TEST_F(Interpreter, OverlongPluginPathIsCut)
{
    g_pluginPath = std::string(300, 'p') + "/";
    OutputCapture capture;
    EXPECT_EQ(initLua(), 1);
    capture.stop();
    const char* luaPath = std::getenv("LUA_PATH");
    ASSERT_NE(luaPath, nullptr);
    EXPECT_EQ(std::string(luaPath), std::string(127, 'p') + "scriptling/?.lua");
    EXPECT_NE(capture.out().find("Failed to load lua script: " + std::string(127, 'p') + "\n"), std::string::npos);
}

TEST_F(Interpreter, MissingPathSlotStillStarts)
{
    vx3Functions.getPluginPath = nullptr;
    OutputCapture capture;
    EXPECT_EQ(initLua(), 1); // "scriptling/vx3events.lua" relative to nowhere useful
    capture.stop();
    EXPECT_NE(L, nullptr);
    EXPECT_NE(capture.out().find("Failed to load lua script: scriptling/vx3events.lua\n"), std::string::npos);
}

// --- time limit of calls into Lua ---------------------------------------

// Scripts that never end must not hang the client: every call from the
// plug-in into Lua fails once it has run longer than the limit.
class TimeLimit : public ::testing::Test {
protected:
    void SetUp() override
    {
        setLuaCallTimeLimit(200);
        m_root = preparePluginFolder();
        ASSERT_FALSE(m_root.empty());
    }
    void TearDown() override
    {
        OutputCapture quiet;
        closeLua();
        setLuaCallTimeLimit(LuaDefaultCallTimeLimitMs);
    }
    // Starts the interpreter with `script` as the start-up script.
    int start(const std::string& script)
    {
        writeStartupScript(script);
        OutputCapture capture;
        const int status = initLua();
        capture.stop();
        m_out = capture.out();
        return status;
    }
    std::string m_root;
    std::string m_out;
};

const char kTimeLimitReport[] = "script ran longer than 200 ms\n";

struct EndlessCase {
    const char* title;
    const char* handler; // body of the function "endless"
};

TEST_F(TimeLimit, EndlessHandlersFailAndTheNextCallRuns)
{
    ASSERT_EQ(start("function alive(n) got = 'alive ' .. n return n + 1 end"), 0);
    const EndlessCase cases[] = {
        {"plain loop", "while true do end"},
        {"loop that catches its own errors", "while true do pcall(function() while true do end end) end"},
        {"error handler that loops",
         "while true do xpcall(function() while true do end end, function() while true do end end) end"},
        {"loop in coroutines", "while true do coroutine.resume(coroutine.create(function() while true do end end)) end"},
        {"recursion through a C function", "while true do pcall(string.gsub, 'x', 'x', function() while true do end end) end"},
    };
    for (const EndlessCase& c : cases) {
        ASSERT_EQ(run(std::string("function endless() ") + c.handler + " end"), "") << c.title;
        char buffer[LuaErrorBufferSize] = {0};
        const int top = lua_gettop(L);
        OutputCapture capture;
        EXPECT_EQ(callLuaFunction(buffer, "endless", "u", uint64_t(1)), 1) << c.title;
        capture.stop();
        const std::string report = capture.err();
        EXPECT_EQ(report.rfind("Error running Lua function 'endless': ", 0), 0u) << c.title << ": " << report;
        ASSERT_GE(report.size(), sizeof kTimeLimitReport - 1) << c.title;
        EXPECT_EQ(report.substr(report.size() - (sizeof kTimeLimitReport - 1)), kTimeLimitReport) << c.title;
        EXPECT_STREQ(buffer, report.c_str()) << c.title;
        EXPECT_EQ(lua_gettop(L), top) << c.title;

        // The interpreter goes on: a normal handler afterwards runs to its end.
        int next = 0;
        EXPECT_EQ(callLuaFunction(nullptr, "alive", "i>i", 41, &next), 0) << c.title;
        EXPECT_EQ(next, 42) << c.title;
        EXPECT_EQ(globalText("got"), "alive 41") << c.title;
    }
    // Work that takes many instructions but ends in time is left alone.
    ASSERT_EQ(run("function busy() local s = 0 for k = 1, 300000 do s = s + k end got = tostring(s) end"), "");
    EXPECT_EQ(callLuaFunction(nullptr, "busy", ""), 0);
    EXPECT_EQ(globalText("got"), "45000150000");
    // Other failures keep their own report.
    ASSERT_EQ(run("function hog() big = string.rep('x', 600 * 1024 * 1024) end"), "");
    std::string err;
    EXPECT_EQ(callCapturingErrors("hog", err), 1);
    EXPECT_EQ(err, "Error running Lua function 'hog': not enough memory\n");
}

TEST_F(TimeLimit, HeavyLibraryCallsCountToo)
{
    // Fewer instructions than the count hook waits for between two looks at
    // the clock, but much work inside the library: seconds without the
    // allocator's look.
    ASSERT_EQ(start(""), 0);
    const char* const loops[] = {
        "for k = 1, 5000 do local s = string.rep('x', 2^20) end",
        "local t = {} for k = 1, 64 do t[k] = string.rep('y', 2^14) end "
        "for k = 1, 5000 do local s = table.concat(t) end",
        "for k = 1, 1000 do local s = string.gsub(string.rep('ab', 2^17), 'a', 'c') end",
    };
    for (const char* loop : loops) {
        ASSERT_EQ(run(std::string("function heavy() got = nil ") + loop + " got = 'finished' end"), "") << loop;
        std::string err;
        EXPECT_EQ(callCapturingErrors("heavy", err), 1) << loop;
        EXPECT_EQ(globalText("got"), "<nil>") << loop;
        EXPECT_NE(err.find(kTimeLimitReport), std::string::npos) << loop << ": " << err;
    }
    // The interpreter goes on afterwards.
    ASSERT_EQ(run("function small() got = string.rep('z', 3) end"), "");
    EXPECT_EQ(callLuaFunction(nullptr, "small", ""), 0);
    EXPECT_EQ(globalText("got"), "zzz");
}

TEST_F(TimeLimit, CallOutOfTimeUnwindsWithoutCollectingAtEachStep)
{
    // While a call that ran out of time unwinds, every allocation fails, and
    // Lua tries a full collection before it lets one fail: with a large heap
    // and many levels of pcall to unwind, that took seconds to minutes.
    ASSERT_EQ(start(""), 0);
    ASSERT_EQ(run("big = {} for k = 1, 2000000 do big[k] = {k} end"), "");
    ASSERT_EQ(run("function nested(n) if n == 0 then while true do end end pcall(nested, n - 1) return n end\n"
                  "function deep() nested(150) got = 'unwound' end"),
              "");
    std::string err;
    {
        HangGuard guard(5, "the call that ran out of time");
        EXPECT_EQ(callCapturingErrors("deep", err), 1);
    }
    EXPECT_NE(err.find(kTimeLimitReport), std::string::npos) << err;
    EXPECT_EQ(globalText("got"), "<nil>");
    // The collector runs again afterwards.
    ASSERT_EQ(run("big = nil collectgarbage() running = tostring(collectgarbage('isrunning'))"), "");
    EXPECT_EQ(globalText("running"), "true");
    EXPECT_LT(lua_gc(L, LUA_GCCOUNT, 0), 64 * 1024); // KiB
}

int g_nestedCalls = 0;

int callInner(lua_State* state)
{
    ++g_nestedCalls;
    int result = 0;
    lua_pushinteger(state, callLuaFunction(nullptr, "inner", ">i", &result) == 0 ? result : -1);
    return 1;
}

TEST_F(TimeLimit, NestedCallsRunOnTheOuterCallsTime)
{
    ASSERT_EQ(start(""), 0);
    lua_register(L, "callInner", callInner);
    // The outer handler keeps entering the plug-in again; if a nested call
    // restarted the clock, the outer one would run until its own end, some
    // seconds of processor time later.
    ASSERT_EQ(run("function inner() return 7 end\n"
                  "function outer()\n"
                  "  local t = os.clock()\n"
                  "  while os.clock() - t < 5 do assert(callInner() == 7) end\n"
                  "  got = 'ran to its end'\n"
                  "end"),
              "");
    g_nestedCalls = 0;
    std::string err;
    EXPECT_EQ(callCapturingErrors("outer", err), 1);
    EXPECT_GT(g_nestedCalls, 1);
    EXPECT_NE(err.find(kTimeLimitReport), std::string::npos) << err;
    EXPECT_EQ(globalText("got"), "<nil>");
    // A nested call that runs out of time fails the outer one as well.
    ASSERT_EQ(run("function inner() while true do end end\n"
                  "function outer() got = callInner() while true do end end"),
              "");
    g_nestedCalls = 0;
    EXPECT_EQ(callCapturingErrors("outer", err), 1);
    EXPECT_EQ(g_nestedCalls, 1);
    EXPECT_EQ(globalText("got"), "<nil>"); // the outer call failed at its next instruction
    EXPECT_EQ(countOf(err, "Error running Lua function 'inner': "), 1) << err;
    EXPECT_EQ(countOf(err, "Error running Lua function 'outer': "), 1) << err;
    EXPECT_EQ(countOf(err, kTimeLimitReport), 2) << err;
}

// A client function that takes longer than the limit and raises an event
// before it returns, as a client may do inside a slow request.
std::vector<int> g_eventsDuringSlowCall;

unsigned slowClientID(uint64_t, anyID* result)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    int value = -1;
    g_eventsDuringSlowCall.push_back(callLuaFunction(nullptr, "inner", ">i", &value) == 0 ? value : -1);
    *result = 7;
    return 0;
}

TEST_F(TimeLimit, TimeInsideTheClientDoesNotCount)
{
    // Each handler works a while (the clock is read every 100000
    // instructions) around two client calls of 150 ms each: together they
    // take longer than the limit, the scripts' own part does not.
    ASSERT_EQ(start("local function work() local s = 0 for k = 1, 300000 do s = s + k end return s end\n"
                    "function inner() work() return 5 end\n"
                    "function slow()\n"
                    "  work() local a = vx3.getClientID(1)\n"
                    "  work() local b = vx3.getClientID(1)\n"
                    "  work() got = 'finished ' .. a .. ' ' .. b\n"
                    "end\n"
                    "function slowThenEndless() vx3.getClientID(1) got = 'looping' while true do end end\n"),
              0);
    vx3Functions.getClientID = slowClientID;
    g_eventsDuringSlowCall.clear();
    std::string err;
    EXPECT_EQ(callCapturingErrors("slow", err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(globalText("got"), "finished 7 7");
    EXPECT_EQ(g_eventsDuringSlowCall, (std::vector<int>{5, 5}));

    // The clock runs again once the client has returned.
    EXPECT_EQ(callCapturingErrors("slowThenEndless", err), 1);
    EXPECT_EQ(globalText("got"), "looping");
    EXPECT_NE(err.find(kTimeLimitReport), std::string::npos) << err;
}

TEST_F(TimeLimit, EndlessStartupScriptKeepsWhatItDefined)
{
    EXPECT_EQ(start("function alive() got = 'alive' end\nwhile true do end\nafter = 'never'"), 1);
    ASSERT_NE(L, nullptr);
    const std::string script = g_pluginPath + "scriptling/vx3events.lua";
    EXPECT_EQ(m_out.rfind("Initializing Lua interpreter\nFailed to load lua script: " + script + "\n", 0), 0u)
        << m_out;
    EXPECT_NE(m_out.find(kTimeLimitReport), std::string::npos) << m_out;
    EXPECT_EQ(globalText("after"), "<nil>");
    EXPECT_EQ(callLuaFunction(nullptr, "alive", ""), 0);
    EXPECT_EQ(globalText("got"), "alive");

    // A script loaded later that never ends fails the same way.
    writeFile(m_root + "endless.lua", "while true do end");
    OutputCapture capture;
    EXPECT_EQ(loadLuaScript((m_root + "endless.lua").c_str()), 1);
    capture.stop();
    EXPECT_NE(capture.out().find(kTimeLimitReport), std::string::npos) << capture.out();
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(TimeLimit, EndlessMenuBuildingGivesNoMenus)
{
    ASSERT_EQ(start("function createMenus() while true do end end"), 0);
    long untouched = 0;
    PluginMenuItem** items = reinterpret_cast<PluginMenuItem**>(&untouched);
    char* icon = reinterpret_cast<char*>(&untouched);
    OutputCapture capture;
    createMenus(&items, &icon);
    capture.stop();
    EXPECT_EQ(capture.out(), "Failed to call createMenus.\n");
    EXPECT_EQ(items, reinterpret_cast<PluginMenuItem**>(&untouched));
    EXPECT_EQ(icon, reinterpret_cast<char*>(&untouched));
    EXPECT_EQ(lua_gettop(L), 0);
}

// --- source text only ---------------------------------------------------

// Precompiled form of `source`, as string.dump gives it.
std::string precompiled(const std::string& source)
{
    lua_State* state = luaL_newstate();
    std::string chunk;
    if (state && luaL_loadstring(state, source.c_str()) == LUA_OK) {
        lua_dump(
            state,
            [](lua_State*, const void* data, size_t size, void* target) {
                static_cast<std::string*>(target)->append(static_cast<const char*>(data), size);
                return 0;
            },
            &chunk);
    }
    if (state)
        lua_close(state);
    return chunk;
}

// Runs a chunk in `state`; returns the error text or "".
std::string runIn(lua_State* state, const std::string& code)
{
    if (luaL_loadstring(state, code.c_str()) != LUA_OK || lua_pcall(state, 0, 0, 0) != LUA_OK) {
        std::string message = lua_tostring(state, -1) ? lua_tostring(state, -1) : "?";
        lua_pop(state, 1);
        return message;
    }
    return std::string();
}

std::string globalTextIn(lua_State* state, const char* name)
{
    lua_getglobal(state, name);
    size_t length = 0;
    const char* value = lua_isstring(state, -1) ? lua_tolstring(state, -1, &length) : nullptr;
    std::string text = value ? std::string(value, length) : std::string("<") + luaL_typename(state, -1) + ">";
    lua_pop(state, 1);
    return text;
}

void setGlobalText(lua_State* state, const char* name, const std::string& value)
{
    lua_pushlstring(state, value.data(), value.size());
    lua_setglobal(state, name);
}

const char kBinaryRefused[] = "attempt to load a binary chunk (mode is 't')";

// Interpreters of the plug-in and, for comparison, a stock one with the same
// module path, both given the same files to load.
class TextChunks : public Interpreter {
protected:
    void SetUp() override
    {
        Interpreter::SetUp();
        m_scripts = g_pluginPath + "scriptling/";
        m_binary = precompiled("ran = 'chunk' return 'chunk'");
        ASSERT_GT(m_binary.size(), 4u);
        ASSERT_EQ(m_binary[0], '\x1b');
        writeFile(m_root + "chunk.luac", m_binary);
        writeFile(m_scripts + "binmod.lua", precompiled("ran = 'module' return 'module'"));
        writeFile(m_root + "text.lua", "return ..., 'file'");
        writeFile(m_root + "envy.lua", "return y");
        writeFile(m_root + "fails.lua", "error('failed in file', 0)");
        writeFile(m_root + "yields.lua", "local got = coroutine.yield('yielded') return got .. ' done'");
        writeFile(m_scripts + "textmod.lua", "return {args = table.concat({...}, '|')}");
        makeDir(m_scripts + "sub");
        writeFile(m_scripts + "sub/inner.lua", "return 'inner'");
        writeFile(m_scripts + "broken.lua", "return +");

        writeStartupScript("");
        OutputCapture quiet;
        ASSERT_EQ(initLua(), 0);
        quiet.stop();
        m_stock = luaL_newstate();
        ASSERT_NE(m_stock, nullptr);
        luaL_openlibs(m_stock);
        lua_getglobal(m_stock, "package");
        lua_pushstring(m_stock, (m_scripts + "?.lua").c_str());
        lua_setfield(m_stock, -2, "path");
        lua_pop(m_stock, 1);
        for (lua_State* state : {L, m_stock}) {
            setGlobalText(state, "BIN", m_binary);
            setGlobalText(state, "ROOT", m_root);
        }
    }
    void TearDown() override
    {
        if (m_stock)
            lua_close(m_stock);
        Interpreter::TearDown();
    }
    std::string m_scripts;
    std::string m_binary;
    lua_State* m_stock = nullptr;
};

TEST_F(TextChunks, PrecompiledStartupScriptIsRefused)
{
    const std::string script = g_pluginPath + "scriptling/vx3events.lua";
    for (const char* firstLine : {"", "#!/usr/bin/lua\n"}) {
        writeStartupScript(firstLine + precompiled("ran = 'startup'"));
        // A stock interpreter would run it.
        lua_State* stock = luaL_newstate();
        ASSERT_NE(stock, nullptr);
        EXPECT_EQ(luaL_loadfilex(stock, script.c_str(), nullptr), LUA_OK) << firstLine;
        lua_close(stock);

        OutputCapture capture;
        EXPECT_EQ(initLua(), 1) << firstLine;
        capture.stop();
        EXPECT_EQ(capture.out(), "Initializing Lua interpreter\nShutting down Lua interpreter\n"
                                 "Failed to load lua script: " +
                                     script + "\n" + kBinaryRefused + "\n")
            << firstLine;
        ASSERT_NE(L, nullptr);
        EXPECT_EQ(globalText("ran"), "<nil>") << firstLine;
        EXPECT_EQ(lua_gettop(L), 0);
        // The interpreter goes on with source text.
        EXPECT_EQ(run("alive = 'yes'"), "");
        EXPECT_EQ(globalText("alive"), "yes");
    }
    writeFile(m_root + "later.luac", precompiled("ran = 'later'"));
    writeFile(m_root + "later.lua", "ran = 'text'");
    OutputCapture capture;
    EXPECT_EQ(loadLuaScript((m_root + "later.luac").c_str()), 1);
    EXPECT_EQ(globalText("ran"), "<nil>");
    EXPECT_EQ(loadLuaScript((m_root + "later.lua").c_str()), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "Failed to load lua script: " + m_root + "later.luac\n" + kBinaryRefused + "\n");
    EXPECT_EQ(globalText("ran"), "text");
}

struct ChunkCase {
    const char* title;
    const char* code; // sets `result`
    std::string expected;
};

TEST_F(TextChunks, ScriptsCannotLoadPrecompiledChunks)
{
    // Each case runs what it loaded; only a stock interpreter gets that far.
    const ChunkCase cases[] = {
        {"load of a dumped function",
         "local f, e = load(string.dump(function() ran = 'dump' end)) result = e if f then f() end", kBinaryRefused},
        {"load, mode b", "local f, e = load(BIN, 'named', 'b') result = e if f then f() end", kBinaryRefused},
        {"load, mode bt and environment", "local f, e = load(BIN, nil, 'bt', _G) result = e if f then f() end",
         kBinaryRefused},
        {"load from a reader",
         "local k = 0\n"
         "local f, e = load(function() k = k + 1 return BIN:sub(k * 8 - 7, k * 8) end)\n"
         "result = e if f then f() end",
         kBinaryRefused},
        {"loadstring", "local f, e = loadstring(BIN) result = e if f then f() end", kBinaryRefused},
        {"loadfile", "local f, e = loadfile(ROOT .. 'chunk.luac') result = e if f then f() end", kBinaryRefused},
        {"loadfile, mode b and environment",
         "local f, e = loadfile(ROOT .. 'chunk.luac', 'b', _G) result = e if f then f() end", kBinaryRefused},
        {"dofile", "local ok, e = pcall(dofile, ROOT .. 'chunk.luac') result = e", kBinaryRefused},
        {"require", "local ok, e = pcall(require, 'binmod') result = e",
         "error loading module 'binmod' from file '" + m_scripts + "binmod.lua':\n\t" + kBinaryRefused},
        {"package.loaders",
         "local ok, f = pcall(package.loaders[2], 'binmod') if type(f) == 'function' then f() else result = f end",
         "error loading module 'binmod' from file '" + m_scripts + "binmod.lua':\n\t" + kBinaryRefused},
    };
    for (const ChunkCase& c : cases) {
        for (lua_State* state : {L, m_stock})
            ASSERT_EQ(runIn(state, "ran = nil result = nil"), "");
        EXPECT_EQ(runIn(L, c.code), "") << c.title;
        EXPECT_EQ(globalTextIn(L, "result"), c.expected) << c.title;
        EXPECT_EQ(globalTextIn(L, "ran"), "<nil>") << c.title;
        EXPECT_EQ(lua_gettop(L), 0) << c.title;

        EXPECT_EQ(runIn(m_stock, c.code), "") << c.title;
        EXPECT_NE(globalTextIn(m_stock, "ran"), "<nil>") << c.title << " (stock)";
    }
}

TEST_F(TextChunks, SourceTextLoadsAsInAStockInterpreter)
{
    const std::string cannotOpen = "cannot open " + m_root + "absent.lua: No such file or directory";
    const ChunkCase cases[] = {
        {"load", "result = load('return 1 + 1')()", "2"},
        {"load, named chunk", "result = select(2, load('x = ', 'chunky'))",
         "[string \"chunky\"]:1: unexpected symbol near <eof>"},
        {"load, text as chunk name", "result = select(2, pcall(load('error(\"boom\")')))",
         "[string \"error(\"boom\")\"]:1: boom"},
        {"load, mode t and environment",
         "local env = {y = 3} load('x = y * 2', 'e', 't', env)() result = env.x .. tostring(x)", "6nil"},
        {"load, nil environment", "result = select(2, pcall(load('return y', '=e', 't', nil)))",
         "e:1: attempt to index upvalue '_ENV' (a nil value)"},
        {"load, environment of a chunk without upvalues", "result = load('return 4', 'e', 't', {})()", "4"},
        {"load, mode naming no kind", "result = select(2, load('return 1', 'n', 'x'))",
         "attempt to load a text chunk (mode is 'x')"},
        {"load, binary chunk and mode naming no kind", "result = select(2, load(BIN, 'n', 'x'))",
         "attempt to load a binary chunk (mode is 'x')"},
        {"load, mode that is no string", "result = select(2, pcall(function() return load('x = 1', nil, {}) end)):match(':1: (.*)')",
         "bad argument #3 to 'load' (string expected, got table)"},
        {"load, nothing to load", "result = select(2, pcall(function() return load() end)):match(':1: (.*)')",
         "bad argument #1 to 'load' (function expected, got no value)"},
        {"load from a reader",
         "local parts = {'return ', '4', '2'} local k = 0 result = load(function() k = k + 1 return parts[k] end)()",
         "42"},
        {"load from a reader ending with an empty piece",
         "local parts = {'return 7', ''} local k = 0 result = load(function() k = k + 1 return parts[k] end)()", "7"},
        {"load from a reader giving no text", "result = select(2, load(function() return {} end), 'x')", ""},
        {"load from a reader, default name",
         "local done = false\n"
         "local f = load(function() if done then return nil end done = true return 'error(\"r\")' end)\n"
         "result = select(2, pcall(f))",
         "(load):1: r"},
        {"loadstring", "result = loadstring('return 9')()", "9"},
        {"loadfile", "result = table.concat({loadfile(ROOT .. 'text.lua')('a')}, ',')", "a,file"},
        {"loadfile, environment", "result = loadfile(ROOT .. 'envy.lua', 't', {y = 'envy'})()", "envy"},
        {"loadfile, missing file", "result = select(2, loadfile(ROOT .. 'absent.lua'))", cannotOpen},
        {"dofile", "result = select('#', dofile(ROOT .. 'text.lua')) .. ',' .. select(2, dofile(ROOT .. 'text.lua'))",
         "2,file"},
        {"dofile, failing chunk", "result = select(2, pcall(dofile, ROOT .. 'fails.lua'))", "failed in file"},
        {"dofile, missing file", "result = select(2, pcall(dofile, ROOT .. 'absent.lua'))", cannotOpen},
        {"dofile, chunk that yields",
         "local co = coroutine.wrap(function() return dofile(ROOT .. 'yields.lua') end)\n"
         "result = co() .. ', ' .. co('resumed')",
         "yielded, resumed done"},
        {"require", "result = require('textmod').args", "textmod|" + m_scripts + "textmod.lua"},
        {"require, dotted name", "result = require('sub.inner')", "inner"},
        {"require, module that does not parse", "result = select(2, pcall(require, 'broken'))", ""},
        {"require, missing module", "result = select(2, pcall(require, 'absent'))", ""},
        {"require, path that is no string",
         "local saved = package.path package.path = nil\n"
         "result = select(2, pcall(require, 'elsewhere')) package.path = saved",
         "'package.path' must be a string"},
        {"package.searchpath", "result = package.searchpath('sub.inner', package.path)", m_scripts + "sub/inner.lua"},
    };
    for (const ChunkCase& c : cases) {
        for (lua_State* state : {L, m_stock}) {
            ASSERT_EQ(runIn(state, "result = nil"), "");
            EXPECT_EQ(runIn(state, c.code), "") << c.title;
            EXPECT_EQ(lua_gettop(state), 0) << c.title;
        }
        const std::string result = globalTextIn(L, "result");
        EXPECT_EQ(result, globalTextIn(m_stock, "result")) << c.title;
        if (!c.expected.empty()) {
            EXPECT_EQ(result, c.expected) << c.title;
        }
    }
    // The messages that depend on the module path hold the plug-in's files.
    ASSERT_EQ(run("result = select(2, pcall(require, 'broken'))"), "");
    EXPECT_EQ(globalText("result").rfind("error loading module 'broken' from file '" + m_scripts + "broken.lua':\n\t",
                                         0),
              0u)
        << globalText("result");
    ASSERT_EQ(run("result = select(2, pcall(require, 'absent'))"), "");
    EXPECT_NE(globalText("result").find("module 'absent' not found:\n\tno field package.preload['absent']\n\tno file '" +
                                        m_scripts + "absent.lua'\n"),
              std::string::npos)
        << globalText("result");
}

TEST_F(TextChunks, ModesAdmittingBinaryChunksLoadSourceText)
{
    const ChunkCase cases[] = {
        {"load, mode b", "result = load('return 5', 'n', 'b')()", "5"},
        {"load, mode bt", "result = load('return 6', 'n', 'bt')()", "6"},
        {"load from a reader, mode b",
         "local done = false\n"
         "result = load(function() if done then return nil end done = true return 'return 8' end, 'r', 'b')()",
         "8"},
        {"loadstring, mode b", "result = loadstring('return 9', 'n', 'b')()", "9"},
        {"loadfile, mode b", "result = table.concat({loadfile(ROOT .. 'text.lua', 'b')('a')}, ',')", "a,file"},
        {"loadfile, mode b and environment", "result = loadfile(ROOT .. 'envy.lua', 'b', {y = 'envy'})()", "envy"},
    };
    for (const ChunkCase& c : cases) {
        ASSERT_EQ(run("result = nil"), "");
        EXPECT_EQ(run(c.code), "") << c.title;
        EXPECT_EQ(globalText("result"), c.expected) << c.title;
    }
}

} // namespace
