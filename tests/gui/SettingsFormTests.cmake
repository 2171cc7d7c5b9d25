# The settings dialog on the offscreen platform.
add_corvane_test(gui_settings_form_tests
  SOURCES GuiTestMain.cpp SettingsFormTest.cpp
  LIBS corvane_ui corvane_config corvane_i18n Qt6::Test
  ENV "QT_QPA_PLATFORM=offscreen"
  LABELS "gui"
  OWN_MAIN)
