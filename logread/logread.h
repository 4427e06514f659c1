// `quarn read`: the log files of a log directory oldest line first,
// filtered, and followed as the server writes them.
#pragma once

// argv[0] is the word "read".  Returns the exit status: 0 when the files
// were read (or followed until SIGINT, SIGTERM or a closed output), 1 for
// a bad option or a log directory or file that cannot be read, after a
// message on standard error.
int quarn_read(int argc, char **argv);
