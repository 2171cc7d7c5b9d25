# Main window, grid, controller, the Qt form translator and the manual's pages.
target_sources(corvane_ui PRIVATE
  CorvaneMainForm.h CorvaneMainForm.cpp
  CallGrid.h CallGrid.cpp
  CallNotice.h CallNotice.cpp
  CloseProtocol.h CloseProtocol.cpp
  DateTimeText.h DateTimeText.cpp
  EngineController.h EngineController.cpp
  ListenController.h ListenController.cpp
  FormTranslator.h FormTranslator.cpp
  HelpPage.h HelpPage.cpp)
target_link_libraries(corvane_ui PUBLIC corvane_engine corvane_config corvane_i18n corvane_listen)
