// hubflash: installs firmware on Corvane hubs.

#include "action-auto.h"
#include "action-exit.h"
#include "action-info.h"
#include "action-list.h"
#include "action-manual.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "trace.h"

namespace {

// The banner is flushed so that it comes before anything an action writes to
// stderr, even when both streams go to one file; with --json it is human text
// like any other and goes to stderr.
void print_banner()
{
    output_format("hubflash v%s\n", hubflash_version);
}

// The field tools' output is read by scripts: nothing but their report goes to stdout.
bool prints_banner(int32_t action)
{
    return action != ACTION_INFO && action != ACTION_LIST;
}

int run_action(int32_t action)
{
    switch (action) {
    case ACTION_UPDATE_AUTO:
        return action_update_auto();
    case ACTION_UPDATE_MANUAL:
        return action_update_manual();
    case ACTION_EXIT_BOOTLOADER:
        return action_exit_bootloader();
    case ACTION_INFO:
        return action_info();
    case ACTION_LIST:
        return action_list();
    default:
        return 0;
    }
}

} // namespace

int main(int argc, char** argv)
{
    interrupt_init();
    if (!options_load(argc, argv))
        return -1;
    if (options.trace)
        trace_start();
    if (options.json)
        output_use_json();
    if (prints_banner(options.action))
        print_banner();
    return run_action(options.action);
}
