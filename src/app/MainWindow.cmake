# Main window, grid, controller and the Qt form translator.
target_sources(corvane_ui PRIVATE
  CorvaneMainForm.h CorvaneMainForm.cpp
  FormTranslator.h FormTranslator.cpp)
target_link_libraries(corvane_ui PUBLIC corvane_engine corvane_config corvane_i18n corvane_listen)
