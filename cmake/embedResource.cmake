# SPDX-License-Identifier: MIT
# Writes a C++ source that holds the bytes of INPUT as a constant array
# named kelvo::SYMBOL, with its length in kelvo::SYMBOL##Size. Run with
# cmake -P.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include <cstddef>\n"
"namespace kelvo {\n"
"extern const unsigned char ${SYMBOL}[] = {\n${bytes}};\n"
"extern const size_t ${SYMBOL}Size = ${size};\n"
"}  // namespace kelvo\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
