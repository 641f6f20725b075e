# Conversion against the ffmpeg command line, on one core and on all, and a converting put to the
# virtual player. Not run by the tests: `build/.../bin/bench_convert`.
add_executable(bench_convert ${CMAKE_CURRENT_LIST_DIR}/bench_convert.cpp)
target_link_libraries(bench_convert PRIVATE tunara_convert)
target_compile_definitions(bench_convert PRIVATE
  TUNARA_SOX="${SOX_EXECUTABLE}" TUNARA_FFMPEG="${FFMPEG_EXECUTABLE}"
  TUNARA_KESTO="$<TARGET_FILE:kesto>" TUNARA_VPLAYER="$<TARGET_FILE:tunara-vplayer>")
add_dependencies(bench_convert kesto tunara-vplayer)
