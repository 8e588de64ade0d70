# The installer's window (FormMain, its flood bar, the file picker and the dialog seams) as a
# library that tests and tools link, and the thin program around it.
set(CMAKE_AUTOMOC ON)

add_library(trestel_ui STATIC
    CommandLine.cpp CommandLine.h
    FormMain.cpp FormMainSteps.cpp FormMain.h
    WindowLook.cpp WindowLook.h
    FloodBar.cpp FloodBar.h
    StatusLine.cpp StatusLine.h
    MessageBoxes.cpp MessageBoxes.h
    HandheldPrompts.cpp HandheldPrompts.h
    modFileOpen.cpp modFileOpen.h)
target_include_directories(trestel_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trestel_ui PUBLIC trestel_engine trestel_choice Qt6::Widgets PRIVATE common product)
qt_add_resources(trestel_ui trestel_icons
    PREFIX /trestel
    BASE icons
    FILES icons/trestel-16.png icons/trestel-32.png icons/trestel-48.png)
# The dialogs of the handheld questions answer the seam that the connect steps ask through.
target_link_libraries(trestel_ui PUBLIC trestel_choice)
# Qt's configuration from inside the program, never from beside it.
configure_file(qt.conf.in qt.conf @ONLY)
qt_add_resources(trestel_ui trestel_qt_conf PREFIX /qt/etc BASE ${CMAKE_CURRENT_BINARY_DIR}
    FILES ${CMAKE_CURRENT_BINARY_DIR}/qt.conf)

# Installed from the stripped copy that packaging/Packaging.cmake makes.
add_executable(trestel main.cpp)
target_link_libraries(trestel PRIVATE trestel_ui trestel_cli common)

install(FILES icons/trestel-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
        RENAME trestel.png)
install(FILES icons/trestel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
