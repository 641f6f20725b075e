# The program `tunara` (Qt 6 Widgets). Its code sits in static libraries, one per layer, so that
# the tests link the same code against a fake of the device library.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Network DBus)

set(TUNARA_APP_DIR ${CMAKE_CURRENT_SOURCE_DIR})

# The program's layers, each a library that links only the layers below it:
#   res <- panes (device, chrome) <- transfer, service <- shell
# and the Qt-free core (core/) under all of them. A source that includes a header of a layer
# above its own fails the build (cmake/CheckLayer.cmake runs before each layer compiles).
function(tunara_layer name)
  cmake_parse_arguments(arg "" "" "FOLDERS;SEES;SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${arg_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_include_directories(${name} PUBLIC ${TUNARA_APP_DIR} ${PROJECT_SOURCE_DIR}/devlink/include)
  target_link_libraries(${name} PUBLIC ${arg_LINKS})
  list(TRANSFORM arg_FOLDERS PREPEND ${TUNARA_APP_DIR}/ OUTPUT_VARIABLE folders)
  add_custom_target(${name}_layer_check
    COMMAND ${CMAKE_COMMAND} "-DLAYER=${name}" "-DFOLDERS=${folders}"
            "-DSEES=${arg_FOLDERS};${arg_SEES}" -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayer.cmake
    VERBATIM)
  add_dependencies(${name} ${name}_layer_check)
endfunction()

tunara_layer(tunara_res FOLDERS res SEES texts
  SOURCES res/format.cpp res/stringtable.cpp
  LINKS Qt6::Widgets Qt6::Svg tunara_core)
# The player library the layers call: KestoUSB in the program, a scripted fake in some tests. The
# program or test names it in its property TUNARA_PLAYER_LIBRARY; linked after the lowest layer,
# it comes after every layer on the link line.
target_link_libraries(tunara_res INTERFACE "$<TARGET_PROPERTY:TUNARA_PLAYER_LIBRARY>")

tunara_layer(tunara_panes FOLDERS device chrome SEES res media texts
  SOURCES
    device/folderintake.cpp
    device/memoryformat.cpp
    device/mylistview.cpp
    device/playercalls.cpp
    device/playererrors.cpp
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
    chrome/paintpacer.cpp
    chrome/scrolltext.cpp
  LINKS tunara_res)

tunara_layer(tunara_transfer FOLDERS transfer SEES device chrome res media texts sync
  SOURCES
    transfer/notifybridge.cpp
    transfer/queueconversions.cpp
    transfer/queueentry.cpp
    transfer/queuemodel.cpp
    transfer/queuerunner.cpp
    transfer/syncdlg.cpp
    transfer/syncdlg_controls.cpp
    transfer/syncplanner.cpp
    transfer/syncrun.cpp
    transfer/transferdlg.cpp
    transfer/transferdlg_run.cpp
    transfer/transferhost.h
  LINKS tunara_panes)

tunara_layer(tunara_service FOLDERS service SEES device chrome res media texts dump
  SOURCES
    service/fontdownloaddlg.cpp
    service/memorydumpdlg.cpp
    service/servicetools.cpp
    service/sysparamdlg.cpp
    service/volumelabeldlg.cpp
    service/xfernotifier.cpp
  LINKS tunara_panes)

tunara_layer(tunara_shell FOLDERS shell
  SEES transfer service device chrome res media texts dump sync
  SOURCES
    shell/commandtable.cpp
    shell/creditsdlg.cpp
    shell/deviceinfodlg.cpp
    shell/devicewatch.cpp
    shell/genrecombo.cpp
    shell/instancebus.cpp
    shell/languagedlg.cpp
    shell/mainframe.cpp
    shell/mainframe_commands.cpp
    shell/mainframe_service.cpp
    shell/mainframe_sync.cpp
    shell/mainframe_transfer.cpp
    shell/optiondlg.cpp
    shell/programversion.cpp
    shell/settings.cpp
    shell/singleinstance.cpp
    shell/splashwnd.cpp
    shell/tageditordlg.cpp
    shell/tunaraapp.cpp
    shell/windowplacement.cpp
    shell/zamo_expview.cpp
    shell/zamo_expdoc.h
  LINKS tunara_transfer tunara_service Qt6::Network Qt6::DBus)

# The layers share one precompiled Qt Widgets header.
tunara_pch(tunara_pch_qt LINKS Qt6::Widgets HEADERS ${TUNARA_PCH_QT_HEADERS})
tunara_use_pch(tunara_pch_qt tunara_res tunara_panes tunara_transfer tunara_service tunara_shell)

# Everything but main(): the program, and the tests that run the window against a fake library.
add_library(tunara_gui ALIAS tunara_shell)

# The version the About box and `tunara --version` show: the project's version and a build
# number given to the build (0 for a developer's build).
set(TUNARA_BUILD_NUMBER 0 CACHE STRING "Build number shown in the About box")
set_source_files_properties(shell/programversion.cpp PROPERTIES COMPILE_DEFINITIONS
  "TUNARA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};TUNARA_VERSION_MINOR=${PROJECT_VERSION_MINOR};TUNARA_VERSION_PATCH=${PROJECT_VERSION_PATCH};TUNARA_BUILD_NUMBER=${TUNARA_BUILD_NUMBER}")

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

qt_add_executable(tunara shell/main.cpp ${TUNARA_RESOURCES})
set_target_properties(tunara PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(tunara PRIVATE tunara_gui)
set_target_properties(tunara PROPERTIES TUNARA_PLAYER_LIBRARY KestoUSB)
add_dependencies(tunara tunara_lang)
tunara_help(tunara ${TUNARA_APP_DIR}/shell/tunara.help tunara::shell::help)
