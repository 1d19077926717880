#pragma once
struct device;
// Tell every board of the hub on the named port to restart into its normal
// firmware. 0 when every restart command was sent; 1 when the link refused
// one for good; -1 when no hub could be opened.
int action_exit_bootloader();
// Sends the restart commands to boards 4 down to 1, printing "Board N" before
// each board's five. False, after an error naming the board, when the link
// refused a command for good.
bool action_exit_restart_boards(device* dev);
