// Streams, varints, buffers, checksum and log line of the patch engine.

#ifndef VOXPATCH_STREAMS_H
#define VOXPATCH_STREAMS_H

#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "growablearray.h"
#include "logstream.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"
#include "varint.h"

#endif  // VOXPATCH_STREAMS_H
