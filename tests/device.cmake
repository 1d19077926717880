# Hub protocol and the two actions that use it directly: unit tests, the fuzz
# target of the reply and identity parsers, and end-to-end updates of hubs
# played by hubsim.
hub_unit_test(unit_device SOURCES unit/test_device.cpp unit/test_device_upload.cpp
              LIBS hub_device)
hub_fuzz_target(fuzz_device fuzz/fuzz_device.cpp hub_device)

# Linux pseudo-terminals stand in for the hub's port from here on.
if(NOT WIN32)
    # The exchange with a scripted hub; openpty is in libutil.
    hub_unit_test(unit_device_link SOURCES unit/test_device_link.cpp LIBS hub_device util)
    set_tests_properties(unit_device_link PROPERTIES TIMEOUT 120)

    # hubsim plays the hub. Each test class is one CTest entry, so the fixed
    # waits of detection, the bootloader switch and finishing run in parallel
    # under ctest -j.
    set(HUB_E2E_TOOLS --hubflash $<TARGET_FILE:hubflash> --hubsim $<TARGET_FILE:hubsim>
                      --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py)
    foreach(group UpdateTest ProgressTest SwitchTest RefusalTest VersionTest BoardSearchTest
                  AckFaultTest NakCrcFaultTest NoisyLinkTest VanishTest GiveUpTest ParallelTest
                  DeadBoardTest LostPortTest)
        add_test(NAME manual_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_manual.py ${HUB_E2E_TOOLS} ${group})
        set_tests_properties(manual_${group} PROPERTIES TIMEOUT 240 LABELS e2e)
    endforeach()
    # A board that stops answering is given up only after 50 attempts of ten
    # tries each: about six minutes by the protocol's own limits.
    set_tests_properties(manual_DeadBoardTest PROPERTIES TIMEOUT 600 LABELS "e2e;long")
    # A hub that never comes back is waited for a minute, twice.
    set_tests_properties(manual_LostPortTest PROPERTIES TIMEOUT 400)
    # Stop requests and a closed output pipe during an update.
    foreach(group StopTest ClosedPipeTest)
        add_test(NAME signals_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_signals.py ${HUB_E2E_TOOLS} ${group})
        set_tests_properties(signals_${group} PROPERTIES TIMEOUT 240 LABELS e2e)
    endforeach()
    foreach(group ExitTest NoHubTest)
        add_test(NAME exit_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_exit.py ${HUB_E2E_TOOLS} ${group})
        set_tests_properties(exit_${group} PROPERTIES TIMEOUT 240 LABELS e2e)
    endforeach()
endif()
