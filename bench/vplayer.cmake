# The virtual player's engine in-process: the cost of a command exchange, a 255-entry table and
# the data streams, without any link in between. Run `build/.../bin/bench_vplayer_engine`.
add_executable(bench_vplayer_engine ${CMAKE_CURRENT_LIST_DIR}/bench_vplayer_engine.cpp)
target_link_libraries(bench_vplayer_engine PRIVATE vplayer_engine tunara_test_support
                                                   benchmark::benchmark)
