// Black-box tests: a stand-in chat client loads libscriptling, hands it a
// function table and drives it through its exports, the way the client does.

#include "outputcapture.h"
#include "standinclient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

using Id64 = uint64_t;
using Int = int;
using Unsigned = unsigned;
using Text = const char*;

// --- argument values --------------------------------------------------------

// Distinct values for argument `pos` of event number `event`, chosen so that a
// narrowed, sign-changed or swapped value shows: ids above 2^31 and up to 2^52,
// negative ints, client ids near 65535, unsigned values above 2^31.
struct EventArguments {
    std::vector<uint64_t> numbers;
    std::vector<std::string> texts;
    std::vector<bool> nullText;
};

uint64_t idValue(int event, int pos)
{
    const uint64_t spread = static_cast<uint64_t>(event) * 100 + static_cast<uint64_t>(pos);
    return pos % 2 == 0 ? (uint64_t(1) << 52) + spread : 0x80000000ull + spread;
}
int intValue(int event, int pos)
{
    return -(event * 100 + pos) - 1000;
}
ClientId clientValue(int event, int pos)
{
    return static_cast<ClientId>(65535 - (event * 10 + pos));
}
unsigned unsignedValue(int event, int pos)
{
    return 0xFFFFFFFFu - static_cast<unsigned>(event * 100 + pos);
}
std::string textValue(int event, int pos)
{
    return "ev" + std::to_string(event) + " arg" + std::to_string(pos) + " \xc3\xbc'\"";
}

template <typename T>
T pick(const EventArguments& args, size_t i);
template <>
Id64 pick<Id64>(const EventArguments& args, size_t i)
{
    return args.numbers[i];
}
template <>
Int pick<Int>(const EventArguments& args, size_t i)
{
    return static_cast<Int>(static_cast<int64_t>(args.numbers[i]));
}
template <>
ClientId pick<ClientId>(const EventArguments& args, size_t i)
{
    return static_cast<ClientId>(args.numbers[i]);
}
template <>
Unsigned pick<Unsigned>(const EventArguments& args, size_t i)
{
    return static_cast<Unsigned>(args.numbers[i]);
}
template <>
Text pick<Text>(const EventArguments& args, size_t i)
{
    return args.nullText[i] ? nullptr : args.texts[i].c_str();
}

template <typename... T, size_t... I>
int callWith(void* function, const EventArguments& args, std::index_sequence<I...>)
{
    return reinterpret_cast<int (*)(T...)>(function)(pick<T>(args, I)...);
}

// Calls an event export with the client's argument types.
template <typename... T>
int invoke(void* function, const EventArguments& args)
{
    return callWith<T...>(function, args, std::index_sequence_for<T...>());
}

// --- the events -------------------------------------------------------------

enum class Rule { ZeroOne, AlwaysZero, HandlerInt };

struct EventCase {
    const char* exportName;
    const char* handler;
    // The client's arguments: u id, i int, a client id, I unsigned, s text,
    // x a text the plug-in does not forward.
    const char* clientLetters;
    const char* signature; // as the handler sees it (with ">i" for int results)
    Rule rule;
    int (*call)(void*, const EventArguments&);
};

const EventCase kEvents[] = {
    {"vx3plugin_currentServerConnectionChanged", "currentServerConnectionChanged", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onConnectStatusChangeEvent", "onConnectStatusChangeEvent", "uiI", "uiI", Rule::ZeroOne, &invoke<Id64, Int, Unsigned>},
    {"vx3plugin_onNewChannelEvent", "onNewChannelEvent", "uuu", "uuu", Rule::ZeroOne, &invoke<Id64, Id64, Id64>},
    {"vx3plugin_onNewChannelCreatedEvent", "onNewChannelCreatedEvent", "uuuass", "uuuass", Rule::ZeroOne, &invoke<Id64, Id64, Id64, ClientId, Text, Text>},
    {"vx3plugin_onDelChannelEvent", "onDelChannelEvent", "uuass", "uuass", Rule::ZeroOne, &invoke<Id64, Id64, ClientId, Text, Text>},
    {"vx3plugin_onChannelMoveEvent", "onChannelMove", "uuuass", "uuuass", Rule::ZeroOne, &invoke<Id64, Id64, Id64, ClientId, Text, Text>},
    {"vx3plugin_onUpdateChannelEvent", "onUpdateChannelEvent", "uu", "uu", Rule::ZeroOne, &invoke<Id64, Id64>},
    {"vx3plugin_onUpdateChannelEditedEvent", "onUpdateChannelEditedEvent", "uuass", "uuass", Rule::ZeroOne, &invoke<Id64, Id64, ClientId, Text, Text>},
    {"vx3plugin_onUpdateClientEvent", "onUpdateClientEvent", "uaass", "uaass", Rule::ZeroOne, &invoke<Id64, ClientId, ClientId, Text, Text>},
    {"vx3plugin_onClientMoveEvent", "onClientMoveEvent", "uauuis", "uauuis", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, Text>},
    {"vx3plugin_onClientMoveSubscriptionEvent", "onClientMoveSubscriptionEvent", "uauui", "uauui", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int>},
    {"vx3plugin_onClientMoveTimeoutEvent", "onClientMoveTimeoutEvent", "uauuis", "uauuis", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, Text>},
    {"vx3plugin_onClientMoveMovedEvent", "onClientMoveMovedEvent", "uauuiasss", "uauuiasss", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, ClientId, Text, Text, Text>},
    {"vx3plugin_onClientKickFromChannelEvent", "onClientKickFromChannelEvent", "uauuiasss", "uauuiasss", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, ClientId, Text, Text, Text>},
    {"vx3plugin_onClientKickFromServerEvent", "onClientKickFromServerEvent", "uauuiasss", "uauuiasss", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, ClientId, Text, Text, Text>},
    {"vx3plugin_onServerEditedEvent", "onServerEditedEvent", "uass", "uass", Rule::ZeroOne, &invoke<Id64, ClientId, Text, Text>},
    {"vx3plugin_onServerUpdatedEvent", "onServerUpdatedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onServerErrorEvent", "onServerErrorEvent", "usIxs", "usIs", Rule::AlwaysZero, &invoke<Id64, Text, Unsigned, Text, Text>},
    {"vx3plugin_onServerStopEvent", "onServerStopEvent", "us", "us", Rule::ZeroOne, &invoke<Id64, Text>},
    {"vx3plugin_onTextMessageEvent", "onTextMessageEvent", "uaaasssi", "uaaasssi>i", Rule::HandlerInt, &invoke<Id64, ClientId, ClientId, ClientId, Text, Text, Text, Int>},
    {"vx3plugin_onTalkStatusChangeEvent", "onTalkStatusChangeEvent", "uiia", "uiia", Rule::ZeroOne, &invoke<Id64, Int, Int, ClientId>},
    {"vx3plugin_onConnectionInfoEvent", "onConnectionInfoEvent", "ua", "ua", Rule::ZeroOne, &invoke<Id64, ClientId>},
    {"vx3plugin_onServerConnectionInfoEvent", "onServerConnectionInfoEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onChannelSubscribeEvent", "onChannelSubscribeEvent", "uu", "uu", Rule::ZeroOne, &invoke<Id64, Id64>},
    {"vx3plugin_onChannelSubscribeFinishedEvent", "onChannelSubscribeFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onChannelUnsubscribeEvent", "onChannelUnsubscribeEvent", "uu", "uu", Rule::ZeroOne, &invoke<Id64, Id64>},
    {"vx3plugin_onChannelUnsubscribeFinishedEvent", "onChannelUnsubscribeFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onChannelDescriptionUpdateEvent", "onChannelDescriptionUpdateEvent", "uu", "uu", Rule::ZeroOne, &invoke<Id64, Id64>},
    {"vx3plugin_onChannelPasswordChangedEvent", "onChannelPasswordChangedEvent", "uu", "uu", Rule::ZeroOne, &invoke<Id64, Id64>},
    {"vx3plugin_onPlaybackShutdownCompleteEvent", "onPlaybackShutdownCompleteEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onClientBanFromServerEvent", "onClientBanFromServerEvent", "uauuiassus", "uauuiassus", Rule::ZeroOne, &invoke<Id64, ClientId, Id64, Id64, Int, ClientId, Text, Text, Id64, Text>},
    {"vx3plugin_onClientPokeEvent", "onClientPokeEvent", "uasxsi", "uassi>i", Rule::HandlerInt, &invoke<Id64, ClientId, Text, Text, Text, Int>},
    {"vx3plugin_onClientSelfVariableUpdateEvent", "onClientSelfVariableUpdateEvent", "uiss", "uiss", Rule::ZeroOne, &invoke<Id64, Int, Text, Text>},
    {"vx3plugin_onServerGroupListEvent", "onServerGroupListEvent", "uusiii", "uusiii", Rule::ZeroOne, &invoke<Id64, Id64, Text, Int, Int, Int>},
    {"vx3plugin_onServerGroupListFinishedEvent", "onServerGroupListFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onServerGroupByClientIDEvent", "onServerGroupByClientIDEvent", "usuu", "usuu", Rule::ZeroOne, &invoke<Id64, Text, Id64, Id64>},
    {"vx3plugin_onServerGroupPermListEvent", "onServerGroupPermListEvent", "uuIiii", "uuIiii", Rule::ZeroOne, &invoke<Id64, Id64, Unsigned, Int, Int, Int>},
    {"vx3plugin_onServerGroupClientListEvent", "onServerGroupClientListEvent", "uuuss", "uuuss", Rule::ZeroOne, &invoke<Id64, Id64, Id64, Text, Text>},
    {"vx3plugin_onChannelGroupListEvent", "onChannelGroupListEvent", "uusiii", "uusiii", Rule::ZeroOne, &invoke<Id64, Id64, Text, Int, Int, Int>},
    {"vx3plugin_onChannelGroupListFinishedEvent", "onChannelGroupListFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onChannelGroupPermListEvent", "onChannelGroupPermListEvent", "uuIiii", "uuIiii", Rule::ZeroOne, &invoke<Id64, Id64, Unsigned, Int, Int, Int>},
    {"vx3plugin_onChannelPermListEvent", "onChannelPermListEvent", "uuIiii", "uuIiii", Rule::ZeroOne, &invoke<Id64, Id64, Unsigned, Int, Int, Int>},
    {"vx3plugin_onClientChannelGroupChangedEvent", "onClientChannelGroupChangedEvent", "uuuaass", "uuuaass", Rule::ZeroOne, &invoke<Id64, Id64, Id64, ClientId, ClientId, Text, Text>},
    {"vx3plugin_onServerPermissionErrorEvent", "onServerPermissionErrorEvent", "usIxI", "usII", Rule::AlwaysZero, &invoke<Id64, Text, Unsigned, Text, Unsigned>},
    {"vx3plugin_onPermissionListGroupEndIDEvent", "onPermissionListGroupEndIDEvent", "uI", "uI", Rule::ZeroOne, &invoke<Id64, Unsigned>},
    {"vx3plugin_onPermissionListEvent", "onPermissionListEvent", "uIss", "uIss", Rule::ZeroOne, &invoke<Id64, Unsigned, Text, Text>},
    {"vx3plugin_onPermissionListFinishedEvent", "onPermissionListFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onPermissionOverviewEvent", "onPermissionOverviewEvent", "uuuiuuIiii", "uuuiuuIiii", Rule::ZeroOne, &invoke<Id64, Id64, Id64, Int, Id64, Id64, Unsigned, Int, Int, Int>},
    {"vx3plugin_onPermissionOverviewFinishedEvent", "onPermissionOverviewFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onServerGroupClientAddedEvent", "onServerGroupClientAddedEvent", "uassuass", "uassuass", Rule::ZeroOne, &invoke<Id64, ClientId, Text, Text, Id64, ClientId, Text, Text>},
    {"vx3plugin_onServerGroupClientDeletedEvent", "onServerGroupClientDeletedEvent", "uassuass", "uassuass", Rule::ZeroOne, &invoke<Id64, ClientId, Text, Text, Id64, ClientId, Text, Text>},
    {"vx3plugin_onClientNeededPermissionsEvent", "onClientNeededPermissionsEvent", "uIi", "uIi", Rule::ZeroOne, &invoke<Id64, Unsigned, Int>},
    {"vx3plugin_onClientNeededPermissionsFinishedEvent", "onClientNeededPermissionsFinishedEvent", "u", "u", Rule::ZeroOne, &invoke<Id64>},
    {"vx3plugin_onClientChatClosedEvent", "onClientChatClosedEvent", "uas", "uas", Rule::ZeroOne, &invoke<Id64, ClientId, Text>},
    {"vx3plugin_onClientChatComposingEvent", "onClientChatComposingEvent", "uas", "uas", Rule::ZeroOne, &invoke<Id64, ClientId, Text>},
    {"vx3plugin_onServerLogEvent", "onServerLogEvent", "us", "us", Rule::ZeroOne, &invoke<Id64, Text>},
    {"vx3plugin_onServerLogFinishedEvent", "onServerLogFinishedEvent", "uuu", "uuu", Rule::ZeroOne, &invoke<Id64, Id64, Id64>},
    {"vx3plugin_onMessageListEvent", "onMessageListEvent", "uussui", "uussui", Rule::ZeroOne, &invoke<Id64, Id64, Text, Text, Id64, Int>},
    {"vx3plugin_onMessageGetEvent", "onMessageGetEvent", "uusssu", "uusssu", Rule::ZeroOne, &invoke<Id64, Id64, Text, Text, Text, Id64>},
    {"vx3plugin_onClientDBIDfromUIDEvent", "onClientDBIDfromUIDEvent", "usu", "usu", Rule::ZeroOne, &invoke<Id64, Text, Id64>},
    {"vx3plugin_onClientNamefromUIDEvent", "onClientNamefromUIDEvent", "usus", "usus", Rule::ZeroOne, &invoke<Id64, Text, Id64, Text>},
    {"vx3plugin_onClientNamefromDBIDEvent", "onClientNamefromDBIDEvent", "usus", "usus", Rule::ZeroOne, &invoke<Id64, Text, Id64, Text>},
    {"vx3plugin_onComplainListEvent", "onComplainListEvent", "uusussu", "uusussu", Rule::ZeroOne, &invoke<Id64, Id64, Text, Id64, Text, Text, Id64>},
    {"vx3plugin_onBanListEvent", "onBanListEvent", "uusssuusussi", "uusssuusussi", Rule::ZeroOne, &invoke<Id64, Id64, Text, Text, Text, Id64, Id64, Text, Id64, Text, Text, Int>},
    {"vx3plugin_onClientServerQueryLoginPasswordEvent", "onClientServerQueryLoginPasswordEvent", "us", "us", Rule::ZeroOne, &invoke<Id64, Text>},
    {"vx3plugin_onPluginCommandEvent", "onPluginCommandEvent", "uss", "uss", Rule::ZeroOne, &invoke<Id64, Text, Text>},
    {"vx3plugin_onServerTemporaryPasswordListEvent", "onServerTemporaryPasswordListEvent", "ussssuuus", "ussssuuus", Rule::ZeroOne, &invoke<Id64, Text, Text, Text, Text, Id64, Id64, Id64, Text>},
    {"vx3plugin_onMenuItemEvent", "onMenuItemEvent", "uiiu", "uiiu", Rule::ZeroOne, &invoke<Id64, Int, Int, Id64>},
};

const size_t kEventCount = sizeof(kEvents) / sizeof(kEvents[0]);

const char* const kServiceExports[] = {
    "vx3plugin_name",         "vx3plugin_version",        "vx3plugin_apiVersion",
    "vx3plugin_author",       "vx3plugin_description",    "vx3plugin_setFunctionPointers",
    "vx3plugin_init",         "vx3plugin_shutdown",       "vx3plugin_registerPluginID",
    "vx3plugin_commandKeyword", "vx3plugin_freeMemory",     "vx3plugin_processCommand",
    "vx3plugin_initMenus",    "vx3plugin_offersConfigure", "vx3plugin_configure",
};

std::vector<std::string> allExports()
{
    std::vector<std::string> names(std::begin(kServiceExports), std::end(kServiceExports));
    for (const EventCase& event : kEvents)
        names.push_back(event.exportName);
    return names;
}

EventArguments argumentsFor(int event, const EventCase& row)
{
    EventArguments args;
    const std::string letters = row.clientLetters;
    for (size_t pos = 0; pos < letters.size(); ++pos) {
        const int p = static_cast<int>(pos);
        uint64_t number = 0;
        switch (letters[pos]) {
        case 'u': number = idValue(event, p); break;
        case 'i': number = static_cast<uint64_t>(static_cast<int64_t>(intValue(event, p))); break;
        case 'a': number = clientValue(event, p); break;
        case 'I': number = unsignedValue(event, p); break;
        default: break;
        }
        args.numbers.push_back(number);
        args.texts.push_back(letters[pos] == 'x' ? "NOT FORWARDED" : textValue(event, p));
        args.nullText.push_back(false);
    }
    return args;
}

// The line the recording handler writes for an event: name, count, values.
std::string expectedLine(const EventCase& row, const EventArguments& args)
{
    const std::string letters = row.clientLetters;
    std::vector<std::string> parts;
    for (size_t pos = 0; pos < letters.size(); ++pos) {
        switch (letters[pos]) {
        case 'u': parts.push_back("n:" + std::to_string(args.numbers[pos])); break;
        case 'i': parts.push_back("n:" + std::to_string(static_cast<int>(static_cast<int64_t>(args.numbers[pos])))); break;
        case 'a': parts.push_back("n:" + std::to_string(args.numbers[pos])); break;
        case 'I': parts.push_back("n:" + std::to_string(args.numbers[pos])); break;
        case 's': parts.push_back(args.nullText[pos] ? "nil" : "s:" + args.texts[pos]); break;
        case 'x': break;
        }
    }
    std::string line = std::string(row.handler) + "\t" + std::to_string(parts.size());
    for (const std::string& part : parts)
        line += "\t" + part;
    return line;
}

std::string luaQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// --- fixture ----------------------------------------------------------------

class ClientFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string error;
        ASSERT_TRUE(StandinClient::get().load(allExports(), &error)) << error;
    }

    void SetUp() override
    {
        StandinClient& client = StandinClient::get();
        ASSERT_NE(client.symbol("vx3plugin_init"), nullptr);
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/c-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        m_root = pattern + "/";
        m_pluginPath = m_root + "p/";
        // The plug-in reads the client's paths into 128-byte buffers.
        ASSERT_LE((m_pluginPath + "scriptling/vx3events.lua").size(), 127u) << "temporary folder too deep: " << m_root;
        ASSERT_LE((m_root + "resources/").size(), 127u) << m_root;
        m_scriptFolder = m_pluginPath + "scriptling/";
        m_logPath = m_root + "events.log";
        mkdir(m_pluginPath.c_str(), 0755);
        mkdir(m_scriptFolder.c_str(), 0755);
        mkdir((m_root + "config").c_str(), 0755);
        client.clearRecords();
        client.answers[182].text = m_pluginPath;
        client.answers[181].text = m_root + "config/";
        client.answers[180].text = m_root + "resources/";
        client.answers[179].text = m_root + "app/";
        client.installTable();
    }

    void TearDown() override
    {
        OutputCapture quiet;
        shutdown();
        quiet.stop();
        EXPECT_EQ(StandinClient::get().unexpected, std::vector<std::string>());
        EXPECT_EQ(StandinClient::get().badReleases, std::vector<std::string>());
    }

    template <typename F>
    F exported(const char* name)
    {
        return StandinClient::get().function<F>(name);
    }
    int init() { return exported<int (*)()>("vx3plugin_init")(); }
    void shutdown() { exported<void (*)()>("vx3plugin_shutdown")(); }

    // A start-up script whose handlers append what they receive to the log.
    // `body` runs after the recorders are defined.
    void writeRecordingScript(const std::vector<std::string>& handlers, const std::string& body = std::string())
    {
        std::string script = "local log = assert(io.open(" + luaQuoted(m_logPath) + ", 'a'))\n"
                             "RESULTS = {}\n"
                             "function logLine(text) log:write(text, '\\n') log:flush() end\n"
                             "local function recorder(name)\n"
                             "  return function(...)\n"
                             "    local n = select('#', ...)\n"
                             "    local parts = { name, tostring(n) }\n"
                             "    for k = 1, n do\n"
                             "      local v = select(k, ...)\n"
                             "      if type(v) == 'number' then\n"
                             "        if v == math.floor(v) then parts[#parts + 1] = string.format('n:%.0f', v)\n"
                             "        else parts[#parts + 1] = 'n:' .. string.format('%.17g', v) end\n"
                             "      elseif type(v) == 'string' then parts[#parts + 1] = 's:' .. v\n"
                             "      else parts[#parts + 1] = type(v) end\n"
                             "    end\n"
                             "    logLine(table.concat(parts, '\\t'))\n"
                             "    return RESULTS[name]\n"
                             "  end\n"
                             "end\n";
        for (const std::string& handler : handlers)
            script += handler + " = recorder('" + handler + "')\n";
        script += body;
        writeScript("vx3events.lua", script);
    }

    void writeScript(const std::string& relative, const std::string& text)
    {
        std::ofstream out(m_scriptFolder + relative, std::ios::binary | std::ios::trunc);
        out << text;
    }

    std::vector<std::string> logLines() const { return linesOf(readFile(m_logPath)); }

    std::string m_root;
    std::string m_pluginPath;
    std::string m_scriptFolder;
    std::string m_logPath;
};

std::vector<std::string> allHandlers()
{
    std::vector<std::string> names;
    for (const EventCase& event : kEvents)
        names.push_back(event.handler);
    return names;
}

int noInterpreterResult(Rule rule)
{
    return rule == Rule::ZeroOne ? 1 : 0;
}

// --- exports ------------------------------------------------------------------

using Exports = ClientFixture;

TEST_F(Exports, EveryExportResolvesAndIdentifies)
{
    EXPECT_EQ(kEventCount, 68u);
    for (size_t i = 0; i < kEventCount; ++i) {
        // The client's argument letters are the signature's, plus the
        // arguments the plug-in drops.
        std::string forwarded;
        for (const char* c = kEvents[i].clientLetters; *c; ++c)
            if (*c != 'x')
                forwarded += *c;
        const std::string signature = kEvents[i].signature;
        EXPECT_EQ(forwarded, signature.substr(0, signature.find('>'))) << kEvents[i].exportName;
    }
    EXPECT_STREQ(exported<const char* (*)()>("vx3plugin_name")(), "Scriptling");
    EXPECT_STREQ(exported<const char* (*)()>("vx3plugin_version")(), "1.0");
    EXPECT_EQ(exported<int (*)()>("vx3plugin_apiVersion")(), 20);
    EXPECT_STREQ(exported<const char* (*)()>("vx3plugin_author")(), "Voxtrel Systems GmbH");
    EXPECT_STREQ(exported<const char* (*)()>("vx3plugin_description")(),
                 "Lua script support for the Voxtrel 3 client.");
    EXPECT_STREQ(exported<const char* (*)()>("vx3plugin_commandKeyword")(), "lua");
    EXPECT_EQ(exported<int (*)()>("vx3plugin_offersConfigure")(), 2);
}

TEST_F(Exports, RegisterPluginIdPrintsEveryCopy)
{
    auto registerId = exported<void (*)(const char*)>("vx3plugin_registerPluginID");
    std::string id = "scriptling-7";
    OutputCapture capture;
    registerId("");
    registerId(id.c_str());
    id.assign("overwritten"); // the plug-in keeps its own copy
    registerId("second");
    registerId(nullptr);
    shutdown();
    shutdown();
    capture.stop();
    EXPECT_EQ(capture.out(), "SCRIPTLING: registerPluginID: \n"
                             "SCRIPTLING: registerPluginID: scriptling-7\n"
                             "SCRIPTLING: registerPluginID: second\n"
                             "SCRIPTLING: shutdown\nShutting down Lua interpreter\n"
                             "SCRIPTLING: shutdown\nShutting down Lua interpreter\n");
    EXPECT_EQ(capture.err(), "");
}

TEST_F(Exports, FreeMemoryReleasesPluginBlocks)
{
    auto freeMemory = exported<void (*)(void*)>("vx3plugin_freeMemory");
    // A block large enough to be mapped on its own, so that its release shows
    // in the allocator's figures (under AddressSanitizer, which keeps its own
    // figures, a leak or a wrong release is reported instead).
    const size_t size = size_t(8) << 20;
    void* block = std::malloc(size);
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, size);
#if !defined(__SANITIZE_ADDRESS__)
    const size_t mappedBefore = mallinfo2().hblkhd;
    ASSERT_GE(mappedBefore, size);
#endif
    freeMemory(block);
    freeMemory(nullptr);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LE(mallinfo2().hblkhd + size, mappedBefore);
#endif
}

// --- life cycle ---------------------------------------------------------------

using Lifecycle = ClientFixture;

TEST_F(Lifecycle, EventsBeforeInitAndAfterShutdownDoNothing)
{
    writeRecordingScript(allHandlers());
    auto runAll = [] {
        std::vector<int> results;
        for (size_t i = 0; i < kEventCount; ++i)
            results.push_back(kEvents[i].call(StandinClient::get().symbol(kEvents[i].exportName),
                                              argumentsFor(static_cast<int>(i), kEvents[i])));
        return results;
    };
    std::vector<int> expected;
    for (const EventCase& event : kEvents)
        expected.push_back(noInterpreterResult(event.rule));

    OutputCapture before;
    EXPECT_EQ(runAll(), expected);
    before.stop();
    EXPECT_EQ(before.out(), "");
    EXPECT_EQ(before.err(), "");

    OutputCapture quiet;
    ASSERT_EQ(init(), 0);
    shutdown();
    quiet.stop();

    OutputCapture after;
    EXPECT_EQ(runAll(), expected);
    after.stop();
    EXPECT_EQ(after.out(), "");
    EXPECT_EQ(after.err(), "");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(Lifecycle, InitAsksForThePluginPathOnly)
{
    writeRecordingScript({}, "logLine('started ' .. type(vx3))\n");
    OutputCapture capture;
    EXPECT_EQ(init(), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "SCRIPTLING: init\nInitializing Lua interpreter\n");
    EXPECT_EQ(StandinClient::get().calls, std::vector<std::string>{"182 getPluginPath(buffer, size:128)"});
    EXPECT_EQ(logLines(), std::vector<std::string>{"started table"});
    OutputCapture down;
    shutdown();
    down.stop();
    EXPECT_EQ(down.out(), "SCRIPTLING: shutdown\nShutting down Lua interpreter\n");
}

TEST_F(Lifecycle, StartupScriptReachesTheClientBeforeRegistration)
{
    // The start-up script runs before the client registers the plug-in's
    // id: the calls that need the id fail without reaching the client.
    writeRecordingScript({}, "logLine(table.concat({vx3.getClientID(4294967298)}, ' '))\n"
                             "logLine(tostring(vx3.sendPluginCommand(1, 'hello', 0, {7})))\n"
                             "logLine(tostring(vx3.setPluginMenuEnabled(3, 1)))\n"
                             "function onServerUpdatedEvent(conn)\n"
                             "  logLine(tostring(vx3.sendPluginCommand(conn, 'hello', 0, {7})))\n"
                             "end\n");
    StandinClient::get().answers[73].number = 65535;
    OutputCapture capture;
    EXPECT_EQ(init(), 0);
    exported<void (*)(const char*)>("vx3plugin_registerPluginID")("id-9");
    EXPECT_EQ(exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent")(1), 0);
    capture.stop();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"65535 0", "1541", "1541", "0"}));
    EXPECT_EQ(StandinClient::get().calls,
              (std::vector<std::string>{"182 getPluginPath(buffer, size:128)", "73 getClientID(u64:4294967298, out)",
                                        "187 sendPluginCommand(u64:1, text:'id-9', text:'hello', u64:0, "
                                        "list[7,0], null)"}));
    EXPECT_EQ(capture.out(), "SCRIPTLING: init\nInitializing Lua interpreter\n"
                             "No plugin ID registered yet in sendPluginCommand\n"
                             "No plugin ID registered yet in setPluginMenuEnabled\n"
                             "SCRIPTLING: registerPluginID: id-9\n");
}

TEST_F(Lifecycle, SecondInitReplacesTheInterpreter)
{
    writeRecordingScript({"onServerUpdatedEvent"},
                         "generation = (generation or 0) + 1\n"
                         "logLine('generation ' .. generation)\n"
                         "sentinel = setmetatable({}, {__gc = function() logLine('closed') end})\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(updated(4), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "SCRIPTLING: init\nInitializing Lua interpreter\n"
                             "SCRIPTLING: init\nInitializing Lua interpreter\nShutting down Lua interpreter\n");
    // The first interpreter was closed (its finalizer ran) before the second
    // one started, and the event reached the second one only.
    EXPECT_EQ(logLines(), (std::vector<std::string>{"generation 1", "closed", "generation 1",
                                                     "onServerUpdatedEvent\t1\tn:4"}));
}

TEST_F(Lifecycle, StartAskedForByAFinalizerDuringShutdownFollowsIt)
{
    // Closing the interpreter runs finalizers; one of them calls the client,
    // which starts the plug-in again from inside that call.
    writeRecordingScript({"onServerUpdatedEvent"},
                         "logLine('started')\n"
                         "sentinel = setmetatable({}, {__gc = function()\n"
                         "  logLine('finalizer') vx3.printMessageToCurrentTab('closing')\n"
                         "end})\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    StandinClient::get().actions[185] = [this] {
        StandinClient::get().actions.erase(185);
        EXPECT_EQ(init(), 0);
        // Meanwhile the plug-in has no interpreter.
        EXPECT_EQ(exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent")(8), 1);
    };
    shutdown();
    EXPECT_EQ(updated(9), 0); // the new interpreter serves events
    capture.stop();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"started", "finalizer", "started", "onServerUpdatedEvent\t1\tn:9"}));
    EXPECT_EQ(capture.out(), "SCRIPTLING: init\nInitializing Lua interpreter\n"
                             "SCRIPTLING: shutdown\nShutting down Lua interpreter\n"
                             "SCRIPTLING: init\nInitializing Lua interpreter\n");
    EXPECT_EQ(capture.err(), "");
}

TEST_F(Lifecycle, FailingStartupScriptKeepsEarlierHandlers)
{
    writeRecordingScript({"onServerUpdatedEvent"}, "error('script broke')\nonServerStopEvent = function() end\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    OutputCapture capture;
    EXPECT_EQ(init(), 1);
    EXPECT_EQ(updated(12), 0);
    EXPECT_EQ(stopped(12, "bye"), 1);
    capture.stop();
    EXPECT_NE(capture.out().find("Failed to load lua script: " + m_scriptFolder + "vx3events.lua\n"),
              std::string::npos)
        << capture.out();
    EXPECT_NE(capture.out().find("script broke"), std::string::npos);
    EXPECT_EQ(capture.err(), "Error running Lua function: Function 'onServerStopEvent' not found\n");
    EXPECT_EQ(logLines(), std::vector<std::string>{"onServerUpdatedEvent\t1\tn:12"});
}

TEST_F(Lifecycle, PrecompiledChunksAreRefused)
{
    // The start-up script tries to bring in precompiled chunks, then replaces
    // itself with one for the next start.
    writeRecordingScript(
        {"onServerUpdatedEvent"},
        "local scripts = " + luaQuoted(m_scriptFolder) + "\n"
        "local function dump(path, f)\n"
        "  local out = assert(io.open(path, 'wb')) out:write(string.dump(f)) out:close()\n"
        "end\n"
        "dump(scripts .. 'dumped.lua', function() logLine('dumped chunk ran') end)\n"
        "logLine('require ' .. tostring((pcall(require, 'dumped'))))\n"
        "logLine('dofile ' .. tostring((pcall(dofile, scripts .. 'dumped.lua'))))\n"
        "logLine('loadfile ' .. tostring((loadfile(scripts .. 'dumped.lua', 'b'))))\n"
        "logLine('load ' .. tostring((load(string.dump(function() logLine('dumped chunk ran') end)))))\n"
        "logLine('text ' .. load('return ...', 'text', 'bt')('still loads'))\n"
        "dump(scripts .. 'vx3events.lua', function()\n"
        "  logLine('dumped start-up script ran') onServerUpdatedEvent = function() end\n"
        "end)\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(init(), 1);
    EXPECT_EQ(updated(5), 1); // the client lives on without handlers
    capture.stop();
    EXPECT_NE(capture.out().find("Failed to load lua script: " + m_scriptFolder +
                                 "vx3events.lua\nattempt to load a binary chunk (mode is 't')\n"),
              std::string::npos)
        << capture.out();
    EXPECT_EQ(capture.err(), "Error running Lua function: Function 'onServerUpdatedEvent' not found\n");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"require false", "dofile false", "loadfile nil", "load nil",
                                                     "text still loads"}));
}

TEST_F(Lifecycle, MissingStartupScript)
{
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    OutputCapture capture;
    EXPECT_EQ(init(), 1);
    EXPECT_EQ(updated(1), 1);
    capture.stop();
    EXPECT_EQ(capture.err(), "Error running Lua function: Function 'onServerUpdatedEvent' not found\n");
}

TEST_F(Lifecycle, ModuleFoldersComeFromThePluginFolder)
{
    // Module folders beside the start-up script; a decoy folder named by the
    // user's LUA_PATH_5_2 must not be searched.
    const std::string decoy = m_root + "decoy/";
    mkdir(decoy.c_str(), 0755);
    mkdir((decoy + "greeter").c_str(), 0755);
    {
        std::ofstream out(decoy + "greeter/init.lua");
        out << "return { origin = 'decoy' }";
    }
    setenv("LUA_PATH_5_2", (decoy + "?.lua").c_str(), 1);
    setenv("LUA_PATH", (decoy + "?.lua").c_str(), 1);
    mkdir((m_scriptFolder + "greeter").c_str(), 0755);
    writeScript("greeter/init.lua", "return { origin = 'plugin' }");
    mkdir((m_scriptFolder + "tools").c_str(), 0755);
    writeScript("tools/init.lua",
                "local tools = {}\nfunction tools.greet() return require('greeter.init').origin end\nreturn tools\n");
    writeRecordingScript({}, "local tools = require 'tools.init'\n"
                             "function onServerStopEvent(conn, text) logLine(text .. ' from ' .. tools.greet()) end\n");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    OutputCapture capture;
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(stopped(1, "hello"), 0);
    capture.stop();
    unsetenv("LUA_PATH_5_2");
    EXPECT_EQ(logLines(), std::vector<std::string>{"hello from plugin"}) << capture.out() << capture.err();
}

TEST_F(Lifecycle, ErroringGlobalLookupIsReportedNotFatal)
{
    writeRecordingScript({"onServerUpdatedEvent"},
                         "setmetatable(_G, {__index = function(t, k) error('undeclared global ' .. k, 0) end})\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    auto poke = exported<int (*)(uint64_t, ClientId, const char*, const char*, const char*, int)>(
        "vx3plugin_onClientPokeEvent");
    OutputCapture capture;
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(stopped(1, "x"), 1);
    EXPECT_EQ(poke(1, 2, "a", "b", "c", 0), 0);
    EXPECT_EQ(updated(3), 0); // defined handlers still run
    capture.stop();
    EXPECT_EQ(capture.err(), "Error running Lua function 'onServerStopEvent': undeclared global onServerStopEvent\n"
                             "Error running Lua function 'onClientPokeEvent': undeclared global onClientPokeEvent\n");
    EXPECT_EQ(logLines(), std::vector<std::string>{"onServerUpdatedEvent\t1\tn:3"});
}

// --- events -------------------------------------------------------------------

class Events : public ClientFixture {
protected:
    // Starts the plug-in quietly, then calls every event's export once with arguments of its
    // own and hands `check` the event, its arguments, the result and what the call printed.
    // Stops at the first fatal failure.
    template <typename Check>
    void callEveryEvent(Check check)
    {
        OutputCapture quiet;
        ASSERT_EQ(init(), 0);
        quiet.stop();
        for (size_t i = 0; i < kEventCount; ++i) {
            const EventCase& event = kEvents[i];
            const EventArguments args = argumentsFor(static_cast<int>(i), event);
            OutputCapture capture;
            const int result = event.call(StandinClient::get().symbol(event.exportName), args);
            capture.stop();
            check(event, args, result, capture);
            if (HasFatalFailure())
                return;
        }
    }
};

TEST_F(Events, EveryEventReachesItsHandlerWithItsArguments)
{
    writeRecordingScript(allHandlers(), "RESULTS.onTextMessageEvent = 5\nRESULTS.onClientPokeEvent = -9\n");
    size_t seen = 0;
    const auto check = [&](const EventCase& event, const EventArguments& args, int result,
                           const OutputCapture& capture) {
        int expectedResult = 0;
        if (event.rule == Rule::HandlerInt)
            expectedResult = std::string(event.handler) == "onTextMessageEvent" ? 5 : -9;
        EXPECT_EQ(result, expectedResult) << event.exportName;
        EXPECT_EQ(capture.err(), "") << event.exportName;
        const std::vector<std::string> lines = logLines();
        ASSERT_EQ(lines.size(), seen + 1) << event.exportName;
        seen = lines.size();
        EXPECT_EQ(lines.back(), expectedLine(event, args)) << event.exportName;
    };
    ASSERT_NO_FATAL_FAILURE(callEveryEvent(check));
    EXPECT_TRUE(StandinClient::get().unexpected.empty());
}

TEST_F(Events, LargeIdsAndNullTextsArriveUnchanged)
{
    writeRecordingScript({"onServerStopEvent", "onServerLogFinishedEvent"});
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    auto logFinished = exported<int (*)(uint64_t, uint64_t, uint64_t)>("vx3plugin_onServerLogFinishedEvent");
    OutputCapture quiet;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(stopped(0x80000003ull, nullptr), 0);
    EXPECT_EQ(logFinished(3, 0x100000005ull, uint64_t(1) << 53), 0);
    quiet.stop();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"onServerStopEvent\t2\tn:2147483651\tnil",
                                                     "onServerLogFinishedEvent\t3\tn:3\tn:4294967301\tn:9007199254740992"}));
}

TEST_F(Events, MissingHandlersAreReportedOncePerEvent)
{
    writeRecordingScript({}, "onChannelMoveEvent = function() logLine('wrong handler name') end\n");
    const auto check = [](const EventCase& event, const EventArguments&, int result, const OutputCapture& capture) {
        EXPECT_EQ(result, noInterpreterResult(event.rule)) << event.exportName;
        EXPECT_EQ(capture.err(), std::string("Error running Lua function: Function '") + event.handler +
                                     "' not found\n")
            << event.exportName;
        EXPECT_EQ(capture.out(), "") << event.exportName;
    };
    ASSERT_NO_FATAL_FAILURE(callEveryEvent(check));
    EXPECT_TRUE(logLines().empty()); // onChannelMoveEvent is not the handler's name
}

TEST_F(Events, FailingHandlersAreReportedAndContained)
{
    std::string body;
    for (const EventCase& event : kEvents)
        body += std::string(event.handler) + " = function() error('failure in " + event.handler + "', 0) end\n";
    writeRecordingScript({}, body);
    const auto check = [](const EventCase& event, const EventArguments&, int result, const OutputCapture& capture) {
        EXPECT_EQ(result, noInterpreterResult(event.rule)) << event.exportName;
        EXPECT_EQ(capture.err(), std::string("Error running Lua function '") + event.handler + "': failure in " +
                                     event.handler + "\n")
            << event.exportName;
    };
    ASSERT_NO_FATAL_FAILURE(callEveryEvent(check));
}

struct IntResultCase {
    const char* value; // Lua expression the handler returns
    int expected;
    bool wrongType;
};

TEST_F(Events, IntResultsOfPokeAndTextMessage)
{
    const IntResultCase cases[] = {
        {"1", 1, false},        {"3.9", 3, false},         {"-3.9", -3, false},      {"'7'", 7, false},
        {"nil", 0, true},       {"'text'", 0, true},       {"{}", 0, true},          {"1e10", 0, true},
        {"-1e10", 0, true},     {"math.huge", 0, true},    {"0/0", 0, true},         {"2147483647", 2147483647, false},
    };
    auto poke = exported<int (*)(uint64_t, ClientId, const char*, const char*, const char*, int)>(
        "vx3plugin_onClientPokeEvent");
    auto text = exported<int (*)(uint64_t, ClientId, ClientId, ClientId, const char*, const char*, const char*, int)>(
        "vx3plugin_onTextMessageEvent");
    for (const IntResultCase& c : cases) {
        writeRecordingScript({"onClientPokeEvent", "onTextMessageEvent"},
                             std::string("RESULTS.onClientPokeEvent = ") + c.value +
                                 "\nRESULTS.onTextMessageEvent = " + c.value + "\n");
        OutputCapture capture;
        ASSERT_EQ(init(), 0);
        const int pokeResult = poke(1, 2, "poker", "unique id", "hello", 0);
        const int textResult = text(1, 2, 3, 4, "from", "uid", "message", 1);
        shutdown();
        capture.stop();
        EXPECT_EQ(pokeResult, c.expected) << c.value;
        EXPECT_EQ(textResult, c.expected) << c.value;
        EXPECT_EQ(countOf(capture.err(), "Error running Lua function: Wrong result type\n"), c.wrongType ? 2 : 0)
            << c.value;
    }
    // The handlers received the forwarded arguments only (the poker's unique id is dropped).
    const std::vector<std::string> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "onClientPokeEvent\t5\tn:1\tn:2\ts:poker\ts:hello\tn:0");
    EXPECT_EQ(lines[1], "onTextMessageEvent\t8\tn:1\tn:2\tn:3\tn:4\ts:from\ts:uid\ts:message\tn:1");
}

TEST_F(Events, HandlersMayChangeAtRunTime)
{
    writeRecordingScript({"onServerUpdatedEvent"},
                         "function onServerStopEvent() onServerUpdatedEvent = nil end\n");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(updated(1), 0);
    EXPECT_EQ(stopped(1, "remove the handler"), 0);
    EXPECT_EQ(updated(2), 1);
    capture.stop();
    EXPECT_EQ(logLines(), std::vector<std::string>{"onServerUpdatedEvent\t1\tn:1"});
    EXPECT_EQ(capture.err(), "Error running Lua function: Function 'onServerUpdatedEvent' not found\n");
}

// --- console command ----------------------------------------------------------

using Console = ClientFixture;

class ConsoleFixture : public ClientFixture {
protected:
    void SetUp() override
    {
        ClientFixture::SetUp();
        writeRecordingScript({"greet", "nothingElse"},
                             "tools = { hello = function(conn, who) logLine('tools.hello ' .. who) end }\n");
        OutputCapture quiet;
        ASSERT_EQ(init(), 0);
        quiet.stop();
        StandinClient::get().calls.clear();
    }

    // Runs one console line; returns what the client's current tab received.
    std::vector<std::string> command(const std::string& line, uint64_t connection = 0x100000002ull)
    {
        StandinClient::get().calls.clear();
        OutputCapture capture;
        const int result = exported<int (*)(uint64_t, const char*)>("vx3plugin_processCommand")(connection,
                                                                                               line.c_str());
        capture.stop();
        m_out = capture.out();
        m_err = capture.err();
        EXPECT_EQ(result, 0) << line;
        std::vector<std::string> tab;
        for (const std::string& call : StandinClient::get().calls)
            if (call.rfind("185 ", 0) == 0)
                tab.push_back(call);
        return tab;
    }

    static std::string tabLine(const std::string& text)
    {
        return "185 printMessageToCurrentTab(text:'" + text + "')";
    }

    std::string m_out;
    std::string m_err;
};

const char kHelpText[] = "[b]Lua console commands:[/b]\n/lua load <filename> - Load lua script from scipts folder.\n"
                         "/lua run <function> [args]- Run lua function. The script must have been previously loaded. "
                         "(Currently no arguments supported)\n/lua help - Show this help";

using ConsoleCommand = ConsoleFixture;

TEST_F(ConsoleCommand, HelpForEmptyUnknownAndCapitalisedCommands)
{
    for (const char* line : {"", "   ", "help", "bogus run greet", "LOAD x.lua", "Run greet", "load"}) {
        EXPECT_EQ(command(line), std::vector<std::string>{tabLine(kHelpText)}) << "'" << line << "'";
        EXPECT_EQ(m_out, std::string("SCRIPTLING: process command: '") + line + "'\n");
    }
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ConsoleCommand, RunPassesNumbersAndTexts)
{
    EXPECT_TRUE(command("  run   greet 12 ab  -3").empty());
    EXPECT_TRUE(command("run tools.hello world").empty());
    // Digits that do not fit an int stay text instead of overflowing.
    EXPECT_TRUE(command("run greet 2147483647 2147483648 007").empty());
    EXPECT_EQ(logLines(), (std::vector<std::string>{"greet\t4\tn:4294967298\tn:12\ts:ab\ts:-3",
                                                     "tools.hello world",
                                                     "greet\t4\tn:4294967298\tn:2147483647\ts:2147483648\tn:7"}));
    EXPECT_EQ(m_err, "");
}

TEST_F(ConsoleCommand, RunTakesAtMostFiveArguments)
{
    EXPECT_TRUE(command("run greet 1 2 3 4 5 6 7", 9).empty());
    EXPECT_EQ(m_out, "SCRIPTLING: process command: 'run greet 1 2 3 4 5 6 7'\nToo many args: 5\n");
    EXPECT_EQ(logLines(), std::vector<std::string>{"greet\t6\tn:9\tn:1\tn:2\tn:3\tn:4\tn:5"});
}

TEST_F(ConsoleCommand, RunFailuresGoToTheCurrentTab)
{
    EXPECT_EQ(command("run"),
              std::vector<std::string>{tabLine("Error: Function parameter missing. Usage is: /lua run <function> [args]")});
    EXPECT_EQ(command("run missing 1"),
              std::vector<std::string>{tabLine("Error running Lua function: Function 'missing' not found\n")});
    EXPECT_EQ(m_err, "Error running Lua function: Function 'missing' not found\n");
    EXPECT_EQ(command("run tools.absent"),
              std::vector<std::string>{
                  tabLine("Error running Lua function: Function 'absent' not found in module 'tools'\n")});
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ConsoleCommand, LongCommandIsCutBeforeSplitting)
{
    const std::string line = "run greet " + std::string(200, 'a');
    EXPECT_TRUE(command(line).empty());
    EXPECT_EQ(logLines(), std::vector<std::string>{"greet\t2\tn:4294967298\ts:" + std::string(117, 'a')});
}

TEST_F(ConsoleCommand, LoadReadsFromTheResourcesScriptFolder)
{
    const std::string folder = m_root + "resources/plugins/scriptling/";
    mkdir((m_root + "resources").c_str(), 0755);
    mkdir((m_root + "resources/plugins").c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    {
        std::ofstream out(folder + "extra.lua");
        out << "function extra(conn, n) logLine('extra ' .. n) end";
    }
    EXPECT_EQ(command("load extra.lua"), std::vector<std::string>{tabLine("Lua script loaded")});
    EXPECT_NE(m_out.find("scriptPath: " + folder + "extra.lua\n"), std::string::npos) << m_out;
    EXPECT_EQ(StandinClient::get().calls.front(), "180 getResourcesPath(buffer, size:128)");
    EXPECT_TRUE(command("run extra 3").empty());
    EXPECT_EQ(logLines(), std::vector<std::string>{"extra 3"});

    EXPECT_EQ(command("load absent.lua"),
              std::vector<std::string>{tabLine("Error loading lua script: " + folder + "absent.lua")});
    EXPECT_NE(m_out.find("Failed to load lua script: " + folder + "absent.lua\n"), std::string::npos) << m_out;
}

TEST_F(ConsoleCommand, WithoutInterpreterRunFailsQuietly)
{
    OutputCapture quiet;
    shutdown();
    quiet.stop();
    // No interpreter: the dispatcher gives 1 without a message, so the tab
    // gets the empty error text.
    EXPECT_EQ(command("run greet"), std::vector<std::string>{tabLine("")});
    EXPECT_EQ(command("load x.lua").size(), 1u);
    EXPECT_NE(m_out.find("No Lua state when trying to load lua script.\n"), std::string::npos);
}

// --- menus --------------------------------------------------------------------

// The client's menu record (264 bytes).
struct MenuRecord {
    int32_t type;
    int32_t menuID;
    char text[128];
    char icon[128];
};
static_assert(sizeof(MenuRecord) == 264, "menu record");
static_assert(offsetof(MenuRecord, text) == 8 && offsetof(MenuRecord, icon) == 136, "menu record fields");

class Menus : public ClientFixture {
protected:
    // Starts the interpreter with `script`, asks for the menus and copies them.
    void build(const std::string& script, bool start = true)
    {
        writeScript("vx3events.lua", script);
        OutputCapture capture;
        if (start)
            init();
        m_items = reinterpret_cast<MenuRecord**>(&m_untouched);
        m_icon = reinterpret_cast<char*>(&m_untouched);
        exported<void (*)(MenuRecord***, char**)>("vx3plugin_initMenus")(&m_items, &m_icon);
        capture.stop();
        m_out = capture.out();
    }

    bool itemsUntouched() const { return m_items == reinterpret_cast<MenuRecord* const*>(&m_untouched); }
    bool iconUntouched() const { return m_icon == reinterpret_cast<const char*>(&m_untouched); }

    // Entries up to the first null; every block goes back to the plug-in.
    std::vector<MenuRecord> takeItems()
    {
        std::vector<MenuRecord> records;
        auto freeMemory = exported<void (*)(void*)>("vx3plugin_freeMemory");
        if (!itemsUntouched()) {
            for (MenuRecord** item = m_items; *item; ++item) {
                records.push_back(**item);
                freeMemory(*item);
            }
            freeMemory(m_items);
        }
        if (!iconUntouched()) {
            m_iconText = m_icon;
            freeMemory(m_icon);
        }
        return records;
    }

    long m_untouched = 0;
    MenuRecord** m_items = nullptr;
    char* m_icon = nullptr;
    std::string m_iconText;
    std::string m_out;
};

TEST_F(Menus, EntriesBecomeRecords)
{
    build("function createMenus() return { 'unused', 'menu.png',\n"
          "  {1, 10, 'First', 'first.png'},\n"
          "  {2, 11.7, 12345, 'second.png'},\n"
          "  {3, 'x', {}, 7},\n"
          "  {'4', -5, string.rep('t', 200), string.rep('i', 300)},\n"
          "  {{}, 1e10, 'e', {}} } end");
    const std::vector<MenuRecord> items = takeItems();
    ASSERT_EQ(items.size(), 5u) << m_out;
    EXPECT_EQ(m_iconText, "menu.png");
    EXPECT_EQ(items[0].type, 1);
    EXPECT_EQ(items[0].menuID, 10);
    EXPECT_STREQ(items[0].text, "First");
    EXPECT_STREQ(items[0].icon, "first.png");
    EXPECT_EQ(items[1].menuID, 11);
    EXPECT_STREQ(items[1].text, "12345");
    EXPECT_EQ(items[2].type, 3);
    EXPECT_EQ(items[2].menuID, 0);
    EXPECT_STREQ(items[2].text, "");
    EXPECT_STREQ(items[2].icon, "7");
    EXPECT_EQ(items[3].type, 4);
    EXPECT_EQ(items[3].menuID, -5);
    EXPECT_EQ(std::string(items[3].text), std::string(127, 't'));
    EXPECT_EQ(std::string(items[3].icon), std::string(127, 'i'));
    EXPECT_EQ(items[4].type, 0);
    EXPECT_EQ(items[4].menuID, 0); // outside the int range
    EXPECT_STREQ(items[4].text, "e");
    EXPECT_STREQ(items[4].icon, "");
    EXPECT_EQ(m_out, "SCRIPTLING: init\nInitializing Lua interpreter\n"
                     "Invalid return value. Expecting integer for menuID.\n"
                     "Invalid return value. Expecting string for menu text.\n"
                     "Invalid return value. Expecting integer for type.\n"
                     "Invalid return value. Expecting integer for menuID.\n"
                     "Invalid return value. Expecting string for menu icon.\n");
}

TEST_F(Menus, InvalidEntryEndsTheList)
{
    build("function createMenus() return { 0, 'icon', {1, 1, 'a', 'a'}, {2, 2, 'b'}, {3, 3, 'c', 'c'} } end");
    // The array has room for three entries and the terminator. The client
    // stops at the first null, so nothing may be built behind it (it would
    // never be released).
    ASSERT_FALSE(itemsUntouched());
    EXPECT_EQ(m_items[1], nullptr);
    EXPECT_EQ(m_items[2], nullptr);
    const std::vector<MenuRecord> items = takeItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_STREQ(items[0].text, "a");
    EXPECT_EQ(m_out, "SCRIPTLING: init\nInitializing Lua interpreter\n"
                     "Invalid return value. Expecting 4 items for menu.\n");
}

TEST_F(Menus, IconWithoutEntries)
{
    build("function createMenus() return { 0, 'only-icon.png' } end");
    ASSERT_FALSE(itemsUntouched());
    EXPECT_EQ(m_items[0], nullptr);
    EXPECT_TRUE(takeItems().empty());
    EXPECT_EQ(m_iconText, "only-icon.png");
}

TEST_F(Menus, NoMenusLeaveThePointersAlone)
{
    struct Case {
        const char* script;
        const char* output;
    };
    const Case cases[] = {
        {"-- no createMenus", ""},
        {"createMenus = 5", ""},
        {"function createMenus() return {} end", ""},
        {"function createMenus() error('menu failure') end", "Failed to call createMenus.\n"},
        {"function createMenus() return 'menus' end", "Invalid return value for createMenus, not a table.\n"},
        {"function createMenus() end", "Invalid return value for createMenus, not a table.\n"},
    };
    for (const Case& c : cases) {
        build(c.script);
        EXPECT_TRUE(itemsUntouched()) << c.script;
        EXPECT_TRUE(iconUntouched()) << c.script;
        EXPECT_EQ(m_out, std::string("SCRIPTLING: init\nInitializing Lua interpreter\n") + c.output) << c.script;
        OutputCapture quiet;
        shutdown();
    }
    build("function createMenus() return {0, 'x', {1, 2, 'a', 'b'}} end", false);
    EXPECT_TRUE(itemsUntouched());
    EXPECT_EQ(m_out, "No Lua state when trying to create menus.\n");
}

// --- untrusted scripts ----------------------------------------------------------

// The plug-in's own Lua C functions (the dispatcher, the menu builder, the
// script runner and the copies of client texts and lists) are on the Lua
// stack while they work, where debug.getinfo and hooks reach them. Called by
// a script, with any argument, while their call is under way or after it,
// each must refuse with a Lua error and touch nothing.
const char kRefusal[] = "internal function of the plug-in; it cannot be called from a script";

// Script part: probe(helper, label) calls `helper` with no argument, a number,
// a file and a table, and reports each outcome to the current tab;
// helperOf(binding, ...) returns the first function that the binding calls.
const char kProbes[] = R"(
local hostile = { {'none'}, {'number', 42}, {'file', io.stdout}, {'table', {}} }
function probe(helper, label)
  for _, h in ipairs(hostile) do
    local ok, message
    if #h == 1 then ok, message = pcall(helper) else ok, message = pcall(helper, h[2]) end
    vx3.printMessageToCurrentTab(label .. ' ' .. h[1] .. ': ' .. tostring(ok) .. ' ' .. tostring(message))
  end
end
function helperOf(binding, ...)
  local found
  debug.sethook(function()
    local caller = debug.getinfo(3, 'f')
    if not found and caller and caller.func == binding then found = debug.getinfo(2, 'f').func end
  end, 'c')
  binding(...)
  debug.sethook()
  return found
end
HELD = {}
)";

class UntrustedScripts : public ClientFixture {
protected:
    void SetUp() override
    {
        ClientFixture::SetUp();
        // A helper that took its argument for a file name would read the
        // client's standard input.
        ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }

    // The probe reports for `label`, as the tab received them.
    std::vector<std::string> reports(const std::string& label) const
    {
        std::vector<std::string> lines;
        const std::string prefix = "185 printMessageToCurrentTab(text:'" + label + " ";
        for (const std::string& call : StandinClient::get().calls)
            if (call.rfind(prefix, 0) == 0)
                lines.push_back(call.substr(prefix.size() - label.size() - 1));
        return lines;
    }

    static std::vector<std::string> refusals(const std::string& label)
    {
        std::vector<std::string> lines;
        for (const char* arg : {"none", "number", "file", "table"})
            lines.push_back(label + " " + arg + ": false " + kRefusal + "')");
        return lines;
    }

    void expectClientUnharmed()
    {
        const StandinClient& client = StandinClient::get();
        EXPECT_EQ(client.unexpected, std::vector<std::string>());
        EXPECT_EQ(client.badReleases, std::vector<std::string>());
        EXPECT_EQ(client.outstanding(), 0u);
    }
};

TEST_F(UntrustedScripts, DispatcherRefusesScripts)
{
    writeRecordingScript({"onServerUpdatedEvent"},
                         std::string(kProbes) +
                             "function onServerStopEvent()\n"
                             "  HELD.dispatch = debug.getinfo(2, 'f').func\n"
                             "  probe(HELD.dispatch, 'live')\n"
                             "end\n"
                             "function onPluginCommandEvent() probe(HELD.dispatch, 'held') end\n");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    auto command = exported<int (*)(uint64_t, const char*, const char*)>("vx3plugin_onPluginCommandEvent");
    auto updated = exported<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(stopped(1, "bye"), 0);
    EXPECT_EQ(command(1, "other", "go"), 0);
    EXPECT_EQ(updated(6), 0); // the dispatcher still serves the client
    capture.stop();
    EXPECT_EQ(reports("live"), refusals("live")) << capture.err();
    EXPECT_EQ(reports("held"), refusals("held")) << capture.err();
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(logLines(), std::vector<std::string>{"onServerUpdatedEvent\t1\tn:6"});
    expectClientUnharmed();
}

TEST_F(UntrustedScripts, MenuBuilderRefusesScripts)
{
    writeRecordingScript({}, std::string(kProbes) +
                                 "function createMenus()\n"
                                 "  if not HELD.menus then\n"
                                 "    HELD.menus = debug.getinfo(2, 'f').func\n"
                                 "    probe(HELD.menus, 'live')\n"
                                 "  end\n"
                                 "  return {0, 'icon.png', {1, 7, 'Entry', 'entry.png'}}\n"
                                 "end\n"
                                 "function onServerStopEvent() probe(HELD.menus, 'held') end\n");
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    auto freeMemory = exported<void (*)(void*)>("vx3plugin_freeMemory");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    long untouched = 0;
    MenuRecord** items = reinterpret_cast<MenuRecord**>(&untouched);
    char* icon = reinterpret_cast<char*>(&untouched);
    exported<void (*)(MenuRecord***, char**)>("vx3plugin_initMenus")(&items, &icon);
    EXPECT_EQ(stopped(1, "bye"), 0);
    capture.stop();
    EXPECT_EQ(reports("live"), refusals("live")) << capture.out();
    EXPECT_EQ(reports("held"), refusals("held")) << capture.out();
    // The client's own request was served as usual.
    ASSERT_NE(items, reinterpret_cast<MenuRecord**>(&untouched));
    ASSERT_NE(items[0], nullptr);
    EXPECT_STREQ(items[0]->text, "Entry");
    EXPECT_EQ(items[1], nullptr);
    ASSERT_NE(icon, reinterpret_cast<char*>(&untouched));
    EXPECT_STREQ(icon, "icon.png");
    freeMemory(items[0]);
    freeMemory(items);
    freeMemory(icon);
    expectClientUnharmed();
}

TEST_F(UntrustedScripts, ScriptRunnerRefusesScripts)
{
    // At the top of a script file, the function below the chunk is the
    // plug-in's script runner: the start-up script's and a loaded one's.
    writeRecordingScript({}, std::string(kProbes) +
                                 "HELD.load = debug.getinfo(2, 'f').func\n"
                                 "probe(HELD.load, 'live')\n"
                                 "function onServerStopEvent() probe(HELD.load, 'held') end\n");
    mkdir((m_root + "resources").c_str(), 0755);
    mkdir((m_root + "resources/plugins").c_str(), 0755);
    mkdir((m_root + "resources/plugins/scriptling").c_str(), 0755);
    {
        std::ofstream out(m_root + "resources/plugins/scriptling/console.lua");
        out << "probe(debug.getinfo(2, 'f').func, 'console')\n";
    }
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    auto processCommand = exported<int (*)(uint64_t, const char*)>("vx3plugin_processCommand");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(stopped(1, "bye"), 0);
    EXPECT_EQ(processCommand(1, "load console.lua"), 0);
    capture.stop();
    EXPECT_EQ(reports("live"), refusals("live")) << capture.out();
    EXPECT_EQ(reports("held"), refusals("held")) << capture.out();
    EXPECT_EQ(reports("console"), refusals("console")) << capture.out();
    EXPECT_EQ(StandinClient::get().calls.back(), "185 printMessageToCurrentTab(text:'Lua script loaded')");
    expectClientUnharmed();
}

TEST_F(UntrustedScripts, CopiesOfClientTextsAndListsRefuseScripts)
{
    // A call hook catches the copy helpers as the bindings enter them.
    writeRecordingScript({}, std::string(kProbes) +
                                 "function onServerStopEvent()\n"
                                 "  HELD.text = helperOf(vx3.getClientLibVersion)\n"
                                 "  HELD.clients = helperOf(vx3.getClientList, 1)\n"
                                 "  HELD.channels = helperOf(vx3.getChannelList, 1)\n"
                                 "  HELD.buffer = helperOf(vx3.urlsToBB, 'www.example.com')\n"
                                 "  for _, name in ipairs({'text', 'clients', 'channels', 'buffer'}) do\n"
                                 "    if HELD[name] then probe(HELD[name], name) end\n"
                                 "  end\n"
                                 "  local version = vx3.getClientLibVersion()\n"
                                 "  local clients = vx3.getClientList(1)\n"
                                 "  logLine(version .. ' ' .. table.concat(clients, ','))\n"
                                 "end\n");
    StandinClient& client = StandinClient::get();
    client.answers[0].text = "3.1";
    client.answers[82].list = {4, 5};
    client.answers[93].list = {9};
    client.answers[186].text = "[url]www.example.com[/url]";
    auto stopped = exported<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent");
    OutputCapture capture;
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(stopped(1, "bye"), 0);
    capture.stop();
    for (const char* name : {"text", "clients", "channels", "buffer"})
        EXPECT_EQ(reports(name), refusals(name)) << name << "\n" << capture.err();
    EXPECT_EQ(logLines(), std::vector<std::string>{"3.1 4,5"});
    expectClientUnharmed();
}

} // namespace
