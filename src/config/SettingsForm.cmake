# The settings dialog, compiled into corvane_ui (included from src/app).
target_sources(corvane_ui PRIVATE
  ${PROJECT_SOURCE_DIR}/src/config/SettingsForm.h
  ${PROJECT_SOURCE_DIR}/src/config/SettingsForm.cpp)
target_link_libraries(corvane_ui PUBLIC corvane_config corvane_i18n)
