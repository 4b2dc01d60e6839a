#include "luahelpers.h"

#include "plugin.h"
#include "pluginhelpercall.h"
#include "pluginmenuitem.h"
#include "scriptclock.h"
#include "textchunkloaders.h"
#include "vx3lualib.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

lua_State* L = nullptr;

namespace {

// Bytes the interpreter currently holds (see limitedAlloc).
size_t luaMemoryInUse = 0;

// Set while a call that ran out of time unwinds: the interpreter gets no
// memory at all then (see timeLimitHook).
bool allocationsRefused = false;

bool runsOutOfTimeAllocating(size_t growth);

// Allocator of the interpreter: the system allocator with an upper bound, so
// that a runaway script gets a Lua memory error instead of starving the client.
void* limitedAlloc(void* ud, void* ptr, size_t osize, size_t nsize)
{
    size_t* inUse = static_cast<size_t*>(ud);
    const size_t oldSize = ptr ? osize : 0; // without a block, osize names a type
    if (nsize == 0) {
        std::free(ptr);
        *inUse -= oldSize;
        return nullptr;
    }
    if (nsize > oldSize && (allocationsRefused || nsize - oldSize > LuaMemoryLimit - *inUse ||
                            runsOutOfTimeAllocating(nsize - oldSize)))
        return nullptr;
    void* block = std::realloc(ptr, nsize);
    if (!block)
        return nullptr;
    *inUse = *inUse - oldSize + nsize;
    return block;
}

// Instructions between two looks at the clock.
const int kClockCheckInterval = 100000;

std::chrono::milliseconds callTimeLimit(LuaDefaultCallTimeLimitMs);
// Depth of the calls from the plug-in into Lua under way; the script clock
// runs from the start of the outermost one.
int timedCallDepth = 0;
// Whether the outermost call under way (or the last one) ran out of time,
// and the report for it.
bool timeLimitHit = false;
char timeLimitReport[LuaErrorBufferSize];

// Whether the collector was stopped for a call that ran out of time, and
// whether it ran before. Lua answers a failed allocation with a full
// collection before it gives up, so while such a call unwinds (every
// allocation fails) each step would cost a full collection of the heap.
bool collectorStopped = false;
bool collectorWasRunning = false;

void stopCollectorUntilCallReturns(lua_State* state)
{
    if (collectorStopped || !state)
        return;
    collectorStopped = true;
    collectorWasRunning = lua_gc(state, LUA_GCISRUNNING, 0) != 0;
    lua_gc(state, LUA_GCSTOP, 0);
}

// Count hook of every thread of the interpreter: fails the running script
// once the scripts have run longer than the limit in the outermost call.
//
// The failure is raised as a memory error, the one kind of Lua error that
// never runs a message handler: Lua calls a handler with hooks switched off,
// so an xpcall handler that loops could not be stopped otherwise. Until the
// outermost call returns, the interpreter gets no memory and every further
// instruction fails at once, in this thread and in the main one, so that a
// script cannot catch the error with pcall and go on.
void timeLimitHook(lua_State* state, lua_Debug*)
{
    if (timedCallDepth > 0 && (timeLimitHit || ScriptClock::elapsed() >= callTimeLimit)) {
        if (!timeLimitHit) {
            timeLimitHit = true;
            lua_Debug where;
            char position[LUA_IDSIZE + 16] = "";
            if (lua_getstack(state, 0, &where) && lua_getinfo(state, "Sl", &where) && where.currentline > 0)
                std::snprintf(position, sizeof position, "%s:%d: ", where.short_src, where.currentline);
            std::snprintf(timeLimitReport, sizeof timeLimitReport, "%sscript ran longer than %lld ms", position,
                          static_cast<long long>(callTimeLimit.count()));
        }
        allocationsRefused = true;
        stopCollectorUntilCallReturns(state);
        lua_sethook(state, timeLimitHook, LUA_MASKCOUNT, 1);
        if (L && L != state && lua_gethook(L) == timeLimitHook)
            lua_sethook(L, timeLimitHook, LUA_MASKCOUNT, 1);
        lua_newuserdata(state, 0); // fails with a memory error
        return;
    }
    // A thread left behind by a call that ran out of time goes back to the
    // normal interval.
    if (lua_gethookcount(state) != kClockCheckInterval)
        lua_sethook(state, timeLimitHook, LUA_MASKCOUNT, kClockCheckInterval);
}

// Library functions do much work in one instruction (string.rep, gsub,
// table.concat), so a loop of them could run for minutes between two looks
// of the count hook. They allocate as they go: the allocator looks at the
// clock as well, every kBytesPerClockCheck bytes or kAllocationsPerClockCheck
// allocations, and past the limit fails the allocation, the call and (like
// the hook) every allocation until the outermost call returns.
const size_t kBytesPerClockCheck = 1 << 20;
const unsigned kAllocationsPerClockCheck = 10000;
size_t bytesSinceClockCheck = 0;
unsigned allocationsSinceClockCheck = 0;

bool runsOutOfTimeAllocating(size_t growth)
{
    if (timedCallDepth == 0)
        return false;
    bytesSinceClockCheck += growth;
    if (++allocationsSinceClockCheck < kAllocationsPerClockCheck && bytesSinceClockCheck < kBytesPerClockCheck)
        return false;
    bytesSinceClockCheck = 0;
    allocationsSinceClockCheck = 0;
    if (!timeLimitHit && ScriptClock::elapsed() < callTimeLimit)
        return false;
    if (!timeLimitHit) {
        timeLimitHit = true;
        std::snprintf(timeLimitReport, sizeof timeLimitReport, "script ran longer than %lld ms",
                      static_cast<long long>(callTimeLimit.count()));
    }
    allocationsRefused = true;
    // Stopping the collector only clears a flag of the interpreter, which is
    // safe here.
    stopCollectorUntilCallReturns(L);
    // The main thread fails at its next instruction; other threads at their
    // hook's next look.
    if (L && lua_gethook(L) == timeLimitHook)
        lua_sethook(L, timeLimitHook, LUA_MASKCOUNT, 1);
    return true;
}

// Scope of one call from the plug-in into Lua. The outermost call starts the
// script clock; calls nested in it (a handler that makes the client raise an
// event) run on the outer call's time, with the clock going again while they
// run inside the client.
class TimedCall {
public:
    TimedCall()
        : m_clockWasRunning(ScriptClock::running())
    {
        if (timedCallDepth++ == 0) {
            timeLimitHit = false;
            ScriptClock::restart();
        } else {
            ScriptClock::resume();
        }
    }
    ~TimedCall()
    {
        if (!m_clockWasRunning)
            ScriptClock::pause();
        if (--timedCallDepth > 0)
            return;
        allocationsRefused = false;
        if (collectorStopped) {
            collectorStopped = false;
            if (L && collectorWasRunning)
                lua_gc(L, LUA_GCRESTART, 0);
        }
        if (L && lua_gethook(L) == timeLimitHook && lua_gethookcount(L) != kClockCheckInterval)
            lua_sethook(L, timeLimitHook, LUA_MASKCOUNT, kClockCheckInterval);
    }
    TimedCall(const TimedCall&) = delete;
    TimedCall& operator=(const TimedCall&) = delete;

private:
    bool m_clockWasRunning;
};

// Calls from the plug-in into Lua under way, and a close of the interpreter
// (whose finalizers are Lua code). The client may close or restart the
// interpreter from inside a client function that a script called (a nested
// event loop lets the user press Ok in the module dialog; the client may call
// vx3plugin_shutdown): closing it then would pull the interpreter from under
// the running script. Such requests wait until the outermost call returns.
int luaCallDepth = 0;

// What the client asked for while Lua code ran, in this order: close the
// interpreter, then start it. Until then the plug-in counts as being
// restarted: new calls into Lua find no interpreter.
struct LifecycleRequests {
    bool close = false;
    bool start = false;
};
LifecycleRequests lifecycleRequests;
// Blocks that the client may still hold while Lua code runs (see
// releaseWhenLuaIsIdle).
std::vector<void*> retiredBlocks;

bool restartPending()
{
    return lifecycleRequests.close || lifecycleRequests.start;
}

// Carries out what waited for the outermost call. The start-up script of a
// new interpreter may ask again; those requests run in turn.
void runLifecycleRequests()
{
    static bool running = false;
    if (running || luaCallDepth > 0)
        return;
    running = true;
    while (restartPending() || !retiredBlocks.empty()) {
        for (void* block : retiredBlocks)
            std::free(block);
        retiredBlocks.clear();
        const LifecycleRequests requests = lifecycleRequests;
        lifecycleRequests = LifecycleRequests();
        if (requests.close)
            closeLua();
        if (requests.start)
            initLua();
    }
    running = false;
}

// Scope of an entry into Lua; at the end of the outermost one, requests that
// waited for it are carried out. Declared before everything else in a
// function, so that it ends after the function's last use of the interpreter.
class LuaEntry {
public:
    LuaEntry() { ++luaCallDepth; }
    ~LuaEntry()
    {
        if (--luaCallDepth == 0)
            runLifecycleRequests();
    }
    LuaEntry(const LuaEntry&) = delete;
    LuaEntry& operator=(const LuaEntry&) = delete;
};

int panicHandler(lua_State* state)
{
    const char* message = lua_type(state, -1) == LUA_TSTRING ? lua_tostring(state, -1) : "?";
    std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", message);
    return 0;
}

// Text of the error value at idx, without allocating inside the interpreter.
const char* errorText(lua_State* state, int idx, char* scratch, size_t size)
{
    switch (lua_type(state, idx)) {
    case LUA_TSTRING:
        return lua_tostring(state, idx);
    case LUA_TNUMBER:
        std::snprintf(scratch, size, "%.14g", static_cast<double>(lua_tonumberx(state, idx, nullptr)));
        return scratch;
    default:
        std::snprintf(scratch, size, "(error object is a %s value)", luaL_typename(state, idx));
        return scratch;
    }
}

// Text of the error of a failed call: the time-limit report when the call
// ran out of time, otherwise the error value on top of the stack.
const char* failureText(lua_State* state, char* scratch, size_t size)
{
    return timeLimitHit ? timeLimitReport : errorText(state, -1, scratch, size);
}

// One call of callLuaFunction, handed to dispatchCall inside a protected call.
struct DispatchFrame {
    char* errorBuffer;
    const char* name;
    const char* signature;
    va_list* args;
    int result; // 1 when the dispatcher itself reported a failure
};

// Looks the callee up, pushes the arguments, calls it and stores its results.
// Runs under lua_pcall, so a Lua error anywhere in here (a failing __index on
// the globals or on a module table, a stack overflow, a failing handler)
// reaches callLuaFunction as an error value instead of a panic.
int dispatchCall(lua_State* state)
{
    DispatchFrame* frame = static_cast<DispatchFrame*>(takePluginHelperData(state, dispatchCall));
    lua_settop(state, 0);

    const char* name = frame->name;
    const char* dot = std::strchr(name, '.');
    if (dot) {
        const int moduleLength = static_cast<int>(dot - name);
        lua_pushglobaltable(state);
        lua_pushlstring(state, name, static_cast<size_t>(dot - name));
        lua_gettable(state, -2);
        if (lua_type(state, -1) != LUA_TTABLE) {
            l_error(frame->errorBuffer, "Error running Lua function: Module '%.*s' not found\n", moduleLength, name);
            frame->result = 1;
            return 0;
        }
        lua_getfield(state, -1, dot + 1);
        if (lua_type(state, -1) != LUA_TFUNCTION) {
            l_error(frame->errorBuffer, "Error running Lua function: Function '%s' not found in module '%.*s'\n",
                    dot + 1, moduleLength, name);
            frame->result = 1;
            return 0;
        }
    } else {
        lua_getglobal(state, name);
        if (lua_type(state, -1) != LUA_TFUNCTION) {
            l_error(frame->errorBuffer, "Error running Lua function: Function '%s' not found\n", name);
            frame->result = 1;
            return 0;
        }
    }
    // Keep only the function.
    lua_insert(state, 1);
    lua_settop(state, 1);

    va_list& args = *frame->args;
    const char* letter = frame->signature;
    int argumentCount = 0;
    for (; *letter && *letter != '>'; ++letter) {
        switch (*letter) {
        case 'u':
            // The whole id: a double holds every id up to 2^53 exactly.
            lua_pushnumber(state, static_cast<lua_Number>(va_arg(args, uint64_t)));
            break;
        case 'i':
        case 'a':
            lua_pushinteger(state, static_cast<lua_Integer>(va_arg(args, int)));
            break;
        case 'I':
            lua_pushnumber(state, static_cast<lua_Number>(va_arg(args, unsigned int)));
            break;
        case 'd':
            lua_pushnumber(state, static_cast<lua_Number>(va_arg(args, double)));
            break;
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text)
                lua_pushstring(state, text);
            else
                lua_pushnil(state);
            break;
        }
        default:
            l_error(frame->errorBuffer, "Error running Lua function: Invalid option (%c)\n", *letter);
            frame->result = 1;
            return 0;
        }
        ++argumentCount;
        luaL_checkstack(state, 1, "too many arguments");
    }

    const char* resultLetters = *letter == '>' ? letter + 1 : letter;
    const int resultCount = static_cast<int>(std::strlen(resultLetters));
    luaL_checkstack(state, resultCount, "too many results");
    lua_call(state, argumentCount, resultCount);

    int index = lua_gettop(state) - resultCount + 1;
    for (const char* r = resultLetters; *r; ++r, ++index) {
        switch (*r) {
        case 's':
            if (!lua_isstring(state, index)) {
                l_error(frame->errorBuffer, "Error running Lua function: Wrong result type\n");
                frame->result = 1;
                return 0;
            }
            *va_arg(args, const char**) = lua_tolstring(state, index, nullptr);
            break;
        case 'i': {
            if (!lua_isnumber(state, index)) {
                l_error(frame->errorBuffer, "Error running Lua function: Wrong result type\n");
                frame->result = 1;
                return 0;
            }
            const double value = static_cast<double>(lua_tonumberx(state, index, nullptr));
            // Only values that truncate into the int range are ints; NaN fails here too.
            if (!(value > -2147483649.0 && value < 2147483648.0)) {
                l_error(frame->errorBuffer, "Error running Lua function: Wrong result type\n");
                frame->result = 1;
                return 0;
            }
            *va_arg(args, int*) = static_cast<int>(value);
            break;
        }
        case 'd':
            if (!lua_isnumber(state, index)) {
                l_error(frame->errorBuffer, "Error running Lua function: Wrong result type\n");
                frame->result = 1;
                return 0;
            }
            *va_arg(args, double*) = static_cast<double>(lua_tonumberx(state, index, nullptr));
            break;
        default:
            l_error(frame->errorBuffer, "Error running Lua function: Invalid option (%c)\n", *r);
            frame->result = 1;
            return 0;
        }
    }
    return 0;
}

// Opens the standard libraries, pins the module search path and registers
// the vx3 table; runs under lua_pcall.
int setUpInterpreter(lua_State* state)
{
    const char* searchPath = static_cast<const char*>(takePluginHelperData(state, setUpInterpreter));
    lua_settop(state, 0);
    luaL_openlibs(state);
    installTextChunkLoaders(state);
    // The package library prefers LUA_PATH_5_2 over LUA_PATH and expands ";;"
    // to its default path; set the path directly so that only the plug-in's
    // script folder is searched, whatever the environment holds.
    lua_getglobal(state, "package");
    if (lua_type(state, -1) == LUA_TTABLE) {
        lua_pushstring(state, searchPath);
        lua_setfield(state, -2, "path");
    }
    lua_settop(state, 0);
    registerVX3Lib(state);
    return 0;
}

// Loads a script file and runs it; runs under lua_pcall.
int runScriptFile(lua_State* state)
{
    const char* path = static_cast<const char*>(takePluginHelperData(state, runScriptFile));
    lua_settop(state, 0);
    if (luaL_loadfilex(state, path, TextChunkMode) != LUA_OK)
        return lua_error(state);
    lua_call(state, 0, 0);
    return 0;
}

// Where createMenus stores what it builds.
struct MenuTarget {
    PluginMenuItem*** menuItems;
    char** menuIcon;
};

// Copies the text of the value on top of the stack into a field of
// PluginMenuTextSize bytes, or clears the field and reports `complaint`.
void copyMenuText(lua_State* state, char* field, const char* complaint)
{
    std::memset(field, 0, PluginMenuTextSize);
    if (lua_isstring(state, -1)) {
        size_t length = 0;
        const char* text = lua_tolstring(state, -1, &length);
        std::memcpy(field, text, length < PluginMenuTextSize - 1 ? length : PluginMenuTextSize - 1);
    } else {
        std::printf("%s\n", complaint);
    }
}

// The int of the value on top of the stack, or 0 with `complaint` when it is
// no number or lies outside the int range.
int menuNumber(lua_State* state, const char* complaint)
{
    if (lua_isnumber(state, -1)) {
        const double value = static_cast<double>(lua_tonumberx(state, -1, nullptr));
        if (value > -2147483649.0 && value < 2147483648.0)
            return static_cast<int>(value);
    }
    std::printf("%s\n", complaint);
    return 0;
}

// Calls createMenus and converts its table; runs under lua_pcall. Whatever
// is stored in the client's pointers is complete at every step (the array is
// zeroed, so it ends at the first entry not yet built).
int buildMenus(lua_State* state)
{
    MenuTarget* target = static_cast<MenuTarget*>(takePluginHelperData(state, buildMenus));
    lua_settop(state, 0);
    lua_getglobal(state, "createMenus");
    if (lua_type(state, -1) != LUA_TFUNCTION)
        return 0; // the scripts offer no menus
    if (lua_pcall(state, 0, 1, 0) != LUA_OK) {
        std::printf("Failed to call createMenus.\n");
        return 0;
    }
    if (lua_type(state, -1) != LUA_TTABLE) {
        std::printf("Invalid return value for createMenus, not a table.\n");
        return 0;
    }
    const size_t count = lua_rawlen(state, -1);
    if (count == 0)
        return 0;

    lua_rawgeti(state, 1, 2);
    if (lua_isstring(state, -1) && target->menuIcon) {
        char* icon = static_cast<char*>(std::malloc(PluginMenuTextSize));
        if (!icon)
            return luaL_error(state, "not enough memory");
        copyMenuText(state, icon, "");
        *target->menuIcon = icon;
    }
    lua_pop(state, 1);

    const size_t entries = count > 2 ? count - 2 : 0;
    PluginMenuItem** items = static_cast<PluginMenuItem**>(std::calloc(entries + 1, sizeof(PluginMenuItem*)));
    if (!items)
        return luaL_error(state, "not enough memory");
    if (target->menuItems) {
        *target->menuItems = items;
    } else {
        std::free(items);
        return 0;
    }

    for (size_t k = 0; k < entries; ++k) {
        lua_rawgeti(state, 1, static_cast<int>(k + 3));
        if (lua_type(state, -1) != LUA_TTABLE || lua_rawlen(state, -1) != 4) {
            // The client reads the array up to the first null, so entries
            // after this one would never be shown nor released: build none.
            std::printf("Invalid return value. Expecting 4 items for menu.\n");
            lua_pop(state, 1);
            break;
        }
        PluginMenuItem* item = static_cast<PluginMenuItem*>(std::calloc(1, sizeof(PluginMenuItem)));
        if (!item)
            return luaL_error(state, "not enough memory");
        items[k] = item;
        lua_rawgeti(state, -1, 1);
        item->type = menuNumber(state, "Invalid return value. Expecting integer for type.");
        lua_pop(state, 1);
        lua_rawgeti(state, -1, 2);
        item->menuID = menuNumber(state, "Invalid return value. Expecting integer for menuID.");
        lua_pop(state, 1);
        lua_rawgeti(state, -1, 3);
        copyMenuText(state, item->text, "Invalid return value. Expecting string for menu text.");
        lua_pop(state, 1);
        lua_rawgeti(state, -1, 4);
        copyMenuText(state, item->icon, "Invalid return value. Expecting string for menu icon.");
        lua_pop(state, 2);
    }
    return 0;
}

void closeInterpreter()
{
    std::printf("Shutting down Lua interpreter\n");
    if (L) {
        // Finalizers run inside lua_close; what they make the client do finds
        // no interpreter, and a restart they ask for waits for the close.
        lua_State* closing = L;
        L = nullptr;
        LuaEntry entry;
        lua_close(closing);
    }
}

} // namespace

void setLuaCallTimeLimit(long milliseconds)
{
    callTimeLimit = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 1);
}

void l_error(char* errorBuffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (errorBuffer) {
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(errorBuffer, LuaErrorBufferSize, format, copy);
        va_end(copy);
    }
    std::vfprintf(stderr, format, args);
    va_end(args);
}

int callLuaFunction(char* errorBuffer, const char* name, const char* signature, ...)
{
    if (!L || restartPending())
        return 1;
    LuaEntry entry;
    if (!name || !signature) {
        l_error(errorBuffer, "Error running Lua function: Function '%s' not found\n", name ? name : "(null)");
        return 1;
    }
    const int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) {
        l_error(errorBuffer, "Error running Lua function '%s': %s\n", name, "stack overflow");
        return 1;
    }

    va_list args;
    va_start(args, signature);
    DispatchFrame frame{errorBuffer, name, signature, &args, 0};
    int status;
    {
        TimedCall timed;
        status = callPluginHelper(L, dispatchCall, &frame, 0);
    }
    va_end(args);

    int result = frame.result;
    if (status != LUA_OK) {
        char scratch[96];
        l_error(errorBuffer, "Error running Lua function '%s': %s\n", name, failureText(L, scratch, sizeof scratch));
        result = 1;
    }
    lua_settop(L, top);
    return result;
}

int initLua()
{
    if (luaCallDepth > 0) {
        lifecycleRequests.start = true;
        return 0;
    }
    // Requests made meanwhile (by finalizers of the old interpreter, by the
    // start-up script) wait until the new interpreter has started.
    LuaEntry entry;
    std::printf("Initializing Lua interpreter\n");
    // A second start without a shutdown must not leak the running interpreter.
    if (L)
        closeInterpreter();

    char path[128] = {0};
    if (vx3Functions.getPluginPath)
        vx3Functions.getPluginPath(path, sizeof path);
    path[sizeof path - 1] = '\0';

    char luaPath[158];
    std::snprintf(luaPath, sizeof luaPath, "LUA_PATH=%sscriptling/?.lua", path);
    const char* searchPath = luaPath + std::strlen("LUA_PATH=");
    // setenv keeps its own copy of the entry.
    setenv("LUA_PATH", searchPath, 1);

    std::strncat(path, "scriptling/vx3events.lua", sizeof path - 1 - std::strlen(path));

    L = lua_newstate(limitedAlloc, &luaMemoryInUse);
    if (!L) {
        std::printf("Failed to create Lua state. Aborting...\n");
        return 1;
    }
    lua_atpanic(L, panicHandler);
    // Threads that scripts create inherit the hook.
    lua_sethook(L, timeLimitHook, LUA_MASKCOUNT, kClockCheckInterval);

    if (callPluginHelper(L, setUpInterpreter, const_cast<char*>(searchPath), 0) != LUA_OK) {
        char scratch[96];
        std::printf("Failed to create Lua state. Aborting...\n%s\n", errorText(L, -1, scratch, sizeof scratch));
        lua_close(L);
        L = nullptr;
        return 1;
    }
    return loadLuaScript(path);
}

int loadLuaScript(const char* path)
{
    if (!L || restartPending()) {
        std::printf("No Lua state when trying to load lua script.\n");
        return 1;
    }
    LuaEntry entry;
    if (!path)
        path = "";
    const int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) {
        std::printf("Failed to load lua script: %s\n%s\n", path, "stack overflow");
        return 1;
    }
    int result = 0;
    int status;
    {
        TimedCall timed;
        status = callPluginHelper(L, runScriptFile, const_cast<char*>(path), 0);
    }
    if (status != LUA_OK) {
        char scratch[96];
        std::printf("Failed to load lua script: %s\n%s\n", path, failureText(L, scratch, sizeof scratch));
        result = 1;
    }
    lua_settop(L, top);
    return result;
}

void closeLua()
{
    if (luaCallDepth > 0) {
        lifecycleRequests.close = true;
        lifecycleRequests.start = false; // a start before the close would be undone by it
        return;
    }
    closeInterpreter();
}

void releaseWhenLuaIsIdle(void* block)
{
    if (!block)
        return;
    if (luaCallDepth == 0) {
        std::free(block);
        return;
    }
    try {
        retiredBlocks.push_back(block);
    } catch (...) {
        // Out of memory: keeping the block is better than freeing it under the client.
    }
}

void createMenus(PluginMenuItem*** menuItems, char** menuIcon)
{
    if (!L || restartPending()) {
        std::printf("No Lua state when trying to create menus.\n");
        return;
    }
    LuaEntry entry;
    const int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) {
        std::printf("Failed to call createMenus.\n");
        return;
    }
    MenuTarget target{menuItems, menuIcon};
    int status;
    {
        TimedCall timed;
        status = callPluginHelper(L, buildMenus, &target, 0);
    }
    if (status != LUA_OK)
        std::printf("Failed to call createMenus.\n");
    lua_settop(L, top);
}
