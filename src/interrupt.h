// Stop requests during an update, and output that nobody reads any more.
//
// An update that is cut off mid-line leaves a board that has to be
// power-cycled; stopped at a line boundary, running the same command again
// completes it. So while an upload runs, Ctrl-C and termination requests are
// only recorded, and the upload stops at its next line boundary.
#pragma once

// Makes writing to a closed pipe (`hubflash ... | head`) an ordinary write
// error instead of the end of the process. Called first thing in main.
void interrupt_init();

// While a guard lives, Ctrl-C (SIGINT) and termination requests (SIGTERM,
// Windows: Ctrl-Break) are recorded instead of ending the process; a request
// the process was started to ignore stays ignored. The destructor restores
// the usual effect and forgets any recorded request. Guards may nest (several
// hubs updated at once each hold one, inside the one of the whole pass): only
// the outermost one installs and restores.
class interrupt_guard {
public:
    interrupt_guard();
    ~interrupt_guard();
    interrupt_guard(const interrupt_guard&) = delete;
    interrupt_guard& operator=(const interrupt_guard&) = delete;
};

// 0 when no stop was asked for, else the exit code the stop calls for:
// 130 for Ctrl-C, 143 for a termination request. The first request wins.
int interrupt_exit_code();
