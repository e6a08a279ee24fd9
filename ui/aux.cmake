# The window's side pieces: glyph icons and the help page (as Qt resources), the
# help window, and the Volume button's mixer launcher.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_library(tambrel_ui_aux STATIC
    ${CMAKE_CURRENT_LIST_DIR}/help_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mixer_launcher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/resources.qrc
)
set_target_properties(tambrel_ui_aux PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(tambrel_ui_aux PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tambrel_ui_aux PUBLIC Qt6::Widgets)
