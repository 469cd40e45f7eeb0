# cmake -DIN=file -DOUT=file.cpp -DNAME=symbol -P EmbedText.cmake
# Writes a C++ source that holds the bytes of IN as the zero-terminated
# array `const char NAME[]` and its length as `const unsigned long NAME_size`,
# so that a text is built into the program instead of read from a file.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
     "// Generated from ${IN} by cmake/EmbedText.cmake; do not edit.\n"
     "extern const char ${NAME}[];\nextern const unsigned long ${NAME}_size;\n"
     "const char ${NAME}[] = {\n${bytes}0x00};\nconst unsigned long ${NAME}_size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
