# The programs the tests and benchmarks use as independent judges and to make their files
# (Debian packages, installed by scripts/setup-deps.sh). Each is looked up once, here; a missing
# one stops the configure step instead of leaving its tests out.
find_program(MDIR_EXECUTABLE mdir REQUIRED)
find_program(MCOPY_EXECUTABLE mcopy REQUIRED)
find_program(MDEL_EXECUTABLE mdel REQUIRED)
find_program(MKFS_FAT_EXECUTABLE mkfs.fat PATHS /usr/sbin /sbin REQUIRED)
find_program(FSCK_FAT_EXECUTABLE fsck.fat PATHS /usr/sbin /sbin REQUIRED)
find_program(USBIP_EXECUTABLE usbip PATHS /usr/sbin /sbin REQUIRED)
find_program(LAME_EXECUTABLE lame REQUIRED)
find_program(TWOLAME_EXECUTABLE twolame REQUIRED)
find_program(SOX_EXECUTABLE sox REQUIRED)
find_program(FFMPEG_EXECUTABLE ffmpeg REQUIRED) # makes AAC/Opus/covers; the benchmark compares with it
find_program(ID3V2_EXECUTABLE id3v2 REQUIRED)
# Debian's own Python, which sees python3-mutagen (another python3 on PATH may not).
set(SYSTEM_PYTHON /usr/bin/python3)
execute_process(COMMAND ${SYSTEM_PYTHON} -c "import mutagen" RESULT_VARIABLE mutagen_missing
                OUTPUT_QUIET ERROR_QUIET)
if(mutagen_missing)
  message(FATAL_ERROR "${SYSTEM_PYTHON} cannot import mutagen (Debian package python3-mutagen)")
endif()
# umockdev emulates a USB device to the real libusb code path.
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
find_library(UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0 umockdev-preload REQUIRED)

# Every test of the calling folder carries LABEL (ctest -L LABEL): the tests GoogleTest finds
# through the folder's label, the others once the folder has added them all.
function(tunara_test_label label)
  set_property(DIRECTORY PROPERTY LABELS ${label})
  # A deferred call reads its arguments when it runs: the label goes in as text.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL tunara_label_added_tests ${label})")
endfunction()
function(tunara_label_added_tests label)
  get_property(added DIRECTORY PROPERTY TESTS)
  if(added)
    set_tests_properties(${added} PROPERTIES LABELS ${label})
  endif()
endfunction()
