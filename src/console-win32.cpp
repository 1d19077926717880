#include "console.h"

#include <windows.h>

// A console answers GetConsoleMode; a pipe or a file does not.
bool console_stdout_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}
