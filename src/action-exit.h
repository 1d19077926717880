#pragma once
// Tell every board of the hub on the named port to restart into its normal firmware.
int action_exit_bootloader();
