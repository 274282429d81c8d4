# Small helpers shared by the folders' CMake files.

# Adds subdirectories that have a CMakeLists.txt, in the order given.
function(parlora_add_folders)
  foreach(dir IN LISTS ARGN)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# parlora_add_test(NAME name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...] [NOQT])
# One GoogleTest executable, run by CTest with the offscreen Qt platform and a
# private settings folder so tests never touch the user's files, and with
# port mapping off, so that no test asks the machine's own router for
# anything (the router lab tests turn it on inside their namespaces). Its
# session bus address names no bus: left unset on a desktop machine, libdbus
# would autolaunch a bus daemon that outlives the test.
function(parlora_add_test)
  cmake_parse_arguments(T "NOQT" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_NOQT)
    set(main parlora_testmain_noqt)
  else()
    set(main parlora_testsupport)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${main} GTest::gtest GTest::gmock)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PARLORA_PORTMAP=0;PARLORA_BUILD_DIR=${CMAKE_BINARY_DIR};PARLORA_SOURCE_DIR=${CMAKE_SOURCE_DIR};DBUS_SESSION_BUS_ADDRESS=unix:path=${CMAKE_BINARY_DIR}/no-session-bus")
endfunction()
