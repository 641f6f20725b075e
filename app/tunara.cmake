# The program `tunara` (Qt 6 Widgets). Its code sits in the static library tunara_gui so that the
# tests link the same code against a fake of the device library.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Network)

set(TUNARA_APP_DIR ${CMAKE_CURRENT_SOURCE_DIR})

add_library(tunara_gui STATIC
  res/format.cpp
  res/stringtable.cpp
  device/memoryformat.cpp
  device/mylistview.cpp
  device/timedmessagebox.cpp
  device/uiservices.cpp
  device/zamo_listview.cpp
  chrome/captionstrip.cpp
  shell/commandtable.cpp
  shell/deviceinfodlg.cpp
  shell/devicewatch.cpp
  shell/mainframe.cpp
  shell/mainframe_commands.cpp
  shell/optiondlg.cpp
  shell/settings.cpp
  shell/singleinstance.cpp
  shell/tunaraapp.cpp
  shell/windowplacement.cpp
  shell/zamo_expview.cpp
  shell/zamo_expdoc.h
)
set_target_properties(tunara_gui PROPERTIES AUTOMOC ON)
target_include_directories(tunara_gui PUBLIC ${TUNARA_APP_DIR} ${PROJECT_SOURCE_DIR}/devlink/include)
target_link_libraries(tunara_gui PUBLIC Qt6::Widgets Qt6::Svg Qt6::Network)

# The program's own texts and artwork, compiled into whatever links them.
set(TUNARA_RESOURCES ${TUNARA_APP_DIR}/res/tunara.qrc CACHE INTERNAL "")

# Language packs: binary resource bundles beside the program.
set(tunara_packs)
foreach(lang korean)
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

if(TARGET KestoUSB)
  qt_add_executable(tunara shell/main.cpp ${TUNARA_RESOURCES})
  set_target_properties(tunara PROPERTIES AUTOMOC ON AUTORCC ON)
  target_link_libraries(tunara PRIVATE tunara_gui KestoUSB)
  if(TARGET tunara_media)
    target_link_libraries(tunara PRIVATE tunara_media)
  endif()
  add_dependencies(tunara tunara_lang)
endif()
