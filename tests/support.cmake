# Stop requests reach a process through each platform's own mechanism.
if(WIN32)
    set(HUB_INTERRUPT_TEST unit/test_interrupt_win32.cpp)
else()
    set(HUB_INTERRUPT_TEST unit/test_interrupt_posix.cpp)
endif()
hub_unit_test(unit_support SOURCES unit/test_timer.cpp unit/test_lfqueue.cpp ${HUB_INTERRUPT_TEST}
              LIBS hub_support)
