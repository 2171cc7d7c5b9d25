# The main window against the recorder simulator.
add_corvane_test(gui_main_window_tests
  SOURCES GuiTestMain.cpp MainWindowTest.cpp
  LIBS corvane_ui corvane_engine corvane_config corvane_i18n corvane_listen_test_device Qt6::Test
  ENV "QT_QPA_PLATFORM=offscreen"
  LABELS "gui"
  TIMEOUT 300
  OWN_MAIN)
add_dependencies(gui_main_window_tests quorin-sim)
# The main window on a 1280 x 800 screen at scale factor 2; its own main()
# sets up the offscreen screen and the factor before the application starts.
add_corvane_test(gui_scaled_window_tests
  SOURCES ScaledWindowTest.cpp
  LIBS corvane_ui corvane_engine corvane_config corvane_i18n Qt6::Test
  LABELS "gui"
  OWN_MAIN)
