#ifndef PLUGINHELPERCALL_H
#define PLUGINHELPERCALL_H

// The plug-in does some of its own work as Lua C functions under a protected
// call (the dispatcher, the script runner, the menu builder, the copies of
// client texts and lists), so that a Lua error inside them is caught. While
// such a helper runs it is on the Lua stack, where debug.getinfo and hooks let
// a script take hold of it and call it again, with any arguments, then or
// later. Scripts are untrusted, so what a helper works on never travels on
// the Lua stack, in an upvalue (debug.setupvalue rewrites those) or in the
// registry (debug.getregistry reaches it): the plug-in hands it over in a slot
// that only C code reaches, to the one call that it makes itself.

extern "C" {
#include <lua.h>
}

// Calls `helper` protected with no arguments and `results` results and hands
// it `data`. The caller makes sure the stack has room for one more value.
// Returns the status of lua_pcall.
int callPluginHelper(lua_State* state, lua_CFunction helper, void* data, int results);

// First thing inside `helper`: the data handed to the call that the plug-in
// made. Every other call of the helper (a script's, with whatever arguments)
// gets a Lua error, and the data goes to one call only.
void* takePluginHelperData(lua_State* state, lua_CFunction helper);

#endif // PLUGINHELPERCALL_H
