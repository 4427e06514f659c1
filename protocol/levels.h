// The label each level's lines carry and the colour the console shows them
// in, by level code 0..3: one table for the library, the server and the
// reader.  Arrays of characters, not of pointers, so that the executable
// needs no relocation for them.
#pragma once

inline constexpr char QUARN_LEVEL_LABELS[4][8] = {"[DBUG]", "[INFO]", "[WARN]", "[ERROR]"};
inline constexpr char QUARN_LEVEL_COLORS[4][6] = {
    "\033[32m", // debug: green
    "\033[36m", // info: cyan
    "\033[33m", // warning: yellow
    "\033[31m", // error: red
};
