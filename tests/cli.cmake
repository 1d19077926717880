hub_unit_test(unit_options SOURCES unit/test_options.cpp LIBS hub_options)

if(WIN32)
    add_test(NAME cli COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_cli.py
             --hubflash $<TARGET_FILE:hubflash> --wine)
    set_tests_properties(cli PROPERTIES ENVIRONMENT "${HUB_WINE_ENV}")
else()
    add_test(NAME cli COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_cli.py
             --hubflash $<TARGET_FILE:hubflash>)
endif()
