# Help texts: each program's help source (PROGRAM.help) becomes the header its --help prints from
# and its manual page, both written by helpgen at build time, so that the two never disagree.
include(GNUInstallDirs)

add_executable(helpgen ${PROJECT_SOURCE_DIR}/tools/helpgen/helpgen.cpp)
find_program(GZIP_EXECUTABLE gzip REQUIRED)
# The manual's date: the configure day, or SOURCE_DATE_EPOCH's for a reproducible build.
string(TIMESTAMP TUNARA_MAN_DATE "%Y-%m-%d" UTC)

# tunara_help(TARGET SOURCE NAMESPACE): TARGET includes "<name>_help.h" (namespace NAMESPACE,
# <name> the source's file name without .help, '-' made '_'), which the interface library
# <name>_help also offers; <name>.1.gz is installed in man1.
function(tunara_help target source namespace)
  get_filename_component(program ${source} NAME_WE)
  string(REPLACE "-" "_" stem ${program})
  set(include_dir ${CMAKE_BINARY_DIR}/help/${program})
  set(header ${include_dir}/${stem}_help.h)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${header} ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${include_dir} ${CMAKE_BINARY_DIR}/man
    COMMAND helpgen ${source} ${namespace} ${PROJECT_VERSION} ${TUNARA_MAN_DATE} ${header} ${page}
    DEPENDS ${source} helpgen
    COMMENT "Help text and manual page of ${program}"
    VERBATIM)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${GZIP_EXECUTABLE} -9 -n -f -k ${page}
    DEPENDS ${page}
    VERBATIM)
  add_custom_target(${stem}_manpage ALL DEPENDS ${header} ${page}.gz)
  # What compiles against the help text (the program, and tests of its sources) links this.
  add_library(${stem}_help INTERFACE)
  target_include_directories(${stem}_help INTERFACE ${include_dir})
  add_dependencies(${stem}_help ${stem}_manpage)
  target_link_libraries(${target} PRIVATE ${stem}_help)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endfunction()
