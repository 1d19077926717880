// (being written)
#include <cstdio>
#include "action-exit.h"
int action_exit_bootloader() {
    std::fputs("ERROR: The exit-bootloader action is not available in this build yet\n", stderr);
    return -1;
}
