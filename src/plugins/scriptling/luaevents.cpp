#include "luaevents.h"

#include "luahelpers.h"

int vx3plugin_currentServerConnectionChanged(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "currentServerConnectionChanged", "u", serverConnectionHandlerID);
}

int vx3plugin_onConnectStatusChangeEvent(uint64_t serverConnectionHandlerID, int newStatus, unsigned int errorNumber)
{
    return callLuaFunction(nullptr, "onConnectStatusChangeEvent", "uiI", serverConnectionHandlerID, newStatus, errorNumber);
}

int vx3plugin_onNewChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t channelParentID)
{
    return callLuaFunction(nullptr, "onNewChannelEvent", "uuu", serverConnectionHandlerID, channelID, channelParentID);
}

int vx3plugin_onNewChannelCreatedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t channelParentID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onNewChannelCreatedEvent", "uuuass", serverConnectionHandlerID, channelID, channelParentID, invokerID, invokerName, invokerUniqueIdentifier);
}

int vx3plugin_onDelChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onDelChannelEvent", "uuass", serverConnectionHandlerID, channelID, invokerID, invokerName, invokerUniqueIdentifier);
}

int vx3plugin_onChannelMoveEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t newChannelParentID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onChannelMove", "uuuass", serverConnectionHandlerID, channelID, newChannelParentID, invokerID, invokerName, invokerUniqueIdentifier);
}

int vx3plugin_onUpdateChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID)
{
    return callLuaFunction(nullptr, "onUpdateChannelEvent", "uu", serverConnectionHandlerID, channelID);
}

int vx3plugin_onUpdateChannelEditedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onUpdateChannelEditedEvent", "uuass", serverConnectionHandlerID, channelID, invokerID, invokerName, invokerUniqueIdentifier);
}

int vx3plugin_onUpdateClientEvent(uint64_t serverConnectionHandlerID, anyID clientID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onUpdateClientEvent", "uaass", serverConnectionHandlerID, clientID, invokerID, invokerName, invokerUniqueIdentifier);
}

int vx3plugin_onClientMoveEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, const char* moveMessage)
{
    return callLuaFunction(nullptr, "onClientMoveEvent", "uauuis", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, moveMessage);
}

int vx3plugin_onClientMoveSubscriptionEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility)
{
    return callLuaFunction(nullptr, "onClientMoveSubscriptionEvent", "uauui", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility);
}

int vx3plugin_onClientMoveTimeoutEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, const char* timeoutMessage)
{
    return callLuaFunction(nullptr, "onClientMoveTimeoutEvent", "uauuis", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, timeoutMessage);
}

int vx3plugin_onClientMoveMovedEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID moverID, const char* moverName, const char* moverUniqueIdentifier, const char* moveMessage)
{
    return callLuaFunction(nullptr, "onClientMoveMovedEvent", "uauuiasss", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, moverID, moverName, moverUniqueIdentifier, moveMessage);
}

int vx3plugin_onClientKickFromChannelEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, const char* kickMessage)
{
    return callLuaFunction(nullptr, "onClientKickFromChannelEvent", "uauuiasss", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, kickerID, kickerName, kickerUniqueIdentifier, kickMessage);
}

int vx3plugin_onClientKickFromServerEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, const char* kickMessage)
{
    return callLuaFunction(nullptr, "onClientKickFromServerEvent", "uauuiasss", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, kickerID, kickerName, kickerUniqueIdentifier, kickMessage);
}

int vx3plugin_onServerEditedEvent(uint64_t serverConnectionHandlerID, anyID editerID, const char* editerName, const char* editerUniqueIdentifier)
{
    return callLuaFunction(nullptr, "onServerEditedEvent", "uass", serverConnectionHandlerID, editerID, editerName, editerUniqueIdentifier);
}

int vx3plugin_onServerUpdatedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onServerUpdatedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onServerErrorEvent(uint64_t serverConnectionHandlerID, const char* errorMessage, unsigned int error, const char* returnCode, const char* extraMessage)
{
    (void)returnCode; // not forwarded to Lua
    callLuaFunction(nullptr, "onServerErrorEvent", "usIs", serverConnectionHandlerID, errorMessage, error, extraMessage);
    return 0;
}

int vx3plugin_onServerStopEvent(uint64_t serverConnectionHandlerID, const char* shutdownMessage)
{
    return callLuaFunction(nullptr, "onServerStopEvent", "us", serverConnectionHandlerID, shutdownMessage);
}

int vx3plugin_onTextMessageEvent(uint64_t serverConnectionHandlerID, anyID targetMode, anyID toID, anyID fromID, const char* fromName, const char* fromUniqueIdentifier, const char* message, int ffIgnored)
{
    int result = 0;
    callLuaFunction(nullptr, "onTextMessageEvent", "uaaasssi>i", serverConnectionHandlerID, targetMode, toID, fromID, fromName, fromUniqueIdentifier, message, ffIgnored, &result);
    return result;
}

int vx3plugin_onTalkStatusChangeEvent(uint64_t serverConnectionHandlerID, int status, int isReceivedWhisper, anyID clientID)
{
    return callLuaFunction(nullptr, "onTalkStatusChangeEvent", "uiia", serverConnectionHandlerID, status, isReceivedWhisper, clientID);
}

int vx3plugin_onConnectionInfoEvent(uint64_t serverConnectionHandlerID, anyID clientID)
{
    return callLuaFunction(nullptr, "onConnectionInfoEvent", "ua", serverConnectionHandlerID, clientID);
}

int vx3plugin_onServerConnectionInfoEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onServerConnectionInfoEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onChannelSubscribeEvent(uint64_t serverConnectionHandlerID, uint64_t channelID)
{
    return callLuaFunction(nullptr, "onChannelSubscribeEvent", "uu", serverConnectionHandlerID, channelID);
}

int vx3plugin_onChannelSubscribeFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onChannelSubscribeFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onChannelUnsubscribeEvent(uint64_t serverConnectionHandlerID, uint64_t channelID)
{
    return callLuaFunction(nullptr, "onChannelUnsubscribeEvent", "uu", serverConnectionHandlerID, channelID);
}

int vx3plugin_onChannelUnsubscribeFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onChannelUnsubscribeFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onChannelDescriptionUpdateEvent(uint64_t serverConnectionHandlerID, uint64_t channelID)
{
    return callLuaFunction(nullptr, "onChannelDescriptionUpdateEvent", "uu", serverConnectionHandlerID, channelID);
}

int vx3plugin_onChannelPasswordChangedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID)
{
    return callLuaFunction(nullptr, "onChannelPasswordChangedEvent", "uu", serverConnectionHandlerID, channelID);
}

int vx3plugin_onPlaybackShutdownCompleteEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onPlaybackShutdownCompleteEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onClientBanFromServerEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, uint64_t time, const char* kickMessage)
{
    return callLuaFunction(nullptr, "onClientBanFromServerEvent", "uauuiassus", serverConnectionHandlerID, clientID, oldChannelID, newChannelID, visibility, kickerID, kickerName, kickerUniqueIdentifier, time, kickMessage);
}

int vx3plugin_onClientPokeEvent(uint64_t serverConnectionHandlerID, anyID fromClientID, const char* pokerName, const char* pokerUniqueIdentity, const char* message, int ffIgnored)
{
    (void)pokerUniqueIdentity; // not forwarded to Lua
    int result = 0;
    callLuaFunction(nullptr, "onClientPokeEvent", "uassi>i", serverConnectionHandlerID, fromClientID, pokerName, message, ffIgnored, &result);
    return result;
}

int vx3plugin_onClientSelfVariableUpdateEvent(uint64_t serverConnectionHandlerID, int flag, const char* oldValue, const char* newValue)
{
    return callLuaFunction(nullptr, "onClientSelfVariableUpdateEvent", "uiss", serverConnectionHandlerID, flag, oldValue, newValue);
}

int vx3plugin_onServerGroupListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, const char* name, int type, int iconID, int saveDB)
{
    return callLuaFunction(nullptr, "onServerGroupListEvent", "uusiii", serverConnectionHandlerID, serverGroupID, name, type, iconID, saveDB);
}

int vx3plugin_onServerGroupListFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onServerGroupListFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onServerGroupByClientIDEvent(uint64_t serverConnectionHandlerID, const char* name, uint64_t serverGroupList, uint64_t clientDatabaseID)
{
    return callLuaFunction(nullptr, "onServerGroupByClientIDEvent", "usuu", serverConnectionHandlerID, name, serverGroupList, clientDatabaseID);
}

int vx3plugin_onServerGroupPermListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip)
{
    return callLuaFunction(nullptr, "onServerGroupPermListEvent", "uuIiii", serverConnectionHandlerID, serverGroupID, permissionID, permissionValue, permissionNegated, permissionSkip);
}

int vx3plugin_onServerGroupClientListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, uint64_t clientDatabaseID, const char* clientNameIdentifier, const char* clientUniqueID)
{
    return callLuaFunction(nullptr, "onServerGroupClientListEvent", "uuuss", serverConnectionHandlerID, serverGroupID, clientDatabaseID, clientNameIdentifier, clientUniqueID);
}

int vx3plugin_onChannelGroupListEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, const char* name, int type, int iconID, int saveDB)
{
    return callLuaFunction(nullptr, "onChannelGroupListEvent", "uusiii", serverConnectionHandlerID, channelGroupID, name, type, iconID, saveDB);
}

int vx3plugin_onChannelGroupListFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onChannelGroupListFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onChannelGroupPermListEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip)
{
    return callLuaFunction(nullptr, "onChannelGroupPermListEvent", "uuIiii", serverConnectionHandlerID, channelGroupID, permissionID, permissionValue, permissionNegated, permissionSkip);
}

int vx3plugin_onChannelPermListEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip)
{
    return callLuaFunction(nullptr, "onChannelPermListEvent", "uuIiii", serverConnectionHandlerID, channelID, permissionID, permissionValue, permissionNegated, permissionSkip);
}

int vx3plugin_onClientChannelGroupChangedEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, uint64_t channelID, anyID clientID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity)
{
    return callLuaFunction(nullptr, "onClientChannelGroupChangedEvent", "uuuaass", serverConnectionHandlerID, channelGroupID, channelID, clientID, invokerClientID, invokerName, invokerUniqueIdentity);
}

int vx3plugin_onServerPermissionErrorEvent(uint64_t serverConnectionHandlerID, const char* errorMessage, unsigned int error, const char* returnCode, unsigned int failedPermissionID)
{
    (void)returnCode; // not forwarded to Lua
    callLuaFunction(nullptr, "onServerPermissionErrorEvent", "usII", serverConnectionHandlerID, errorMessage, error, failedPermissionID);
    return 0;
}

int vx3plugin_onPermissionListGroupEndIDEvent(uint64_t serverConnectionHandlerID, unsigned int groupEndID)
{
    return callLuaFunction(nullptr, "onPermissionListGroupEndIDEvent", "uI", serverConnectionHandlerID, groupEndID);
}

int vx3plugin_onPermissionListEvent(uint64_t serverConnectionHandlerID, unsigned int permissionID, const char* permissionName, const char* permissionDescription)
{
    return callLuaFunction(nullptr, "onPermissionListEvent", "uIss", serverConnectionHandlerID, permissionID, permissionName, permissionDescription);
}

int vx3plugin_onPermissionListFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onPermissionListFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onPermissionOverviewEvent(uint64_t serverConnectionHandlerID, uint64_t clientDatabaseID, uint64_t channelID, int overviewType, uint64_t overviewID1, uint64_t overviewID2, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip)
{
    return callLuaFunction(nullptr, "onPermissionOverviewEvent", "uuuiuuIiii", serverConnectionHandlerID, clientDatabaseID, channelID, overviewType, overviewID1, overviewID2, permissionID, permissionValue, permissionNegated, permissionSkip);
}

int vx3plugin_onPermissionOverviewFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onPermissionOverviewFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onServerGroupClientAddedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientName, const char* clientUniqueIdentity, uint64_t serverGroupID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity)
{
    return callLuaFunction(nullptr, "onServerGroupClientAddedEvent", "uassuass", serverConnectionHandlerID, clientID, clientName, clientUniqueIdentity, serverGroupID, invokerClientID, invokerName, invokerUniqueIdentity);
}

int vx3plugin_onServerGroupClientDeletedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientName, const char* clientUniqueIdentity, uint64_t serverGroupID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity)
{
    return callLuaFunction(nullptr, "onServerGroupClientDeletedEvent", "uassuass", serverConnectionHandlerID, clientID, clientName, clientUniqueIdentity, serverGroupID, invokerClientID, invokerName, invokerUniqueIdentity);
}

int vx3plugin_onClientNeededPermissionsEvent(uint64_t serverConnectionHandlerID, unsigned int permissionID, int permissionValue)
{
    return callLuaFunction(nullptr, "onClientNeededPermissionsEvent", "uIi", serverConnectionHandlerID, permissionID, permissionValue);
}

int vx3plugin_onClientNeededPermissionsFinishedEvent(uint64_t serverConnectionHandlerID)
{
    return callLuaFunction(nullptr, "onClientNeededPermissionsFinishedEvent", "u", serverConnectionHandlerID);
}

int vx3plugin_onClientChatClosedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientUniqueIdentity)
{
    return callLuaFunction(nullptr, "onClientChatClosedEvent", "uas", serverConnectionHandlerID, clientID, clientUniqueIdentity);
}

int vx3plugin_onClientChatComposingEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientUniqueIdentity)
{
    return callLuaFunction(nullptr, "onClientChatComposingEvent", "uas", serverConnectionHandlerID, clientID, clientUniqueIdentity);
}

int vx3plugin_onServerLogEvent(uint64_t serverConnectionHandlerID, const char* logMsg)
{
    return callLuaFunction(nullptr, "onServerLogEvent", "us", serverConnectionHandlerID, logMsg);
}

int vx3plugin_onServerLogFinishedEvent(uint64_t serverConnectionHandlerID, uint64_t lastPos, uint64_t fileSize)
{
    return callLuaFunction(nullptr, "onServerLogFinishedEvent", "uuu", serverConnectionHandlerID, lastPos, fileSize);
}

int vx3plugin_onMessageListEvent(uint64_t serverConnectionHandlerID, uint64_t messageID, const char* fromClientUniqueIdentity, const char* subject, uint64_t timestamp, int flagRead)
{
    return callLuaFunction(nullptr, "onMessageListEvent", "uussui", serverConnectionHandlerID, messageID, fromClientUniqueIdentity, subject, timestamp, flagRead);
}

int vx3plugin_onMessageGetEvent(uint64_t serverConnectionHandlerID, uint64_t messageID, const char* fromClientUniqueIdentity, const char* subject, const char* message, uint64_t timestamp)
{
    return callLuaFunction(nullptr, "onMessageGetEvent", "uusssu", serverConnectionHandlerID, messageID, fromClientUniqueIdentity, subject, message, timestamp);
}

int vx3plugin_onClientDBIDfromUIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID)
{
    return callLuaFunction(nullptr, "onClientDBIDfromUIDEvent", "usu", serverConnectionHandlerID, uniqueClientIdentifier, clientDatabaseID);
}

int vx3plugin_onClientNamefromUIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID, const char* clientNickName)
{
    return callLuaFunction(nullptr, "onClientNamefromUIDEvent", "usus", serverConnectionHandlerID, uniqueClientIdentifier, clientDatabaseID, clientNickName);
}

int vx3plugin_onClientNamefromDBIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID, const char* clientNickName)
{
    return callLuaFunction(nullptr, "onClientNamefromDBIDEvent", "usus", serverConnectionHandlerID, uniqueClientIdentifier, clientDatabaseID, clientNickName);
}

int vx3plugin_onComplainListEvent(uint64_t serverConnectionHandlerID, uint64_t targetClientDatabaseID, const char* targetClientNickName, uint64_t fromClientDatabaseID, const char* fromClientNickName, const char* complainReason, uint64_t timestamp)
{
    return callLuaFunction(nullptr, "onComplainListEvent", "uusussu", serverConnectionHandlerID, targetClientDatabaseID, targetClientNickName, fromClientDatabaseID, fromClientNickName, complainReason, timestamp);
}

int vx3plugin_onBanListEvent(uint64_t serverConnectionHandlerID, uint64_t banid, const char* ip, const char* name, const char* uid, uint64_t creationTime, uint64_t durationTime, const char* invokerName, uint64_t invokercldbid, const char* invokeruid, const char* reason, int numberOfEnforcements)
{
    return callLuaFunction(nullptr, "onBanListEvent", "uusssuusussi", serverConnectionHandlerID, banid, ip, name, uid, creationTime, durationTime, invokerName, invokercldbid, invokeruid, reason, numberOfEnforcements);
}

int vx3plugin_onClientServerQueryLoginPasswordEvent(uint64_t serverConnectionHandlerID, const char* loginPassword)
{
    return callLuaFunction(nullptr, "onClientServerQueryLoginPasswordEvent", "us", serverConnectionHandlerID, loginPassword);
}

int vx3plugin_onPluginCommandEvent(uint64_t serverConnectionHandlerID, const char* pluginName, const char* pluginCommand)
{
    return callLuaFunction(nullptr, "onPluginCommandEvent", "uss", serverConnectionHandlerID, pluginName, pluginCommand);
}

int vx3plugin_onServerTemporaryPasswordListEvent(uint64_t serverConnectionHandlerID, const char* clientNickname, const char* uniqueClientIdentifier, const char* description, const char* password, uint64_t timestampStart, uint64_t timestampEnd, uint64_t targetChannelID, const char* targetChannelPW)
{
    return callLuaFunction(nullptr, "onServerTemporaryPasswordListEvent", "ussssuuus", serverConnectionHandlerID, clientNickname, uniqueClientIdentifier, description, password, timestampStart, timestampEnd, targetChannelID, targetChannelPW);
}

int vx3plugin_onMenuItemEvent(uint64_t serverConnectionHandlerID, int type, int menuItemID, uint64_t selectedItemID)
{
    return callLuaFunction(nullptr, "onMenuItemEvent", "uiiu", serverConnectionHandlerID, type, menuItemID, selectedItemID);
}
