# The update dialog on the offscreen platform, against a server on 127.0.0.1.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(OpenSSL REQUIRED)
add_corvane_test(gui_form_updater_tests
  SOURCES GuiTestMain.cpp FormUpdaterTest.cpp ${PROJECT_SOURCE_DIR}/tests/update/UpdateTestServer.cpp
  LIBS corvane_ui corvane_update corvane_i18n Qt6::Test PkgConfig::HTTPLIB OpenSSL::SSL
       OpenSSL::Crypto
  ENV "QT_QPA_PLATFORM=offscreen"
  LABELS "gui"
  OWN_MAIN)
target_include_directories(gui_form_updater_tests PRIVATE "${PROJECT_SOURCE_DIR}/tests/update")
