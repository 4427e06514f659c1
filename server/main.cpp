// quarn: the log server (four arguments), the log reader (the word read),
// the shell's words log and run, or a control client (a command word).
#include "logread.h"
#include "quarn_server.h"

#include <cstring>

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "read") == 0)
        return quarn_read(argc - 1, argv + 1);
    if (argc >= 2 && strcmp(argv[1], "log") == 0)
        return quarn_log(argc - 1, argv + 1);
    if (argc >= 2 && strcmp(argv[1], "run") == 0)
        return quarn_run(argc - 1, argv + 1);
    if (argc == 5)
        return quarn_start(argc, argv);
    return quarn_control(argc, argv);
}
