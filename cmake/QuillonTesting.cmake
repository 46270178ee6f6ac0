# Test plumbing: GoogleTest built for the target from Debian's sources, every
# test exe run under Wine through the build's wrapper, inside the "wine"
# fixture that starts and stops the private display and wineserver.

set(QUILLON_BUILD_DIR ${CMAKE_BINARY_DIR})
set(QUILLON_SOURCE_DIR ${CMAKE_SOURCE_DIR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

if(NOT TARGET gtest)
  set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
    endif()
  endforeach()
endif()

add_test(NAME wine_env_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh start ${CMAKE_BINARY_DIR})
add_test(NAME wine_env_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh stop ${CMAKE_BINARY_DIR})
set_tests_properties(wine_env_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_env_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

# quillon_add_gtest(NAME name SOURCES ... [LIBS ...] [TIMEOUT s] [DEPENDS targets...] [ARGS ...])
# One CTest test per exe; the exe runs under Wine with the fixture, with ARGS.
function(quillon_add_gtest)
  cmake_parse_arguments(T "NO_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;DEPENDS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_NO_MAIN)
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gmock gtest)
  else()
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gmock gtest_main)
  endif()
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no ${T_ARGS})
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${T_TIMEOUT})
endfunction()
