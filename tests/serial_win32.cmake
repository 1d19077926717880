# The Windows serial backend under Wine. The unit suite runs on its own; the
# driver adds a pseudo-terminal peer and a Wine prefix of its own, whose
# registry the tests may rewrite without disturbing the other Wine tests.
hub_unit_test(unit_serial_win32 SOURCES unit/test_serial_win32.cpp LIBS hub_serial)
set_tests_properties(unit_serial_win32 PROPERTIES TIMEOUT 300)

add_test(NAME wine_serial_win32
         COMMAND ${HUB_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/wine/serial_win32_peer.py
                 --exe $<TARGET_FILE:unit_serial_win32>
                 --prefix ${CMAKE_BINARY_DIR}/wineprefix-serial-win32)
set_tests_properties(wine_serial_win32 PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all")
