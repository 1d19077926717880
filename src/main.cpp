// hubflash: installs firmware on Corvane hubs.
#include <cstdio>

#include "action-auto.h"
#include "action-exit.h"
#include "action-manual.h"
#include "options.h"

namespace {

// The banner is flushed so that it comes before anything an action writes to
// stderr, even when both streams go to one file.
void print_banner() {
    std::printf("hubflash v%s\n", hubflash_version);
    std::fflush(stdout);
}

int run_action(int32_t action) {
    switch (action) {
    case ACTION_UPDATE_AUTO: return action_update_auto();
    case ACTION_UPDATE_MANUAL: return action_update_manual();
    case ACTION_EXIT_BOOTLOADER: return action_exit_bootloader();
    default: return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!options_load(argc, argv)) return -1;
    print_banner();
    return run_action(options.action);
}
