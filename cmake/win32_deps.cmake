# What the Windows build takes from the build machine.  GoogleTest: Debian's sources
# (package googletest), built with the cross compiler.
set(UPDATER_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources for the Windows build")
if(NOT EXISTS ${UPDATER_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${UPDATER_GTEST_SOURCE}: apt-get install googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${UPDATER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest names its targets GTest::gtest and GTest::gtest_main itself.

# The JSON library is header-only: a folder holding just its headers, so that no other header
# of the build machine reaches the cross compiler.
find_path(UPDATER_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(UPDATER_JSON_INCLUDE)
  set(json_dir ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${json_dir})
  file(CREATE_LINK ${UPDATER_JSON_INCLUDE}/nlohmann ${json_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json INTERFACE)
  target_include_directories(nlohmann_json SYSTEM INTERFACE ${json_dir})
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)
else()
  message(FATAL_ERROR "No nlohmann/json.hpp on the build machine: apt-get install nlohmann-json3-dev")
endif()
