#ifndef LUAEVENTS_H
#define LUAEVENTS_H

// Client events. Each export forwards its event to the Lua handler of the
// same name without the "vx3plugin_" prefix (onChannelMoveEvent goes to
// "onChannelMove"). Unless noted otherwise an export returns 0 when the
// handler ran and 1 when there is no interpreter or handler, or the handler
// failed. onServerErrorEvent and onServerPermissionErrorEvent always return 0;
// onTextMessageEvent and onClientPokeEvent return the handler's int (0 when it
// gave none).

#include "plugin.h"

VX3_PLUGIN_EXPORT int vx3plugin_currentServerConnectionChanged(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onConnectStatusChangeEvent(uint64_t serverConnectionHandlerID, int newStatus, unsigned int errorNumber);
VX3_PLUGIN_EXPORT int vx3plugin_onNewChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t channelParentID);
VX3_PLUGIN_EXPORT int vx3plugin_onNewChannelCreatedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t channelParentID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onDelChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelMoveEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, uint64_t newChannelParentID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onUpdateChannelEvent(uint64_t serverConnectionHandlerID, uint64_t channelID);
VX3_PLUGIN_EXPORT int vx3plugin_onUpdateChannelEditedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onUpdateClientEvent(uint64_t serverConnectionHandlerID, anyID clientID, anyID invokerID, const char* invokerName, const char* invokerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onClientMoveEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, const char* moveMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onClientMoveSubscriptionEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility);
VX3_PLUGIN_EXPORT int vx3plugin_onClientMoveTimeoutEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, const char* timeoutMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onClientMoveMovedEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID moverID, const char* moverName, const char* moverUniqueIdentifier, const char* moveMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onClientKickFromChannelEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, const char* kickMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onClientKickFromServerEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, const char* kickMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onServerEditedEvent(uint64_t serverConnectionHandlerID, anyID editerID, const char* editerName, const char* editerUniqueIdentifier);
VX3_PLUGIN_EXPORT int vx3plugin_onServerUpdatedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onServerErrorEvent(uint64_t serverConnectionHandlerID, const char* errorMessage, unsigned int error, const char* returnCode, const char* extraMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onServerStopEvent(uint64_t serverConnectionHandlerID, const char* shutdownMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onTextMessageEvent(uint64_t serverConnectionHandlerID, anyID targetMode, anyID toID, anyID fromID, const char* fromName, const char* fromUniqueIdentifier, const char* message, int ffIgnored);
VX3_PLUGIN_EXPORT int vx3plugin_onTalkStatusChangeEvent(uint64_t serverConnectionHandlerID, int status, int isReceivedWhisper, anyID clientID);
VX3_PLUGIN_EXPORT int vx3plugin_onConnectionInfoEvent(uint64_t serverConnectionHandlerID, anyID clientID);
VX3_PLUGIN_EXPORT int vx3plugin_onServerConnectionInfoEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelSubscribeEvent(uint64_t serverConnectionHandlerID, uint64_t channelID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelSubscribeFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelUnsubscribeEvent(uint64_t serverConnectionHandlerID, uint64_t channelID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelUnsubscribeFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelDescriptionUpdateEvent(uint64_t serverConnectionHandlerID, uint64_t channelID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelPasswordChangedEvent(uint64_t serverConnectionHandlerID, uint64_t channelID);
VX3_PLUGIN_EXPORT int vx3plugin_onPlaybackShutdownCompleteEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onClientBanFromServerEvent(uint64_t serverConnectionHandlerID, anyID clientID, uint64_t oldChannelID, uint64_t newChannelID, int visibility, anyID kickerID, const char* kickerName, const char* kickerUniqueIdentifier, uint64_t time, const char* kickMessage);
VX3_PLUGIN_EXPORT int vx3plugin_onClientPokeEvent(uint64_t serverConnectionHandlerID, anyID fromClientID, const char* pokerName, const char* pokerUniqueIdentity, const char* message, int ffIgnored);
VX3_PLUGIN_EXPORT int vx3plugin_onClientSelfVariableUpdateEvent(uint64_t serverConnectionHandlerID, int flag, const char* oldValue, const char* newValue);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, const char* name, int type, int iconID, int saveDB);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupListFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupByClientIDEvent(uint64_t serverConnectionHandlerID, const char* name, uint64_t serverGroupList, uint64_t clientDatabaseID);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupPermListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupClientListEvent(uint64_t serverConnectionHandlerID, uint64_t serverGroupID, uint64_t clientDatabaseID, const char* clientNameIdentifier, const char* clientUniqueID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelGroupListEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, const char* name, int type, int iconID, int saveDB);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelGroupListFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelGroupPermListEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip);
VX3_PLUGIN_EXPORT int vx3plugin_onChannelPermListEvent(uint64_t serverConnectionHandlerID, uint64_t channelID, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip);
VX3_PLUGIN_EXPORT int vx3plugin_onClientChannelGroupChangedEvent(uint64_t serverConnectionHandlerID, uint64_t channelGroupID, uint64_t channelID, anyID clientID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity);
VX3_PLUGIN_EXPORT int vx3plugin_onServerPermissionErrorEvent(uint64_t serverConnectionHandlerID, const char* errorMessage, unsigned int error, const char* returnCode, unsigned int failedPermissionID);
VX3_PLUGIN_EXPORT int vx3plugin_onPermissionListGroupEndIDEvent(uint64_t serverConnectionHandlerID, unsigned int groupEndID);
VX3_PLUGIN_EXPORT int vx3plugin_onPermissionListEvent(uint64_t serverConnectionHandlerID, unsigned int permissionID, const char* permissionName, const char* permissionDescription);
VX3_PLUGIN_EXPORT int vx3plugin_onPermissionListFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onPermissionOverviewEvent(uint64_t serverConnectionHandlerID, uint64_t clientDatabaseID, uint64_t channelID, int overviewType, uint64_t overviewID1, uint64_t overviewID2, unsigned int permissionID, int permissionValue, int permissionNegated, int permissionSkip);
VX3_PLUGIN_EXPORT int vx3plugin_onPermissionOverviewFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupClientAddedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientName, const char* clientUniqueIdentity, uint64_t serverGroupID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity);
VX3_PLUGIN_EXPORT int vx3plugin_onServerGroupClientDeletedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientName, const char* clientUniqueIdentity, uint64_t serverGroupID, anyID invokerClientID, const char* invokerName, const char* invokerUniqueIdentity);
VX3_PLUGIN_EXPORT int vx3plugin_onClientNeededPermissionsEvent(uint64_t serverConnectionHandlerID, unsigned int permissionID, int permissionValue);
VX3_PLUGIN_EXPORT int vx3plugin_onClientNeededPermissionsFinishedEvent(uint64_t serverConnectionHandlerID);
VX3_PLUGIN_EXPORT int vx3plugin_onClientChatClosedEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientUniqueIdentity);
VX3_PLUGIN_EXPORT int vx3plugin_onClientChatComposingEvent(uint64_t serverConnectionHandlerID, anyID clientID, const char* clientUniqueIdentity);
VX3_PLUGIN_EXPORT int vx3plugin_onServerLogEvent(uint64_t serverConnectionHandlerID, const char* logMsg);
VX3_PLUGIN_EXPORT int vx3plugin_onServerLogFinishedEvent(uint64_t serverConnectionHandlerID, uint64_t lastPos, uint64_t fileSize);
VX3_PLUGIN_EXPORT int vx3plugin_onMessageListEvent(uint64_t serverConnectionHandlerID, uint64_t messageID, const char* fromClientUniqueIdentity, const char* subject, uint64_t timestamp, int flagRead);
VX3_PLUGIN_EXPORT int vx3plugin_onMessageGetEvent(uint64_t serverConnectionHandlerID, uint64_t messageID, const char* fromClientUniqueIdentity, const char* subject, const char* message, uint64_t timestamp);
VX3_PLUGIN_EXPORT int vx3plugin_onClientDBIDfromUIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID);
VX3_PLUGIN_EXPORT int vx3plugin_onClientNamefromUIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID, const char* clientNickName);
VX3_PLUGIN_EXPORT int vx3plugin_onClientNamefromDBIDEvent(uint64_t serverConnectionHandlerID, const char* uniqueClientIdentifier, uint64_t clientDatabaseID, const char* clientNickName);
VX3_PLUGIN_EXPORT int vx3plugin_onComplainListEvent(uint64_t serverConnectionHandlerID, uint64_t targetClientDatabaseID, const char* targetClientNickName, uint64_t fromClientDatabaseID, const char* fromClientNickName, const char* complainReason, uint64_t timestamp);
VX3_PLUGIN_EXPORT int vx3plugin_onBanListEvent(uint64_t serverConnectionHandlerID, uint64_t banid, const char* ip, const char* name, const char* uid, uint64_t creationTime, uint64_t durationTime, const char* invokerName, uint64_t invokercldbid, const char* invokeruid, const char* reason, int numberOfEnforcements);
VX3_PLUGIN_EXPORT int vx3plugin_onClientServerQueryLoginPasswordEvent(uint64_t serverConnectionHandlerID, const char* loginPassword);
VX3_PLUGIN_EXPORT int vx3plugin_onPluginCommandEvent(uint64_t serverConnectionHandlerID, const char* pluginName, const char* pluginCommand);
VX3_PLUGIN_EXPORT int vx3plugin_onServerTemporaryPasswordListEvent(uint64_t serverConnectionHandlerID, const char* clientNickname, const char* uniqueClientIdentifier, const char* description, const char* password, uint64_t timestampStart, uint64_t timestampEnd, uint64_t targetChannelID, const char* targetChannelPW);
VX3_PLUGIN_EXPORT int vx3plugin_onMenuItemEvent(uint64_t serverConnectionHandlerID, int type, int menuItemID, uint64_t selectedItemID);

#endif // LUAEVENTS_H
