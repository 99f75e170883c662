# The window: Qt Widgets over the two cores, with a help viewer built on chmlib.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
find_package(PkgConfig REQUIRED)
pkg_check_modules(XCB IMPORTED_TARGET xcb)
find_path(CHM_INCLUDE_DIR chm_lib.h REQUIRED)
find_library(CHM_LIBRARY chm REQUIRED)

add_library(chmlib UNKNOWN IMPORTED)
set_target_properties(chmlib PROPERTIES IMPORTED_LOCATION ${CHM_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${CHM_INCLUDE_DIR})

# The status file's editor: plain C++, tested without Qt.
add_library(app_status STATIC ${CMAKE_CURRENT_SOURCE_DIR}/IniFile.cpp)
target_include_directories(app_status PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(app_status PUBLIC platform)

# Everything but the program entry, so that the tests drive the same window.
add_library(app_window STATIC
    ${CMAKE_CURRENT_SOURCE_DIR}/ChmFile.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/Dialogs.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/ForeignWindow.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/Glyphs.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/GradientPanel.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/HelpViewer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/MainForm.cpp)
set_target_properties(app_window PROPERTIES AUTOMOC ON)
target_include_directories(app_window PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(app_window PUBLIC Qt6::Widgets app_status to_timetable to_administration platform chmlib)
if(XCB_FOUND)
    target_link_libraries(app_window PRIVATE PkgConfig::XCB)
endif()

add_executable(TransHoraxGestalia ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(TransHoraxGestalia PRIVATE app_window)
