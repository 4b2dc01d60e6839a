# cmake -DIN=<key.der> -DOUT=<file.cpp> -P VxEmbedKey.cmake
# Turns the DER-encoded public key that signs the product lists into a C++ source file.
if(NOT EXISTS "${IN}")
  message(FATAL_ERROR "public key file ${IN} not found")
endif()
file(SIZE "${IN}" size)
if(size EQUAL 0 OR size GREATER 4096)
  message(FATAL_ERROR "public key file ${IN} has an implausible size (${size} bytes)")
endif()
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUT}.tmp"
"// Generated at build time from ${IN}; do not edit.\n"
"#include \"updatepublickey.h\"\n\n"
"namespace {\nconst unsigned char kKey[] = {\n    ${bytes}\n};\n}\n\n"
"const unsigned char* updatePublicKeyData()\n{\n    return kKey;\n}\n\n"
"unsigned long updatePublicKeySize()\n{\n    return sizeof(kKey);\n}\n")
configure_file("${OUT}.tmp" "${OUT}" COPYONLY)
file(REMOVE "${OUT}.tmp")
