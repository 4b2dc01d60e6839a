#ifndef PLUGINMENUITEM_H
#define PLUGINMENUITEM_H

// One entry of the plug-in's menus as the chat client reads it (264 bytes).
// The plug-in allocates the records, the array of record pointers and the
// menu icon text with malloc; the client releases each through
// vx3plugin_freeMemory.

enum { PluginMenuTextSize = 128 };

struct PluginMenuItem {
    int type;   // menu kind, as the script gives it
    int menuID; // the script's id of the entry, echoed by onMenuItemEvent
    char text[PluginMenuTextSize];
    char icon[PluginMenuTextSize];
};

static_assert(sizeof(PluginMenuItem) == 264, "menu record layout of the client");

#endif // PLUGINMENUITEM_H
