// libscriptling against hostile scripts and a hostile client: each input is
// a Lua chunk (loaded as it is, syntax errors and all) and a plan. The plan
// builds a second chunk from fragments that reach the vx3 bindings, the
// standard library (debug included: the plug-in's own helpers as debug.getinfo
// and hooks find them) and hostile values; sets what the stand-in client's
// slots answer and do while they run (raise events, shut the plug-in down,
// start it again, run console commands, ask for menus); and then drives the
// event exports, the console command and the menus.
//
// Asserted: the client's table is called only through the slots the plug-in
// uses; every text and list the client hands over comes back exactly once;
// every call into the plug-in ends, and after vx3plugin_shutdown no
// interpreter is left (a request left waiting would keep one).
//
// The harness takes from the scripts only what would leave the fuzzer's
// sandbox (os.exit, os.execute, io.popen, os.remove, os.rename,
// package.loadlib and native modules). debug.sethook is kept, but a
// script's hook runs beside the plug-in's call limit instead of replacing
// it: a script that replaces the limit's hook can loop for ever, which the
// plug-in documents.

#include "luaevents.h"
#include "luahelpers.h"
#include "plugin.h"
#include "standinclient.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// --- input ------------------------------------------------------------------

class Plan {
public:
    Plan(const uint8_t* data, size_t size)
        : m_data(data), m_size(size)
    {
    }
    bool done() const { return m_pos >= m_size; }
    unsigned next() { return m_pos < m_size ? m_data[m_pos++] : 0u; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

template <typename T, size_t N>
const T& pick(const T (&table)[N], unsigned index)
{
    return table[index % N];
}

// --- the scripts ------------------------------------------------------------

// Handlers the generated chunk defines: the events the plan raises, the menu
// function and two functions for "/lua run".
const char* const kHandlers[] = {
    "currentServerConnectionChanged", "onConnectStatusChangeEvent", "onServerStopEvent",
    "onTextMessageEvent",             "onClientPokeEvent",          "onServerErrorEvent",
    "onMenuItemEvent",                "onPluginCommandEvent",       "onBanListEvent",
    "onUpdateClientEvent",            "onClientMoveEvent",          "createMenus",
    "f",                              "g",
};

// Lua expressions of hostile values, evaluated where the fragment uses them.
const char* const kHostile[] = {
    "nil", "true", "0", "-1", "1/0", "-1/0", "0/0", "2^53", "2^63", "-2^63", "2^64", "4294967297", "65537",
    "-0.5", "1e308", "''", "'x'", "string.rep('A', 600)", "'\\0a'", "'%s%n%d'", "'www.example.com'", "{}",
    "{1, 2, 3}", "{0}", "{n = 1e9}",
    "setmetatable({}, {__index = function() error('index') end, __len = function() return 2^31 end})",
    "setmetatable({}, {__tostring = function() error('tostring') end})",
    "setmetatable({}, {__gc = function() error('gc') end})", "io.stdout",
    "coroutine.create(function() coroutine.yield() end)", "print", "HV(3)", "V(7)", "debug.getinfo(1, 'f').func",
    "string.rep('x', 2^20)", "select('#')", "HELD", "_G", "vx3", "debug.getregistry()",
    "function() return HV(1)(io.stdout) end", "function() coroutine.yield(1) end",
    "setmetatable({}, {__gc = function() HV(2)() end})",
};

// Fragments of the generated chunk. {E}: a handler name, {b}: a number that
// picks a binding (V), a library function (S) or a held function (HV), {L}: a
// stack level, {H1} to {H4}: hostile values.
const char* const kFragments[] = {
    "function {E}(...) R = {pcall(V({b}), {H1}, {H2}, {H3}, {H4})} end",
    "function {E}(...) return V({b})({H1}, {H2}, {H3}) end",
    "function {E}(...) local i = debug.getinfo({L}, 'f') if i and i.func then HELD[#HELD + 1] = i.func "
    "return i.func({H1}) end end",
    "function {E}(...) for k = #HELD, 1, -1 do pcall(HELD[k], {H1}) end end",
    "debug.sethook(function() local i = debug.getinfo(2, 'f') if i and #HELD < 64 then HELD[#HELD + 1] = i.func "
    "end end, 'c') pcall(V({b}), {H1}, {H2}) debug.sethook()",
    "function {E}(...) debug.sethook(function() local i = debug.getinfo(2, 'f') if i and #HELD < 64 then "
    "HELD[#HELD + 1] = i.func end end, 'cr') local r = {pcall(V({b}), {H1}, {H2}, {H3})} debug.sethook() "
    "for k = 1, #HELD do pcall(HELD[k], {H4}) end end",
    "function {E}(...) error({H1}) end",
    "function {E}(...) return {H1}, {H2} end",
    "function {E}(...) local co = coroutine.wrap(function(...) coroutine.yield(V({b})({H1}, {H2})) end) "
    "return pcall(co, {H3}) end",
    "function {E}(...) while true do end end",
    "function {E}(...) return pcall(S({b}), {H1}, {H2}, {H3}) end",
    "function createMenus() return {{H1}, {H2}, {{H3}, {H4}, {H1}, {H2}}, {1, 2, 'a', 'b'}, {H3}} end",
    "{E} = setmetatable({}, {__call = function() end})",
    "setmetatable(_G, {__index = function(t, k) if k == '{E}' then error({H1}) end return rawget(t, k) end})",
    "local sentinel = setmetatable({}, {__gc = function() pcall(V({b}), {H1}, {H2}) end}) sentinel = nil",
    "function {E}(...) local t = {} for k = 1, 250 do t[k] = {H1} end return V({b})(unpack(t)) end",
    "function {E}(...) local i = debug.getinfo({L}, 'f') return i and i.func end",
    "function {E}(...) return xpcall(V({b}), function(m) return HV(2)({H1}) end, {H2}, {H3}) end",
    "function {E}(...) coroutine.wrap(function() HV({L})({H1}) end)() end",
    "function {E}(...) return HV({b})({H1}, {H2}) end",
    "function {E}(...) return pcall(S({b}), HV({L}), {H1}) end",
    "function {E}(...) return debug.traceback({H1}), collectgarbage(), select('#', ...) end",
    "function {E}(...) local t = {} for k = 1, 5000 do t[k] = k end return unpack(t) end",
    "function {E}(...) return {E}(...) end",
    "function {E}(...) local function deep(n) if n > 0 then return 1 + deep(n - 1) end return pcall(V({b}), {H1}) "
    "end return deep(150000) end",
};

// Names and helpers the generated chunk relies on: V(i) a vx3 binding, S(i) a
// standard library function, HV(i) a function held from an earlier call.
const char kPrelude[] = R"(
HELD = HELD or {}
NAMES = {}
for k, v in pairs(vx3) do if type(v) == 'function' then NAMES[#NAMES + 1] = k end end
table.sort(NAMES)
STD = {}
for _, lib in ipairs({'string', 'table', 'math', 'io', 'os', 'coroutine', 'debug', 'package', 'bit32'}) do
  local t = _G[lib]
  if type(t) == 'table' then
    local keys = {}
    for k, v in pairs(t) do if type(v) == 'function' then keys[#keys + 1] = k end end
    table.sort(keys)
    for _, k in ipairs(keys) do STD[#STD + 1] = t[k] end
  end
end
for _, k in ipairs({'assert', 'collectgarbage', 'dofile', 'error', 'getmetatable', 'ipairs', 'load', 'loadfile',
                    'next', 'pairs', 'pcall', 'print', 'rawequal', 'rawget', 'rawlen', 'rawset', 'require',
                    'select', 'setmetatable', 'tonumber', 'tostring', 'type', 'xpcall', 'unpack', 'loadstring'}) do
  if _G[k] then STD[#STD + 1] = _G[k] end
end
function V(i) return vx3[NAMES[(math.floor(i) % #NAMES) + 1]] end
function S(i) return STD[(math.floor(i) % #STD) + 1] end
function HV(i) return HELD[(math.floor(i) % math.max(#HELD, 1)) + 1] end
)";

void replaceAll(std::string& text, const std::string& token, const std::string& value)
{
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

std::string fragment(Plan& plan)
{
    std::string text = pick(kFragments, plan.next());
    replaceAll(text, "{E}", pick(kHandlers, plan.next()));
    replaceAll(text, "{b}", std::to_string(plan.next()));
    replaceAll(text, "{L}", std::to_string(plan.next() % 5));
    replaceAll(text, "{H1}", pick(kHostile, plan.next()));
    replaceAll(text, "{H2}", pick(kHostile, plan.next()));
    replaceAll(text, "{H3}", pick(kHostile, plan.next()));
    replaceAll(text, "{H4}", pick(kHostile, plan.next()));
    return text + "\n";
}

// --- hostile client values ------------------------------------------------------

const uint64_t kIds[] = {0, 1, 0x80000001ull, ~uint64_t(0), uint64_t(1) << 53, 4294967296ull};
const int kInts[] = {0, -1, INT_MIN, INT_MAX, 7};
const char* const kTexts[] = {nullptr, "", "x", "%s%n%s", "\xff\xfe\x80", "run f 1 2 3 4 5 6 7",
                              "load gen.lua", "load ../../x.lua", "help", "run tools.run.now a -3",
                              "run onServerStopEvent 99999999999999999999"};

std::string longText()
{
    return std::string(2000, 'L');
}

const char* hostileText(unsigned index)
{
    static const std::string kLong = longText();
    if (index % (sizeof kTexts / sizeof kTexts[0] + 1) == sizeof kTexts / sizeof kTexts[0])
        return kLong.c_str();
    return pick(kTexts, index);
}

// --- entry points -----------------------------------------------------------------

int nestedDepth = 0;

void freeMenus(PluginMenuItem** items, char* icon)
{
    if (items) {
        for (PluginMenuItem** item = items; *item; ++item)
            vx3plugin_freeMemory(*item);
        vx3plugin_freeMemory(items);
    }
    vx3plugin_freeMemory(icon);
}

void askForMenus()
{
    PluginMenuItem** items = nullptr;
    char* icon = nullptr;
    vx3plugin_initMenus(&items, &icon);
    freeMenus(items, icon);
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "scriptling_fuzz: %s\n", what.c_str());
    std::abort();
}

void expectResult(int result, bool zeroOrOne, const char* event)
{
    if (zeroOrOne && result != 0 && result != 1)
        fail(std::string(event) + " returned " + std::to_string(result));
}

// Raises one event, its arguments drawn from the hostile values.
void raiseEvent(unsigned which, unsigned seed)
{
    const uint64_t id = pick(kIds, seed);
    const uint64_t id2 = pick(kIds, seed >> 1);
    const int number = pick(kInts, seed >> 2);
    const char* text = hostileText(seed);
    const char* text2 = hostileText(seed >> 3);
    const anyID client = static_cast<anyID>(id2);
    switch (which % 12) {
    case 0: expectResult(vx3plugin_currentServerConnectionChanged(id), true, "currentServerConnectionChanged"); break;
    case 1: expectResult(vx3plugin_onConnectStatusChangeEvent(id, number, static_cast<unsigned>(id2)), true, "onConnectStatusChangeEvent"); break;
    case 2: expectResult(vx3plugin_onServerStopEvent(id, text), true, "onServerStopEvent"); break;
    case 3: vx3plugin_onTextMessageEvent(id, client, client, client, text, text2, text, number); break;
    case 4: vx3plugin_onClientPokeEvent(id, client, text, text2, text, number); break;
    case 5:
        if (vx3plugin_onServerErrorEvent(id, text, static_cast<unsigned>(number), text2, text) != 0)
            fail("onServerErrorEvent did not return 0");
        break;
    case 6: expectResult(vx3plugin_onMenuItemEvent(id, number, number, id2), true, "onMenuItemEvent"); break;
    case 7: expectResult(vx3plugin_onPluginCommandEvent(id, text, text2), true, "onPluginCommandEvent"); break;
    case 8:
        expectResult(vx3plugin_onBanListEvent(id, id2, text, text2, text, id, id2, text2, id, text, text2, number), true,
                     "onBanListEvent");
        break;
    case 9: expectResult(vx3plugin_onUpdateClientEvent(id, client, client, text, text2), true, "onUpdateClientEvent"); break;
    case 10: expectResult(vx3plugin_onClientMoveEvent(id, client, id2, id, number, text), true, "onClientMoveEvent"); break;
    default: {
        // "/lua run" of a handler with console arguments.
        const std::string line = std::string("run ") + pick(kHandlers, seed) + " " + std::to_string(number) + " " +
                                 (text ? text : "");
        if (vx3plugin_processCommand(id, line.c_str()) != 0)
            fail("processCommand did not return 0");
        break;
    }
    }
}

// Slots whose client functions do something while the plug-in waits in them.
const int kActionSlots[] = {185, 184, 73, 0, 82, 93, 187, 5, 181, 197};

void clientAction(unsigned kind, unsigned seed)
{
    if (nestedDepth >= 4)
        return;
    ++nestedDepth;
    switch (kind % 9) {
    case 0: raiseEvent(2, seed); break;
    case 1: raiseEvent(seed, seed >> 4); break;
    case 2: vx3plugin_shutdown(); break;
    case 3: vx3plugin_init(); break;
    case 4:
        vx3plugin_shutdown();
        vx3plugin_init();
        break;
    case 5: vx3plugin_processCommand(1, hostileText(seed)); break;
    case 6: askForMenus(); break;
    case 7: vx3plugin_registerPluginID(hostileText(seed)); break;
    default: vx3plugin_processCommand(1, "load gen.lua"); break;
    }
    --nestedDepth;
}

// --- the harness's hold on the interpreter -------------------------------------

lua_Hook pluginHook = nullptr;
int pluginHookCount = 0;
const char kHooksKey[] = "scriptling_fuzz.hooks";
const char kPatchedKey[] = "scriptling_fuzz.patched";

// Runs a script's hook (set through debug.sethook) beside the plug-in's count
// hook, the way the debug library calls hooks.
void harnessHook(lua_State* state, lua_Debug* ar)
{
    if (ar->event == LUA_HOOKCOUNT) {
        if (pluginHook)
            pluginHook(state, ar);
        return;
    }
    static const char* const kEvents[] = {"call", "return", "line", "count", "tail call"};
    const int top = lua_gettop(state);
    lua_getfield(state, LUA_REGISTRYINDEX, kHooksKey);
    if (lua_istable(state, -1)) {
        lua_pushthread(state);
        lua_rawget(state, -2);
        if (lua_isfunction(state, -1)) {
            lua_pushstring(state, kEvents[ar->event]);
            if (ar->currentline >= 0)
                lua_pushinteger(state, ar->currentline);
            else
                lua_pushnil(state);
            lua_call(state, 2, 0);
        }
    }
    lua_settop(state, top);
}

// debug.sethook([thread,] [hook, mask]).
int fuzzSetHook(lua_State* state)
{
    int arg = 0;
    lua_State* target = state;
    if (lua_type(state, 1) == LUA_TTHREAD) {
        target = lua_tothread(state, 1);
        arg = 1;
    }
    int mask = 0;
    if (!lua_isnoneornil(state, arg + 1)) {
        luaL_checktype(state, arg + 1, LUA_TFUNCTION);
        const char* letters = luaL_checkstring(state, arg + 2);
        if (std::strchr(letters, 'c'))
            mask |= LUA_MASKCALL;
        if (std::strchr(letters, 'r'))
            mask |= LUA_MASKRET;
        if (std::strchr(letters, 'l'))
            mask |= LUA_MASKLINE;
    }
    lua_settop(state, arg + 1);
    lua_getfield(state, LUA_REGISTRYINDEX, kHooksKey);
    if (!lua_istable(state, -1)) {
        lua_pop(state, 1);
        lua_newtable(state);
        lua_newtable(state);
        lua_pushliteral(state, "k");
        lua_setfield(state, -2, "__mode");
        lua_setmetatable(state, -2);
        lua_pushvalue(state, -1);
        lua_setfield(state, LUA_REGISTRYINDEX, kHooksKey);
    }
    lua_pushthread(target);
    lua_xmove(target, state, 1);
    if (mask)
        lua_pushvalue(state, arg + 1);
    else
        lua_pushnil(state);
    lua_rawset(state, -3);
    // Keep the count the plug-in set: a call that ran out of time has its
    // hook look at every instruction.
    const int count = lua_gethook(target) ? lua_gethookcount(target) : pluginHookCount;
    lua_sethook(target, harnessHook, mask | LUA_MASKCOUNT, count > 0 ? count : pluginHookCount);
    return 0;
}

void clearField(const char* table, const char* field)
{
    lua_getglobal(L, table);
    if (lua_istable(L, -1)) {
        lua_pushnil(L);
        lua_setfield(L, -2, field);
    }
    lua_pop(L, 1);
}

// Takes the sandbox's way out from a new interpreter and puts the harness's
// sethook in place.
void holdInterpreter()
{
    if (!L)
        return;
    lua_getfield(L, LUA_REGISTRYINDEX, kPatchedKey);
    const bool patched = lua_toboolean(L, -1);
    lua_pop(L, 1);
    if (patched)
        return;
    if (!pluginHook) {
        pluginHook = lua_gethook(L);
        pluginHookCount = lua_gethookcount(L);
    }
    for (const char* name : {"exit", "execute", "remove", "rename"})
        clearField("os", name);
    clearField("io", "popen");
    clearField("package", "loadlib");
    lua_getglobal(L, "package");
    if (lua_istable(L, -1)) {
        lua_pushliteral(L, "");
        lua_setfield(L, -2, "cpath");
        lua_getfield(L, -1, "searchers");
        if (lua_istable(L, -1)) {
            // Only the preload and Lua searchers: no native modules.
            lua_pushnil(L);
            lua_rawseti(L, -2, 4);
            lua_pushnil(L);
            lua_rawseti(L, -2, 3);
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    lua_getglobal(L, "debug");
    if (lua_istable(L, -1)) {
        lua_pushcfunction(L, fuzzSetHook);
        lua_setfield(L, -2, "sethook");
    }
    lua_pop(L, 1);
    lua_pushboolean(L, 1);
    lua_setfield(L, LUA_REGISTRYINDEX, kPatchedKey);
}

// --- set-up ---------------------------------------------------------------------

std::string g_root;

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        fail("cannot write " + path);
}

void setUpOnce()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sf-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        fail("no temporary folder");
    g_root = pattern + "/";
    for (const char* folder : {"p", "p/scriptling", "resources", "resources/plugins", "resources/plugins/scriptling",
                               "config", "app"})
        mkdir((g_root + folder).c_str(), 0755);
    if ((g_root + "resources/plugins/scriptling/gen.lua").size() > 120)
        fail("temporary folder too deep: " + g_root);
    writeFile(g_root + "p/scriptling/vx3events.lua", "-- the fuzzer's scripts arrive by /lua load\n");
    // Nothing waits for standard input; the plug-in's reports go nowhere.
    // (Relative names that scripts open land in the working folder: run the
    // fuzzer in a scratch folder.)
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    setLuaCallTimeLimit(50);
}

void installClient()
{
    StandinClient& client = StandinClient::get();
    client.clearRecords();
    client.answers[179].text = g_root + "app/";
    client.answers[180].text = g_root + "resources/";
    client.answers[181].text = g_root + "config/";
    client.answers[182].text = g_root + "p/";
    static_assert(sizeof(ClientFunctionTable) == sizeof(VX3Functions), "the client's table has 209 slots");
    VX3Functions table;
    std::memcpy(&table, &client.table(), sizeof table);
    vx3plugin_setFunctionPointers(table);
}

void checkClient()
{
    StandinClient& client = StandinClient::get();
    if (!client.unexpected.empty())
        fail("the plug-in called a slot it does not use: " + client.unexpected.front());
    if (!client.badReleases.empty())
        fail(client.badReleases.front());
    if (client.outstanding() != 0)
        fail(std::to_string(client.outstanding()) + " client blocks not released");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setUpOnce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lua text up to the first zero byte, the plan behind it.
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textSize = zero ? static_cast<size_t>(zero - data) : size;
    const std::string raw(reinterpret_cast<const char*>(data), textSize);
    Plan plan(zero ? zero + 1 : data + size, zero ? size - textSize - 1 : 0);

    // First pass: the generated chunk and the client's answers and actions;
    // the entry calls are kept for the second pass.
    std::string generated = kPrelude;
    std::vector<std::pair<unsigned, unsigned>> calls;
    StandinClient& client = StandinClient::get();
    installClient();
    for (int op = 0; !plan.done() && op < 64; ++op) {
        const unsigned code = plan.next();
        switch (code % 8) {
        case 0:
        case 1:
            generated += fragment(plan);
            break;
        case 2: {
            const int slot = pick(kActionSlots, plan.next());
            const unsigned kind = plan.next();
            const unsigned seed = plan.next();
            client.actions[slot] = [kind, seed] { clientAction(kind, seed); };
            break;
        }
        case 3: {
            const int slot = pick(kActionSlots, plan.next());
            const unsigned errors[] = {0, 1, 1541, 0xFFFFFFFFu};
            client.answers[slot].err = pick(errors, plan.next());
            break;
        }
        case 4: {
            const int slot = pick(kActionSlots, plan.next());
            const unsigned seed = plan.next();
            SlotAnswer& answer = client.answers[slot];
            const char* text = hostileText(seed);
            answer.text = text ? text : "";
            answer.number = pick(kIds, seed);
            answer.real = seed % 2 ? 1e300 : -0.0;
            answer.list.clear();
            for (unsigned k = 0; k < seed % 300; ++k)
                answer.list.push_back(pick(kIds, k + seed) + k);
            break;
        }
        default: {
            const unsigned argument = plan.next();
            calls.emplace_back(code / 8, argument | (plan.next() << 8));
            break;
        }
        }
    }
    writeFile(g_root + "resources/plugins/scriptling/gen.lua", generated);
    writeFile(g_root + "resources/plugins/scriptling/raw.lua", raw);

    // Second pass: start, load both chunks through the console, drive the plug-in.
    vx3plugin_init();
    holdInterpreter();
    vx3plugin_registerPluginID("scriptling_fuzz");
    vx3plugin_processCommand(1, "load gen.lua");
    holdInterpreter();
    vx3plugin_processCommand(1, "load raw.lua");
    holdInterpreter();
    for (const auto& call : calls) {
        switch (call.first % 5) {
        case 0:
        case 1:
            raiseEvent(call.second, call.second >> 4);
            break;
        case 2:
            vx3plugin_processCommand(pick(kIds, call.second), hostileText(call.second >> 3));
            break;
        case 3:
            askForMenus();
            break;
        default:
            clientAction(call.second, call.second >> 4);
            break;
        }
        holdInterpreter();
    }
    vx3plugin_shutdown();
    // Finalizers run by the shutdown may have made the client start the
    // plug-in again (an action of a slot): that start comes after the
    // shutdown. Without actions, a shutdown leaves no interpreter, unless a
    // request is still waiting for a call that never ended.
    client.actions.clear();
    vx3plugin_shutdown();
    if (L)
        fail("an interpreter is left after vx3plugin_shutdown");
    checkClient();
    return 0;
}
