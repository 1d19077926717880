#include "console.h"

#include <unistd.h>

bool console_stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}
