# The hub simulator's own tests, one CTest entry per group so they run in parallel.
set(HUBSIM_TEST_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/hubsim/test_hubsim.py)
foreach(group FramingTest UploadTest CheckerTest NormalModeTest BoardsTest FaultTest WireTest OptionsTest
              MkimageTest)
    add_test(NAME hubsim_${group}
             COMMAND ${HUB_PYTHON} ${HUBSIM_TEST_SCRIPT} --hubsim $<TARGET_FILE:hubsim>
                     --mkimage ${PROJECT_SOURCE_DIR}/tools/mkimage.py ${group})
    set_tests_properties(hubsim_${group} PROPERTIES TIMEOUT 120 LABELS hubsim)
endforeach()

# Arbitrary host bytes through the hub's line handling (-DHUBFLASH_FUZZ=ON).
hub_fuzz_target(fuzz_hubsim_input ${CMAKE_CURRENT_SOURCE_DIR}/hubsim/fuzz_hub_input.cpp hubsim_core)
