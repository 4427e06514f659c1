// quarn: the log server (four arguments) or a control client (a command word).
#include "quarn_server.h"

int main(int argc, char **argv)
{
    if (argc == 5)
        return quarn_start(argc, argv);
    return quarn_control(argc, argv);
}
