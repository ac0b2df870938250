# The core is built as rooms: one folder under src, one static library each, linking only the
# rooms below it. kov_room records each room's folder and links; kov_write_rooms writes them down
# for cmake/CheckLayering.cmake, which the tests run to hold every include to these links.

# kov_room(<library> <folder under src> [LINKS <room or other target>...])
function(kov_room name folder)
  cmake_parse_arguments(PARSE_ARGV 2 ROOM "" "" "LINKS")
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ROOM_LINKS})
  set_property(GLOBAL APPEND PROPERTY KOV_ROOMS ${name})
  set_property(GLOBAL PROPERTY KOV_ROOM_FOLDER_${name} ${folder})
  set_property(GLOBAL PROPERTY KOV_ROOM_LINKS_${name} ${ROOM_LINKS})
endfunction()

# Writes the rooms, their folders and their links (rooms only) as a CMake script to `file`.
function(kov_write_rooms file)
  get_property(rooms GLOBAL PROPERTY KOV_ROOMS)
  set(text "set(KOV_ROOMS ${rooms})\n")
  foreach(room ${rooms})
    get_property(folder GLOBAL PROPERTY KOV_ROOM_FOLDER_${room})
    get_property(links GLOBAL PROPERTY KOV_ROOM_LINKS_${room})
    set(room_links "")
    foreach(link ${links})
      if(link IN_LIST rooms)
        list(APPEND room_links ${link})
      endif()
    endforeach()
    string(APPEND text "set(KOV_ROOM_FOLDER_${room} ${folder})\n")
    string(APPEND text "set(KOV_ROOM_LINKS_${room} ${room_links})\n")
  endforeach()
  file(WRITE ${file} "${text}")
endfunction()
