# Field tools: the protocol trace, the image description, the hub list and the
# manual page.
set(HUB_SAMPLE_IMAGE ${PROJECT_SOURCE_DIR}/samples/halbern16-v306.ufw)

if(WIN32)
    # The Windows build under Wine: --info needs no hub; --list probes COM
    # ports, with hubs from a native hubsim when the build was given one.
    set(HUB_TOOLS_WINE_ARGS --hubflash $<TARGET_FILE:hubflash> --sample ${HUB_SAMPLE_IMAGE}
                            --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py --wine)
    if(HUBFLASH_HOST_HUBSIM)
        list(APPEND HUB_TOOLS_WINE_ARGS --hubsim ${HUBFLASH_HOST_HUBSIM})
    endif()
    foreach(group InfoTest WineListTest)
        add_test(NAME tools_wine_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_tools.py
                         ${HUB_TOOLS_WINE_ARGS} ${group})
        set_tests_properties(tools_wine_${group} PROPERTIES ENVIRONMENT "${HUB_WINE_ENV}"
                             TIMEOUT 240 LABELS "e2e;wine")
    endforeach()
else()
    set(HUB_TOOLS_ARGS --hubflash $<TARGET_FILE:hubflash> --hubsim $<TARGET_FILE:hubsim>
                       --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py --sample ${HUB_SAMPLE_IMAGE})
    # One CTest entry per class, so the hubs' fixed waits run in parallel.
    foreach(group InfoTest PrecedenceTest TraceTest ListTest JsonTest)
        add_test(NAME tools_${group}
                 COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_tools.py ${HUB_TOOLS_ARGS} ${group})
        set_tests_properties(tools_${group} PROPERTIES TIMEOUT 300 LABELS e2e)
    endforeach()

    # The manual page must format without a single warning.
    find_program(HUB_GROFF groff)
    if(HUB_GROFF)
        add_test(NAME tools_man_page
                 COMMAND sh -c "out=$(\"$0\" -man -ww -Tutf8 \"$1\" 2>&1 >/dev/null) || exit 1; \
[ -z \"$out\" ] || { printf '%s\\n' \"$out\"; exit 1; }"
                         ${HUB_GROFF} ${PROJECT_SOURCE_DIR}/docs/hubflash.1)
    else()
        message(WARNING "groff not found (Debian package groff-base): the manual page is not checked")
    endif()
endif()
