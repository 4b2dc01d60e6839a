#ifndef VX3LUALIB_H
#define VX3LUALIB_H

// The global Lua table "vx3" through which scripts call the chat client.

struct lua_State;

// Registers the vx3 table in the interpreter (once per interpreter, after the
// standard libraries are open). Leaves the stack as it found it.
void registerVX3Lib(lua_State* state);

#endif // VX3LUALIB_H
