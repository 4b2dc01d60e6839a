#ifndef PLUGIN_H
#define PLUGIN_H

// Export surface of libscriptling: the identification and life-cycle
// functions the chat client looks up by name, plus the plug-in's global state.

#include "pluginmenuitem.h"
#include "vx3functions.h"

#define VX3_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// The plug-in's own copy of the client's function table.
extern VX3Functions vx3Functions;
// Identifier the client assigned to the plug-in; null until registered.
extern char* pluginID;

VX3_PLUGIN_EXPORT const char* vx3plugin_name();
VX3_PLUGIN_EXPORT const char* vx3plugin_version();
VX3_PLUGIN_EXPORT int vx3plugin_apiVersion();
VX3_PLUGIN_EXPORT const char* vx3plugin_author();
VX3_PLUGIN_EXPORT const char* vx3plugin_description();

VX3_PLUGIN_EXPORT void vx3plugin_setFunctionPointers(const struct VX3Functions funcs);
VX3_PLUGIN_EXPORT int vx3plugin_init();
VX3_PLUGIN_EXPORT void vx3plugin_shutdown();
// The plug-in offers a configuration window of its own, opened non-modally.
VX3_PLUGIN_EXPORT int vx3plugin_offersConfigure();
// Opens the module dialog; qParentWidget is the client's QWidget.
VX3_PLUGIN_EXPORT void vx3plugin_configure(void* handle, void* qParentWidget);
VX3_PLUGIN_EXPORT void vx3plugin_registerPluginID(const char* id);
VX3_PLUGIN_EXPORT const char* vx3plugin_commandKeyword();
VX3_PLUGIN_EXPORT void vx3plugin_freeMemory(void* data);

// The "lua" console command: "load <file>", "run <function> [args]", "help".
// Always returns 0 (the command counts as handled).
VX3_PLUGIN_EXPORT int vx3plugin_processCommand(uint64_t serverConnectionHandlerID, const char* command);
// Hands the client the menus that the scripts' createMenus function defines.
VX3_PLUGIN_EXPORT void vx3plugin_initMenus(struct PluginMenuItem*** menuItems, char** menuIcon);

#endif // PLUGIN_H
