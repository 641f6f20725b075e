# The program `tunara` (Qt 6 Widgets). Its code sits in the static library tunara_gui so that the
# tests link the same code against a fake of the device library.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Network)

set(TUNARA_APP_DIR ${CMAKE_CURRENT_SOURCE_DIR})

add_library(tunara_gui STATIC
  res/format.cpp
  res/stringtable.cpp
  device/memoryformat.cpp
  device/mylistview.cpp
  device/playererrors.cpp
  device/playercalls.cpp
  device/playerlink.cpp
  device/renamedlg.cpp
  device/timedmessagebox.cpp
  device/uiservices.cpp
  device/voiceconverter.cpp
  device/zamo_listview.cpp
  device/zamo_listview_commands.cpp
  device/zamo_listview_drag.cpp
  chrome/captionstrip.cpp
  chrome/fieldlabel.cpp
  chrome/scrolltext.cpp
  shell/commandtable.cpp
  shell/creditsdlg.cpp
  shell/deviceinfodlg.cpp
  shell/devicewatch.cpp
  shell/genrecombo.cpp
  shell/languagedlg.cpp
  shell/mainframe.cpp
  shell/mainframe_commands.cpp
  shell/mainframe_service.cpp
  shell/optiondlg.cpp
  shell/programversion.cpp
  shell/settings.cpp
  shell/singleinstance.cpp
  shell/tageditordlg.cpp
  shell/splashwnd.cpp
  shell/tunaraapp.cpp
  shell/windowplacement.cpp
  shell/zamo_expview.cpp
  shell/zamo_expdoc.h
  shell/mainframe_transfer.cpp
  transfer/notifybridge.cpp
  transfer/queueentry.cpp
  transfer/transferdlg.cpp
  transfer/transferhost.h
  service/fontdownloaddlg.cpp
  service/memorydumpdlg.cpp
  service/servicetools.cpp
  service/sysparamdlg.cpp
  service/volumelabeldlg.cpp
  service/xfernotifier.cpp
)
set_target_properties(tunara_gui PROPERTIES AUTOMOC ON)

# The version the About box and `tunara --version` show: the project's version and a build
# number given to the build (0 for a developer's build).
set(TUNARA_BUILD_NUMBER 0 CACHE STRING "Build number shown in the About box")
set_source_files_properties(shell/programversion.cpp PROPERTIES COMPILE_DEFINITIONS
  "TUNARA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};TUNARA_VERSION_MINOR=${PROJECT_VERSION_MINOR};TUNARA_VERSION_PATCH=${PROJECT_VERSION_PATCH};TUNARA_BUILD_NUMBER=${TUNARA_BUILD_NUMBER}")
target_include_directories(tunara_gui PUBLIC ${TUNARA_APP_DIR} ${PROJECT_SOURCE_DIR}/devlink/include)
# The media core: the tag editor's engine, and SafeFileName for player names that become PC
# file names.
target_link_libraries(tunara_gui PUBLIC Qt6::Widgets Qt6::Svg Qt6::Network tunara_media)
# The memory dump's listing is the one `kesto dump` writes (tools/kesto/dump_listing).
target_link_libraries(tunara_gui PUBLIC dump_listing)

# The program's own texts and artwork, compiled into whatever links them.
set(TUNARA_RESOURCES ${TUNARA_APP_DIR}/res/tunara.qrc CACHE INTERNAL "")

# Language packs: binary resource bundles beside the program.
set(tunara_packs)
foreach(lang korean german)
  set(pack ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${lang}.lng)
  add_custom_command(
    OUTPUT ${pack}
    COMMAND Qt6::rcc -binary ${TUNARA_APP_DIR}/res/lang/${lang}/${lang}.qrc -o ${pack}
    DEPENDS ${TUNARA_APP_DIR}/res/lang/${lang}/${lang}.qrc
            ${TUNARA_APP_DIR}/res/lang/${lang}/strings.tsv
    COMMENT "Language pack ${lang}.lng")
  list(APPEND tunara_packs ${pack})
endforeach()
add_custom_target(tunara_lang ALL DEPENDS ${tunara_packs})
set(TUNARA_LANGUAGE_PACKS ${tunara_packs} CACHE INTERNAL "Language packs, installed beside the program")

if(TARGET KestoUSB)
  qt_add_executable(tunara shell/main.cpp ${TUNARA_RESOURCES})
  set_target_properties(tunara PROPERTIES AUTOMOC ON AUTORCC ON)
  target_link_libraries(tunara PRIVATE tunara_gui KestoUSB)
  if(TARGET tunara_media)
    target_link_libraries(tunara PRIVATE tunara_media)
  endif()
  add_dependencies(tunara tunara_lang)
  tunara_help(tunara ${TUNARA_APP_DIR}/shell/tunara.help tunara::shell::help)
endif()
