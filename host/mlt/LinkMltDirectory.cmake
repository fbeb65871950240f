# cmake -DFROM=<dir> -DTO=<dir> -DKEEP=<name;...> -P LinkMltDirectory.cmake
#
# Links every entry of FROM (the system's MLT module directory) into TO, so
# that one directory holds the system's modules and this build's: MLT reads
# modules from one directory only. Entries TO has of its own and the names
# in KEEP are left alone; links whose target has gone are removed.
cmake_minimum_required(VERSION 3.25)

file(GLOB entries RELATIVE ${FROM} ${FROM}/*)
foreach(entry IN LISTS entries)
  if(entry IN_LIST KEEP OR EXISTS ${TO}/${entry} OR IS_SYMLINK ${TO}/${entry})
    continue()
  endif()
  file(CREATE_LINK ${FROM}/${entry} ${TO}/${entry} SYMBOLIC)
endforeach()
file(GLOB links ${TO}/*)
foreach(link IN LISTS links)
  if(IS_SYMLINK ${link} AND NOT EXISTS ${link})
    file(REMOVE ${link})
  endif()
endforeach()
