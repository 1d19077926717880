# The serial link over pseudo-terminals: line receiver, port settings, hot-plug
# watcher and port list. openpty comes from libutil.
hub_unit_test(unit_serial
    SOURCES unit/test_serial_posix.cpp unit/test_serial_hotplug.cpp
    LIBS hub_serial util)
# A write that never gives up would hang here rather than fail.
set_tests_properties(unit_serial PROPERTIES TIMEOUT 120)
