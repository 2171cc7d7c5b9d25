# The corvane executable, beside its data files in build/bin.
add_executable(corvane main.cpp)
target_link_libraries(corvane PRIVATE corvane_ui corvane_engine corvane_config corvane_i18n
                      corvane_platform corvane_options)
add_dependencies(corvane corvane_data)
