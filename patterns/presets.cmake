# The built-in rhythms of the Presets menu: plain data, no Qt.
add_library(tambrel_patterns_presets preset_data.cpp)
target_include_directories(tambrel_patterns_presets PUBLIC ${PROJECT_SOURCE_DIR})
