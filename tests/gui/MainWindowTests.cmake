# The main window against the recorder simulator.
add_corvane_test(gui_main_window_tests
  SOURCES GuiTestMain.cpp MainWindowTest.cpp
  LIBS corvane_ui corvane_engine corvane_config corvane_i18n corvane_listen_test_device Qt6::Test
  ENV "QT_QPA_PLATFORM=offscreen"
  LABELS "gui"
  TIMEOUT 300
  OWN_MAIN)
add_dependencies(gui_main_window_tests quorin-sim)
