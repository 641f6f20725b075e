# The time of one command exchange ('I') over the virtual link: the library's USB/IP client
# against tunara-vplayer started as a process. Run `build/.../bin/bench_exchange`.
add_executable(bench_exchange ${CMAKE_CURRENT_LIST_DIR}/bench_exchange.cpp)
target_link_libraries(bench_exchange PRIVATE kestousb_core tunara_test_support benchmark::benchmark)
target_compile_definitions(bench_exchange PRIVATE VPLAYER_PROGRAM="$<TARGET_FILE:tunara-vplayer>")
add_dependencies(bench_exchange tunara-vplayer)
