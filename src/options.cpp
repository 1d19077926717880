// (being written)
#include "options.h"
options_record options;
const char cli_usage[] = "";
const char cli_help[] = "";
const char hubflash_version[] = "3.00";
bool options_load(int, char**) { return false; }
