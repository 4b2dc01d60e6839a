#include "standinclient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sstream>
#include <type_traits>
#include <utility>

namespace {

const char* const kSlotNames[kClientSlotCount] = {
    "getClientLibVersion", "getClientLibVersionNumber", "", "", "getErrorMessage", "freeMemory",
    "logMessage", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "playWaveFile", "",
    "", "", "", "getPreProcessorInfoValueFloat", "getPreProcessorConfigValue", "setPreProcessorConfigValue",
    "getEncodeConfigValue", "getPlaybackConfigValueAsFloat", "setPlaybackConfigValue", "setClientVolumeModifier", "", "",
    "", "", "", "", "", "",
    "requestClientMove", "requestClientVariables", "requestClientKickFromChannel", "requestClientKickFromServer", "requestChannelDelete", "requestChannelMove",
    "requestSendPrivateTextMsg", "requestSendChannelTextMsg", "requestSendServerTextMsg", "requestConnectionInfo", "", "requestChannelSubscribe",
    "requestChannelSubscribeAll", "requestChannelUnsubscribe", "requestChannelUnsubscribeAll", "requestChannelDescription", "requestMuteClients", "requestUnmuteClients",
    "requestClientPoke", "", "", "", "requestServerTemporaryPasswordAdd", "requestServerTemporaryPasswordDel",
    "requestServerTemporaryPasswordList", "getClientID", "getClientSelfVariableAsInt", "getClientSelfVariableAsString", "setClientSelfVariableAsInt", "setClientSelfVariableAsString",
    "flushClientSelfUpdates", "getClientVariableAsInt", "getClientVariableAsUInt64", "getClientVariableAsString", "getClientList", "getChannelOfClient",
    "getChannelVariableAsInt", "", "getChannelVariableAsString", "getChannelIDFromChannelNames", "setChannelVariableAsInt", "",
    "setChannelVariableAsString", "flushChannelUpdates", "flushChannelCreation", "getChannelList", "getChannelClientList", "getParentChannelOfChannel",
    "getServerConnectionHandlerList", "getServerVariableAsInt", "getServerVariableAsUInt64", "getServerVariableAsString", "requestServerVariables", "getConnectionStatus",
    "getConnectionVariableAsUInt64", "getConnectionVariableAsDouble", "getConnectionVariableAsString", "cleanUpConnectionInfo", "", "",
    "", "requestClientEditDescription", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "banclient",
    "banadd", "banclientdbid", "bandel", "bandelall", "requestBanList", "requestComplainAdd",
    "requestComplainDel", "requestComplainDelAll", "requestComplainList", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "",
    "", "", "", "", "", "getAppPath",
    "getResourcesPath", "getConfigPath", "getPluginPath", "getCurrentServerConnectionHandlerID", "printMessage", "printMessageToCurrentTab",
    "urlsToBB", "sendPluginCommand", "getDirectories", "", "", "",
    "", "", "", "", "", "setPluginMenuEnabled",
    "", "", "", "getClientDisplayName", "", "",
    "guiConnect", "", "createBookmark", "getPermissionIDByName", "getClientNeededPermission",
};

// Walks the arguments of one recorded call, describing each at its declared
// width and serving out-parameters from the slot's answer.
class ArgumentWalker {
public:
    ArgumentWalker(StandinClient& client, int slot)
        : m_client(client), m_answer(client.answers[slot])
    {
    }

    template <typename T>
    void visit(T value)
    {
        std::ostringstream out;
        if constexpr (std::is_same_v<T, uint64_t>) {
            if (m_buffer) {
                // A buffer followed by its size: fill it like the client does.
                std::snprintf(m_buffer, value, "%s", m_answer.text.c_str());
                m_buffer = nullptr;
                out << "size:" << value;
            } else {
                out << "u64:" << value;
            }
        } else if constexpr (std::is_same_v<T, int>) {
            out << "i32:" << value;
        } else if constexpr (std::is_same_v<T, unsigned>) {
            out << "u32:" << value;
        } else if constexpr (std::is_same_v<T, ClientId>) {
            out << "u16:" << value;
        } else if constexpr (std::is_same_v<T, float>) {
            out << "f32:" << value;
        } else if constexpr (std::is_same_v<T, const char*>) {
            if (value)
                out << "text:'" << value << "'";
            else
                out << "null";
        } else if constexpr (std::is_same_v<T, char*>) {
            m_buffer = value;
            out << "buffer";
        } else if constexpr (std::is_same_v<T, char**>) {
            if (value && m_answer.err == 0)
                *value = m_client.allocateText(m_answer.text);
            out << "out-text";
        } else if constexpr (std::is_same_v<T, const char* const*>) {
            out << "names[";
            for (const char* const* name = value; name && *name; ++name) {
                out << "'" << *name << "'";
                if (**name == '\0')
                    break; // the empty text ends the list
                out << ",";
            }
            out << "]";
        } else if constexpr (std::is_same_v<T, const uint64_t*> || std::is_same_v<T, const ClientId*>) {
            if (!value) {
                out << "null";
            } else {
                out << "list[";
                for (auto* element = value;; ++element) {
                    out << static_cast<uint64_t>(*element);
                    if (*element == 0)
                        break;
                    out << ",";
                }
                out << "]";
            }
        } else if constexpr (std::is_same_v<T, uint64_t**> || std::is_same_v<T, ClientId**>) {
            using Element = std::remove_pointer_t<std::remove_pointer_t<T>>;
            if (value && m_answer.err == 0)
                *value = m_client.allocateList<Element>(m_answer.list);
            out << "out-list";
        } else if constexpr (std::is_same_v<T, float*> || std::is_same_v<T, double*>) {
            if (value && m_answer.err == 0)
                *value = static_cast<std::remove_pointer_t<T>>(m_answer.real);
            out << "out";
        } else if constexpr (std::is_pointer_v<T> && std::is_integral_v<std::remove_pointer_t<T>>) {
            if (value && m_answer.err == 0)
                *value = static_cast<std::remove_pointer_t<T>>(m_answer.number);
            out << "out";
        } else if constexpr (std::is_same_v<T, void*>) {
            m_client.release(value);
            out << "block";
        } else {
            static_assert(sizeof(T) == 0, "argument type without a description");
        }
        m_parts.push_back(out.str());
    }

    std::string text(int slot) const
    {
        std::string line = std::to_string(slot) + " " + kSlotNames[slot] + "(";
        for (size_t i = 0; i < m_parts.size(); ++i)
            line += (i ? ", " : "") + m_parts[i];
        return line + ")";
    }

private:
    StandinClient& m_client;
    SlotAnswer& m_answer;
    char* m_buffer = nullptr;
    std::vector<std::string> m_parts;
};

template <int N, typename Signature>
struct RecordingSlot;

template <int N, typename R, typename... A>
struct RecordingSlot<N, R(A...)> {
    static R call(A... args)
    {
        StandinClient& client = StandinClient::get();
        ArgumentWalker walker(client, N);
        (walker.visit(args), ...);
        client.calls.push_back(walker.text(N));
        auto action = client.actions.find(N);
        if (action != client.actions.end() && action->second) {
            // A copy: the action may replace the client's actions.
            const std::function<void()> run = action->second;
            run();
        }
        if constexpr (std::is_same_v<R, unsigned>)
            return client.answers[N].err;
        else if constexpr (!std::is_void_v<R>)
            return static_cast<R>(client.answers[N].number);
    }
};

template <int N, typename Signature>
void install(ClientFunctionTable& table)
{
    table.slot[N] = reinterpret_cast<void (*)()>(&RecordingSlot<N, Signature>::call);
}

template <int N>
void trap()
{
    StandinClient::get().unexpected.push_back("unexpected slot " + std::to_string(N));
}

template <size_t... N>
void installTraps(ClientFunctionTable& table, std::index_sequence<N...>)
{
    ((table.slot[N] = &trap<static_cast<int>(N)>), ...);
}

} // namespace

const char* clientSlotName(int slot)
{
    return slot >= 0 && slot < kClientSlotCount ? kSlotNames[slot] : "";
}

StandinClient& StandinClient::get()
{
    static StandinClient client;
    return client;
}

StandinClient::StandinClient()
{
    ClientFunctionTable& table = m_table;
    installTraps(table, std::make_index_sequence<kClientSlotCount>());
    install<0, unsigned(char**)>(table); // getClientLibVersion
    install<1, unsigned(uint64_t*)>(table); // getClientLibVersionNumber
    install<4, unsigned(unsigned, char**)>(table); // getErrorMessage
    install<5, unsigned(void*)>(table); // freeMemory
    install<6, unsigned(const char*, int, const char*, uint64_t)>(table); // logMessage
    install<28, unsigned(uint64_t, const char*)>(table); // playWaveFile
    install<33, unsigned(uint64_t, const char*, float*)>(table); // getPreProcessorInfoValueFloat
    install<34, unsigned(uint64_t, const char*, char**)>(table); // getPreProcessorConfigValue
    install<35, unsigned(uint64_t, const char*, const char*)>(table); // setPreProcessorConfigValue
    install<36, unsigned(uint64_t, const char*, char**)>(table); // getEncodeConfigValue
    install<37, unsigned(uint64_t, const char*, float*)>(table); // getPlaybackConfigValueAsFloat
    install<38, unsigned(uint64_t, const char*, const char*)>(table); // setPlaybackConfigValue
    install<39, unsigned(uint64_t, ClientId, float)>(table); // setClientVolumeModifier
    install<48, unsigned(uint64_t, ClientId, uint64_t, const char*, const char*)>(table); // requestClientMove
    install<49, unsigned(uint64_t, ClientId, const char*)>(table); // requestClientVariables
    install<50, unsigned(uint64_t, ClientId, const char*, const char*)>(table); // requestClientKickFromChannel
    install<51, unsigned(uint64_t, ClientId, const char*, const char*)>(table); // requestClientKickFromServer
    install<52, unsigned(uint64_t, uint64_t, uint16_t, const char*)>(table); // requestChannelDelete
    install<53, unsigned(uint64_t, uint64_t, uint64_t, uint64_t, const char*)>(table); // requestChannelMove
    install<54, unsigned(uint64_t, const char*, ClientId, const char*)>(table); // requestSendPrivateTextMsg
    install<55, unsigned(uint64_t, const char*, uint16_t, const char*)>(table); // requestSendChannelTextMsg
    install<56, unsigned(uint64_t, const char*, const char*)>(table); // requestSendServerTextMsg
    install<57, unsigned(uint64_t, ClientId, const char*)>(table); // requestConnectionInfo
    install<59, unsigned(uint64_t, const uint64_t*, const char*)>(table); // requestChannelSubscribe
    install<60, unsigned(uint64_t, const char*)>(table); // requestChannelSubscribeAll
    install<61, unsigned(uint64_t, const uint64_t*, const char*)>(table); // requestChannelUnsubscribe
    install<62, unsigned(uint64_t, const char*)>(table); // requestChannelUnsubscribeAll
    install<63, unsigned(uint64_t, uint64_t, const char*)>(table); // requestChannelDescription
    install<64, unsigned(uint64_t, const ClientId*, const char*)>(table); // requestMuteClients
    install<65, unsigned(uint64_t, const ClientId*, const char*)>(table); // requestUnmuteClients
    install<66, unsigned(uint64_t, ClientId, const char*, const char*)>(table); // requestClientPoke
    install<70, unsigned(uint64_t, const char*, const char*, uint64_t, uint64_t, const char*, const char*)>(table); // requestServerTemporaryPasswordAdd
    install<71, unsigned(uint64_t, const char*, const char*)>(table); // requestServerTemporaryPasswordDel
    install<72, unsigned(uint64_t, const char*)>(table); // requestServerTemporaryPasswordList
    install<73, unsigned(uint64_t, ClientId*)>(table); // getClientID
    install<74, unsigned(uint64_t, uint64_t, int*)>(table); // getClientSelfVariableAsInt
    install<75, unsigned(uint64_t, uint64_t, char**)>(table); // getClientSelfVariableAsString
    install<76, unsigned(uint64_t, uint64_t, int)>(table); // setClientSelfVariableAsInt
    install<77, unsigned(uint64_t, uint64_t, const char*)>(table); // setClientSelfVariableAsString
    install<78, unsigned(uint64_t, const char*)>(table); // flushClientSelfUpdates
    install<79, unsigned(uint64_t, ClientId, uint64_t, int*)>(table); // getClientVariableAsInt
    install<80, unsigned(uint64_t, ClientId, uint64_t, uint64_t*)>(table); // getClientVariableAsUInt64
    install<81, unsigned(uint64_t, ClientId, uint64_t, char**)>(table); // getClientVariableAsString
    install<82, unsigned(uint64_t, ClientId**)>(table); // getClientList
    install<83, unsigned(uint64_t, ClientId, uint64_t*)>(table); // getChannelOfClient
    install<84, unsigned(uint64_t, uint64_t, uint64_t, int*)>(table); // getChannelVariableAsInt
    install<86, unsigned(uint64_t, uint64_t, uint64_t, char**)>(table); // getChannelVariableAsString
    install<87, unsigned(uint64_t, const char* const*, uint64_t*)>(table); // getChannelIDFromChannelNames
    install<88, unsigned(uint64_t, uint64_t, uint64_t, int)>(table); // setChannelVariableAsInt
    install<90, unsigned(uint64_t, uint64_t, uint64_t, const char*)>(table); // setChannelVariableAsString
    install<91, unsigned(uint64_t, uint64_t, const char*)>(table); // flushChannelUpdates
    install<92, unsigned(uint64_t, uint64_t, const char*)>(table); // flushChannelCreation
    install<93, unsigned(uint64_t, uint64_t**)>(table); // getChannelList
    install<94, unsigned(uint64_t, uint64_t, ClientId**)>(table); // getChannelClientList
    install<95, unsigned(uint64_t, uint64_t, uint64_t*)>(table); // getParentChannelOfChannel
    install<96, unsigned(uint64_t**)>(table); // getServerConnectionHandlerList
    install<97, unsigned(uint64_t, uint64_t, int*)>(table); // getServerVariableAsInt
    install<98, unsigned(uint64_t, uint64_t, uint64_t*)>(table); // getServerVariableAsUInt64
    install<99, unsigned(uint64_t, uint64_t, char**)>(table); // getServerVariableAsString
    install<100, unsigned(uint64_t)>(table); // requestServerVariables
    install<101, unsigned(uint64_t, int*)>(table); // getConnectionStatus
    install<102, unsigned(uint64_t, ClientId, uint64_t, uint64_t*)>(table); // getConnectionVariableAsUInt64
    install<103, unsigned(uint64_t, ClientId, uint64_t, double*)>(table); // getConnectionVariableAsDouble
    install<104, unsigned(uint64_t, ClientId, uint64_t, char**)>(table); // getConnectionVariableAsString
    install<105, unsigned(uint64_t, ClientId)>(table); // cleanUpConnectionInfo
    install<109, unsigned(uint64_t, ClientId, const char*, const char*)>(table); // requestClientEditDescription
    install<137, unsigned(uint64_t, ClientId, uint64_t, const char*, const char*)>(table); // banclient
    install<138, unsigned(uint64_t, const char*, const char*, const char*, uint64_t, const char*, const char*)>(table); // banadd
    install<139, unsigned(uint64_t, uint64_t, uint64_t, const char*, const char*)>(table); // banclientdbid
    install<140, unsigned(uint64_t, uint64_t, const char*)>(table); // bandel
    install<141, unsigned(uint64_t, const char*)>(table); // bandelall
    install<142, unsigned(uint64_t, const char*)>(table); // requestBanList
    install<143, unsigned(uint64_t, uint64_t, const char*, const char*)>(table); // requestComplainAdd
    install<144, unsigned(uint64_t, uint64_t, uint64_t, const char*)>(table); // requestComplainDel
    install<145, unsigned(uint64_t, uint64_t, const char*)>(table); // requestComplainDelAll
    install<146, unsigned(uint64_t, uint64_t, const char*)>(table); // requestComplainList
    install<179, void(char*, size_t)>(table); // getAppPath
    install<180, void(char*, size_t)>(table); // getResourcesPath
    install<181, void(char*, size_t)>(table); // getConfigPath
    install<182, void(char*, size_t)>(table); // getPluginPath
    install<183, uint64_t()>(table); // getCurrentServerConnectionHandlerID
    install<184, void(uint64_t, const char*, int)>(table); // printMessage
    install<185, void(const char*)>(table); // printMessageToCurrentTab
    install<186, void(const char*, char*, size_t)>(table); // urlsToBB
    install<187, unsigned(uint64_t, const char*, const char*, uint64_t, const ClientId*, const char*)>(table); // sendPluginCommand
    install<188, void(const char*, char*, size_t)>(table); // getDirectories
    install<197, void(const char*, int, int)>(table); // setPluginMenuEnabled
    install<201, unsigned(uint64_t, ClientId, char*, size_t)>(table); // getClientDisplayName
    install<204, unsigned(uint64_t, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, uint64_t*)>(table); // guiConnect
    install<206, unsigned(const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*, const char*)>(table); // createBookmark
    install<207, unsigned(uint64_t, const char*, unsigned*)>(table); // getPermissionIDByName
    install<208, unsigned(uint64_t, const char*, int*)>(table); // getClientNeededPermission
}

bool StandinClient::load(const std::vector<std::string>& exports, std::string* error)
{
    if (!m_library) {
        m_library = dlopen(SCRIPTLING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!m_library) {
            *error = dlerror();
            return false;
        }
    }
    std::string missing;
    for (const std::string& name : exports) {
        void* address = dlsym(m_library, name.c_str());
        if (!address)
            missing += name + " ";
        m_symbols[name] = address;
    }
    if (!missing.empty()) {
        *error = "missing exports: " + missing;
        return false;
    }
    return true;
}

void* StandinClient::symbol(const std::string& name) const
{
    auto found = m_symbols.find(name);
    return found == m_symbols.end() ? nullptr : found->second;
}

void StandinClient::installTable()
{
    function<void (*)(ClientFunctionTable)>("vx3plugin_setFunctionPointers")(m_table);
}

void StandinClient::clearRecords()
{
    calls.clear();
    unexpected.clear();
    answers.clear();
    actions.clear();
    badReleases.clear();
    releases = 0;
}

void* StandinClient::allocate(size_t size)
{
    void* block = std::malloc(size ? size : 1);
    m_live.insert(block);
    return block;
}

char* StandinClient::allocateText(const std::string& text)
{
    char* copy = static_cast<char*>(allocate(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void StandinClient::release(void* block)
{
    auto found = m_live.find(block);
    if (found == m_live.end()) {
        std::ostringstream text;
        text << "release of a block the client does not own: " << block;
        badReleases.push_back(text.str());
        return;
    }
    m_live.erase(found);
    std::free(block);
    ++releases;
}
