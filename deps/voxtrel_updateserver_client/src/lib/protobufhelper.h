#pragma once
// Start-up and shut-down of the protocol-buffers runtime for the updater process.

// Checks that the linked protocol-buffers library fits the headers the program was built with;
// on a mismatch the library ends the process with its own message.
void initProtobuf();

// Frees the runtime's global data; called once after the event loop has ended.
void shutdownProtobuf();
