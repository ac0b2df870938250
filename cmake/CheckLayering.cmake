# Holds the rooms of the core to their declared layering. Run as a script:
#   cmake -DROOMS=<rooms file written by kov_write_rooms> -DSOURCE_DIR=<project> -P CheckLayering.cmake
# Fails when the declared links form a cycle, when a file of a room includes a file of a room its
# library does not link directly, when a quoted include names no room's file, when a room includes
# Python, or when a source file of the core lies outside every room.
include(${ROOMS})

set(problems "")

# Walks the links from `room` depth first; a room met again on the current path closes a cycle,
# which is reported at once (one cycle is enough to act on).
function(visit room path)
  list(APPEND path ${room})
  foreach(link ${KOV_ROOM_LINKS_${room}})
    if(link IN_LIST path)
      list(APPEND path ${link})
      string(REPLACE ";" " -> " cycle "${path}")
      message(FATAL_ERROR "Layering:\n  the links form a cycle: ${cycle}\n")
    endif()
    visit(${link} "${path}")
  endforeach()
endfunction()

foreach(room ${KOV_ROOMS})
  visit(${room} "")
endforeach()

# The room whose folder holds a path relative to src, or nothing.
function(owner_of relative result)
  set(best "")
  get_filename_component(directory ${relative} DIRECTORY)
  foreach(room ${KOV_ROOMS})
    if(directory STREQUAL KOV_ROOM_FOLDER_${room})
      set(best ${room})
    endif()
  endforeach()
  set(${result} "${best}" PARENT_SCOPE)
endfunction()

set(source_root ${SOURCE_DIR}/src)
foreach(room ${KOV_ROOMS})
  set(folder ${KOV_ROOM_FOLDER_${room}})
  file(GLOB files ${source_root}/${folder}/*.hpp ${source_root}/${folder}/*.cpp)
  foreach(file ${files})
    file(RELATIVE_PATH shown ${source_root} ${file})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
      if(line MATCHES "#[ \t]*include[ \t]*<Python")
        string(APPEND problems "  ${shown} includes Python: the core never does\n")
      elseif(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        set(included ${CMAKE_MATCH_1})
        owner_of(${included} target)
        if(NOT EXISTS ${source_root}/${included} OR target STREQUAL "")
          string(APPEND problems "  ${shown} includes ${included}, which is no room's file\n")
        elseif(NOT target STREQUAL room AND NOT target IN_LIST KOV_ROOM_LINKS_${room})
          string(APPEND problems "  ${shown} includes ${included}: ${room} does not link "
                                 "${target} (link it in CMakeLists.txt if the layering allows)\n")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

# A source file in a folder of the core that no room builds would be built by nobody.
foreach(top core ops engine)
  file(GLOB_RECURSE files ${source_root}/${top}/*.hpp ${source_root}/${top}/*.cpp)
  foreach(file ${files})
    file(RELATIVE_PATH shown ${source_root} ${file})
    owner_of(${shown} owner)
    if(owner STREQUAL "")
      string(APPEND problems "  ${shown} lies in no room's folder\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Layering:\n${problems}")
endif()
list(LENGTH KOV_ROOMS count)
message(STATUS "Layering: ${count} rooms, every include follows the declared links")
