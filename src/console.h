// What the program's standard output is connected to.
#pragma once

// True when standard output is a terminal (a console on Windows), where a
// status line may be redrawn in place.
bool console_stdout_is_terminal();
