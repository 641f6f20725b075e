# The program's speed against the virtual player: start to a connected window with both panes
# filled (there is no splash yet to exclude), and the refresh of a pane of a 255-entry memory.
# Medians of several rounds. Not run by the tests: `build/.../bin/bench_gui` (starts its own
# tunara-vplayer from the same folder; needs mkfs.fat and mcopy for its image).
qt_add_executable(bench_gui ${CMAKE_CURRENT_LIST_DIR}/bench_gui.cpp ${TUNARA_RESOURCES})
set_target_properties(bench_gui PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(bench_gui PRIVATE tunara_gui tunara_test_support)
set_target_properties(bench_gui PROPERTIES TUNARA_PLAYER_LIBRARY KestoUSB)
target_compile_definitions(bench_gui PRIVATE GUI_BENCH_MKFS="${MKFS_FAT_EXECUTABLE}"
                                             GUI_BENCH_MCOPY="${MCOPY_EXECUTABLE}")
add_dependencies(bench_gui tunara-vplayer)
