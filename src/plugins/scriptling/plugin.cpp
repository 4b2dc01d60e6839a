#include "plugin.h"

#include "luaconfigdialog.h"
#include "luahelpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kConsoleHelp[] =
    "[b]Lua console commands:[/b]\n"
    "/lua load <filename> - Load lua script from scipts folder.\n"
    "/lua run <function> [args]- Run lua function. The script must have been previously loaded. "
    "(Currently no arguments supported)\n"
    "/lua help - Show this help";

enum { MaxConsoleArguments = 5 };

// One argument of "/lua run": a number when it is made of digits only and
// fits an int, otherwise the text itself.
struct ConsoleArgument {
    bool isNumber;
    int number;
    const char* text;
};

void printToCurrentTab(const char* text)
{
    if (vx3Functions.printMessageToCurrentTab)
        vx3Functions.printMessageToCurrentTab(text);
}

ConsoleArgument classify(const char* token)
{
    ConsoleArgument argument{false, 0, token};
    if (std::strspn(token, "0123456789") != std::strlen(token))
        return argument;
    errno = 0;
    const long long value = std::strtoll(token, nullptr, 10);
    if (errno == 0 && value <= 2147483647LL) {
        argument.isNumber = true;
        argument.number = static_cast<int>(value);
    }
    return argument;
}

// Calls callLuaFunction with the connection id and the console arguments,
// each passed with its own type. Depth bounds the instantiations.
template <int Depth, typename... Values>
int runWithArguments(char* errorBuffer, const char* name, const char* signature, const ConsoleArgument* arguments,
                     int count, Values... values)
{
    if constexpr (Depth >= MaxConsoleArguments) {
        return callLuaFunction(errorBuffer, name, signature, values...);
    } else {
        if (count == 0)
            return callLuaFunction(errorBuffer, name, signature, values...);
        if (arguments->isNumber)
            return runWithArguments<Depth + 1>(errorBuffer, name, signature, arguments + 1, count - 1, values...,
                                               arguments->number);
        return runWithArguments<Depth + 1>(errorBuffer, name, signature, arguments + 1, count - 1, values...,
                                           arguments->text);
    }
}

void runCommand(uint64_t serverConnectionHandlerID, const char* function, char** tokens, int count)
{
    ConsoleArgument arguments[MaxConsoleArguments];
    char signature[2 + MaxConsoleArguments] = "u";
    for (int i = 0; i < count; ++i) {
        arguments[i] = classify(tokens[i]);
        signature[1 + i] = arguments[i].isNumber ? 'i' : 's';
        signature[2 + i] = '\0';
    }
    char errorBuffer[LuaErrorBufferSize] = {0};
    if (runWithArguments<0>(errorBuffer, function, signature, arguments, count, serverConnectionHandlerID) == 1)
        printToCurrentTab(errorBuffer);
}

void loadCommand(const char* file)
{
    char resources[128] = {0};
    if (vx3Functions.getResourcesPath)
        vx3Functions.getResourcesPath(resources, sizeof resources);
    resources[sizeof resources - 1] = '\0';
    char scriptPath[158];
    std::snprintf(scriptPath, sizeof scriptPath, "%splugins/scriptling/%s", resources, file);
    std::printf("scriptPath: %s\n", scriptPath);
    if (loadLuaScript(scriptPath) == 0) {
        printToCurrentTab("Lua script loaded");
    } else {
        char message[188];
        std::snprintf(message, sizeof message, "Error loading lua script: %s", scriptPath);
        printToCurrentTab(message);
    }
}

} // namespace

VX3Functions vx3Functions;
char* pluginID = nullptr;

static_assert(sizeof(VX3Functions) == VX3FunctionSlotCount * sizeof(void (*)(void)),
              "the client's function table has exactly 209 pointer slots");

const char* vx3plugin_name()
{
    return "Scriptling";
}

const char* vx3plugin_version()
{
    return "1.0";
}

int vx3plugin_apiVersion()
{
    return 20;
}

const char* vx3plugin_author()
{
    return "Voxtrel Systems GmbH";
}

const char* vx3plugin_description()
{
    return "Lua script support for the Voxtrel 3 client.";
}

void vx3plugin_setFunctionPointers(const struct VX3Functions funcs)
{
    vx3Functions = funcs;
}

int vx3plugin_init()
{
    std::printf("SCRIPTLING: init\n");
    return initLua();
}

void vx3plugin_shutdown()
{
    std::printf("SCRIPTLING: shutdown\n");
    closeLuaConfigDialog();
    closeLua();
    if (pluginID) {
        releaseWhenLuaIsIdle(pluginID);
        pluginID = nullptr;
    }
}

int vx3plugin_offersConfigure()
{
    return 2;
}

void vx3plugin_configure(void* handle, void* qParentWidget)
{
    (void)handle;
    openLuaConfigDialog(static_cast<QWidget*>(qParentWidget));
}

void vx3plugin_registerPluginID(const char* id)
{
    // A null identifier is not a text; keep whatever was registered before.
    if (!id)
        return;
    const size_t size = std::strlen(id) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (!copy)
        return;
    std::memcpy(copy, id, size);
    releaseWhenLuaIsIdle(pluginID);
    pluginID = copy;
    std::printf("SCRIPTLING: registerPluginID: %s\n", pluginID);
}

const char* vx3plugin_commandKeyword()
{
    return "lua";
}

void vx3plugin_freeMemory(void* data)
{
    std::free(data);
}

int vx3plugin_processCommand(uint64_t serverConnectionHandlerID, const char* command)
{
    if (!command)
        command = "";
    std::printf("SCRIPTLING: process command: '%s'\n", command);

    char line[128];
    std::strncpy(line, command, sizeof line - 1);
    line[sizeof line - 1] = '\0';

    // Sub-command, target and at most five arguments.
    char* tokens[2 + MaxConsoleArguments];
    int count = 0;
    char* save = nullptr;
    for (char* token = strtok_r(line, " ", &save); token; token = strtok_r(nullptr, " ", &save)) {
        if (count == 2 + MaxConsoleArguments) {
            std::printf("Too many args: %d\n", MaxConsoleArguments);
            break;
        }
        tokens[count++] = token;
    }

    if (count >= 1 && std::strcmp(tokens[0], "run") == 0) {
        if (count < 2)
            printToCurrentTab("Error: Function parameter missing. Usage is: /lua run <function> [args]");
        else
            runCommand(serverConnectionHandlerID, tokens[1], tokens + 2, count - 2);
        return 0;
    }
    if (count >= 2 && std::strcmp(tokens[0], "load") == 0) {
        loadCommand(tokens[1]);
        return 0;
    }
    // "help", anything else, and "load" without a file name.
    printToCurrentTab(kConsoleHelp);
    return 0;
}

void vx3plugin_initMenus(struct PluginMenuItem*** menuItems, char** menuIcon)
{
    createMenus(menuItems, menuIcon);
}
