hub_unit_test(unit_functions SOURCES unit/test_functions.cpp LIBS hub_functions)
hub_unit_test(unit_ufw SOURCES unit/test_ufw.cpp LIBS hub_device)
hub_fuzz_target(fuzz_ufw fuzz/fuzz_ufw.cpp hub_ufw)
