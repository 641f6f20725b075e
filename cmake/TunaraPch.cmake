# Precompiled headers: the heavy system headers that every source of one kind includes (Qt
# Widgets in the program, Qt Test in its tests, GoogleTest in the other tests) are parsed once a
# build, not once a source. Each kind has a target of its own that only compiles the header, with
# the flags and definitions its users share; the users take it with REUSE_FROM.
#
# GCC quietly parses the headers again when a user's flags differ from the header's (another -O,
# -fPIC, or a definition the header saw). -Winvalid-pch turns that into a warning, and with
# TUNARA_WERROR into an error, so a slow path cannot creep back in unseen.
option(TUNARA_PCH "Precompile the common Qt, Qt Test and GoogleTest headers" ON)

# tunara_pch(NAME LINKS lib... HEADERS <header>...): the target NAME that precompiles HEADERS
# with the usage requirements (definitions, -fPIC) of LINKS.
function(tunara_pch name)
  cmake_parse_arguments(arg "" "" "LINKS;HEADERS" ${ARGN})
  if(NOT TUNARA_PCH)
    return()
  endif()
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
  if(NOT EXISTS ${source})
    file(WRITE ${source} "// The precompiled headers' own target compiles nothing else.\n")
  endif()
  add_library(${name} OBJECT ${source})
  target_link_libraries(${name} PRIVATE ${arg_LINKS})
  target_precompile_headers(${name} PRIVATE ${arg_HEADERS})
endfunction()

# tunara_use_pch(NAME target...): the targets take the headers NAME precompiled.
function(tunara_use_pch name)
  if(NOT TUNARA_PCH)
    return()
  endif()
  foreach(target ${ARGN})
    target_precompile_headers(${target} REUSE_FROM ${name})
    target_compile_options(${target} PRIVATE -Winvalid-pch)
  endforeach()
endfunction()

# The headers of the program's own sources (app/), and of its Qt Test programs.
set(TUNARA_PCH_QT_HEADERS
  <QApplication> <QCheckBox> <QComboBox> <QDialog> <QDialogButtonBox> <QDir> <QFile> <QFileInfo>
  <QGridLayout> <QGroupBox> <QHBoxLayout> <QHeaderView> <QLabel> <QLineEdit> <QObject> <QPainter>
  <QPointer> <QProgressBar> <QPushButton> <QSettings> <QString> <QStringList> <QTimer>
  <QTreeWidget> <QVBoxLayout> <QWidget>
  <algorithm> <functional> <memory> <optional> <string> <vector>)

set(TUNARA_PCH_STD_HEADERS
  <algorithm> <cstdint> <cstring> <filesystem> <fstream> <functional> <map> <memory> <mutex>
  <optional> <sstream> <string> <thread> <vector>)
