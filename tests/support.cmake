hub_unit_test(unit_support SOURCES unit/test_timer.cpp unit/test_lfqueue.cpp LIBS hub_support)
