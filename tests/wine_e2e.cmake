# The Windows hubflash end to end under Wine: hubs played by hubsim, reached
# through the prefix's dosdevices/comN links and its SERIALCOMM list, and the
# suite's own firmware server reached through WinINet. hubsim is a Linux
# program, so it comes from a native build:
#   -DHUBFLASH_HOST_HUBSIM=<native build>/tools/hubsim/hubsim
# Without it these tests are not registered.
set(HUBFLASH_HOST_HUBSIM "" CACHE FILEPATH "Native hubsim for the Windows end-to-end tests under Wine")

if(HUBFLASH_HOST_HUBSIM)
    set(HUB_WINE_E2E_TOOLS --hubflash $<TARGET_FILE:hubflash> --hubsim ${HUBFLASH_HOST_HUBSIM}
                           --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py)
    # One CTest entry per class, so the hubs' fixed waits run in parallel.
    foreach(group UpdateTest SwitchTest RefusalTest ExitTest AutoRegistryTest AutoDownloadTest
                  AutoParallelTest)
        add_test(NAME wine_e2e_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_wine_e2e.py
                         ${HUB_WINE_E2E_TOOLS} ${group})
        set_tests_properties(wine_e2e_${group} PROPERTIES ENVIRONMENT "${HUB_WINE_ENV}" TIMEOUT 240
                             LABELS "e2e;wine")
    endforeach()
    # The scan of the registry's port list sees every SERIALCOMM entry of the
    # shared prefix: whatever adds entries there must hold this lock too.
    set_tests_properties(wine_e2e_AutoRegistryTest PROPERTIES RESOURCE_LOCK wine_serialcomm)
endif()
