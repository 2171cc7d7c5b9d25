# The update dialog, compiled into corvane_ui (included from src/app).
target_sources(corvane_ui PRIVATE
  ${PROJECT_SOURCE_DIR}/src/update/FormUpdater.h
  ${PROJECT_SOURCE_DIR}/src/update/FormUpdater.cpp)
target_link_libraries(corvane_ui PUBLIC corvane_update corvane_i18n)
