cmake_minimum_required(VERSION 3.25)
# Fails when a source of a program layer includes a header from a folder the layer must not see
# (a layer above it). Run as:
#   cmake -DLAYER=name -DFOLDERS=dir1;dir2 -DSEES=folder;... -P CheckLayer.cmake
# An include "folder/x.h" names its folder; an include without a folder is the file's own folder.
set(bad "")
foreach(folder IN LISTS FOLDERS)
  file(GLOB files "${folder}/*.cpp" "${folder}/*.h")
  foreach(f IN LISTS files)
    file(STRINGS "${f}" includes REGEX "^#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#[ \t]*include[ \t]*\"([^\"/]+)/.*" "\\1" seen "${line}")
      if(NOT seen IN_LIST SEES)
        string(APPEND bad "\n  ${f}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "${LAYER} includes a layer above it or outside it:${bad}")
endif()
