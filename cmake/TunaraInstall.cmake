# Install rules (`cmake --install`): the program folder PREFIX/lib/tunara (the program, its
# tunara.ini, language packs and splash picture) with PREFIX/bin/tunara a link to it, the
# library with its header and pkg-config file, the tools, the udev rule, the desktop entry with
# its icons and AppStream metadata, the manual pages (TunaraHelp.cmake) and kesto's completion.
# Each rule names the component (and so the Debian package, scripts/package.sh) it belongs to:
# `library` (libKestoUSB.so.0), `development` (header, .so link, kestousb.pc) and `program`.
include(GNUInstallDirs)

set(TUNARA_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)
# The program folder; Qt takes the folder of the resolved program file, so the link in bin
# keeps pointing the program at its ini file and packs.
set(TUNARA_PROGRAM_DIR lib/tunara)

# Installed programs find libKestoUSB in the system's library folder, or, for any other prefix,
# through a RUNPATH relative to themselves (so an installed tree can also be moved).
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
if(system_libdir EQUAL -1)
  foreach(pair "tools;${CMAKE_INSTALL_BINDIR}" "program;${TUNARA_PROGRAM_DIR}")
    list(GET pair 1 from)
    file(RELATIVE_PATH up ${CMAKE_INSTALL_PREFIX}/${from} ${CMAKE_INSTALL_FULL_LIBDIR})
    list(GET pair 0 which)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(runpath_${which} "$ORIGIN/${up}")
  endforeach()
  foreach(tool kesto tunara-vplayer)
    if(TARGET ${tool})
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "${runpath_tools}")
    endif()
  endforeach()
  if(TARGET tunara)
    set_target_properties(tunara PROPERTIES INSTALL_RPATH "${runpath_program}")
  endif()
endif()

# The library, its header and pkg-config file.
install(TARGETS KestoUSB LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
        NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/devlink/include/KestoUSB.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The prefix in the .pc file is the one installed to (`cmake --install --prefix` may differ
# from the configured one), so the file is written at install time.
set(TUNARA_PC_PREFIX "@TUNARA_PC_PREFIX@")
configure_file(${TUNARA_DIST_DIR}/kestousb.pc.in ${CMAKE_BINARY_DIR}/dist/kestousb.pc.in @ONLY)
install(CODE "
  set(TUNARA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/kestousb.pc\")
  message(STATUS \"Installing: \${pc}\")
  configure_file(\"${CMAKE_BINARY_DIR}/dist/kestousb.pc.in\" \"\${pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")" COMPONENT development)

# The tools.
foreach(tool kesto tunara-vplayer)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  endif()
endforeach()
install(FILES ${TUNARA_DIST_DIR}/kesto.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kesto
        COMPONENT program)

# Access to the player for the logged-in user.
install(FILES ${TUNARA_DIST_DIR}/70-kesto-player.rules DESTINATION lib/udev/rules.d COMPONENT program)

if(TARGET tunara)
  install(TARGETS tunara RUNTIME DESTINATION ${TUNARA_PROGRAM_DIR} COMPONENT program)
  install(FILES ${TUNARA_DIST_DIR}/tunara.ini ${TUNARA_LANGUAGE_PACKS} DESTINATION ${TUNARA_PROGRAM_DIR}
          COMPONENT program)
  file(RELATIVE_PATH link_target ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${TUNARA_PROGRAM_DIR}/tunara)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist/bin)
  file(CREATE_LINK ${link_target} ${CMAKE_BINARY_DIR}/dist/bin/tunara SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/dist/bin/tunara DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

  # Pictures drawn from the program's own artwork at build time: the splash picture the
  # program looks for beside itself, and the icon in the sizes desktops ask for.
  find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
  add_executable(artrender ${PROJECT_SOURCE_DIR}/tools/artrender/artrender.cpp)
  target_link_libraries(artrender PRIVATE Qt6::Gui Qt6::Svg)
  set(art ${PROJECT_SOURCE_DIR}/app/res/art)
  set(splash ${CMAKE_BINARY_DIR}/dist/tunara.dat)
  add_custom_command(OUTPUT ${splash}
    COMMAND artrender ${art}/splash/splash.svg ${splash} --background black
    DEPENDS artrender ${art}/splash/splash.svg VERBATIM)
  set(pictures ${splash})
  foreach(size 16 24 32 48 64 128 256)
    set(png ${CMAKE_BINARY_DIR}/dist/icons/${size}x${size}/tunara.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist/icons/${size}x${size}
      COMMAND artrender ${art}/app/tunara.svg ${png} ${size}
      DEPENDS artrender ${art}/app/tunara.svg VERBATIM)
    list(APPEND pictures ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            COMPONENT program)
  endforeach()
  add_custom_target(tunara_install_pictures ALL DEPENDS ${pictures})
  install(FILES ${splash} DESTINATION ${TUNARA_PROGRAM_DIR} COMPONENT program)
  install(FILES ${art}/app/tunara.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT program)

  install(FILES ${TUNARA_DIST_DIR}/tunara.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT program)
  string(TIMESTAMP TUNARA_RELEASE_DATE "%Y-%m-%d" UTC)
  configure_file(${TUNARA_DIST_DIR}/org.example.tunara.metainfo.xml
                 ${CMAKE_BINARY_DIR}/dist/org.example.tunara.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/dist/org.example.tunara.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT program)
endif()

install(FILES ${TUNARA_DIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tunara
        COMPONENT program)
