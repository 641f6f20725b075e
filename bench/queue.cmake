# The transfer queue against the virtual player: 200 small files through the GUI's queue against
# `kesto put` of the same files, and the GUI event loop's longest stall during a 64 MiB download
# on an unlimited link. Not run by the tests: `build/.../bin/bench_queue` (starts its own
# tunara-vplayer and uses kesto from the same folder; needs mkfs.fat).
qt_add_executable(bench_queue ${CMAKE_CURRENT_LIST_DIR}/bench_queue.cpp ${TUNARA_RESOURCES})
set_target_properties(bench_queue PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(bench_queue PRIVATE tunara_gui tunara_test_support)
set_target_properties(bench_queue PROPERTIES TUNARA_PLAYER_LIBRARY KestoUSB)
target_compile_definitions(bench_queue PRIVATE QUEUE_BENCH_MKFS="${MKFS_FAT_EXECUTABLE}")
add_dependencies(bench_queue tunara-vplayer kesto)
