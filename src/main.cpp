// hubflash: installs firmware on Corvane hubs.
#include <cstdio>

#include "action-exit.h"
#include "action-manual.h"
#include "options.h"

int main(int argc, char** argv) {
    if (!options_load(argc, argv)) return -1;
    std::printf("hubflash v%s\n", hubflash_version);
    switch (options.action) {
    case ACTION_UPDATE_MANUAL: return action_update_manual();
    case ACTION_EXIT_BOOTLOADER: return action_exit_bootloader();
    case ACTION_UPDATE_AUTO:
        std::fflush(stdout);
        std::fputs("ERROR: The automatic update is not available in this build\n", stderr);
        return -1;
    default: return 0;
    }
}
