// (being written)
#include <cstdio>
#include "action-manual.h"
int action_update_manual() {
    std::fputs("ERROR: The manual update is not available in this build yet\n", stderr);
    return -1;
}
