# The settings dialog on the offscreen platform; the trust button talks to
# quorin-sim over TLS on 127.0.0.1.
add_corvane_test(gui_settings_form_tests
  SOURCES GuiTestMain.cpp SettingsFormTest.cpp
  LIBS corvane_ui corvane_config corvane_i18n Qt6::Test
  ENV "QT_QPA_PLATFORM=offscreen"
  LABELS "gui"
  OWN_MAIN)
add_dependencies(gui_settings_form_tests quorin-sim)
