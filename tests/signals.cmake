# Stop requests and a closed output pipe during an update: the real hubflash
# against hubsim, one CTest entry per test class so the hubs' waits overlap.
set(HUB_SIGNAL_TOOLS --hubflash $<TARGET_FILE:hubflash> --hubsim $<TARGET_FILE:hubsim>
                     --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py)
foreach(group StopTest ClosedPipeTest)
    add_test(NAME signals_${group}
             COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_signals.py ${HUB_SIGNAL_TOOLS} ${group})
    set_tests_properties(signals_${group} PROPERTIES TIMEOUT 240 LABELS e2e)
endforeach()
