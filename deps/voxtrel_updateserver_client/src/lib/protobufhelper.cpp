#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

void initProtobuf()
{
    // Compares the version of the headers used for this build with the linked library.
    GOOGLE_PROTOBUF_VERIFY_VERSION;
}

void shutdownProtobuf()
{
    google::protobuf::ShutdownProtobufLibrary();
}
