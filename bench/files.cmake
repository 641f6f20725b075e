# Refresh and decode of a 255-entry memory over the USB/IP link to the virtual player (median of
# many rounds), and the decode alone. Not run by the tests: `build/.../bin/bench_refresh` (starts
# its own tunara-vplayer from the same folder; needs mkfs.fat and mcopy to make its image).
add_executable(bench_refresh ${CMAKE_CURRENT_LIST_DIR}/bench_refresh.cpp)
target_link_libraries(bench_refresh PRIVATE kestousb_core tunara_test_support)
target_compile_definitions(bench_refresh PRIVATE FILES_BENCH_MKFS="${MKFS_FAT_EXECUTABLE}"
                                                 FILES_BENCH_MCOPY="${MCOPY_EXECUTABLE}")
add_dependencies(bench_refresh tunara-vplayer)
