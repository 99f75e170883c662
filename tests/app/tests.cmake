# The window's tests: the status file's editor (GoogleTest), the window and its help (Qt Test on the
# offscreen platform) and one run end to end under Xvfb, driven by keyboard as a person would.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
set(THG_APP_TEST_DIR ${CMAKE_CURRENT_SOURCE_DIR}/app)

function(thg_app_test_target name)
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/TestSupport.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${name} PRIVATE
        THG_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        THG_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endfunction()

add_executable(app_ini_tests ${THG_APP_TEST_DIR}/IniFileTest.cpp)
thg_app_test_target(app_ini_tests)
target_link_libraries(app_ini_tests PRIVATE app_status GTest::gtest GTest::gtest_main)
gtest_discover_tests(app_ini_tests DISCOVERY_TIMEOUT 60)

foreach(name MainForm Help)
    add_executable(app_${name}_tests ${THG_APP_TEST_DIR}/${name}Test.cpp)
    set_target_properties(app_${name}_tests PROPERTIES AUTOMOC ON)
    thg_app_test_target(app_${name}_tests)
    target_link_libraries(app_${name}_tests PRIVATE app_window Qt6::Test)
    add_test(NAME app_${name} COMMAND app_${name}_tests)
    set_tests_properties(app_${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
endforeach()

# The end-to-end run starts its own X server and the built program; it needs the program built.
add_executable(app_e2e_tests ${THG_APP_TEST_DIR}/WindowE2ETest.cpp)
set_target_properties(app_e2e_tests PROPERTIES AUTOMOC ON)
thg_app_test_target(app_e2e_tests)
target_link_libraries(app_e2e_tests PRIVATE app_window Qt6::Test)
add_dependencies(app_e2e_tests TransHoraxGestalia)
add_test(NAME app_e2e COMMAND app_e2e_tests)
set_tests_properties(app_e2e PROPERTIES TIMEOUT 240 LABELS "slow")
